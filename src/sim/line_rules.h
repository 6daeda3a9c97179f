// The rules of the wire that the virtual drive keeps: how long bytes take on it, the silence a
// Modbus RTU slave wants before a request, and seeded noise.
#pragma once

#include <chrono>
#include <cstdint>

namespace driveflash::sim {

using Micros = std::chrono::microseconds;

// Time `count` bytes of `bits` bits each take back to back at `baud`, counted as a whole and
// rounded up, as a port sends them.
Micros wire_span(std::uint64_t count, int bits, long baud);

// The silence a Modbus RTU slave needs after the last frame on the line before it takes a
// request: 3.5 characters of 11 bits, a fixed 1.75 ms above 19200 baud. Rounded down to the
// microsecond, so that a host that waits the exact time is never refused by rounding.
Micros modbus_silence(long baud);

// Line noise with a seed: each byte is hit at `rate`, the same bytes for the same seed and the
// same traffic. Half of the hits flip one of the byte's bits, the other half lose the byte.
class LineNoise {
 public:
  enum class Hit : std::uint8_t { kNone, kFlip, kLose };

  LineNoise(double rate, std::uint64_t seed);

  bool active() const { return always_ || threshold_ != 0; }
  // The fate of the next byte on the line; a flip is made in `byte`.
  Hit next(std::uint8_t& byte);

 private:
  std::uint64_t threshold_ = 0;  // a draw below it hits
  bool always_ = false;          // rate 1
  std::uint64_t seed_;
  std::uint64_t drawn_ = 0;
};

}  // namespace driveflash::sim
