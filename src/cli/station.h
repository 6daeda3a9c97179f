// A station on a production line (--repeat): wait for a drive on the port, program it, wait
// for its new firmware to start, wait until it is taken away, and so on until Ctrl-C.
#pragma once

#include <functional>
#include <string>

#include "cli/program.h"

namespace driveflash::cli {

// How long a drive that answered must stay silent to count as taken away, and how often a
// waiting station asks for the drive's identity.
inline constexpr double kGoneAfterSeconds = 2.0;
inline constexpr double kPollSeconds = 0.5;

// Where a station is, in the order a unit goes through.
enum class StationState {
  Drive,        // waiting for a drive to answer (an empty fixture is no unit)
  Programming,  // the drive's run
  Boot,         // waiting for the new firmware to answer (at most --boot-wait)
  Gone,         // waiting for the drive to be taken away
};
// "drive", "programming", "boot", "gone": the state's name in a child's events.
const char* station_state_name(StationState state);

// What a station's waits and units come to, for its summary.
struct StationTally {
  int units = 0;
  int ok = 0;
  int failed = 0;   // failed and refused runs
  int stopped = 0;  // runs that Ctrl-C cut short
  double seconds = 0;

  void add(const RunReport& unit);
  // "4 units: 4 programmed, 0 failed, 6.52 s a unit on average"
  std::string summary() const;
  // 130 when Ctrl-C stopped a run, 1 when one failed, else 0.
  int exit_status() const;
};

struct PortChoice;

struct StationHooks {
  // On entering each state: which, what it says to the operator, and the line (a test may put
  // another virtual drive behind it, as an operator swaps drives).
  std::function<void(StationState state, const std::string& text, PortChoice& port)> state;
  // After each unit's run, refused ones included.
  std::function<void(const RunReport& unit)> unit;
};

// Whether a drive's firmware on port `port_number` answers one identity request at `baud`.
bool drive_answers(int port_number, long baud);

// Runs the station on args.port until the waker's stop. Returns the exit status: 2 when the
// files or the first run are refused, else tally.exit_status().
int run_station(const Arguments& args, const Terminal& term, platform::RunWaker& waker,
                const StationHooks& hooks, StationTally& tally);

}  // namespace driveflash::cli
