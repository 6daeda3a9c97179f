// What every fuzz target shares: the input as a file that lives in memory, encrypted-hex
// files made from fuzzed plaintext, and a hard stop when a property breaks.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "crypto/aes.h"
#include "image/file_check.h"

namespace driveflash::fuzz {

using Bytes = std::vector<std::uint8_t>;

// Stops the fuzzer with a message: a broken property is a finding like a crash.
[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz property broken: %s %s\n", what, detail.c_str());
  std::abort();
}

// The input as a file the code under test opens by name. An anonymous memory file reached
// through /proc/self/fd: nothing touches the disk, nothing is left behind, and two fuzzers
// (or CI and a developer) never share it.
class InputFile {
 public:
  InputFile() : fd_(memfd_create("driveflash-fuzz-input", 0)) {
    if (fd_ < 0) {
      fail("memfd_create failed");
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~InputFile() { close(fd_); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Replaces the file's content; returns its path.
  const char* write(std::span<const std::uint8_t> bytes) {
    if (ftruncate(fd_, 0) != 0) {
      fail("ftruncate failed");
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n =
          pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      if (n <= 0) {
        fail("pwrite failed");
      }
      done += static_cast<std::size_t>(n);
    }
    return path_.c_str();
  }
  const char* path() const { return path_.c_str(); }

 private:
  int fd_;
  std::string path_;
};

// Random bytes almost never decipher into a record, so the encrypted-hex targets can also
// take their input as plaintext: every whole block is enciphered under the built-in key as
// the format's writer does, a trailing part block stays as it is (a file cut inside a block).
inline Bytes encipher_blocks(std::span<const std::uint8_t> plain) {
  Bytes out(plain.begin(), plain.end());
  const std::size_t whole = out.size() - out.size() % image::kCipherBlock;
  for (std::size_t at = 0; at < whole; at += image::kCipherBlock) {
    crypto::encrypt_block(out.data() + at);
  }
  return out;
}

// The first input byte chooses how the rest becomes a firmware file: bit 0 plain (0) or
// encrypted (1) hex; for encrypted files bit 1 takes the rest as ciphertext (0) or as
// plaintext to encipher (1).
struct FirmwareInput {
  int filetype = 0;  // kFileTypeHex or kFileTypeEhex
  std::uint8_t flags = 0;
  Bytes file;
};

inline FirmwareInput firmware_input(const std::uint8_t* data, std::size_t size) {
  FirmwareInput in;
  if (size == 0) {
    return in;
  }
  in.flags = data[0];
  in.filetype = (data[0] & 1) != 0 ? 1 : 0;
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  if (in.filetype == 1 && (data[0] & 2) != 0) {
    in.file = encipher_blocks(rest);
  } else {
    in.file.assign(rest.begin(), rest.end());
  }
  return in;
}

}  // namespace driveflash::fuzz
