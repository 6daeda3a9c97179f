#include "run/timing_policy.h"

#include "platform/timing.h"

std::atomic<int> timingprofile{kTimingStandard};

bool wait_kept(RunWait kind) {
  if (timingprofile.load() != kTimingFast) {
    return true;
  }
  return kind == RunWait::kDriveState || kind == RunWait::kHandshake || kind == RunWait::kLineRule;
}

void run_delay(RunWait kind, double seconds) {
  if (wait_kept(kind)) {
    Delay(seconds);
  }
}

void run_sleep(RunWait kind, unsigned milliseconds) {
  if (wait_kept(kind)) {
    driveflash::Sleep(milliseconds);
  }
}

void run_wait_since(RunWait kind, driveflash::platform::Micros since,
                    driveflash::platform::Micros span) {
  namespace pf = driveflash::platform;
  if (!wait_kept(kind)) {
    return;
  }
  // Through Delay, so that the wait counts among the run's waits like every other.
  if (const pf::Micros left = since + span - pf::clock().now(); left.count() > 0) {
    Delay(static_cast<double>(left.count()) / 1e6);
  }
}
