#include "image/retry.h"

#include <algorithm>

#include "bsl/frames.h"
#include "bsl/resync.h"
#include "run/outcome.h"

namespace driveflash::image {
namespace {

// The reason in both languages, for the retry's line.
struct Reason {
  const char* chinese;
  const char* english;
};

Reason reason_of(RetryWhat what, int status) {
  if (what == RetryWhat::kReadBack) {
    return {"读回不符", "read back differs"};
  }
  switch (status) {
    case kStatusChecksum:
      return {"校验和错误", "checksum error"};
    case kStatusVerification:
      return {"验证错误", "verification error"};
    case kStatusBlockType:
      return {"块类型错误", "block type error"};
    default:
      return {"无有效应答", "no valid reply"};
  }
}

// The sector as the erase's status lines number it: 0 for the first sector of the flash.
long long sector_number(std::uint32_t sector) {
  return (static_cast<long long>(sector) - kFlashBase) / kSectorSize;
}

// Runs `again` after each transient fault until it goes through, fails for a reason of the
// request's own, or the sector's retries are spent; then the status is that of the last fault.
template <class Again>
int retry(int status, RetryWhat what, std::uint32_t sector, Recovery& recovery,
          SectorRetries& retries, Again again) {
  while (status != kStatusOk) {
    if (!bl_transient(status) || !retries.take(sector)) {
      return status;
    }
    run::count_retry();
    recovery.say(retry_line(what, retries.used(sector), retries.limit(), sector, status));
    // A loader that cannot be brought back in step is out of reach: the run ends on the fault
    // that started it.
    if (recovery.resync() != kStatusOk) {
      return status;
    }
    status = again();
  }
  return kStatusOk;
}

}  // namespace

bool SectorRetries::take(std::uint32_t sector) {
  int& count = used_[sector];
  if (count >= limit_) {
    return false;
  }
  ++count;
  return true;
}

int SectorRetries::used(std::uint32_t sector) const {
  const auto it = used_.find(sector);
  return it == used_.end() ? 0 : it->second;
}

std::string retry_line(RetryWhat what, int attempt, int limit, std::uint32_t sector, int status) {
  const Reason why = reason_of(what, status);
  const std::string count = std::to_string(attempt) + "/" + std::to_string(limit);
  const std::string n = std::to_string(sector_number(sector));
  const std::string head = "重试 " + count + "：";
  const std::string tail_zh = std::string("（") + why.chinese + "） / Retry " + count + ": ";
  const std::string tail_en = std::string(" (") + why.english + ")";
  switch (what) {
    case RetryWhat::kErase:
      return head + "重新擦除扇区 " + n + tail_zh + "erasing sector " + n + " again" + tail_en;
    case RetryWhat::kClose:
      return head + "重新结束扇区 " + n + " 的烧录段" + tail_zh + "closing the region in sector " +
             n + " again" + tail_en;
    case RetryWhat::kProgram:
    case RetryWhat::kReadBack:
      break;
  }
  return head + "从扇区 " + n + " 重新烧录" + tail_zh + "programming again from sector " + n +
         tail_en;
}

int erase_with_retries(std::span<const std::uint32_t> sectors, Recovery& recovery,
                       SectorRetries& retries) {
  for (const std::uint32_t sector : sectors) {
    const auto again = [&] { return recovery.erase(sector); };
    if (const int s = retry(again(), RetryWhat::kErase, sector, recovery, retries, again);
        s != kStatusOk) {
      return s;
    }
  }
  return kStatusOk;
}

int RetryingSink::header(std::uint32_t page_address) {
  regions_.push_back(Region{page_address, {}, false});
  // Nothing is programmed by a header: once in step, the region simply starts again.
  const auto again = [&] { return loader_.header(page_address); };
  return retry(again(), RetryWhat::kProgram, sector_of(page_address), recovery_, retries_, again);
}

int RetryingSink::data(std::span<const std::uint8_t, kFlashPage> page) {
  if (regions_.empty() || regions_.back().closed) {
    // Not the builder's order; the loader judges it as it comes, and nothing is kept.
    return loader_.data(page);
  }
  Region& region = regions_.back();
  const std::uint32_t address =
      region.first_page + static_cast<std::uint32_t>(region.pages.size() * kFlashPage);
  // Kept before it is sent: a page whose reply is lost may be in flash all the same.
  Page copy{};
  std::copy(page.begin(), page.end(), copy.begin());
  region.pages.push_back(copy);
  const std::uint32_t sector = sector_of(address);
  return retry(loader_.data(page), RetryWhat::kProgram, sector, recovery_, retries_,
               [&] { return program_sector_again(sector); });
}

int RetryingSink::eot() {
  std::uint32_t sector = kFlashBase;
  if (!regions_.empty() && !regions_.back().closed) {
    Region& region = regions_.back();
    region.closed = true;
    const std::size_t pages = region.pages.size();
    sector = sector_of(region.first_page +
                       static_cast<std::uint32_t>((pages > 0 ? pages - 1 : 0) * kFlashPage));
  }
  // Getting back in step ends the region with an end-of-transmission frame of its own.
  return retry(loader_.eot(), RetryWhat::kClose, sector, recovery_, retries_,
               [] { return kStatusOk; });
}

std::vector<RetryingSink::SentPage> RetryingSink::sent_pages() const {
  std::vector<SentPage> pages;
  for (const Region& region : regions_) {
    for (std::size_t i = 0; i < region.pages.size(); ++i) {
      pages.push_back(
          {static_cast<std::uint32_t>(region.first_page + i * kFlashPage), region.pages[i]});
    }
  }
  std::ranges::stable_sort(pages, {}, &SentPage::address);
  return pages;
}

int RetryingSink::program_again(std::uint32_t sector) {
  const auto again = [&] { return program_sector_again(sector); };
  return retry(again(), RetryWhat::kProgram, sector, recovery_, retries_, again);
}

int RetryingSink::program_sector_again(std::uint32_t sector) {
  if (const int s = recovery_.erase(sector); s != kStatusOk) {
    return s;
  }
  const std::uint64_t end = std::uint64_t{sector} + kSectorSize;
  for (const Region& region : regions_) {
    // The pages of this region inside the sector: a run of them, since a region's pages
    // follow one another.
    std::size_t first = region.pages.size();
    std::size_t last = 0;
    for (std::size_t i = 0; i < region.pages.size(); ++i) {
      const std::uint64_t at = std::uint64_t{region.first_page} + i * kFlashPage;
      if (at >= sector && at < end) {
        first = std::min(first, i);
        last = i + 1;
      }
    }
    if (first >= last) {
      continue;
    }
    const auto start = static_cast<std::uint32_t>(region.first_page + first * kFlashPage);
    if (const int s = loader_.header(start); s != kStatusOk) {
      return s;
    }
    for (std::size_t i = first; i < last; ++i) {
      if (const int s = loader_.data(std::span<const std::uint8_t, kFlashPage>(region.pages[i]));
          s != kStatusOk) {
        return s;
      }
    }
    // The region still open goes on from here with the builder's next page.
    if (region.closed) {
      if (const int s = loader_.eot(); s != kStatusOk) {
        return s;
      }
    }
  }
  return kStatusOk;
}

}  // namespace driveflash::image
