#include "app/program_checks.h"

#include <array>
#include <cstdio>
#include <span>
#include <vector>

#include "image/firmware_scan.h"
#include "image/intel_hex.h"
#include "image/stand_in_loader.h"
#include "platform/serial.h"
#include "run/run_context.h"

namespace driveflash::app {
namespace {

// A loader file that is missing or unreadable is reported by the run in its own words, after
// the length has gone out; only the stand-in is known to be wrong for a real chip up front.
bool stand_in_loader_for_real_chip(int port) {
  platform::PortEntry entry;
  if (!platform::find_port(port, entry) || !entry.is_real) {
    return false;
  }
  std::array<char, sizeof loaderpath> path{};
  // NOLINTNEXTLINE(cert-err33-c): two constants, 27 characters, in the 100-byte buffer
  std::snprintf(path.data(), path.size(), "%s%s", kLoaderDirectory, kLoaderFileName);
  std::vector<unsigned char> image(sizeof loaderimage);
  unsigned address = 0;
  unsigned length = 0;
  const auto size = static_cast<unsigned>(loadersize);
  return make_flash_image(path.data(), image.data(), size, &address, &length) == 0 &&
         image::is_stand_in_loader(std::span(image.data(), size));
}

}  // namespace

ProgramRefusal check_before_program(const image::FirmwareFile& firmware, int port) {
  const image::FirmwareReport& report = firmware.report;
  if (report.refused()) {
    const char* check_line =
        report.kind == image::FileKind::Ehex ? "Ehex 文件校验错误!" : "hex 文件校验错误!";
    return {check_line, std::string(check_line) + "\nThe firmware file is refused, " +
                            report.problem() + ":\n" + firmware.path +
                            "\nNothing was sent to the drive."};
  }
  if (stand_in_loader_for_real_chip(port)) {
    return {"Program",
            "ERROR: 'XMC1x_ASCLoader.hex' is the virtual drive's stand-in, not the real loader! "
            "Put the vendor's loader file in XMC1300\\.\nNothing was sent to the drive."};
  }
  return {};
}

}  // namespace driveflash::app
