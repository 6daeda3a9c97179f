#include "app/job_window.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <array>
#include <cstring>
#include <filesystem>

#include "platform/files.h"
#include "platform/panels.h"
#include "platform/qt/qt_panels.h"
#include "run/run_context.h"

namespace driveflash::app {
namespace {

// The settings a job settles: read-only while it is locked. The port and rescue itself stay
// the operator's.
constexpr std::array kLockedControls{
    MAINPANEL_FILETYPE, MAINPANEL_DRIVE_BAUD, MAINPANEL_LOADER_BAUD, MAINPANEL_TIMING,
    MAINPANEL_RETRIES,  MAINPANEL_VERIFY,     MAINPANEL_RESCUE_WAIT, MAINPANEL_SAVE_JOB};
constexpr std::size_t kHashDigits = 12;

int ctrl(int panel, int control, int otherwise) {
  int value = otherwise;
  return GetCtrlVal(panel, control, &value) == 0 ? value : otherwise;
}

}  // namespace

void show_locked_job(int panel, const Job& job) {
  apply_job(panel, job);
  if (job.firmware.size() < sizeof filename) {
    std::memcpy(filename, job.firmware.c_str(), job.firmware.size() + 1);
  }
  for (const int control : kLockedControls) {
    SetCtrlAttribute(panel, control, ATTR_DIMMED, 1);
  }
  // The file button has no number of its own in the run context: the one calling Selctfile.
  if (const std::optional<platform::PanelState> state = platform::panel_state(panel)) {
    for (const auto& [number, control] : state->controls) {
      if (control.def.callback == "Selctfile") {
        SetCtrlAttribute(panel, number, ATTR_DIMMED, 1);
      }
    }
  }
  const std::string text = "作业 / Job: " + job.name + " — SHA-256 " +
                           job.sha256.substr(0, kHashDigits) + " — 设置已锁定 / settings locked";
  SetCtrlVal(panel, MAINPANEL_JOB_INFO, text.c_str());
}

std::optional<Job> job_of_panel(int panel, const QStringList& ports, QString& error) {
  if (filename[0] == '\0') {
    error = QStringLiteral("请先选择固件文件！\nChoose a firmware file first.");
    return std::nullopt;
  }
  Job job;
  job.kind =
      ctrl(panel, MAINPANEL_FILETYPE, kFileTypeHex) == kFileTypeEhex ? kFileTypeEhex : kFileTypeHex;
  const image::FirmwareFile firmware = image::read_firmware(filename, job.kind);
  if (!firmware.read()) {
    error = QStringLiteral("无法打开固件文件！\nCannot open the firmware file (it %1):\n%2")
                .arg(QString::fromStdString(firmware.error), QFile::decodeName(filename));
    return std::nullopt;
  }
  if (firmware.report.refused()) {
    error =
        QStringLiteral(
            "固件文件被拒绝，不能存为作业 / The firmware file is refused, %1; no "
            "job is saved for it:\n%2")
            .arg(QString::fromStdString(firmware.report.problem()), QFile::decodeName(filename));
    return std::nullopt;
  }
  job.firmware = platform::utf8_of(std::filesystem::absolute(
      platform::path_from_utf8(QFile::decodeName(filename).toStdString())));
  job.sha256 = firmware.sha256;
  job.drive_baud = ctrl(panel, MAINPANEL_DRIVE_BAUD, job.drive_baud);
  job.loader_baud = ctrl(panel, MAINPANEL_LOADER_BAUD, job.loader_baud);
  job.timing =
      ctrl(panel, MAINPANEL_TIMING, kTimingStandard) == kTimingFast ? kTimingFast : kTimingStandard;
  job.retries = ctrl(panel, MAINPANEL_RETRIES, 0);
  job.verify = ctrl(panel, MAINPANEL_VERIFY, 0) != 0;
  job.rescue_wait = ctrl(panel, MAINPANEL_RESCUE_WAIT, job.rescue_wait);
  for (const QString& port : ports) {
    job.ports.push_back(port.toStdString());
  }
  return job;
}

QString ask_job_file(QWidget* parent, const QString& suggested) {
  QFileDialog dialog(parent, QStringLiteral("保存作业 / Save job"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setNameFilters(
      {QStringLiteral("作业 / Job (*.job)"), QStringLiteral("所有文件 / All files (*)")});
  dialog.setDefaultSuffix(QStringLiteral("job"));
  dialog.setLabelText(QFileDialog::Accept, QStringLiteral("保存 / &Save"));
  dialog.setLabelText(QFileDialog::Reject, QStringLiteral("取消 / Cancel"));
  dialog.setLabelText(QFileDialog::LookIn, QStringLiteral("位置 / Look in:"));
  dialog.setLabelText(QFileDialog::FileName, QStringLiteral("文件名 / File &name:"));
  dialog.setLabelText(QFileDialog::FileType, QStringLiteral("文件类型 / Files of &type:"));
  platform::give_labels_buddies(dialog);
  dialog.selectFile(suggested);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
    return {};
  }
  return dialog.selectedFiles().constFirst();
}

}  // namespace driveflash::app
