#include <windows.h>

#include <array>
#include <filesystem>

#include "platform/device.h"
#include "platform/files.h"
#include "platform/qt/qt_serial.h"

namespace driveflash::platform {

bool device_present(const std::string& device) {
  // COM ports are no files: the system's device names know them.
  if (const std::optional<int> n = platform::com_number(device); n.has_value()) {
    const std::wstring name = L"COM" + std::to_wstring(*n);
    std::array<wchar_t, 512> target{};
    return ::QueryDosDeviceW(name.c_str(), target.data(), static_cast<DWORD>(target.size())) != 0;
  }
  std::error_code ec;
  return std::filesystem::exists(platform::path_from_utf8(device), ec);
}

std::string device_identity(const std::string& device) {
  if (const std::optional<int> n = platform::com_number(device); n.has_value()) {
    return "COM" + std::to_string(*n);
  }
  std::error_code ec;
  const std::filesystem::path real =
      std::filesystem::canonical(platform::path_from_utf8(device), ec);
  return ec ? device : platform::utf8_of(real);
}

}  // namespace driveflash::platform
