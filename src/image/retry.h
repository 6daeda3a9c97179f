// Retries on a noisy line that never program a page twice without its erase.
//
// A flash page takes one programming per erase of its sector, and a failed exchange cannot
// tell whether its page was programmed (the reply may have been lost after the work was
// done). So a retry never sends a page again on its own: it gets back in step with the
// loader, erases the whole sector the failed page lies in, and programs that sector again
// from its first page that the download had sent, region by region, with a header of its own
// for each, up to the page that failed. The pages come from a journal of every page sent, so
// that the bytes are exactly those of the first time, zero filling and the page that closes a
// region included.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "bsl/flash_map.h"
#include "image/page_builder.h"

namespace driveflash::image {

// The sector a flash address lies in (sectors are aligned to their size).
constexpr std::uint32_t sector_of(std::uint32_t address) {
  return address & ~(kSectorSize - 1);
}

// At most `limit` retries charged to any one sector, counted afresh for each.
class SectorRetries {
 public:
  explicit SectorRetries(int limit) : limit_(limit) {}
  int limit() const { return limit_; }
  // Charges one retry to `sector`; false when its retries are spent.
  bool take(std::uint32_t sector);
  int used(std::uint32_t sector) const;

 private:
  int limit_;
  std::map<std::uint32_t, int> used_;
};

// What a retry needs beyond the frames. The download's goes to the port and the status box.
class Recovery {
 public:
  virtual ~Recovery() = default;
  // Back in step with the loader, no region open: 0, or a status.
  virtual int resync() = 0;
  // Erases the sector at `sector` with its usual two status lines: 0, or a status.
  virtual int erase(std::uint32_t sector) = 0;
  virtual void say(const std::string& line) = 0;
  // One flash word as the loader reads it back (most significant byte first): 0, or a status.
  virtual int read_word(std::uint32_t address, std::uint32_t& word) = 0;
  virtual void progress(double percent) = 0;
};

// kReadBack: a sector programmed again because reading it back found a word that differs.
enum class RetryWhat : std::uint8_t { kErase, kProgram, kClose, kReadBack };

// "重试 1/3：从扇区 9 重新烧录（无有效应答） / Retry 1/3: programming again from sector 9 (no valid
// reply)", the same with the reason "读回不符 / read back differs" for kReadBack, and the lines
// for an erase and for the end of a region.
std::string retry_line(RetryWhat what, int attempt, int limit, std::uint32_t sector, int status);

// Erases `sectors` one by one; a transient fault erases that sector again. Returns 0, or the
// status that ended it.
int erase_with_retries(std::span<const std::uint32_t> sectors, Recovery& recovery,
                       SectorRetries& retries);

// Sits between the page builder and the loader's frames; a transient fault is recovered here
// and the builder carries on as if the frame had gone through at once.
class RetryingSink final : public FrameSink {
 public:
  using Page = std::array<std::uint8_t, kFlashPage>;
  struct SentPage {
    std::uint32_t address = 0;
    Page bytes{};
  };

  RetryingSink(FrameSink& loader, Recovery& recovery, SectorRetries& retries)
      : loader_(loader), recovery_(recovery), retries_(retries) {}

  int header(std::uint32_t page_address) override;
  int data(std::span<const std::uint8_t, kFlashPage> page) override;
  int eot() override;

  // Every page sent in a region, as it went out (zero filling included), by ascending address.
  std::vector<SentPage> sent_pages() const;
  // Erases `sector` and programs again every page of it sent so far, riding out transient
  // faults within the sector's retries. For a sector whose pages went through but are not
  // what was sent; the caller has charged and said that retry.
  int program_again(std::uint32_t sector);

 private:
  struct Region {
    std::uint32_t first_page = 0;
    std::vector<Page> pages;  // sent or about to be, in order
    bool closed = false;
  };

  // Erases `sector` and sends again every page of it sent so far.
  int program_sector_again(std::uint32_t sector);

  FrameSink& loader_;
  Recovery& recovery_;
  SectorRetries& retries_;
  std::vector<Region> regions_;
};

}  // namespace driveflash::image
