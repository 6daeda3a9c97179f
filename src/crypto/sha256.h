// SHA-256 (FIPS 180-4), fed in pieces: the run log names the firmware a drive got by the
// digest of the very bytes the download read, without Qt beneath the front ends.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace driveflash::crypto {

class Sha256 {
 public:
  Sha256() { reset(); }
  void reset();
  void update(std::span<const std::uint8_t> bytes);
  // The digest of everything fed since the last reset; the object is spent until reset.
  std::array<std::uint8_t, 32> digest();
  // The digest as 64 lower-case hex digits.
  std::string hex_digest();

 private:
  void block(const std::uint8_t* p);

  std::array<std::uint32_t, 8> h_{};
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t used_ = 0;
  std::uint64_t length_ = 0;  // bytes fed
};

}  // namespace driveflash::crypto
