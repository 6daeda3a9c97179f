// The checks a firmware file passes before the download, plain and encrypted, and the whole
// scan that says what programming it would send.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "image/download.h"
#include "image/file_check.h"
#include "image/firmware_scan.h"
#include "platform/files.h"

namespace df = driveflash::fuzz;
namespace img = driveflash::image;

namespace {

// Both checks on a handle, as the download opens it.
int run_check(const char* path, img::FileKind kind, int& count) {
  const driveflash::platform::FileHandle file(img::open_firmware(path, kind));
  if (!file.valid()) {
    df::fail("the input file does not open");
  }
  count = -1;
  return kind == img::FileKind::Ehex ? ehexfilecheck(file.get(), &count)
                                     : hexfilecheck(file.get(), &count);
}

void check_report(const img::FirmwareReport& rep) {
  if (!rep.opened) {
    df::fail("the scan did not open the input file");
  }
  if (rep.issues.size() > img::FirmwareReport::kMaxIssues || rep.issue_total < rep.issues.size()) {
    df::fail("issue list and total disagree");
  }
  if (rep.refused() != !rep.problem().empty()) {
    df::fail("a refusal without a reason, or a reason without a refusal");
  }
  if (rep.refused()) {
    return;
  }
  // The data by address is the data of the records, each address once.
  std::uint64_t run_bytes = 0;
  std::uint64_t previous_end = 0;
  for (const img::DataChunk& run : rep.runs) {
    if (run.bytes.empty() || (run_bytes > 0 && run.address < previous_end)) {
      df::fail("runs empty, overlapping or out of order");
    }
    run_bytes += run.bytes.size();
    previous_end = run.end();
  }
  if (run_bytes != rep.data_bytes) {
    df::fail("runs and data byte count disagree");
  }
  std::uint64_t pages = 0;
  for (const img::PlannedRegion& r : rep.regions) {
    pages += r.pages;
  }
  if (pages != rep.data_frames) {
    df::fail("region pages and data frames disagree");
  }
  // Sectors above the eight, each once, ascending, and each holding a page that is sent.
  std::uint64_t previous = 0x10008000;
  for (const std::uint32_t sector : rep.erase_beyond) {
    const bool sent = std::any_of(rep.regions.begin(), rep.regions.end(), [&](const auto& r) {
      return r.first_page < std::uint64_t{sector} + 0x1000 &&
             std::uint64_t{r.first_page} + std::uint64_t{r.pages} * 256 > sector;
    });
    if (sector <= previous || sector % 0x1000 != 0 || !sent) {
      df::fail("an extra sector to erase out of order, misaligned or without a page sent");
    }
    previous = sector;
  }
  // And every page sent above the eight, inside the flash, lies in one of them.
  for (const img::PlannedRegion& r : rep.regions) {
    for (std::uint64_t page = r.first_page; page < std::uint64_t{r.first_page} + r.pages * 256ULL;
         page += 256) {
      if (page >= 0x10009000 && page < 0x10033000 &&
          !std::binary_search(rep.erase_beyond.begin(), rep.erase_beyond.end(),
                              static_cast<std::uint32_t>(page & ~0xFFFULL))) {
        df::fail("a page is sent into a sector that is not erased");
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static df::InputFile file;
  const df::FirmwareInput in = df::firmware_input(data, size);
  const char* path = file.write(in.file);

  {
    const int filetype = in.filetype;
    const img::FileKind kind = img::file_kind(filetype);
    int count = 0;
    const int check = run_check(path, kind, count);
    if (check != 0 && check != 241) {
      df::fail("a file check returned neither 0 nor 241");
    }
    const img::FirmwareReport rep = img::scan_firmware(path, filetype);
    check_report(rep);
    // The check counts what the progress counts: the scan's records.
    if (check == 0 && !rep.read_error && static_cast<std::uint32_t>(count) != rep.records) {
      df::fail("the check and the scan count differently",
               std::to_string(count) + " vs " + std::to_string(rep.records));
    }
  }
  return 0;
}
