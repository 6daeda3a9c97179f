// A locked job: what an engineer settles for a production line (the firmware and its SHA-256,
// the file kind, both baud rates, the timing, the retries, the read-back, the rescue wait, the
// station's
// ports), saved as a plain-text file that operators open. While a job is locked, Program takes
// every setting from it and refuses a firmware file whose bytes are not the job's, before any
// drive is touched; both front ends press the same Program.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/firmware_file.h"
#include "run/run_context.h"

namespace driveflash::app {

inline constexpr long kJobMinBaud = 50;
inline constexpr long kJobMaxBaud = 4000000;
inline constexpr int kJobMaxRetries = 100;
inline constexpr int kJobMaxRescueWait = 3600;
// A job file is a screenful of text; anything much larger is not one.
inline constexpr std::size_t kMaxJobFileBytes = std::size_t{64} * 1024;

struct Job {
  std::string name;      // shown to the operator; the file's name without its extension if unset
  std::string firmware;  // UTF-8; a relative path in the file is taken from the job's folder
  std::string sha256;    // lower-case hex of the firmware file's bytes
  int kind = kFileTypeHex;
  int drive_baud = 19200;
  int loader_baud = 115200;
  int timing = kTimingStandard;
  int retries = 0;
  bool verify = false;  // every word read back after the download
  int rescue_wait = kDefaultRescueWait;
  std::vector<std::string> ports;  // the station view's, in order

  bool operator==(const Job&) const = default;
};

// The job as its file holds it (INI: a [job] section of "key = value" lines, one "port" line
// per port).
std::string job_text(const Job& job);
// Reads a job file's text; a relative firmware path is taken from `folder`. On bad input returns
// nothing and says which line and why in `error`.
std::optional<Job> parse_job(std::string_view text, const std::filesystem::path& folder,
                             std::string& error);
std::optional<Job> read_job(const std::filesystem::path& file, std::string& error);
// Puts the job's file in place whole; "" when it is, else why not.
std::string write_job(const std::filesystem::path& file, const Job& job);

// The job this process is locked to; none until lock_job.
void lock_job(std::optional<Job> job);
std::optional<Job> locked_job();

// Program's check of the firmware it has just read against the locked job: "" when no job is
// locked or the bytes are the job's, else the refusal for the operator (both languages).
std::string job_refusal(const image::FirmwareFile& firmware);
// Sets the main panel's controls to the job's settings (the port stays the operator's).
void apply_job(int panel, const Job& job);

}  // namespace driveflash::app
