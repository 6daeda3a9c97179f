// What the operating system's serial driver says about an open device, where it says it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace driveflash::platform {

// Bytes written to the device (by its native handle: a file descriptor, or a Windows HANDLE)
// that the driver has not sent yet; nothing when the driver does not tell.
std::optional<std::size_t> driver_output_count(std::intptr_t native_handle);

}  // namespace driveflash::platform
