// Where the program's resource files are found.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace driveflash::platform {
// The running program's own file as the system knows it; empty when it cannot tell.
std::filesystem::path running_program();
// Records the program's own path (argv[0]) so that resources beside it can be found.
void set_program_path(const std::string& argv0);
// Directories searched after the current directory: the program's own, the data directory
// beside it (<program dir>/../share/driveflash, as an unpacked ZIP has it), then the
// installed data directory.
std::vector<std::string> resource_directories();
// The first existing file named `name` in the current directory or a resource directory,
// or "" when there is none. Relative names only; an absolute name is returned if it exists.
std::string find_resource(const std::string& name);
}  // namespace driveflash::platform
