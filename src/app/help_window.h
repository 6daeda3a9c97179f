// The window's help: opened by Help or F1, one at a time. GUI thread only.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace driveflash::app {

// Shows the help window (brings it to the front when it is open already); its "open the log
// folder" button calls `open_folder`, which says whether the folder could be shown; when it
// could not, the help window says so.
void show_help(const std::function<bool(const QString& folder)>& open_folder);
// The help window while it is open, else null.
QWidget* help_window();
void close_help();
// The per-user run log the help window points to.
QString run_log_path();

}  // namespace driveflash::app
