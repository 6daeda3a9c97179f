// The pass over a firmware file before it is programmed. It yields the record count the
// download measures its progress against, and it is the one place where a file that cannot
// be read, or that is cut short, is refused before any page is sent.
#include "image/file_check.h"

#include <array>

#include "bsl/frames.h"
#include "crypto/aes.h"
#include "image/intel_hex.h"
#include "platform/files.h"

namespace driveflash::image {

namespace {
bool is_hex_digit(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}
}  // namespace

int ehex_record_blocks(const unsigned char* plaintext, int previous) {
  if (plaintext[0] != ':') {
    return previous;
  }
  // Decided from the characters themselves: once the digits are turned into nibble values
  // a lower-case letter would no longer read as the digit it stands for.
  if (!is_hex_digit(plaintext[1]) || !is_hex_digit(plaintext[2])) {
    return -1;
  }
  int count = 0;
  charToInt(&count, reinterpret_cast<const char*>(plaintext) + 1, 2);
  const int chars = 2 * count + 11;
  return chars / kCipherBlock + (chars % kCipherBlock != 0 ? 1 : 0);
}

}  // namespace driveflash::image

int hexfilecheck(int fileHandle, int* lineCount) {
  std::array<char, kLineLimit + 1> line{};
  int count = 0;
  for (;;) {
    const int length = ReadLine(fileHandle, line.data(), kLineLimit);
    if (length == kEndOfFile) {
      break;
    }
    // A read error would repeat forever; a line that fills the buffer is no record.
    if (length < 0 || length >= kLineLimit) {
      *lineCount = count;
      return kStatusInvalidHexfile;
    }
    ++count;
  }
  *lineCount = count;
  return 0;
}

int ehexfilecheck(int fileHandle, int* recordCount) {
  using driveflash::image::kCipherBlock;
  std::array<unsigned char, kCipherBlock> block{};
  const auto read_block = [&] {
    return CVI_ReadFile(fileHandle, reinterpret_cast<char*>(block.data()), kCipherBlock);
  };
  int count = 0;
  int blocks = 0;
  int result = 0;
  for (;;) {
    const int got = read_block();
    if (got == 0) {
      break;
    }
    // A short block means the file was cut (its length is no multiple of 16); the download
    // would read past its data.
    if (got != kCipherBlock) {
      result = kStatusInvalidHexfile;
      break;
    }
    ++count;
    driveflash::crypto::decrypt_block(block.data());
    blocks = driveflash::image::ehex_record_blocks(block.data(), blocks);
    if (blocks < 0) {
      result = kStatusInvalidHexfile;
      break;
    }
    // The rest of the record is not deciphered, but it must be there in full.
    for (int j = 1; j < blocks && result == 0; ++j) {
      if (read_block() != kCipherBlock) {
        result = kStatusInvalidHexfile;
      }
    }
    if (result != 0) {
      break;
    }
  }
  *recordCount = count;
  return result;
}
