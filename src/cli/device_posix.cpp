#include <filesystem>

#include "cli/ports.h"

namespace driveflash::cli {

bool device_present(const std::string& device) {
  std::error_code ec;
  return std::filesystem::exists(device, ec);
}

}  // namespace driveflash::cli
