// The success sound.
#pragma once

#include <functional>
#include <string>
#include <vector>

// The Windows headers declare sndPlaySoundA and define SND_ASYNC and SND_LOOP as macros:
// these live in a namespace, and the flags under names of their own.
namespace driveflash {
inline constexpr unsigned kSoundAsync = 0x0001;  // SND_ASYNC
inline constexpr unsigned kSoundLoop = 0x0008;   // SND_LOOP

// Plays a sound file without blocking the caller. The name is looked up with any trailing
// blanks dropped, in the current directory first and then among the program's resource
// directories. Returns 1 when playback was started, 0 otherwise (no file, no audio device):
// a missing sound is never an error worth stopping for.
int sndPlaySoundA(const char* name, unsigned flags);
}  // namespace driveflash

namespace driveflash::platform {
// Plays the file at `path` once. Returns whether playback started.
using SoundPlayer = std::function<bool(const std::string& path)>;
// The default player plays nothing and reports that it did not.
void set_sound_player(SoundPlayer player);
// The names asked for since start-up (tests).
std::vector<std::string> sounds_requested();
}  // namespace driveflash::platform
