// The operator's window on the offscreen Qt platform: a temporary working directory holding the
// panel file and the loader, the widget back end installed, dialogs answered from a script.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/operator_window.h"
#include "platform/panels.h"
#include "platform/timing.h"
#include "sim/virtual_drive.h"
#include "support/test_support.h"

class QAbstractButton;
class QComboBox;
class QLabel;
class QWidget;

namespace driveflash::test {

class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The operator window's options as SetUp installs them (settings, log and cli in the test's
  // directory), for a test that starts the window again.
  app::WindowOptions window_options();
  // Runs the GUI thread's queued work and events.
  void pump();
  // Pumps until `done` holds or `limit` of real time has passed; returns whether it held.
  bool pump_until(const std::function<bool()>& done,
                  std::chrono::milliseconds limit = std::chrono::seconds(30));

  // Loads and shows the main panel as start-up does, without entering the event loop.
  void open_main_panel();
  QWidget* widget(int panel, int control);
  QAbstractButton* button(int panel, int control);
  QComboBox* combo(int panel, int control);
  void click(int panel, int control);
  // Clicks the main panel's button that calls `callback`.
  void press(const std::string& callback);
  // The operator picks a file kind, or a port from the port control's list.
  void set_kind(int kind);
  void pick_port(int number);
  // The file dialog answers `path` (nullopt: cancelled) when the operator presses Select.
  void choose_file(std::optional<std::string> path);
  // The lines the popup's status box shows.
  QStringList popup_lines();
  int counter_shown();

  // Puts a virtual drive behind `port`.
  std::shared_ptr<sim::VirtualDrive> map_drive(int port, sim::Faults faults = {});
  // A plain hex file of `pages` 256-byte pages from 0x10001000.
  std::string write_firmware(const std::string& name, int pages = 4);

  TempDir dir_;
  std::unique_ptr<ScopedCwd> cwd_;
  struct FileAsk {
    std::string directory;
    std::string file_spec;
    std::string title;
  };
  std::vector<FileAsk> asks_;
  std::deque<std::optional<std::string>> answers_;
  std::vector<std::pair<std::string, std::string>> messages_;
  QStringList opened_folders_;  // what the help window's log folder button showed
  bool folder_opens_ = true;    // whether the desktop could show it
  QString job_file_;            // where Save job is told to save ("" : cancelled)
  // Yes/no questions asked, and the answers to give (yes once they run out).
  std::vector<std::pair<std::string, std::string>> questions_;
  std::deque<bool> confirm_answers_;
};

// Watches the worker: records how it dims the popup's OK button, and when asked holds it at
// a chosen change, so that a test can look at the window while the download is under
// way.
class WorkerWatch {
 public:
  explicit WorkerWatch(std::thread::id gui) : gui_(gui) {
    id_ = platform::add_observer([this](const platform::PanelEvent& e) { seen(e); });
  }
  ~WorkerWatch() {
    release();
    platform::remove_observer(id_);
  }
  WorkerWatch(const WorkerWatch&) = delete;
  WorkerWatch& operator=(const WorkerWatch&) = delete;
  // Holds the worker at the first change of its own that `at` picks.
  void hold_at(std::function<bool(const platform::PanelEvent&)> at) {
    std::lock_guard lock(mutex_);
    at_ = std::move(at);
    armed_ = true;
  }
  // ... at its first progress step.
  void hold_in_the_download() {
    hold_at([](const platform::PanelEvent& e) {
      return e.kind == platform::PanelEvent::Kind::Value && e.control == 4;
    });
  }
  void release() {
    std::lock_guard lock(mutex_);
    armed_ = false;
    cv_.notify_all();
  }
  bool holding() {
    std::lock_guard lock(mutex_);
    return holding_;
  }
  std::vector<int> dims() {
    std::lock_guard lock(mutex_);
    return dims_;
  }

 private:
  void seen(const platform::PanelEvent& e) {
    std::unique_lock lock(mutex_);
    // Only the popup has a control that is ever dimmed.
    if (e.kind == platform::PanelEvent::Kind::Attribute && e.control == 3 &&
        e.attribute == ATTR_DIMMED) {
      dims_.push_back(std::get<int>(e.value));
    }
    if (armed_ && std::this_thread::get_id() != gui_ && at_(e)) {
      holding_ = true;
      cv_.wait(lock, [this] { return !armed_; });
      holding_ = false;
    }
  }

  const std::thread::id gui_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::function<bool(const platform::PanelEvent&)> at_;
  int id_ = 0;
  bool armed_ = false;
  bool holding_ = false;
  std::vector<int> dims_;
};

// The same in virtual time: the run's waits and time-outs cost nothing.
class VirtualTimeGuiTest : public GuiTest {
 protected:
  platform::ScopedVirtualClock clock_;
};

// A run through the window on a virtual drive, its worker watched so that a test can hold it.
class WindowRunTest : public VirtualTimeGuiTest {
 protected:
  static constexpr int kRunPort = 7;

  // The window on the virtual drive with `faults` (the sim: option text), a firmware of `pages`
  // pages chosen.
  void prepare(const std::string& faults = "", int pages = 4);
  void prepare(const sim::Faults& faults, int pages);
  void TearDown() override;
  static QWidget* popup();
  static QLabel* label(const char* name);
  // The verdict label's state ("running", "programmed", ...); empty without a popup.
  static QString verdict();

  std::string file_;
  std::shared_ptr<sim::VirtualDrive> drive_;
  std::unique_ptr<WorkerWatch> watch_;
};

}  // namespace driveflash::test
