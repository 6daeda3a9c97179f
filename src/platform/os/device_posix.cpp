#include <filesystem>

#include "platform/device.h"
#include "platform/files.h"

namespace driveflash::platform {

bool device_present(const std::string& device) {
  std::error_code ec;
  return std::filesystem::exists(device, ec);
}

std::string device_identity(const std::string& device) {
  std::error_code ec;
  const std::filesystem::path real = std::filesystem::canonical(path_from_utf8(device), ec);
  return ec ? device : utf8_of(real);
}

}  // namespace driveflash::platform
