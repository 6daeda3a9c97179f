// Serial devices by name, as each operating system knows them.
#pragma once

#include <string>

namespace driveflash::platform {

// Whether the serial device `device` is there to open: a file on POSIX systems; on Windows
// also a COM port the system knows ("COM3", "\\.\COM10"), which is no file.
bool device_present(const std::string& device);

}  // namespace driveflash::platform
