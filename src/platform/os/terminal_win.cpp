#include <windows.h>

#include "platform/terminal.h"

namespace driveflash::platform {

bool stderr_is_terminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int terminal_width() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info) != 0) {
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    if (width > 0) {
      return width;
    }
  }
  return 80;
}

void prepare_terminal() {
  ::SetConsoleOutputCP(CP_UTF8);
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (::GetConsoleMode(err, &mode) != 0) {
    ::SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
}

}  // namespace driveflash::platform
