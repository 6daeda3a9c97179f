// How the main thread waits during a run: for the worker to reach its resting state, or for
// the operator to ask for a stop (Ctrl-C). Signal handlers may only write to a pipe, so both
// come through one: the main thread waits on it, and does the stop itself. On Windows the
// console's control handler and the wake-ups set one event instead (waker_win.cpp).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace driveflash::platform {

class RunWaker {
 public:
  RunWaker();
  ~RunWaker();
  RunWaker(const RunWaker&) = delete;
  RunWaker& operator=(const RunWaker&) = delete;

  // Waits at most `timeout` for a wake-up or a stop request. Returns whether a stop has been
  // requested (now or before).
  bool wait(std::chrono::milliseconds timeout);
  // Any thread: something changed, look again.
  void wake() const;
  // Any thread, and async-signal-safe: stop the run.
  void request_stop();
  bool stop_requested() const { return stop_.load(); }
  // Forgets an earlier stop request (tests that run twice).
  void reset();

  // Routes SIGINT and SIGTERM to `waker`: the first asks for a stop, the second ends the
  // program at once with status 130 (143 for SIGTERM). SIGPIPE is ignored, so that a closed
  // standard output ends no run half-way. On Windows, Ctrl-C and Ctrl-Break do the same
  // (130). Pass nullptr to restore the defaults.
  static void install_signal_handlers(RunWaker* waker);

 private:
  // The wake-up channel: a pipe's read and write ends, or the event's handle in the first.
  std::array<std::intptr_t, 2> channel_ = {-1, -1};
  std::atomic<bool> stop_{false};
};

}  // namespace driveflash::platform
