// The terminal the command line reports on (standard error).
#pragma once

namespace driveflash::platform {

// Whether standard error is a terminal: progress redraws its line in place only there.
bool stderr_is_terminal();
// The terminal's width in columns; 80 when it cannot be told.
int terminal_width();
// Makes the terminal show UTF-8 text (the Chinese texts) and the progress line's escapes.
void prepare_terminal();

}  // namespace driveflash::platform
