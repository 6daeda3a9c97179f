// Serial devices by name, as each operating system knows them.
#pragma once

#include <string>

namespace driveflash::platform {

// Whether the serial device `device` is there to open: a file on POSIX systems; on Windows
// also a COM port the system knows ("COM3", "\\.\COM10"), which is no file.
bool device_present(const std::string& device);

// The device a port's name stands for, so that two names of one device compare equal: on
// POSIX systems the device file's real path (links followed); on Windows "COMn" for a COM
// port in any spelling ("com3", "\\.\COM3"), else the file's full path. A name that names
// nothing is returned as it is.
std::string device_identity(const std::string& device);

}  // namespace driveflash::platform
