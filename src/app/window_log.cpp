#include "app/window_log.h"

#include <QtGlobal>
#include <string>

#include "app/callbacks.h"
#include "app/run_log.h"
#include "bsl/flash_map.h"
#include "platform/panels.h"
#include "platform/serial.h"
#include "run/run_context.h"

namespace driveflash::app {

void record_window_runs(std::filesystem::path log) {
  set_run_end_hook([log = std::move(log)](const run::Outcome& outcome) {
    RunRecord r;
    platform::PortEntry entry;
    r.port = platform::find_port(comport, entry) ? entry.name : std::to_string(comport);
    r.file = filename;
    // The bytes the download read; a run that never got to them, the bytes Program read.
    r.sha256 = outcome.sha256.empty() && program_firmware().path == r.file
                   ? program_firmware().sha256
                   : outcome.sha256;
    r.kind = filetype == kFileTypeEhex ? "ehex" : "hex";
    r.result = run::result_name(outcome.result);
    r.message = outcome.line;
    if (outcome.programmed()) {
      // A programmed drive's row ends with the run's last words, as the command line's does.
      if (const auto popup = platform::panel_state(prgpanel)) {
        if (const auto box = popup->controls.find(PRGPANEL_STATUS);
            box != popup->controls.end() && !box->second.lines.empty()) {
          r.message = box->second.lines.back();
        }
      }
      r.status = 0;
      r.pages = outcome.pages;
      r.bytes = outcome.pages * kFlashPage;
    } else if (outcome.cause == run::Cause::kDownload) {
      r.status = outcome.status;
    }
    r.seconds = outcome.seconds;
    r.count = static_cast<std::uint64_t>(okcount.load());
    std::error_code ec;
    std::filesystem::create_directories(log.parent_path(), ec);
    if (const std::string error = RunLog(log).append(r); !error.empty()) {
      qWarning("driveflash: %s", error.c_str());
    }
  });
}

}  // namespace driveflash::app
