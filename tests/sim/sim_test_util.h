// Frames and conversations with the virtual drive, built here on their own so that the drive
// is checked against the wire format and not against the tool's frame code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/virtual_drive.h"
#include "support/test_support.h"

namespace driveflash::sim::test {

using driveflash::test::Bytes;
using driveflash::test::hex_bytes;
using driveflash::test::to_hex;

inline const Bytes kIdentity = hex_bytes("01 03 00 00 00 01 84 0A");
inline const Bytes kReset = hex_bytes("01 06 00 5C 00 01 88 18");

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline void put_be(Bytes& f, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) f[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

inline void seal(Bytes& f) {
  std::uint8_t x = 0;
  for (std::size_t i = 1; i + 1 < f.size(); ++i) x ^= f[i];
  f.back() = x;
}

inline Bytes header(std::uint8_t mode, std::uint32_t word1, std::uint32_t word2 = 0) {
  Bytes f(16, 0);
  f[1] = mode;
  put_be(f, 2, word1);
  put_be(f, 6, word2);
  seal(f);
  return f;
}
inline Bytes erase(std::uint32_t sector) {
  return header(3, sector, 0x1000);
}
inline Bytes program(std::uint32_t page) {
  return header(0, page);
}
inline Bytes read_word(std::uint32_t address) {
  return header(4, address);
}
inline Bytes run() {
  return header(1, 0xF8C1);
}

inline Bytes page_of(std::uint8_t seed) {
  Bytes page(256);
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(seed + i);
  return page;
}

inline Bytes data(const Bytes& page, std::uint8_t mode = 1) {
  Bytes f(264, 0);
  f[0] = 0x01;
  f[1] = mode;
  std::copy(page.begin(), page.end(), f.begin() + 2);
  seal(f);
  return f;
}
inline Bytes data(std::uint8_t seed) {
  return data(page_of(seed));
}

inline Bytes eot() {
  Bytes f(16, 0);
  f[0] = 0x02;
  return f;
}

// Feeds each chunk and returns every reply byte, in order.
inline Bytes talk(VirtualDrive& drive, const std::vector<Bytes>& chunks) {
  Bytes all;
  for (const Bytes& chunk : chunks) {
    for (const auto& out : drive.feed(chunk))
      all.insert(all.end(), out.bytes.begin(), out.bytes.end());
  }
  return all;
}

// The chunks that take a drive from its application into the secondary loader.
inline std::vector<Bytes> into_loader(std::size_t loader_size = 16) {
  return {
      kIdentity,
      kReset,
      {0x00},
      {0x6C},
      {static_cast<std::uint8_t>(loader_size), static_cast<std::uint8_t>(loader_size >> 8), 0, 0},
      Bytes(loader_size, 0xA5)};
}

// Replies of a healthy drive to into_loader(): identity reply, reset echo, 5D, 01, 01.
inline constexpr std::size_t kIntoLoaderReplySize = 7 + 8 + 3;

}  // namespace driveflash::sim::test
