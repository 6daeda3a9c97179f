// Firmware files for the download's tests, written as a linker or the encrypting tool would.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/hex_records.h"

namespace driveflash::test {

// Data bytes are never zero and depend on their address, so fill shows and so does a byte
// at a wrong address.
inline std::uint8_t pattern_at(std::uint32_t address) {
  return static_cast<std::uint8_t>(0x80u |
                                   ((address ^ (address >> 7u) ^ (address >> 14u)) & 0x7Fu));
}

// `n` pattern bytes for the full address (its low half is the address field).
inline std::string data_record(std::uint32_t full, std::size_t n) {
  Bytes data;
  for (std::size_t i = 0; i < n; ++i) {
    data.push_back(pattern_at(full + static_cast<std::uint32_t>(i)));
  }
  return hex_record(0x00, static_cast<std::uint16_t>(full), data);
}

// `count` records of `size` bytes back to back from `full`, within one 64 KB segment.
inline std::vector<std::string> data_run(std::uint32_t full, int count, std::size_t size = 16) {
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    out.push_back(
        data_record(full + static_cast<std::uint32_t>(static_cast<std::size_t>(i) * size), size));
  }
  return out;
}

template <class T>
std::vector<T> join(std::initializer_list<std::vector<T>> parts) {
  std::vector<T> out;
  for (const auto& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

// Lines joined with CR LF, each line ended.
inline std::string plain_file(const std::vector<std::string>& records) {
  std::string text;
  for (const auto& r : records) {
    text += r + "\r\n";
  }
  return text;
}

// The fill is not part of a record; something other than zero shows it is ignored.
inline Bytes ehex_file_of(const std::vector<std::string>& records) {
  return ehex_file(records, 0x5A);
}

// The 34-line file: a 04 record, 32 records of 16 bytes from 0x10001000, end of file.
inline std::vector<std::string> two_page_records() {
  return join({{ext_linear(0x1000)}, data_run(0x10001000, 32), {eof_record()}});
}

}  // namespace driveflash::test
