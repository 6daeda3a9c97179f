// Intel HEX text: the two digit decoders every reader shares, and the secondary loader's
// image built from its HEX file.
#include "image/intel_hex.h"

#include <array>

#include "bsl/frames.h"
#include "platform/files.h"

namespace {

// Largest capacity the loader's length field can announce.
constexpr unsigned kMaxCapacity = 0xFFFF;
constexpr int kDataStart = 9;
// ':' + count + address + type + the four digits of an upper address.
constexpr int kExtLinearChars = kDataStart + 4;

int digit_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  // The download parses text whose digits are already nibble values; they must read back
  // as themselves.
  return static_cast<unsigned char>(c) & 0x0F;
}

// The image's write position. Every byte goes through put(), so none lands past the end of
// the buffer, whatever the file asks for.
class ImageWriter {
 public:
  explicit ImageWriter(std::span<unsigned char> image) : image_(image) {}
  bool put(unsigned char byte) {
    if (pos_ >= image_.size()) {
      return false;
    }
    image_[pos_++] = byte;
    return true;
  }
  // Bytes written so far: data and gap fill.
  std::size_t written() const { return pos_; }

 private:
  std::span<unsigned char> image_;
  std::size_t pos_ = 0;
};

struct RecordPosition {
  unsigned address = 0;
  unsigned count = 0;
};

int field(const char* text, unsigned digits) {
  int value = 0;
  charToInt(&value, text, digits);
  return value;
}

}  // namespace

unsigned charToInt(int* value, const char* text, unsigned digits) {
  *value = 0;
  for (unsigned i = 0; i < digits; ++i) {
    *value |= digit_value(text[i]) << (4 * (digits - 1 - i));
  }
  return digits;
}

int ASCIItoHEX(char* buffer, int length) {
  if (length <= 0) {
    return 0;
  }
  for (int i = 0; i < length; ++i) {
    const char c = buffer[i];
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) {
      buffer[i] = static_cast<char>(digit_value(c));
    }
  }
  return length;
}

int make_flash_image(const char* path, unsigned char* image, unsigned capacity,
                     unsigned* baseAddress, unsigned* imageLength) {
  if (image == nullptr) {
    return kStatusInvalidHexfile;
  }
  return make_flash_image(path, std::span<unsigned char>(image, kLoaderImageBuffer), capacity,
                          baseAddress, imageLength);
}

int make_flash_image(const char* path, std::span<unsigned char> image, unsigned capacity,
                     unsigned* baseAddress, unsigned* imageLength) {
  if (capacity > kMaxCapacity || path == nullptr || baseAddress == nullptr ||
      imageLength == nullptr) {
    return kStatusInvalidHexfile;
  }
  const driveflash::platform::FileHandle file(
      CVI_OpenFile(path, VAL_READ_ONLY, VAL_OPEN_AS_IS, VAL_ASCII));
  if (!file.valid()) {
    return kStatusInvalidHexfile;
  }
  *imageLength = 0;
  ImageWriter out(image);
  unsigned base = 0;
  RecordPosition last;
  bool addressSeen = false;
  bool basePending = false;
  // Set by the first upper-address record, so that the image starts with the first data
  // byte instead of the record's offset in zeros.
  bool skipGap = false;
  // Where the last data byte went: gap fill counts no data but moves the data after it along.
  std::size_t dataEnd = 0;
  // Cleared before each line: fields a short line lacks read as zero, never as the text of
  // an earlier line.
  std::array<char, kLineLimit + 1> line{};

  for (;;) {
    line.fill('\0');
    const int length = ReadLine(file.get(), line.data(), kLineLimit);
    if (length == kEndOfFile) {
      break;
    }
    // A line that fills the buffer is longer than any record, so it is not one.
    if (length < 0 || length >= kLineLimit) {
      return kStatusInvalidHexfile;
    }
    const RecordPosition previous = last;
    last.count = static_cast<unsigned>(field(&line[1], 2));
    last.address = static_cast<unsigned>(field(&line[3], 4));
    if (last.count > 0 && kDataStart + 2 * static_cast<int>(last.count) > length) {
      return kStatusInvalidHexfile;
    }

    if (skipGap) {
      skipGap = false;
    } else {
      for (unsigned a = previous.address + previous.count; a < last.address; ++a) {
        if (!out.put(0)) {
          return kStatusInvalidHexfile;
        }
      }
    }

    const int type = field(&line[7], 2);
    if (type == kRecordData) {
      if (basePending) {
        base |= last.address;
        basePending = false;
      }
      for (unsigned i = 0; i < last.count; ++i) {
        if (!out.put(static_cast<unsigned char>(field(&line[kDataStart + 2 * i], 2)))) {
          return kStatusInvalidHexfile;
        }
      }
      *imageLength += last.count;
      dataEnd = out.written();
    } else if (type == kRecordExtLinear && !addressSeen) {
      if (length < kExtLinearChars) {
        return kStatusInvalidHexfile;
      }
      base = (static_cast<unsigned>(field(&line[kDataStart], 4)) & 0xFFFFu) << 16;
      addressSeen = true;
      basePending = true;
      skipGap = true;
    }
  }

  // The run sends `capacity` bytes of the image: data that gap fill pushed past them would
  // never reach the chip, yet the image would pass as built.
  if (*imageLength > capacity || *imageLength == 0 || dataEnd > capacity) {
    return kStatusInvalidHexfile;
  }
  while (*imageLength < kLoaderImageFill) {
    if (!out.put(0)) {
      return kStatusInvalidHexfile;
    }
    ++*imageLength;
  }
  *baseAddress = base;
  return 0;
}
