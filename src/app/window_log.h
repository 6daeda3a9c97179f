// The window's record of runs: a row for every run its popup showed, as --log writes them.
#pragma once

#include <filesystem>

namespace driveflash::app {

// From now on, appends a row to `log` (its folder made when missing) whenever the programming
// popup closes. A row that cannot be written is reported on standard error.
void record_window_runs(std::filesystem::path log);

}  // namespace driveflash::app
