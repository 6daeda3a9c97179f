// How the main thread waits during a run: for the worker to reach its resting state, or for
// the operator to ask for a stop (Ctrl-C). Signal handlers may only write to a pipe, so both
// come through one: the main thread waits on it, and does the stop itself. On Windows the
// console's control handler and the wake-ups set one event instead (waker_win.cpp).
//
// Two degrees: a stop lets the step under way end first (the whole download); an end means
// the program itself must go soon (a second Ctrl-C, a supervisor's SIGTERM, the terminal or
// console closing, logoff, shutdown), so nothing may wait long any more, but the main thread
// still stops what it started and writes its records before it goes.
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
  // Any thread, and async-signal-safe: the program must end soon (a stop as well).
  void request_end();
  bool end_requested() const { return end_.load(); }
  // Forgets an earlier stop or end request (tests that run twice).
  void reset();

  // Routes the signals that end a program to `waker`: Ctrl-C (SIGINT) asks for a stop and a
  // second one for the end; SIGTERM and SIGHUP (the terminal closed) ask for the end. One more
  // after the end was asked for leaves at once (status 130), should the program not get to
  // its end. SIGPIPE is ignored, so that a closed standard output ends no run half-way. On
  // Windows, Ctrl-C and Ctrl-Break count as SIGINT; closing the console, logging off and
  // shutting down ask for the end, and the system is held off until ended() (a few seconds at
  // most). Pass nullptr to restore the defaults.
  static void install_signal_handlers(RunWaker* waker);
  // The program has stopped what it started and written its records: a console that is
  // closing may take the process now.
  static void ended();

 private:
  // The wake-up channel: a pipe's read and write ends, or the event's handle in the first.
  std::array<std::intptr_t, 2> channel_ = {-1, -1};
  std::atomic<bool> stop_{false};
  std::atomic<bool> end_{false};
};

}  // namespace driveflash::platform
