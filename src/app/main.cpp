// The operator's window: start-up over Qt Widgets.
#include <QApplication>
#include <QtGlobal>
#include <filesystem>
#include <memory>

#include "app/callbacks.h"
#include "app/run_context.h"
#include "app/run_log.h"
#include "image/firmware_scan.h"
#include "platform/panels.h"
#include "platform/qt_panels.h"
#include "platform/resources.h"
#include "platform/serial.h"
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

// Every run the popup showed goes into the user's record of runs, as the command line's --log
// writes them.
void record_runs() {
  namespace app = driveflash::app;
  app::set_run_end_hook([](const app::RunEnd& end) {
    app::RunRecord r;
    pf::PortEntry entry;
    r.port = pf::find_port(comport, entry) ? entry.name : std::to_string(comport);
    r.file = filename;
    r.sha256 = app::file_sha256(r.file);
    r.kind = filetype == kFileTypeEhex ? "ehex" : "hex";
    r.result = end.success ? "ok" : (end.stopped ? "stopped" : "failed");
    if (const auto popup = pf::panel_state(prgpanel)) {
      if (const auto box = popup->controls.find(PRGPANEL_STATUS);
          box != popup->controls.end() && !box->second.lines.empty()) {
        r.message = box->second.lines.back();
      }
    }
    if (end.success) {
      r.status = 0;
      r.pages = driveflash::image::scan_firmware(filename, filetype).data_frames;
      r.bytes = *r.pages * kPageSize;
    } else if (r.message == error_message(blstatus)) {
      r.status = blstatus;  // the download's own failure line
    }
    r.seconds = end.seconds;
    r.count = static_cast<std::uint64_t>(okcount.load());
    const std::filesystem::path path = app::user_run_log_path();
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (const std::string error = app::RunLog(path).append(r); !error.empty()) {
      qWarning("driveflash: %s", error.c_str());
    }
  });
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // Only Exit and the main panel's close box end the program, through the callbacks.
  QApplication::setQuitOnLastWindowClosed(false);
  pf::set_program_path(argc > 0 ? argv[0] : "");
  pf::prefer_cjk_fonts();
  pf::install_qt_panels();
  pf::install_qt_dialogs();
  pf::install_qt_sound();
  offer_virtual_drive();
  record_runs();

  const int result = driveflash::app::run_main_panel();

  // A run still going when the loop ended (the session is closing) is stopped first, so the
  // worker never outlives the state it works on.
  if (prgpanel > 0) {
    panelprgCB(prgpanel, EVENT_CLOSE, nullptr, 0, 0);
  }
  pf::uninstall_qt_sound();
  pf::uninstall_qt_panels();
  return result;
}
