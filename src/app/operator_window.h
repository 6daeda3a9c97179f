// What the operator's window adds around a run: the popup's header (what is being programmed)
// and its verdict, the help window, keyboard shortcuts, the settings remembered between starts
// and the standard dialogs' texts in Chinese. Over Qt Widgets; GUI thread only.
#pragma once

#include <QString>
#include <functional>
#include <optional>

#include "app/help_window.h"
#include "app/job.h"

class QWidget;

namespace driveflash::app {

struct WindowOptions {
  // Where the settings live: "" for the user's own (QSettings' native place for driveflash);
  // tests give a file of their own.
  QString settings_file;
  // Shows a folder to the operator and says whether it could; by default the desktop's file
  // manager opens it.
  std::function<bool(const QString& folder)> open_folder;
  // Where every run's row goes; "" for the user's run log. The station view's processes get it.
  QString run_log;
  // driveflash-cli for the station view's ports; "" looks beside the program.
  QString cli_program;
  // A job opened at the start (--job FILE): locked for the whole session.
  std::optional<Job> job;
  QString job_file;
  // Asks where to save a job ("" when cancelled); by default Qt's save dialog.
  std::function<QString(const QString& suggested)> ask_job_file;
};

// After install_qt_panels(): sets the callbacks' window hooks, so that run_main_panel() and
// the programming popup get all of the above. uninstall_operator_window() saves the settings
// and takes the hooks back.
void install_operator_window(const WindowOptions& options = {});
void uninstall_operator_window();

// What the hooks do when the main panel is loaded and when the loop ends; for front ends (and
// tests) that load the main panel themselves.
void attach_main_panel(int panel);
void detach_main_panel(int panel);
void save_settings();

}  // namespace driveflash::app
