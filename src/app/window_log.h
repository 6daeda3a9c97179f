// The window's record of runs: a row for every run, written when the run ends, as --log writes
// them.
#pragma once

#include <filesystem>
#include <string>

namespace driveflash::app {

// From now on, appends a row to `log` (its folder made when missing) whenever a run ends:
// when it comes to rest, when its worker returns after a stop, when Program refuses.
void record_window_runs(std::filesystem::path log);
// What became of the last run's row, for its verdict ("" when it is in the log): why the log
// could not take it, that it is kept, and where it goes if the log stays closed.
const std::string& window_log_note();
// The window ends: rows still kept go into the log now, or into the side file beside it.
// Returns what to tell ("" when nothing was kept).
std::string finish_window_runs();

}  // namespace driveflash::app
