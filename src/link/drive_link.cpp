#include "link/drive_link.h"

#include <array>
#include <cstdio>
#include <span>
#include <string>

#include "bsl/frames.h"
#include "platform/serial.h"
#include "run/run_context.h"

namespace {

// Time the drive's firmware is given to answer before its reply is read, and the pause
// between the two identity requests.
constexpr unsigned kAnswerWaitMs = 200;
constexpr unsigned kBetweenRequestsMs = 500;

template <std::size_t N>
int write_request(int port, const std::array<std::uint8_t, N>& request) {
  return ComWrt(port, reinterpret_cast<const char*>(request.data()), static_cast<int>(N));
}

// Modbus RTU's CRC-16 (reflected polynomial 0xA001, start 0xFFFF), sent low byte first.
std::uint16_t modbus_crc(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0xFFFF;
  for (const std::uint8_t b : bytes) {
    crc = static_cast<std::uint16_t>(crc ^ b);
    for (int bit = 0; bit < 8; ++bit) {
      const bool low = (crc & 1U) != 0;
      crc = static_cast<std::uint16_t>(crc >> 1);
      if (low) {
        crc = static_cast<std::uint16_t>(crc ^ 0xA001U);
      }
    }
  }
  return crc;
}

// The drive's identity register as its answer gives it ("0x" and four hex digits), or "" when
// the 7 bytes are not a whole, intact answer of device 1 to a one-register read: the record
// must not carry a value that the line garbled. Whether the drive counts as found is decided
// by the count alone, as before.
std::string identity_of(const std::array<char, kIdentityReplySize>& answer) {
  std::array<std::uint8_t, kIdentityReplySize> b{};
  for (std::size_t i = 0; i < b.size(); ++i) {
    b[i] = static_cast<std::uint8_t>(answer[i]);
  }
  const std::uint16_t crc = modbus_crc(std::span(b).first(kIdentityReplySize - 2));
  if (b[0] != kIdentityRequest[0] || b[1] != kIdentityRequest[1] || b[2] != 2 ||
      b[5] != (crc & 0xFF) || b[6] != (crc >> 8)) {
    return "";
  }
  std::array<char, 8> text{};
  // NOLINTNEXTLINE(cert-err33-c): six characters in the 8-byte buffer
  std::snprintf(text.data(), text.size(), "0x%02X%02X", b[3], b[4]);
  return text.data();
}

int read_identity_answer(int port, bool deciding) {
  std::array<char, kIdentityReplySize> answer{};
  const int count = ComRd(port, answer.data(), kIdentityReplySize);
  if (deciding) {
    driveflash::run::note_drive_id(count == kIdentityReplySize ? identity_of(answer) : "");
  }
  return count;
}

}  // namespace

int PingToDrv(int port) {
  // Only the second answer decides: a drive that misses the first request, or answers it
  // late or garbled, is still found. The first answer is read only to clear it.
  write_request(port, kIdentityRequest);
  run_sleep(RunWait::kReplyLead, kAnswerWaitMs);
  read_identity_answer(port, false);
  run_sleep(RunWait::kRequestGap, kBetweenRequestsMs);

  write_request(port, kIdentityRequest);
  run_sleep(RunWait::kReplyLead, kAnswerWaitMs);
  return read_identity_answer(port, true) == kIdentityReplySize ? kStatusOk : kStatusBslInit;
}

int ResetBMI(int port) {
  return write_request(port, kResetRequest);
}
