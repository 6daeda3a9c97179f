#include "link/drive_link.h"

#include <array>

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

int read_identity_answer(int port) {
  std::array<char, kIdentityReplySize> answer{};
  return ComRd(port, answer.data(), kIdentityReplySize);
}

}  // namespace

int PingToDrv(int port) {
  // Only the second answer decides: a drive that misses the first request, or answers it
  // late or garbled, is still found. The first answer is read only to clear it.
  write_request(port, kIdentityRequest);
  run_sleep(RunWait::kReplyLead, kAnswerWaitMs);
  read_identity_answer(port);
  run_sleep(RunWait::kRequestGap, kBetweenRequestsMs);

  write_request(port, kIdentityRequest);
  run_sleep(RunWait::kReplyLead, kAnswerWaitMs);
  return read_identity_answer(port) == kIdentityReplySize ? kStatusOk : kStatusBslInit;
}

int ResetBMI(int port) {
  return write_request(port, kResetRequest);
}
