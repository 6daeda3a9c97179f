#include "run/rescue_status.h"

#include <atomic>

#include "platform/timing.h"

namespace driveflash::run {
namespace {

// The start is written last on begin and cleared first on end, so a reader that sees a start
// sees the limit that goes with it.
std::atomic<std::int64_t> g_start_us{-1};
std::atomic<int> g_limit{0};
std::atomic<int> g_attempts{0};
std::atomic<bool> g_port_lost{false};

}  // namespace

RescueStatus rescue_status() {
  RescueStatus s;
  const std::int64_t start = g_start_us.load();
  if (start < 0) {
    return s;
  }
  s.waiting = true;
  s.limit_seconds = g_limit.load();
  s.attempts = g_attempts.load();
  s.port_lost = g_port_lost.load();
  const std::int64_t now = platform::clock().now().count();
  s.waited_seconds = now > start ? static_cast<double>(now - start) / 1e6 : 0.0;
  return s;
}

void rescue_begin(int limit_seconds) {
  g_limit = limit_seconds;
  g_attempts = 0;
  g_port_lost = false;
  g_start_us = platform::clock().now().count();
}

void rescue_attempt(bool port_lost) {
  g_port_lost = port_lost;
  ++g_attempts;
}

void rescue_end() {
  g_start_us = -1;
  g_port_lost = false;
}

}  // namespace driveflash::run
