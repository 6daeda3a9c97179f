// The operator's window: start-up over Qt Widgets.
#include <QApplication>
#include <QFileInfo>
#include <filesystem>
#include <memory>
#include <string>

#include "app/callbacks.h"
#include "app/job.h"
#include "app/operator_window.h"
#include "app/run_log.h"
#include "app/window_log.h"
#include "platform/panels.h"
#include "platform/qt/qt_panels.h"
#include "platform/resources.h"
#include "platform/serial.h"
#include "run/run_context.h"
#include "sim/sim_line.h"

namespace {

namespace pf = driveflash::platform;

// The built-in virtual drive's place in the port list: apart from port 1, where the panel
// starts, and from the numbers serial devices get, so that Program never reaches it unless
// the operator picked it.
constexpr int kVirtualDrivePort = 99;

void offer_virtual_drive() {
  driveflash::sim::map_sim_port(kVirtualDrivePort,
                                std::make_shared<driveflash::sim::VirtualDrive>());
  pf::PortEntry entry;
  if (pf::find_port(kVirtualDrivePort, entry)) {
    entry.description = "虚拟驱动器 / built-in virtual drive";
    pf::map_port(std::move(entry));
  }
}

// "--job FILE" (or "--job=FILE") among the program's arguments; "" when there is none.
QString job_argument(const QStringList& words) {
  for (qsizetype i = 1; i < words.size(); ++i) {
    if (words[i] == QStringLiteral("--job") && i + 1 < words.size()) {
      return words[i + 1];
    }
    if (words[i].startsWith(QStringLiteral("--job="))) {
      return words[i].mid(6);
    }
  }
  return {};
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // The per-user run log lives under this name.
  QApplication::setApplicationName(QStringLiteral("driveflash"));
  // Only Exit and the main panel's close box end the program, through the callbacks.
  QApplication::setQuitOnLastWindowClosed(false);
  pf::set_program_path(argc > 0 ? argv[0] : "");
  pf::prefer_cjk_fonts();
  pf::install_qt_panels();
  pf::install_qt_dialogs();
  pf::install_qt_sound();
  offer_virtual_drive();
  driveflash::app::record_window_runs(driveflash::app::user_run_log_path());
  driveflash::app::WindowOptions options;
  options.job_file = job_argument(QApplication::arguments());
  if (!options.job_file.isEmpty()) {
    // A job that cannot be read leaves the operator no settings to trust: nothing starts.
    std::string error;
    options.job =
        driveflash::app::read_job(std::filesystem::path(options.job_file.toStdU16String()), error);
    if (!options.job) {
      const std::string message =
          "无法打开作业 / The job cannot be opened: " + options.job_file.toStdString() + "\n" +
          error;
      MessagePopup("作业 / Job", message.c_str());
      pf::uninstall_qt_sound();
      pf::uninstall_qt_panels();
      return 2;
    }
    options.job_file = QFileInfo(options.job_file).absoluteFilePath();
  }
  driveflash::app::install_operator_window(options);

  const int result = driveflash::app::run_main_panel();

  // A run still going when the loop ended (the session is closing) is stopped first, so the
  // worker never outlives the state it works on.
  driveflash::app::stop_programming();
  driveflash::app::finish_window_runs();
  driveflash::app::uninstall_operator_window();
  pf::uninstall_qt_sound();
  pf::uninstall_qt_panels();
  return result;
}
