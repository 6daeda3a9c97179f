// What the station view's Start settles before any port's process is started, and the command
// line each port's process gets: the job, or the main panel's settings as they are now.
#pragma once

#include <QString>
#include <QStringList>

namespace driveflash::app {

struct StationLaunch {
  QString cli_program;
  QString run_log;   // --log, "" for none
  QString job_file;  // --job, "" for the main panel's settings
  QStringList ports;
  bool loop = true;  // --repeat
  bool running = false;
};

// Why Start would not start (both languages), said once before any drive is touched; "" when
// it would.
QString station_refusal(const StationLaunch& launch);
// `driveflash-cli` ARGUMENTS for the process of `port`.
QStringList station_arguments(const StationLaunch& launch, const QString& port);

}  // namespace driveflash::app
