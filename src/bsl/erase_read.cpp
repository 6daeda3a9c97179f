#include "bsl/erase_read.h"

#include <cstdio>

#include "app/run_context.h"
#include "bsl/frames.h"
#include "platform/panels.h"

// NOLINTBEGIN(modernize-avoid-c-arrays): the progress line's buffers keep the design's C layout
char msg[80] = "Erasing sector ";
const char msgend[80] = ", This may take a few seconds...";
char sectorindex[4] = "";
// NOLINTEND(modernize-avoid-c-arrays)

namespace {

constexpr const char* kProgressHead = "Erasing sector ";
constexpr const char* kDone = "Done!";
// Lets the status box be seen moving between sectors.
constexpr unsigned kSectorPauseMs = 200;

void status_line(const char* text) {
  InsertTextBoxLine(prgpanel, PRGPANEL_STATUS, -1, text);
}

// NOLINTBEGIN(cert-err33-c): one digit, and a line of 48 characters in the 80-byte buffer
void assemble_progress_line(int sector) {
  std::snprintf(sectorindex, sizeof sectorindex, "%c", static_cast<char>('0' + sector));
  std::snprintf(msg, sizeof msg, "%s%s%s", kProgressHead, sectorindex, msgend);
}
// NOLINTEND(cert-err33-c)

}  // namespace

int bl_erase_Wholepflash(int port) {
  for (int i = 0; i < kEraseSectorCount; ++i) {
    bl_header_block header;
    header.mode = kModeErase;
    header.word1 = kEraseFirstSector + static_cast<std::uint32_t>(i) * kSectorSize;
    header.word2 = kSectorSize;

    assemble_progress_line(i);
    status_line(msg);
    if (const int status = bl_send_header(port, header); status != kStatusOk) {
      return status;
    }
    status_line(kDone);
    run_sleep(RunWait::kStatusPace, kSectorPauseMs);
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
