#include <windows.h>

#include <string>

#include "platform/resources.h"

namespace driveflash::platform {

std::filesystem::path running_program() {
  std::wstring name(MAX_PATH, L'\0');
  // A longer path than the buffer comes back cut and with the buffer's size: grow and ask again.
  while (name.size() <= 32768) {
    const DWORD n = ::GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) {
      return {};
    }
    if (n < name.size()) {
      name.resize(n);
      return std::filesystem::path(name);
    }
    name.resize(name.size() * 2);
  }
  return {};
}

}  // namespace driveflash::platform
