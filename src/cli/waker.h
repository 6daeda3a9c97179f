// How the main thread waits during a run: for the worker to reach its resting state, or for
// the operator to ask for a stop (Ctrl-C). Signal handlers may only write to a pipe, so both
// come through one: the main thread polls it, and does the stop itself.
#pragma once

#include <atomic>
#include <chrono>

namespace driveflash::cli {

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
  // standard output ends no run half-way. Pass nullptr to restore the defaults.
  static void install_signal_handlers(RunWaker* waker);

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
  std::atomic<bool> stop_{false};
};

}  // namespace driveflash::cli
