#include "bsl/asc_bsl.h"

#include <array>
#include <climits>
#include <cmath>

#include "bsl/frames.h"
#include "platform/serial.h"
#include "platform/timing.h"
#include "run/run_context.h"

namespace {

// The ROM loader samples the line after each entry byte; it needs this long between them
// and before its answer can be read.
constexpr double kEntryByteGapSeconds = 0.2;
constexpr double kLengthReplyDelaySeconds = 0.1;

int write_byte(int port, std::uint8_t value) {
  const char byte = static_cast<char>(value);
  return ComWrt(port, &byte, 1);
}

// The reply byte is cleared first, so a chip that stays silent reads as 0x00.
std::uint8_t read_reply_byte(int port) {
  char reply = 0;
  ComRd(port, &reply, 1);
  return static_cast<std::uint8_t>(reply);
}

}  // namespace

int init_ASC_BSL(int port) {
  write_byte(port, kBslEntryByte1);
  run_delay(RunWait::kHandshake, kEntryByteGapSeconds);
  write_byte(port, kBslEntryByte2);
  run_delay(RunWait::kHandshake, kEntryByteGapSeconds);
  return read_reply_byte(port) == kBslEntryAck ? kStatusOk : kStatusBslInit;
}

int send_4_length(int port, std::uint32_t length) {
  const std::array<char, 4> bytes = {
      static_cast<char>(length & 0xFFU), static_cast<char>((length >> 8) & 0xFFU),
      static_cast<char>((length >> 16) & 0xFFU), static_cast<char>((length >> 24) & 0xFFU)};
  ComWrt(port, bytes.data(), static_cast<int>(bytes.size()));
  run_delay(RunWait::kReplyLead, kLengthReplyDelaySeconds);
  return read_reply_byte(port) == kBslLoaderAck ? kStatusOk : kStatusBslInit;
}

int send_ASCloader(int port, const unsigned char* image, std::uint32_t length) {
  if (length > 0) {
    // The chip was told `length`; anything it cannot be sent in one piece is a failed upload.
    if (image == nullptr || length > static_cast<std::uint32_t>(INT_MAX)) {
      return kStatusBootcode;
    }
    const int count = static_cast<int>(length);
    if (ComWrt(port, reinterpret_cast<const char*>(image), count) != count) {
      return kStatusBootcode;
    }
  }
  return read_reply_byte(port) == kBslLoaderAck ? kStatusOk : kStatusBootcode;
}

int rescue_ASC_BSL(int port, double reply_window) {
  namespace pf = driveflash::platform;
  // A reply left from an earlier attempt, or junk, must not be taken for this one's.
  if (FlushInQ(port) < 0 || write_byte(port, kBslEntryByte1) < 0) {
    return kStatusComInit;
  }
  run_delay(RunWait::kHandshake, kEntryByteGapSeconds);
  if (write_byte(port, kBslEntryByte2) < 0) {
    return kStatusComInit;
  }
  run_delay(RunWait::kHandshake, kEntryByteGapSeconds);
  const pf::Micros window(std::llround(reply_window * 1e6));
  const pf::Micros deadline = pf::clock().now() + window;
  int status = kStatusBslInit;
  for (pf::Micros left = window; left.count() > 0; left = deadline - pf::clock().now()) {
    SetComTime(port, static_cast<double>(left.count()) / 1e6);
    char reply = 0;
    const int got = ComRd(port, &reply, 1);
    if (got < 0) {
      status = kStatusComInit;
      break;
    }
    if (got == 1 && static_cast<std::uint8_t>(reply) == kBslEntryAck) {
      status = kStatusOk;
      break;
    }
    if (got == 0) {
      break;  // the window is over
    }
  }
  SetComTime(port, reply_window);
  return status;
}
