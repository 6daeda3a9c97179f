// The station view: several ports programmed at once from the window, a tile per port. Each
// port runs as a process of its own, the command line's
//   driveflash-cli program FILE ... --port PORT --events --log RUNS.CSV [--repeat]
// exactly as its own --port does, so that a hang or a crash on one port cannot touch another;
// the view only reads their events. Every unit's row goes to the window's run log from its
// process. GUI thread only.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>

class QSettings;
class QWidget;

namespace driveflash::app {

struct StationOptions {
  QString cli_program;  // driveflash-cli; "" looks beside the program (and in the build tree)
  QString run_log;      // each unit's row goes here (--log)
  QString job_file;     // a locked job: every port's process gets --job and its checks
  QSettings* settings = nullptr;  // remembers the ports chosen; may be null
};

// Opens the station view (or brings it to the front) with the main panel's settings.
void show_station_view(const StationOptions& options);
QWidget* station_view();
// Whether a port's process is still there.
bool station_running();
// The ports chosen: replaces the list's checked ones (the operator's ticks, or a job's ports).
void set_station_ports(const QStringList& ports);
QStringList station_ports();
// The program ends: stops every port's process without asking, waits a little for each to
// end, and takes the view down.
void close_station_view();

// The driveflash-cli beside this program, or "" when there is none.
QString find_cli_program();

}  // namespace driveflash::app
