#include "app/window_log.h"

#include <QtGlobal>
#include <memory>
#include <string>

#include "app/callbacks.h"
#include "app/run_log.h"
#include "platform/files.h"
#include "platform/panels.h"
#include "platform/serial.h"
#include "run/run_context.h"

namespace driveflash::app {
namespace {

// The interface thread writes the row: a lock another program keeps longer than this is
// given up on for now, and the row kept, rather than freeze the window.
constexpr int kWindowLockWaitMs = 3000;

std::unique_ptr<KeptLog> g_log;
std::string g_note;

// The popup's last status line: what a programmed drive's row says, as the command line's does.
std::string last_status_line() {
  if (const auto popup = platform::panel_state(prgpanel)) {
    if (const auto box = popup->controls.find(PRGPANEL_STATUS);
        box != popup->controls.end() && !box->second.lines.empty()) {
      return box->second.lines.back();
    }
  }
  return "";
}

void record(const run::Outcome& outcome) {
  RunRecord r;
  // The port the run was started on (a refused one never read it into the run context).
  int port = comport;
  GetCtrlVal(mainpanel, MAINPANEL_COMPORT, &port);
  platform::PortEntry entry;
  r.port = platform::find_port(port, entry) ? entry.name : std::to_string(port);
  r.file = filename;
  r.kind = filetype == kFileTypeEhex ? "ehex" : "hex";
  fill_from_outcome(r, outcome, last_status_line());
  // A run that never read the file: the bytes Program read for its checks.
  if (r.sha256.empty() && program_firmware().path == r.file) {
    r.sha256 = program_firmware().sha256;
  }
  r.unit = program_unit();
  r.count = static_cast<std::uint64_t>(okcount.load());
  // That unit is done: the next one's serial must not be typed onto its serial, nor a unit
  // without one be logged under it. A unit that failed keeps it for its next try.
  if (outcome.programmed() && !r.unit.empty()) {
    SetCtrlVal(mainpanel, MAINPANEL_UNIT, "");
  }
  std::error_code ec;
  std::filesystem::create_directories(g_log->log().path().parent_path(), ec);
  g_note.clear();
  if (const std::string why = g_log->append(r); !why.empty()) {
    const std::string side = platform::utf8_of(g_log->side_path());
    g_note = "运行记录暂时无法写入（" + why +
             "）：本行已保留，随下一行写入；若一直无法写入，程序结束时存入 " + side +
             " / The run log cannot be written now (" + why +
             "): this row is kept and goes in with the next one; if the log stays closed, it "
             "is saved to " +
             side + " when the program ends.";
    qWarning("driveflash: %s", g_note.c_str());
  }
}

}  // namespace

void record_window_runs(std::filesystem::path log) {
  g_log = std::make_unique<KeptLog>(std::move(log));
  g_log->log().set_lock_wait(kWindowLockWaitMs);
  g_note.clear();
  set_run_end_hook([](const run::Outcome& outcome) { record(outcome); });
}

const std::string& window_log_note() {
  return g_note;
}

std::string finish_window_runs() {
  if (!g_log) {
    return "";
  }
  std::string what = g_log->finish();
  if (!what.empty()) {
    qWarning("driveflash: %s", what.c_str());
  }
  return what;
}

}  // namespace driveflash::app
