// Builders for Intel HEX text and encrypted-hex files used by the image tests.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "crypto/aes.h"
#include "support/test_support.h"

namespace driveflash::test {

// Bytes seed, seed + 7, seed + 14 ... so that misplaced bytes show.
inline Bytes pattern(std::size_t count, std::uint8_t seed = 1) {
  Bytes out(count);
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = static_cast<std::uint8_t>(seed + 7 * i);
  }
  return out;
}

inline std::string hex_record(unsigned type, unsigned address, const Bytes& data,
                              bool lower = false) {
  Bytes raw;
  raw.reserve(data.size() + 5);
  for (const unsigned b : {static_cast<unsigned>(data.size()), address >> 8, address, type}) {
    raw.push_back(static_cast<std::uint8_t>(b));
  }
  for (const std::uint8_t b : data) {
    raw.push_back(b);
  }
  unsigned sum = 0;
  for (const auto b : raw) {
    sum += b;
  }
  raw.push_back(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
  std::string text = ":";
  for (const char c : to_hex(raw)) {
    if (c != ' ') {
      text += lower ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : c;
    }
  }
  return text;
}

inline std::string ext_linear(unsigned upper) {
  return hex_record(0x04, 0,
                    {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)});
}

inline std::string eof_record() {
  return hex_record(0x01, 0, {});
}

// Data records of `per_record` bytes from `address` on, one per line.
inline std::string data_lines(unsigned address, const Bytes& data, std::size_t per_record = 16) {
  std::string text;
  for (std::size_t i = 0; i < data.size(); i += per_record) {
    const auto end = std::min(data.size(), i + per_record);
    text += hex_record(
                0x00, address + static_cast<unsigned>(i),
                Bytes(data.begin() + static_cast<long>(i), data.begin() + static_cast<long>(end))) +
            "\n";
  }
  return text;
}

// An encrypted-hex file: each record's text filled with `fill` to whole blocks, every block
// enciphered on its own under the built-in key.
inline Bytes ehex_file(const std::vector<std::string>& records, char fill = '\x1A') {
  Bytes out;
  for (std::string text : records) {
    text.resize((text.size() / 16 + 1) * 16, fill);
    for (std::size_t i = 0; i < text.size(); i += 16) {
      unsigned char block[16];
      for (std::size_t j = 0; j < 16; ++j) {
        block[j] = static_cast<unsigned char>(text[i + j]);
      }
      driveflash::crypto::encrypt_block(block);
      out.insert(out.end(), block, block + 16);
    }
  }
  return out;
}

}  // namespace driveflash::test
