#include "app/window_log.h"

#include <QtGlobal>
#include <string>

#include "app/callbacks.h"
#include "app/run_context.h"
#include "app/run_log.h"
#include "image/firmware_scan.h"
#include "platform/panels.h"
#include "platform/serial.h"

namespace driveflash::app {

void record_window_runs(std::filesystem::path log) {
  set_run_end_hook([log = std::move(log)](const RunEnd& end) {
    RunRecord r;
    platform::PortEntry entry;
    r.port = platform::find_port(comport, entry) ? entry.name : std::to_string(comport);
    r.file = filename;
    r.sha256 = file_sha256(r.file);
    r.kind = filetype == kFileTypeEhex ? "ehex" : "hex";
    r.result = end.success ? "ok" : (end.stopped ? "stopped" : "failed");
    if (const auto popup = platform::panel_state(prgpanel)) {
      if (const auto box = popup->controls.find(PRGPANEL_STATUS);
          box != popup->controls.end() && !box->second.lines.empty()) {
        r.message = box->second.lines.back();
      }
    }
    if (end.success) {
      r.status = 0;
      r.pages = image::scan_firmware(filename, filetype).data_frames;
      r.bytes = *r.pages * kPageSize;
    } else if (r.message == error_message(blstatus)) {
      r.status = blstatus;  // the download's own failure line
    }
    r.seconds = end.seconds;
    r.count = static_cast<std::uint64_t>(okcount.load());
    std::error_code ec;
    std::filesystem::create_directories(log.parent_path(), ec);
    if (const std::string error = RunLog(log).append(r); !error.empty()) {
      qWarning("driveflash: %s", error.c_str());
    }
  });
}

}  // namespace driveflash::app
