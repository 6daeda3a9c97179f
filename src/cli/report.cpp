// The program run's JSON report.
#include "bsl/frames.h"
#include "cli/json.h"
#include "cli/program.h"

namespace driveflash::cli {
namespace {

std::optional<std::int64_t> widen(const std::optional<long>& value) {
  return value ? std::optional<std::int64_t>(*value) : std::nullopt;
}

}  // namespace

std::string RunReport::json() const {
  JsonObject o;
  o.add("result", result)
      .add("exit_status", exit_status)
      .add("file", file)
      .add("kind", kind)
      .add("port", port)
      .add_optional("drive_baud", widen(drive_baud))
      .add_optional("loader_baud", widen(loader_baud))
      .add("status_lines", lines)
      .add("reason", reason);
  if (download_status) {
    o.add("download_status", *download_status)
        .add("download_message", error_message(*download_status));
  } else {
    o.add_null("download_status").add_null("download_message");
  }
  o.add("elapsed_seconds", elapsed_seconds, 3)
      .add_optional("pages_programmed", pages)
      .add_optional("bytes_programmed",
                    pages ? std::optional<std::uint64_t>(*pages * kPageSize) : std::nullopt);
  if (pages_counted_by.empty()) {
    o.add_null("pages_counted_by");
  } else {
    o.add("pages_counted_by", pages_counted_by);
  }
  o.add("firmware_bytes", firmware_bytes)
      .add_optional("verified", verified)
      .add("stop_requested", stop_requested);
  return o.str();
}

}  // namespace driveflash::cli
