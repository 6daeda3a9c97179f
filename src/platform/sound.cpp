#include "platform/sound.h"

#include <mutex>

#include "platform/resources.h"

namespace driveflash::platform {
namespace {
std::mutex g_mutex;
SoundPlayer g_player;
std::vector<std::string> g_requested;
}  // namespace

void set_sound_player(SoundPlayer player) {
  std::lock_guard lock(g_mutex);
  g_player = std::move(player);
}

std::vector<std::string> sounds_requested() {
  std::lock_guard lock(g_mutex);
  return g_requested;
}

}  // namespace driveflash::platform

namespace pf = driveflash::platform;

int driveflash::sndPlaySoundA(const char* name, unsigned /*flags*/) {
  // Playback is always once and never waits: an endless loop is not what an operator wants,
  // and the worker must not stall on the sound.
  std::string trimmed = name != nullptr ? name : "";
  while (!trimmed.empty() && trimmed.back() == ' ') {
    trimmed.pop_back();
  }
  pf::SoundPlayer player;
  {
    std::lock_guard lock(pf::g_mutex);
    pf::g_requested.push_back(trimmed);
    player = pf::g_player;
  }
  const std::string path = pf::find_resource(trimmed);
  if (path.empty() || !player) {
    return 0;
  }
  return player(path) ? 1 : 0;
}
