// The record of every programming run: one CSV row per drive, appended to a file that several
// runs and several programs may share. Both front ends write the same columns.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run/outcome.h"

namespace driveflash::app {

inline constexpr std::string_view kRunLogHeader =
    "time,host,port,file,sha256,kind,result,status,message,seconds,pages,bytes,count,drive_id,"
    "unit,retries";

// One row. Empty optionals become empty fields.
struct RunRecord {
  std::string time;  // ISO 8601, UTC; "" is filled with the time of the append
  std::string host;  // "" is filled with this machine's name
  std::string port;
  std::string file;
  std::string sha256;         // of the firmware file's bytes that the run read
  std::string kind;           // hex or ehex
  std::string result;         // ok, failed, stopped or refused
  std::optional<int> status;  // the download's status number; none when it never ran
  std::string message;        // the last status line, or why the run was refused
  double seconds = 0;
  std::optional<std::uint64_t> pages;
  std::optional<std::uint64_t> bytes;
  std::uint64_t count = 0;  // successful drives so far, this one included
  std::string drive_id;     // the drive's identity register, "0x" and hex; "" when unknown
  std::string unit;         // the unit's serial number as the operator gave it
  int retries = 0;          // retries the run used
};

// What a run's outcome puts into its row: the digest, result, status, message (what went
// wrong and why; a programmed drive's `last_line`), seconds, pages and bytes, the drive's
// identity and the retries. The rest (time, host, port, file, kind, count, unit) is the front
// end's.
void fill_from_outcome(RunRecord& row, const run::Outcome& outcome, const std::string& last_line);

// One field as RFC 4180 writes it: quoted when it holds a comma, a quote or a line end, quotes
// doubled. Bytes that are not UTF-8 become U+FFFD, so that the file stays valid UTF-8.
std::string csv_field(std::string_view text);
// A field as a row holds it: on one line (each line end becomes " | "), and with a leading '
// when it starts with =, +, - or @, so that a spreadsheet shows it rather than running it.
std::string csv_cell(std::string_view text);
// The row for `record`, ended by CR LF (the time and host as given).
std::string csv_row(const RunRecord& record);

// A CSV file that rows are appended to under a lock file beside it (FILE.lock), so that rows
// from parallel runs and from other programs never interleave or get lost.
class RunLog {
 public:
  explicit RunLog(std::filesystem::path path) : path_(std::move(path)) {}

  const std::filesystem::path& path() const { return path_; }
  // Makes sure rows can be appended: opens the file for appending (creating it with its header
  // row when it is new or empty). Returns "" or why not, for the operator.
  std::string prepare() const;
  // Appends one row (filling in the time and host when empty). Returns "" or why not.
  std::string append(RunRecord record) const;
  // Appends whole rows (csv_row's) in one write under the lock. Returns "" or why not.
  std::string append_rows(const std::vector<std::string>& rows) const;
  // How long an append waits for another program's lock (10 s unless set).
  void set_lock_wait(int milliseconds) { lock_wait_ms_ = milliseconds; }
  int lock_wait() const { return lock_wait_ms_; }

 private:
  std::filesystem::path path_;
  int lock_wait_ms_ = 10000;
};

// A run log that loses no row. A row that cannot be appended when its run ends (another program
// holds the file or its lock) is kept, in order, and goes in first at the next append; what
// still cannot be written when the program ends goes to a side file beside the log. While rows
// are kept, a try waits at most a second for the lock: the log was found held just before, and
// a program that is ending must not wait long.
class KeptLog {
 public:
  explicit KeptLog(std::filesystem::path path) : log_(std::move(path)) {}
  // The log itself (its lock wait may be set).
  RunLog& log() { return log_; }
  const RunLog& log() const { return log_; }

  // Appends `record` (its time and host filled in now, the run's end) after any rows kept
  // before. Returns "" when every row is in the log, else why not: the rows are kept.
  std::string append(RunRecord record);
  // Rows waiting for the log.
  std::size_t kept() const { return kept_.size(); }
  // The last try: the kept rows go into the log, else into the side file. Returns "" when
  // nothing was kept, else what became of the rows, for the operator (both languages).
  std::string finish();
  // Beside the log: "runs.csv" keeps its rows in "runs.unsaved.csv".
  std::filesystem::path side_path() const;

 private:
  RunLog log_;
  std::vector<std::string> kept_;
  std::string why_;  // why the last append failed
};

// Lower-case hex SHA-256 of the bytes of the file named in UTF-8; "" when it cannot be read.
std::string file_sha256(const std::string& utf8_path);
// Now, as "2026-12-07T11:19:28Z".
std::string utc_now_iso8601();
// This machine's name.
std::string host_name();
// The window's log: runs.csv in the user's application data folder.
std::filesystem::path user_run_log_path();

}  // namespace driveflash::app
