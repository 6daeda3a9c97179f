#include "link/drive_link.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>

#include "bsl/frames.h"
#include "platform/serial.h"
#include "platform/timing.h"
#include "run/run_context.h"

namespace {

namespace pf = driveflash::platform;

// Time the drive's firmware is given to answer before its reply is read, and the pause
// between the two identity requests.
constexpr unsigned kAnswerWaitMs = 200;
constexpr unsigned kBetweenRequestsMs = 500;

// A normal answer to the identity request: device 1, function 3, two data bytes.
constexpr std::uint8_t kIdentityByteCount = 2;

// When the line last carried a frame, as far as the host can tell: the end of its own request
// on the wire, or the moment the last reply byte had arrived. A Modbus slave takes the next
// request only after the silence that follows. Kept for one port at a time, the one the run
// talks to.
struct LineQuiet {
  int port = -1;
  std::int64_t since_us = 0;  // platform clock
};
std::mutex g_quiet_mutex;
LineQuiet g_quiet;

// A new exchange on a freshly opened port: the line's earlier traffic, if any, is not ours
// to time (and a test's clock may have started over).
void forget_line() {
  std::lock_guard lock(g_quiet_mutex);
  g_quiet = LineQuiet{};
}

void line_busy_until(int port, pf::Micros until) {
  std::lock_guard lock(g_quiet_mutex);
  if (g_quiet.port != port) {
    g_quiet = {port, until.count()};
  } else {
    g_quiet.since_us = std::max(g_quiet.since_us, until.count());
  }
}

// Every profile keeps the silence before a request, however long its other waits.
void keep_modbus_silence(int port) {
  pf::Micros since{0};
  {
    std::lock_guard lock(g_quiet_mutex);
    if (g_quiet.port != port) {
      return;
    }
    since = pf::Micros(g_quiet.since_us);
  }
  run_wait_since(RunWait::kLineRule, since, modbus_silence(pf::port_baud(port)));
}

template <std::size_t N>
int write_request(int port, const std::array<std::uint8_t, N>& request) {
  keep_modbus_silence(port);
  const int written =
      ComWrt(port, reinterpret_cast<const char*>(request.data()), static_cast<int>(N));
  line_busy_until(port, pf::clock().now() + pf::wire_time(N, pf::port_baud(port)));
  return written;
}

int read_identity_answer(int port, std::array<std::uint8_t, kIdentityReplySize>& answer) {
  const int got = ComRd(port, reinterpret_cast<char*>(answer.data()), kIdentityReplySize);
  if (got > 0) {
    line_busy_until(port, pf::clock().now());
  }
  return got;
}

std::uint16_t modbus_crc16(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0xFFFF;
  for (const std::uint8_t b : bytes) {
    crc = static_cast<std::uint16_t>(crc ^ b);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1U) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001U)
                            : static_cast<std::uint16_t>(crc >> 1);
    }
  }
  return crc;
}

// Whether the 7 bytes are a whole, intact answer of device 1 to a one-register read.
bool sound_identity(const std::array<std::uint8_t, kIdentityReplySize>& answer) {
  const std::uint16_t crc = modbus_crc16(std::span(answer).first(kIdentityReplySize - 2));
  return answer[0] == kIdentityRequest[0] && answer[1] == kIdentityRequest[1] &&
         answer[2] == kIdentityByteCount && answer[5] == (crc & 0xFFU) && answer[6] == (crc >> 8U);
}

// The drive's identity register as its answer gives it ("0x" and four hex digits), or "" when
// the answer is not sound: the record must not carry a value that the line garbled. Whether
// the drive counts as found is decided by the count alone, as before.
std::string identity_of(const std::array<std::uint8_t, kIdentityReplySize>& answer, int count) {
  if (count != kIdentityReplySize || !sound_identity(answer)) {
    return "";
  }
  std::array<char, 8> text{};
  // NOLINTNEXTLINE(cert-err33-c): six characters in the 8-byte buffer
  std::snprintf(text.data(), text.size(), "0x%02X%02X", answer[3], answer[4]);
  return text.data();
}

}  // namespace

driveflash::platform::Micros modbus_silence(long baud) {
  // 3.5 characters of 11 bits (38.5 bit times), rounded up; a fixed 1.75 ms above 19200 baud.
  constexpr long kFixedAbove = 19200;
  constexpr pf::Micros kFixed{1750};
  constexpr std::int64_t kTenthBitMicros = 385'000'000;
  if (baud <= 0 || baud > kFixedAbove) {
    return kFixed;
  }
  const std::int64_t tenth_baud = 10 * static_cast<std::int64_t>(baud);
  return std::max(kFixed, pf::Micros((kTenthBitMicros + tenth_baud - 1) / tenth_baud));
}

int PingToDrv(int port) {
  // Only the second answer decides: a drive that misses the first request, or answers it
  // late or garbled, is still found. The first answer is read only to clear it.
  forget_line();
  std::array<std::uint8_t, kIdentityReplySize> answer{};
  write_request(port, kIdentityRequest);
  run_sleep(RunWait::kReplyLead, kAnswerWaitMs);
  read_identity_answer(port, answer);
  run_sleep(RunWait::kRequestGap, kBetweenRequestsMs);

  write_request(port, kIdentityRequest);
  run_sleep(RunWait::kReplyLead, kAnswerWaitMs);
  answer = {};
  const int count = read_identity_answer(port, answer);
  driveflash::run::note_drive_id(identity_of(answer, count));
  return count == kIdentityReplySize ? kStatusOk : kStatusBslInit;
}

int ResetBMI(int port) {
  return write_request(port, kResetRequest);
}

int probe_drive(int port) {
  forget_line();
  FlushInQ(port);
  std::array<std::uint8_t, kIdentityReplySize> answer{};
  write_request(port, kIdentityRequest);
  const int count = read_identity_answer(port, answer);
  if (count != kIdentityReplySize || !sound_identity(answer)) {
    return kStatusBslInit;
  }
  driveflash::run::note_drive_id(identity_of(answer, count));
  return kStatusOk;
}
