// The virtual drive's frame parser fed hostile bytes, from power-up or with its secondary
// loader already running, in feeds of any size, under a few of its fault settings.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz_support.h"
#include "sim/faults.h"
#include "sim/virtual_drive.h"

namespace df = driveflash::fuzz;
namespace sim = driveflash::sim;

namespace {

constexpr std::size_t kHeaderFrame = 16;
constexpr std::size_t kDataFrame = 264;

// Fault settings that change how frames are answered or carried out.
constexpr std::array<const char*, 8> kFaultSets = {
    "",
    "protect=2",
    "reply:data@2=FA",
    "reply:header@1=FC,reply:eot@1=00",
    "silent-from:data@3",
    "disconnect:erase@2",
    "handshake=00,length-reply=FF",
    "slow=1ms",
};

sim::Faults faults(std::size_t index) {
  sim::Faults f;
  std::string error;
  if (!sim::parse_faults(kFaultSets[index % kFaultSets.size()], f, error)) {
    df::fail("a fault set does not parse:", error);
  }
  return f;
}

// XOR of every byte but the first and the last, in the last: a frame the loader accepts.
void seal(std::span<std::uint8_t> frame) {
  std::uint8_t x = 0;
  for (std::size_t i = 1; i + 1 < frame.size(); ++i) {
    x ^= frame[i];
  }
  frame.back() = x;
}

std::size_t feed_length(std::uint8_t code) {
  switch (code) {
    case 0xFE:
      return kHeaderFrame;
    case 0xFF:
      return kDataFrame;
    default:
      return code;
  }
}

void into_loader(sim::VirtualDrive& drive) {
  const std::array<df::Bytes, 6> steps = {df::Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A},
                                          df::Bytes{0x01, 0x06, 0x00, 0x5C, 0x00, 0x01, 0x88, 0x18},
                                          df::Bytes{0x00},
                                          df::Bytes{0x6C},
                                          df::Bytes{4, 0, 0, 0},
                                          df::Bytes(4, 0xA5)};
  for (const df::Bytes& step : steps) {
    drive.feed(step);
  }
}

}  // namespace

// Input: one flags byte (bit 0: start in the secondary loader; bit 1: seal feeds of a frame's
// size with the right checksum; bits 2-4: fault set), then feeds as a length byte and that
// many bytes (a length past the end takes what is left; FE and FF stand for a header's and a
// data frame's size).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::uint8_t flags = data[0];
  sim::VirtualDrive drive(faults((flags >> 2) & 7));
  if ((flags & 1) != 0) {
    into_loader(drive);
  }
  df::Bytes feed;
  std::size_t at = 1;
  std::uint64_t fed = 0;
  while (at < size) {
    const std::size_t length = std::min(feed_length(data[at]), size - at - 1);
    ++at;
    feed.assign(data + at, data + at + length);
    at += length;
    if ((flags & 2) != 0 && (feed.size() == kHeaderFrame || feed.size() == kDataFrame)) {
      seal(feed);
    }
    fed += feed.size();
    std::size_t consumed = 0;
    for (const sim::VirtualDrive::Output& out : drive.feed(feed)) {
      if (out.consumed < consumed || out.consumed > feed.size()) {
        df::fail("an answer consumed bytes the feed did not have");
      }
      consumed = out.consumed;
      if (out.disconnect && !drive.unplugged()) {
        df::fail("a disconnect that left the drive plugged in");
      }
    }
  }
  if (!drive.unplugged() && drive.statistics().bytes_received < fed) {
    df::fail("the drive lost count of the bytes it took in");
  }
  // Reading flash anywhere must stay inside the model.
  const auto s = drive.statistics();
  (void)drive.read_flash(0x10001000, 256 * (s.pages_programmed % 900));
  return 0;
}
