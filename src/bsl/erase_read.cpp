#include "bsl/erase_read.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "bsl/frames.h"
#include "platform/panels.h"
#include "platform/serial.h"
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
// A read's reply block: 0x01 0x04, the address, the word, each most significant byte first.
constexpr std::size_t kReadReplySize = 10;
constexpr std::size_t kReadEchoSize = 6;
// A loader whose reply block runs past the ten bytes judged (its reply buffer holds 16) may
// leave that many bytes behind, which then come ahead of the next reply.
constexpr std::size_t kMaxStrayBytes = 6;

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

std::uint32_t big_endian(const std::uint8_t* b) {
  return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 |
         std::uint32_t{b[3]};
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

int bl_read_word(int port, std::uint32_t address, std::uint32_t& word) {
  bl_header_block header;
  header.mode = kModeRead;
  header.word1 = address;
  header.word2 = 0;
  const auto frame = driveflash::bsl::make_header_frame(header);
  // Whatever an earlier reply left in the queue goes before the frame, not into this reply. No
  // settling wait after the block, as bl_read_flash has: a read-back reads thousands of words,
  // and a tail that comes late is found ahead of the next reply below.
  FlushInQ(port);
  ComWrt(port, reinterpret_cast<const char*>(frame.data()), static_cast<int>(frame.size()));
  std::array<std::uint8_t, kReadReplySize + kMaxStrayBytes> r{};
  const int read = ComRd(port, reinterpret_cast<char*>(r.data()), kReadReplySize);
  if (read <= 0) {
    return kStatusUnknown;
  }
  const auto got = static_cast<std::size_t>(read);
  const std::array<std::uint8_t, kReadEchoSize> echo = {0x01,
                                                        kModeRead,
                                                        static_cast<std::uint8_t>(address >> 24),
                                                        static_cast<std::uint8_t>(address >> 16),
                                                        static_cast<std::uint8_t>(address >> 8),
                                                        static_cast<std::uint8_t>(address)};
  // Where the echo begins (as far as it has come): bytes before it are an earlier block's tail.
  std::size_t at = 0;
  for (; at <= kMaxStrayBytes && at < got; ++at) {
    const std::size_t n = std::min(kReadEchoSize, got - at);
    if (std::equal(echo.begin(), echo.begin() + static_cast<std::ptrdiff_t>(n),
                   r.begin() + static_cast<std::ptrdiff_t>(at))) {
      break;
    }
  }
  if (at > kMaxStrayBytes || at >= got) {
    return driveflash::bsl::judge_read_reply(r[0]);
  }
  if (at + kReadReplySize > got) {
    const std::size_t missing = at + kReadReplySize - got;
    const int more =
        ComRd(port, reinterpret_cast<char*>(r.data() + got), static_cast<int>(missing));
    if (more != static_cast<int>(missing)) {
      return kStatusUnknown;
    }
  }
  if (!std::equal(echo.begin(), echo.end(), r.begin() + static_cast<std::ptrdiff_t>(at))) {
    return kStatusUnknown;
  }
  word = big_endian(r.data() + at + kReadEchoSize);
  return kStatusOk;
}
