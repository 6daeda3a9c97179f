#include "app/window_log.h"

#include <QtGlobal>
#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/callbacks.h"
#include "app/run_context.h"
#include "app/run_log.h"
#include "image/firmware_scan.h"
#include "platform/panels.h"
#include "platform/serial.h"
#include "platform/timing.h"

namespace driveflash::app {

namespace {

// When the run under way came to rest: its seconds end there, not when the operator closes
// the popup. The worker says so (the progress bar hidden) from its own thread.
struct Rest {
  std::mutex mutex;
  std::optional<platform::Micros> at;
};
int g_rest_observer = 0;

}  // namespace

void record_window_runs(std::filesystem::path log) {
  auto rest = std::make_shared<Rest>();
  if (g_rest_observer != 0) {
    platform::remove_observer(g_rest_observer);
  }
  g_rest_observer = platform::add_observer([rest](const platform::PanelEvent& e) {
    const auto* visible = std::get_if<int>(&e.value);
    if (e.kind == platform::PanelEvent::Kind::Attribute && e.panel != mainpanel &&
        e.control == PRGPANEL_PROGRESS && e.attribute == ATTR_VISIBLE && visible != nullptr &&
        *visible == 0) {
      std::lock_guard lock(rest->mutex);
      if (!rest->at) {
        rest->at = platform::clock().now();
      }
    }
  });
  set_run_end_hook([log = std::move(log), rest](const RunEnd& end) {
    RunRecord r;
    platform::PortEntry entry;
    r.port = platform::find_port(comport, entry) ? entry.name : std::to_string(comport);
    r.file = filename;
    r.sha256 = file_sha256(r.file);
    r.kind = filetype == kFileTypeEhex ? "ehex" : "hex";
    r.result = end.success ? "ok" : (end.stopped ? "stopped" : "failed");
    if (const auto popup = platform::panel_state(prgpanel)) {
      if (const auto box = popup->controls.find(PRGPANEL_STATUS); box != popup->controls.end()) {
        const std::vector<std::string>& lines = box->second.lines;
        // What went wrong, not the advice after it.
        const auto cause = std::find_if(lines.rbegin(), lines.rend(),
                                        [](const std::string& l) { return !is_advice_line(l); });
        r.message = cause != lines.rend() ? *cause : (lines.empty() ? "" : lines.back());
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
    {
      std::lock_guard lock(rest->mutex);
      if (rest->at) {
        r.seconds -= static_cast<double>((platform::clock().now() - *rest->at).count()) / 1e6;
      }
      rest->at.reset();
    }
    r.count = static_cast<std::uint64_t>(okcount.load());
    std::error_code ec;
    std::filesystem::create_directories(log.parent_path(), ec);
    if (const std::string error = RunLog(log).append(r); !error.empty()) {
      qWarning("driveflash: %s", error.c_str());
    }
  });
}

}  // namespace driveflash::app
