#include "bsl/erase_read.h"

#include <cstdio>

#include "bsl/frames.h"
#include "platform/panels.h"
#include "run/run_context.h"

// NOLINTBEGIN(modernize-avoid-c-arrays): the progress line's buffers keep the design's C layout
char msg[80] = "Erasing sector ";
const char msgend[80] = ", This may take a few seconds...";
char sectorindex[12] = "";
// NOLINTEND(modernize-avoid-c-arrays)

namespace {

constexpr const char* kProgressHead = "Erasing sector ";
constexpr const char* kDone = "Done!";
// Lets the status box be seen moving between sectors.
constexpr unsigned kSectorPauseMs = 200;

void status_line(const char* text) {
  InsertTextBoxLine(prgpanel, PRGPANEL_STATUS, -1, text);
}

// The sector number in decimal (one digit for the eight of the whole-flash erase).
// NOLINTBEGIN(cert-err33-c): at most 7 digits, and a line of 54 characters in the 80-byte buffer
void assemble_progress_line(std::uint32_t sector) {
  std::snprintf(sectorindex, sizeof sectorindex, "%u", static_cast<unsigned>(sector));
  std::snprintf(msg, sizeof msg, "%s%s%s", kProgressHead, sectorindex, msgend);
}
// NOLINTEND(cert-err33-c)

int erase_sector(int port, std::uint32_t address) {
  bl_header_block header;
  header.mode = kModeErase;
  header.word1 = address;
  header.word2 = kSectorSize;

  assemble_progress_line((address - kEraseFirstSector) / kSectorSize);
  status_line(msg);
  if (const int status = bl_send_header(port, header); status != kStatusOk) {
    return status;
  }
  status_line(kDone);
  run_sleep(RunWait::kStatusPace, kSectorPauseMs);
  return kStatusOk;
}

}  // namespace

int bl_erase_Wholepflash(int port) {
  for (int i = 0; i < kEraseSectorCount; ++i) {
    if (const int status =
            erase_sector(port, kEraseFirstSector + static_cast<std::uint32_t>(i) * kSectorSize);
        status != kStatusOk) {
      return status;
    }
  }
  return kStatusOk;
}

int bl_erase_sectors(int port, std::span<const std::uint32_t> sector_addresses) {
  for (const std::uint32_t address : sector_addresses) {
    if (const int status = erase_sector(port, address); status != kStatusOk) {
      return status;
    }
  }
  return kStatusOk;
}

int bl_read_flash(int port, std::uint32_t address) {
  bl_header_block header;
  header.mode = kModeRead;
  header.word1 = address;
  header.word2 = 0;

  std::printf("\nRead from Address 0x%08X (This may take a few seconds)... ",
              static_cast<unsigned>(address));
  if (const int status = bl_send_header(port, header); status != kStatusOk) {
    return status;
  }
  status_line(kDone);
  return kStatusOk;
}
