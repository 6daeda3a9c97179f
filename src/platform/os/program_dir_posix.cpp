#include "platform/resources.h"

namespace driveflash::platform {

std::filesystem::path running_program() {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::canonical("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : p;
}

}  // namespace driveflash::platform
