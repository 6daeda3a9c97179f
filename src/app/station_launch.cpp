#include "app/station_launch.h"

#include <QFile>
#include <QFileInfo>

#include "app/job.h"
#include "app/window_parts.h"
#include "image/firmware_file.h"
#include "run/run_context.h"

namespace driveflash::app {

QString station_refusal(const StationLaunch& launch) {
  if (launch.running) {
    return QStringLiteral("工位仍在运行 / The station is still running.");
  }
  if (prgpanel > 0) {
    return QStringLiteral(
        "主窗口正在烧录，先关闭它的弹出窗口 / The main window is programming: "
        "close its popup first.");
  }
  if (launch.ports.isEmpty()) {
    return QStringLiteral("请至少选一个串口 / Choose at least one port.");
  }
  if (launch.cli_program.isEmpty() || !QFileInfo(launch.cli_program).isExecutable()) {
    return QStringLiteral(
        "找不到 driveflash-cli / driveflash-cli is not found beside the program.");
  }
  if (launch.job_file.isEmpty() && filename[0] == '\0') {
    return QStringLiteral("请先选择固件文件！\nChoose a firmware file first.");
  }
  // What every port would refuse: said once, before any drive is touched.
  const std::optional<Job> job = locked_job();
  const image::FirmwareFile firmware =
      image::read_firmware(job ? job->firmware : std::string(filename),
                           job ? job->kind : ctrl_int(mainpanel, MAINPANEL_FILETYPE));
  if (!firmware.read()) {
    return QStringLiteral("无法打开固件文件！\nCannot open the firmware file (it %1):\n%2")
        .arg(QString::fromStdString(firmware.error), QString::fromStdString(firmware.path));
  }
  if (firmware.report.refused()) {
    return QStringLiteral("固件文件被拒绝 / The firmware file is refused, %1:\n%2")
        .arg(QString::fromStdString(firmware.report.problem()),
             QString::fromStdString(firmware.path));
  }
  return QString::fromStdString(job_refusal(firmware));
}

QStringList station_arguments(const StationLaunch& launch, const QString& port) {
  QStringList words{QStringLiteral("program")};
  if (!launch.job_file.isEmpty()) {
    words << QStringLiteral("--job") << launch.job_file;
  } else {
    const int kind = ctrl_int(mainpanel, MAINPANEL_FILETYPE);
    words << QFile::decodeName(filename) << QStringLiteral("--kind")
          << (kind == kFileTypeEhex ? QStringLiteral("ehex") : QStringLiteral("hex"))
          << QStringLiteral("--drive-baud")
          << QString::number(ctrl_int(mainpanel, MAINPANEL_DRIVE_BAUD))
          << QStringLiteral("--loader-baud")
          << QString::number(ctrl_int(mainpanel, MAINPANEL_LOADER_BAUD))
          << QStringLiteral("--timing")
          << (ctrl_int(mainpanel, MAINPANEL_TIMING) == kTimingFast ? QStringLiteral("fast")
                                                                   : QStringLiteral("standard"));
    // Only where the panel offers retries, and only when some are asked for.
    if (const int retries = ctrl_int(mainpanel, MAINPANEL_RETRIES); retries > 0) {
      words << QStringLiteral("--retries") << QString::number(retries);
    }
    if (ctrl_int(mainpanel, MAINPANEL_VERIFY) != 0) {
      words << QStringLiteral("--verify");
    }
  }
  words << QStringLiteral("--port") << port << QStringLiteral("--events");
  if (!launch.run_log.isEmpty()) {
    words << QStringLiteral("--log") << launch.run_log;
  }
  if (launch.loop) {
    words << QStringLiteral("--repeat");
  }
  return words;
}

}  // namespace driveflash::app
