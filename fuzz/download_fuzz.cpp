// The record-to-page path of the download: any file, programmed into a virtual drive whose
// secondary loader already runs, over an in-process line in virtual time. A download that
// reports success must have put every data byte of the file into flash: a drive is never
// corrupted silently.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "image/download.h"
#include "image/firmware_scan.h"
#include "platform/panels.h"
#include "platform/serial.h"
#include "platform/timing.h"
#include "run/run_context.h"
#include "sim/sim_line.h"
#include "sim/virtual_drive.h"

namespace df = driveflash::fuzz;
namespace pf = driveflash::platform;
namespace sim = driveflash::sim;

namespace {

constexpr int kPort = 9;
constexpr std::uint32_t kLoaderBytes = 16;

// Process-wide, once: virtual time and the programming popup the download reports into.
struct Setup {
  pf::VirtualClock clock;
  Setup() {
    pf::set_clock(&clock);
    pf::PanelDef popup;
    popup.number = kProgramPanelId;
    popup.controls = {{PRGPANEL_STATUS, pf::ControlKind::TextBox, "status", "", "", std::string()},
                      {PRGPANEL_PROGRESS, pf::ControlKind::Double, "progress", "", "", 0.0}};
    prgpanel = pf::create_panel(popup);
    if (prgpanel <= 0) {
      df::fail("no popup panel");
    }
  }
};

// A new drive taken through its application and ROM loader into the secondary loader.
std::shared_ptr<sim::VirtualDrive> drive_in_loader() {
  auto drive = std::make_shared<sim::VirtualDrive>();
  const std::vector<df::Bytes> steps = {
      {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A},  // identity request
      {0x01, 0x06, 0x00, 0x5C, 0x00, 0x01, 0x88, 0x18},  // reset into the ROM loader
      {0x00},
      {0x6C},
      {kLoaderBytes, 0, 0, 0},
      df::Bytes(kLoaderBytes, 0xA5)};
  for (const df::Bytes& step : steps) {
    drive->feed(step);
  }
  if (drive->stage() != sim::VirtualDrive::Stage::kLoader) {
    df::fail("the virtual drive did not reach its secondary loader");
  }
  return drive;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup setup;
  static df::InputFile file;
  const df::FirmwareInput in = df::firmware_input(data, size);
  const char* path = file.write(in.file);

  const auto drive = drive_in_loader();
  sim::map_sim_port(kPort, drive);
  if (OpenComConfig(kPort, "", 115200, 0, 8, 1, 512, 512) != 0 || SetComTime(kPort, 1.0) != 0) {
    df::fail("the virtual drive's port does not open");
  }
  bl_download_request request;
  request.word1 = 1;
  request.byte1 = 4;
  request.send = 1;
  request.file = path;
  const int status = bl_download_pflash(kPort, request, in.filetype);
  CloseCom(kPort);
  // The status box would otherwise grow over millions of runs.
  ResetTextBox(prgpanel, PRGPANEL_STATUS, "");

  if (status != 0) {
    return 0;
  }
  const auto report = driveflash::image::scan_firmware(path, in.filetype);
  if (report.refused()) {
    df::fail("a refused file was reported as programmed", report.problem());
  }
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> expected;
  expected.reserve(report.chunks.size());
  for (const auto& chunk : report.chunks) {
    expected.emplace_back(chunk.address, chunk.bytes);
  }
  std::string mismatch;
  if (!drive->flash_matches(expected, &mismatch)) {
    df::fail("the download reported success but the flash does not hold the file:", mismatch);
  }
  return 0;
}
