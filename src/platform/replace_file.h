// A file put in place whole or not at all: the new content goes to a fresh file beside the
// target, is flushed to the disk, and only then takes the target's name.
#pragma once

#include <filesystem>
#include <span>
#include <string>

namespace driveflash::platform {

// Creates a file beside `target` that no other program can have opened, writes `bytes` to
// it and flushes them to the disk. Returns its path, or an empty path and the reason in
// `error` (nothing is left behind then).
std::filesystem::path write_beside(const std::filesystem::path& target,
                                   std::span<const unsigned char> bytes, std::string& error);

enum class Placement { kPlaced, kExists, kFailed };

// Gives the file `temp` the name `target`. An existing target is replaced only when
// `replace`; otherwise the answer is kExists, also for a file that appeared after the caller
// looked. `temp` is gone afterwards in every case; on kFailed `error` says why.
Placement place_file(const std::filesystem::path& temp, const std::filesystem::path& target,
                     bool replace, std::string& error);

}  // namespace driveflash::platform
