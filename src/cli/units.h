// What the production line keeps of each unit (one drive's run): its CSV row (--log), the
// events a child process sends its parent, the lines and summaries that report it.
#pragma once

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "app/run_log.h"
#include "cli/json.h"
#include "cli/program.h"

namespace driveflash::cli {

// A child's report of a unit: this prefix, the report's --json object on one line, "}".
inline constexpr std::string_view kUnitEvent = R"({"unit": )";

// The result word of a unit's row and lines: ok, failed, stopped, refused.
const char* log_result(const RunReport& r);

// The CSV record of the command's drives (--log), and the count of the successful ones.
class Recorder {
 public:
  explicit Recorder(const Arguments& args) : args_(args) {}

  // "" when rows can be written (or none are asked for), else why not.
  std::string open();
  // The unit's row, stamped with the time it arrives: when the run ended. A row that cannot
  // be written now is kept for the next one; `err` says so.
  void add(const RunReport& r, std::ostream& err);
  // Before the program ends, on every way out: the kept rows go into the log, else into the
  // side file beside it; `err` says which.
  void finish(std::ostream& err);

 private:
  const Arguments& args_;
  std::optional<app::KeptLog> log_;
  std::uint64_t count_ = 0;
};

// A run's report as a unit event, and a station's state (its name and what it says) as one.
void print_unit_event(std::ostream& out, const RunReport& r);
void print_state_event(std::ostream& out, const std::string& state, const std::string& text);

// "12.34": a number with a fixed count of decimals, whatever the locale.
std::string fixed(double value, int decimals);
// "unit 3: failed, 7.52 s: Program error"
std::string unit_line(int number, const RunReport& r);
// The text filled with blanks to `width`, on the right or (right()) on the left.
std::string padded(std::string text, std::size_t width);
std::string right(const std::string& text, std::size_t width);

// The fields a station's and several ports' summaries open with: what ran, where, how it ended.
JsonObject summary_json(const Arguments& args, int status, int programmed, int failed);

// A run's --json object read back into `out` (what the summary and the log use); false when
// `json` is not such an object.
bool read_report(const std::string& json, RunReport& out);

}  // namespace driveflash::cli
