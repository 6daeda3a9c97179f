// The record of every programming run: one CSV row per drive, appended to a file that several
// runs and several programs may share. Both front ends write the same columns.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace driveflash::app {

inline constexpr std::string_view kRunLogHeader =
    "time,host,port,file,sha256,kind,result,status,message,seconds,pages,bytes,count";

// One row. Empty optionals become empty fields.
struct RunRecord {
  std::string time;  // ISO 8601, UTC; "" is filled with the time of the append
  std::string host;  // "" is filled with this machine's name
  std::string port;
  std::string file;
  std::string sha256;         // of the firmware file's bytes
  std::string kind;           // hex or ehex
  std::string result;         // ok, failed, stopped or refused
  std::optional<int> status;  // the download's status number; none when it never ran
  std::string message;        // the last status line, or why the run was refused
  double seconds = 0;
  std::optional<std::uint64_t> pages;
  std::optional<std::uint64_t> bytes;
  std::uint64_t count = 0;  // successful drives so far, this one included
};

// One field as RFC 4180 writes it: quoted when it holds a comma, a quote or a line end, quotes
// doubled. Bytes that are not UTF-8 become U+FFFD, so that the file stays valid UTF-8.
std::string csv_field(std::string_view text);
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

 private:
  std::filesystem::path path_;
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
