#include <filesystem>

#include "platform/device.h"

namespace driveflash::platform {

bool device_present(const std::string& device) {
  std::error_code ec;
  return std::filesystem::exists(device, ec);
}

}  // namespace driveflash::platform
