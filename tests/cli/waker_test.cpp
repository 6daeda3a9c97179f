// The run's wake-up channel on each system (a pipe on POSIX, an event on Windows).
#include "platform/waker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace driveflash::cli {
namespace {

using namespace std::chrono_literals;

TEST(RunWaker, WakeUpsAndStopsEndTheWaitEarly) {
  platform::RunWaker waker;
  const auto start = std::chrono::steady_clock::now();
  // A hang shows as the whole 20 s of a wait; each of these must end long before.
  waker.wake();
  EXPECT_FALSE(waker.wait(20s));
  std::thread stopper([&waker] {
    std::this_thread::sleep_for(50ms);
    waker.request_stop();
  });
  EXPECT_TRUE(waker.wait(20s));
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  // The stop stays requested until it is forgotten.
  EXPECT_TRUE(waker.wait(1ms));
  waker.reset();
  EXPECT_FALSE(waker.stop_requested());
  EXPECT_FALSE(waker.wait(1ms));
  // An end is a stop as well, and ends a wait the same way.
  EXPECT_FALSE(waker.end_requested());
  std::thread ender([&waker] {
    std::this_thread::sleep_for(50ms);
    waker.request_end();
  });
  EXPECT_TRUE(waker.wait(20s));
  ender.join();
  EXPECT_TRUE(waker.end_requested());
  EXPECT_TRUE(waker.stop_requested());
  waker.reset();
  EXPECT_FALSE(waker.end_requested());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

}  // namespace
}  // namespace driveflash::cli
