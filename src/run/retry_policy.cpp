#include "run/retry_policy.h"

#include <algorithm>

std::atomic<int> retrylimit{0};
std::atomic<int> verifyflash{0};

int retry_limit_of(int value) {
  return std::clamp(value, 0, kMaxRetries);
}
