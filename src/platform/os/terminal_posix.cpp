#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/terminal.h"

namespace driveflash::platform {

bool stderr_is_terminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

int terminal_width() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    return size.ws_col;
  }
  return 80;
}

// Terminals here take UTF-8 and escapes as they are.
void prepare_terminal() {}

}  // namespace driveflash::platform
