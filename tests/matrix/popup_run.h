// A programming run driven as the operator drives it: Program on a headless main panel
// schedules the worker on a pool thread, the popup comes from a panel source, and the run ends
// by closing the popup through its close box or its OK button. Every wait on the worker is
// bounded in real time; a close that never returns is caught by a watchdog.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace driveflash::test {

// Ends the process with a message naming `what` unless destroyed within `limit`: a run whose
// close hangs must not hang the whole test program with it.
class Watchdog {
 public:
  Watchdog(std::string what, std::chrono::seconds limit);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

class PopupRun {
 public:
  static constexpr int kPort = 4;
  // Long enough for any run in real time on a busy machine; a run in virtual time takes
  // milliseconds.
  static constexpr std::chrono::milliseconds kRestLimit{60'000};

  enum class Panels {
    kDefinitions,  // the two panels made from definitions here: quick to load
    kPanelFile,    // the program's own panel file, read on every load as the program does
  };

  // Works in a temporary directory of its own that holds the loader (and the panel file).
  explicit PopupRun(Panels panels = Panels::kDefinitions);
  ~PopupRun();
  PopupRun(const PopupRun&) = delete;
  PopupRun& operator=(const PopupRun&) = delete;

  // Writes the firmware file and chooses it with its kind (1: encrypted).
  void set_firmware(const std::string& name, const std::string& content, int kind = 0);
  // Presses Program. Returns whether the run started (the popup is up, the worker scheduled).
  bool press_program();
  // Waits in real time for the worker to rest in state 6; false after `limit`.
  bool wait_for_rest(std::chrono::milliseconds limit = kRestLimit);
  // The operator closes the popup: its close box, or its OK button. Returns whether the popup
  // is gone afterwards (a dimmed OK button does nothing).
  bool close_popup();
  bool press_ok();
  // Real time the last close (or OK) took to return.
  std::chrono::microseconds last_close_time() const { return close_time_; }

  // The popup's status lines of the last run, as the worker appended them.
  std::vector<std::string> lines() const;
  int counter_display() const;
  const TempDir& dir() const { return dir_; }

 private:
  bool stop_through(int control, int event);

  TempDir dir_;
  std::unique_ptr<ScopedCwd> cwd_;
  int observer_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable rest_cv_;
  std::vector<std::string> lines_;
  bool rested_ = false;
  std::chrono::microseconds close_time_{0};
};

}  // namespace driveflash::test
