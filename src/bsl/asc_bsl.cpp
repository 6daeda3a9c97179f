#include "bsl/asc_bsl.h"

#include <array>
#include <climits>

#include "bsl/frames.h"
#include "platform/serial.h"
#include "run/run_context.h"

namespace {

// The ROM loader samples the line after each entry byte; it needs this long between them
// and before its answer can be read.
constexpr double kEntryByteGapSeconds = 0.2;
constexpr double kLengthReplyDelaySeconds = 0.1;

void write_byte(int port, std::uint8_t value) {
  const char byte = static_cast<char>(value);
  ComWrt(port, &byte, 1);
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
