#include "app/program_checks.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <span>
#include <vector>

#include "image/firmware_scan.h"
#include "image/intel_hex.h"
#include "image/stand_in_loader.h"
#include "platform/device.h"
#include "platform/files.h"
#include "platform/panels.h"
#include "platform/serial.h"
#include "run/failures.h"
#include "run/run_context.h"

namespace driveflash::app {
namespace {

constexpr const char* kPortTitle = "串口 / Port";
constexpr const char* kNothingSent = "\n没有向驱动器发送任何数据。/ Nothing was sent to the drive.";

ProgramRefusal port_refusal(const std::string& name) {
  return {kPortTitle, "串口“" + name +
                          "”不存在或无法使用：请从列表中选择串口，或插好适配器后再试。\n" +
                          "The port \"" + name +
                          "\" does not exist or cannot be used: pick a port from the list, or "
                          "plug the adapter in and try again." +
                          kNothingSent};
}

// The loader as the run would build it, 4096 bytes; false when no image can be built.
bool build_loader(std::vector<unsigned char>& image) {
  std::array<char, sizeof loaderpath> path{};
  // NOLINTNEXTLINE(cert-err33-c): two constants, 27 characters, in the 100-byte buffer
  std::snprintf(path.data(), path.size(), "%s%s", kLoaderDirectory, kLoaderFileName);
  image.assign(sizeof loaderimage, 0);
  unsigned address = 0;
  unsigned length = 0;
  return make_flash_image(path.data(), image.data(), static_cast<unsigned>(loadersize), &address,
                          &length) == 0;
}

}  // namespace

ProgramRefusal check_port(int panel, int control, int& port) {
  port = 0;
  if (GetCtrlVal(panel, control, &port) != 0) {
    // The window keeps what was typed when it names no port, so that it is the port shown.
    std::array<char, platform::kPathBufferSize> typed{};
    GetCtrlVal(panel, control, typed.data());
    return port_refusal(typed.data());
  }
  platform::PortEntry entry;
  if (platform::find_port(port, entry) && entry.is_real && !platform::device_present(entry.name)) {
    return port_refusal(std::to_string(port) + ": " + entry.name);
  }
  return {};
}

ProgramRefusal check_before_program(const image::FirmwareFile& firmware, int port) {
  const image::FirmwareReport& report = firmware.report;
  if (report.refused()) {
    const char* check_line =
        report.kind == image::FileKind::Ehex ? "Ehex 文件校验错误!" : "hex 文件校验错误!";
    return {check_line, std::string(check_line) + "\nThe firmware file is refused, " +
                            report.problem() + ":\n" + firmware.path +
                            "\nNothing was sent to the drive."};
  }
  // Found only after the drive's reset, a loader that cannot be sent would leave the drive
  // waiting in its bootstrap loader.
  std::vector<unsigned char> image;
  if (!build_loader(image)) {
    const char* line = run::failure_line(run::Cause::kLoaderFile);
    std::error_code ec;
    return {line,
            std::string(line) +
                "\n引导文件缺失、无法读取或不是引导程序 / The secondary loader is missing, "
                "unreadable or not a loader: " +
                platform::native_path(std::string(kLoaderDirectory) + kLoaderFileName) +
                "\n当前文件夹 / Current folder: " +
                platform::utf8_of(std::filesystem::current_path(ec)) + kNothingSent,
            run::Cause::kLoaderFile};
  }
  platform::PortEntry entry;
  if (platform::find_port(port, entry) && entry.is_real &&
      image::is_stand_in_loader(std::span(image.data(), static_cast<std::size_t>(loadersize)))) {
    const char* line = run::failure_line(run::Cause::kStandInLoader);
    return {line,
            std::string(line) +
                "\n替身引导文件只能用于虚拟驱动器，不能发给真实芯片。 / The stand-in loader "
                "is for the virtual drive only, never for a real chip." +
                kNothingSent,
            run::Cause::kStandInLoader};
  }
  return {};
}

}  // namespace driveflash::app
