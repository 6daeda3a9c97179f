#include <sys/ioctl.h>
#include <termios.h>

#include "platform/serial_driver.h"

namespace driveflash::platform {

std::optional<std::size_t> driver_output_count(std::intptr_t native_handle) {
#ifdef TIOCOUTQ
  int queued = 0;
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): ioctl is the driver's only interface
  if (native_handle >= 0 && ioctl(static_cast<int>(native_handle), TIOCOUTQ, &queued) == 0 &&
      queued >= 0) {
    return static_cast<std::size_t>(queued);
  }
#else
  (void)native_handle;
#endif
  return std::nullopt;
}

}  // namespace driveflash::platform
