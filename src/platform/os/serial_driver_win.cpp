#include <windows.h>

#include "platform/serial_driver.h"

namespace driveflash::platform {

std::optional<std::size_t> driver_output_count(std::intptr_t native_handle) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the handle Qt hands out is a HANDLE
  const auto handle = reinterpret_cast<HANDLE>(native_handle);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  DWORD errors = 0;
  COMSTAT status{};
  if (ClearCommError(handle, &errors, &status) == 0) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(status.cbOutQue);
}

}  // namespace driveflash::platform
