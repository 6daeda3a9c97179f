#include "sim/line_rules.h"

#include <algorithm>
#include <cmath>

namespace driveflash::sim {
namespace {

// splitmix64: the n-th draw needs no state but n, and the same n gives the same draw on every
// system (no library distribution, whose results differ between standard libraries).
std::uint64_t mix(std::uint64_t z) {
  z += 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace

Micros wire_span(std::uint64_t count, int bits, long baud) {
  const auto per_baud = static_cast<std::uint64_t>(std::max(bits, 1)) * 1'000'000U;
  const auto b = static_cast<std::uint64_t>(std::max(baud, 1L));
  return Micros(static_cast<Micros::rep>((count * per_baud + b - 1) / b));
}

Micros modbus_silence(long baud) {
  constexpr long kFixedAbove = 19200;
  constexpr Micros kFixed{1750};
  // 3.5 characters of 11 bits: 38.5 bit times.
  constexpr std::int64_t kTenthBitMicros = 385'000'000;
  if (baud > kFixedAbove) {
    return kFixed;
  }
  return Micros(kTenthBitMicros / (10 * std::max(baud, 1L)));
}

LineNoise::LineNoise(double rate, std::uint64_t seed) : seed_(mix(seed)) {
  if (!(rate > 0)) {  // also NaN
    return;
  }
  if (rate >= 1) {
    always_ = true;
    return;
  }
  // Below 1 the product stays below 2^64 (at most 2^64 - 2^11), so it fits.
  threshold_ = static_cast<std::uint64_t>(std::ldexp(rate, 64));
}

LineNoise::Hit LineNoise::next(std::uint8_t& byte) {
  if (!active()) {
    return Hit::kNone;
  }
  const std::uint64_t draw = mix(seed_ + drawn_++);
  if (!always_ && draw >= threshold_) {
    return Hit::kNone;
  }
  // A second, independent draw picks what the hit does.
  const std::uint64_t what = mix(draw ^ seed_);
  if ((what & 1U) == 0) {
    return Hit::kLose;
  }
  byte ^= static_cast<std::uint8_t>(1U << ((what >> 1) & 7U));
  return Hit::kFlip;
}

}  // namespace driveflash::sim
