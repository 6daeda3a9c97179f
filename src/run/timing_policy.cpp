#include "run/timing_policy.h"

#include "platform/timing.h"

std::atomic<int> timingprofile{kTimingStandard};

bool wait_kept(RunWait kind) {
  if (timingprofile.load() != kTimingFast) {
    return true;
  }
  return kind == RunWait::kDriveState || kind == RunWait::kHandshake;
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
