// The 'program' command: one programming run through the headless panels, exactly as the
// window's Program button and popup drive it.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/waker.h"
#include "image/firmware_scan.h"

namespace driveflash::cli {

struct Terminal {
  std::ostream& out;          // status lines, or the JSON report
  std::ostream& err;          // progress, notes, errors
  bool progress_bar = false;  // standard error is a terminal
  int width = 80;             // its columns
  bool events = false;        // `out` gets the run as events for a parent process (--events)
};

// What a run came to, as --json reports it.
struct RunReport {
  std::string result = "refused";  // success, failed, refused, interrupted
  int exit_status = kExitUsage;
  std::string file;
  std::string kind;
  std::string port;
  std::optional<long> drive_baud;
  std::optional<long> loader_baud;
  std::string timing = "standard";     // the run's timing profile
  std::vector<std::string> lines;      // the status box, in order
  std::string reason;                  // failed: the last status line; refused: why
  std::optional<int> download_status;  // the download's result; none when it never ran
  double elapsed_seconds = 0;
  std::optional<std::uint64_t> pages;  // pages programmed
  std::string pages_counted_by;        // "virtual drive" or "file"
  std::uint64_t firmware_bytes = 0;    // data bytes the file holds
  std::optional<bool> verified;        // the virtual drive's flash equals the file
  bool stop_requested = false;
  bool drive_left_in_loader = false;  // the run ended after the reset, without its closing header
  bool rescued = false;               // the run found the drive waiting in its loader

  // Indented, or on one line with `pretty` false.
  std::string json(bool pretty = true) const;
};

struct PortChoice;

// Why the files of a run would be refused before any drive is touched (the secondary loader is
// not in the current directory, FILE is unfit to program), with a hint; "" when they would not.
// `scan` receives what FILE holds.
std::string files_refusal(const Arguments& args, int kind, image::FirmwareReport& scan,
                          std::string& hint);

// Runs the command; returns the exit status. `report` receives the outcome. With `chosen`, the
// run uses that line (which stays mapped) instead of the one --port names.
int run_program(const Arguments& args, const Terminal& term, RunWaker& waker, RunReport& report,
                const PortChoice* chosen = nullptr);

}  // namespace driveflash::cli
