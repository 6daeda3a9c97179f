// The 'program' command: one programming run through the headless panels, exactly as the
// window's Program button and popup drive it.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "image/firmware_file.h"
#include "platform/waker.h"
#include "run/outcome.h"

namespace driveflash::cli {

struct Terminal {
  std::ostream& out;          // status lines, or the JSON report
  std::ostream& err;          // progress, notes, errors
  bool progress_bar = false;  // standard error is a terminal
  int width = 80;             // its columns
  bool events = false;        // `out` gets the run as events for a parent process (--events)
};

// What a run came to, as --json reports it: the run's own outcome record, and what the command
// line adds around it (where it ran, the status box, the virtual drive's verdict).
struct RunReport {
  run::Outcome outcome;  // a refusal until a run says otherwise
  int exit_status = kExitUsage;
  std::string file;
  std::string kind;
  std::string port;
  std::optional<long> drive_baud;
  std::optional<long> loader_baud;
  std::vector<std::string> lines;  // the status box, in order
  std::optional<bool> verified;    // the virtual drive's flash equals the file
  bool stop_requested = false;
  std::string unit;  // the unit's serial (--unit)
  // The program had to end before the worker came back (a second Ctrl-C, SIGTERM): the report
  // is the run's record as it stood, and the worker still holds the run's state.
  bool abandoned = false;

  // The result as the JSON words it: success, failed, refused, interrupted.
  std::string result() const;
  bool succeeded() const { return outcome.result == run::Result::kOk; }
  // What a unit's row and table line say: why it was refused or what went wrong (not the advice
  // after it); for a programmed drive, the last status line.
  std::string message() const;
  // The download's status code; none when the run never got to it.
  std::optional<int> download_status() const;
  // Indented, or on one line with `pretty` false.
  std::string json(bool pretty = true) const;
};

struct PortChoice;

// Why the files of a run would be refused before any drive is touched (the secondary loader is
// not in the current directory, FILE is unfit to program), with a hint; "" when they would not.
// `firmware` receives FILE as it was read for the check: its bytes' digest and what it holds.
std::string files_refusal(const Arguments& args, int kind, image::FirmwareFile& firmware,
                          std::string& hint);

// Runs the command; returns the exit status. `report` receives the outcome. With `chosen`, the
// run uses that line (which stays mapped) instead of the one --port names.
int run_program(const Arguments& args, const Terminal& term, platform::RunWaker& waker,
                RunReport& report, const PortChoice* chosen = nullptr);

}  // namespace driveflash::cli
