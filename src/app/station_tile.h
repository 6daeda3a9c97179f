// What a tile of the station view knows of its port: the state of the drive on it, the units
// so far, what the port's process last said. It follows the events that process prints
// (`driveflash-cli program ... --port PORT --events`, one JSON object a line):
//   {"line": TEXT}  {"progress": PERCENT}  {"shown": BOOL}  {"unit": REPORT}
//   {"state": drive|programming|boot|gone, "text": TEXT}
// No widgets here; the view shows it.
#pragma once

#include <QString>
#include <string>
#include <vector>

namespace driveflash::app {

enum class TilePhase {
  kIdle,         // not started
  kProgramming,  // a unit's run is under way
  kProgrammed,   // the last unit was programmed
  kFailed,       // the last unit failed or was refused; stays until the next unit starts
  kStopped,      // the last unit was stopped half-way
};

// One unit as its process reported it.
struct TileUnit {
  std::string result;  // success, failed, refused, interrupted
  QString line;        // what went wrong; "" for a programmed drive
  double seconds = 0;
  bool verified = false;  // a virtual drive's flash equals the file
};

struct TileState {
  QString port;
  TilePhase phase = TilePhase::kIdle;
  QString failure;    // the line that ended the last unit, while it failed
  QString last_line;  // the last status line of the run under way
  QString wait;       // what the station waits for, both languages; "" while it does not
  QString note;       // the process's last note (its standard error)
  double percent = 0;
  bool progress_shown = false;
  bool running = false;  // the process is there
  bool stopping = false;
  int exit_code = 0;
  std::vector<TileUnit> units;

  int programmed() const;
  int failed() const;  // failed, refused and stopped units
};

// Applies one line of the process's standard output. Returns whether a unit ended with it.
bool apply_event(TileState& tile, const QByteArray& line);
// The process started, or ended with `code` (-1: it crashed or could not start).
void process_started(TileState& tile);
void process_ended(TileState& tile, int code);

// The phase as the tile shows it, large, and its name (for tests and accessibility).
QString phase_words(const TileState& tile);
const char* phase_name(TilePhase phase);

}  // namespace driveflash::app
