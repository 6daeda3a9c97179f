#include "platform/timing.h"

#include <cmath>
#include <thread>

namespace driveflash::platform {
namespace {

RealClock g_real_clock;
std::atomic<Clock*> g_clock{&g_real_clock};
std::atomic<std::int64_t> g_requested_waits{0};

void wait(Micros duration) {
  g_requested_waits += duration.count();
  Clock& c = clock();
  c.sleep_until(c.now() + duration);
}

}  // namespace

Micros RealClock::now() {
  return std::chrono::duration_cast<Micros>(std::chrono::steady_clock::now().time_since_epoch());
}

void RealClock::sleep_until(Micros deadline) {
  const auto target = std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(deadline));
  std::this_thread::sleep_until(target);
}

void VirtualClock::sleep_until(Micros deadline) {
  std::int64_t current = now_.load();
  while (current < deadline.count() && !now_.compare_exchange_weak(current, deadline.count())) {
  }
  // A virtual sleep takes no time; giving up the processor keeps a loop that polls a flag
  // (a run resting in its final state) from starving the thread that will set it.
  std::this_thread::yield();
}

Clock& clock() {
  return *g_clock.load();
}

void set_clock(Clock* c) {
  g_clock.store(c != nullptr ? c : &g_real_clock);
}

Micros requested_waits() {
  return Micros(g_requested_waits.load());
}

void reset_requested_waits() {
  g_requested_waits.store(0);
}

}  // namespace driveflash::platform

void Delay(double seconds) {
  if (!(seconds > 0.0)) {
    return;
  }
  driveflash::platform::wait(driveflash::platform::Micros(std::llround(seconds * 1e6)));
}

void driveflash::Sleep(unsigned milliseconds) {
  driveflash::platform::wait(driveflash::platform::Micros(std::int64_t{milliseconds} * 1000));
}
