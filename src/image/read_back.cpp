#include "image/read_back.h"

#include <array>
#include <cstdio>
#include <optional>
#include <span>
#include <vector>

#include "bsl/frames.h"
#include "bsl/resync.h"
#include "run/outcome.h"

namespace driveflash::image {
namespace {

constexpr std::size_t kWordSize = 4;
constexpr std::size_t kWordsPerPage = kFlashPage / kWordSize;
// A word answered with another value is read again: two reads that agree on it are a difference
// in flash, one that gives the written value was a reply hit on the line. Values that keep
// changing are a flash cell that does not hold, a difference too.
constexpr int kReadsPerWord = 4;
// Garbled or missing replies to one word, each followed by getting back in step, before the
// read counts as a fault.
constexpr int kReadFaultsPerWord = 3;
// Not a status: the word differs from what was sent.
constexpr int kDiffers = -1;

// The chip is little-endian: the byte at the word's address is its least significant.
std::uint32_t word_at(std::span<const std::uint8_t> page, std::size_t offset) {
  return std::uint32_t{page[offset]} | std::uint32_t{page[offset + 1]} << 8 |
         std::uint32_t{page[offset + 2]} << 16 | std::uint32_t{page[offset + 3]} << 24;
}

struct Difference {
  std::uint32_t address = 0;
  std::uint32_t read = 0;
  std::uint32_t sent = 0;
};

std::string difference_line(const Difference& d) {
  std::array<char, 200> text{};
  // NOLINTNEXTLINE(cert-err33-c): three 8-digit numbers in a line of about 130 bytes
  std::snprintf(text.data(), text.size(),
                "读回不符：地址 0x%08X 的字读出 0x%08X，写入的是 0x%08X / Read back differs: the "
                "word at 0x%08X reads 0x%08X, 0x%08X was written",
                static_cast<unsigned>(d.address), static_cast<unsigned>(d.read),
                static_cast<unsigned>(d.sent), static_cast<unsigned>(d.address),
                static_cast<unsigned>(d.read), static_cast<unsigned>(d.sent));
  return text.data();
}

class Reader {
 public:
  Reader(Recovery& recovery, bool resync, std::size_t pages)
      : recovery_(recovery), resync_(resync), pages_(pages) {}

  // The pages [first, last) of one sector: 0, kDiffers with `diff` set, or a fault's status.
  int sector(std::span<const RetryingSink::SentPage> pages, std::size_t first, std::size_t last,
             Difference& diff) {
    for (std::size_t p = first; p < last; ++p) {
      recovery_.progress(100.0 * static_cast<double>(p) / static_cast<double>(pages_));
      const RetryingSink::SentPage& page = pages[p];
      for (std::size_t w = 0; w < kWordsPerPage; ++w) {
        diff.address = page.address + static_cast<std::uint32_t>(w * kWordSize);
        diff.sent = word_at(page.bytes, w * kWordSize);
        if (const int s = word(diff); s != kStatusOk) {
          return s;
        }
      }
    }
    return kStatusOk;
  }

 private:
  int word(Difference& d) {
    std::optional<std::uint32_t> seen;
    int reads = 0;
    int faults = 0;
    while (reads < kReadsPerWord) {
      std::uint32_t value = 0;
      if (const int s = recovery_.read_word(d.address, value); s != kStatusOk) {
        // Without retries the first fault ends the run, as every other frame's does.
        if (!resync_ || !bl_transient(s) || ++faults > kReadFaultsPerWord ||
            recovery_.resync() != kStatusOk) {
          return s;
        }
        continue;
      }
      ++reads;
      if (value == d.sent) {
        return kStatusOk;
      }
      d.read = value;
      if (seen == value) {
        return kDiffers;
      }
      seen = value;
    }
    return kDiffers;
  }

  Recovery& recovery_;
  bool resync_;
  std::size_t pages_;
};

}  // namespace

std::string read_back_line(std::size_t pages) {
  const std::string n = std::to_string(pages);
  return "校验：读回 " + n + " 页 / Verify: reading back " + n + " pages";
}

int read_back(RetryingSink& journal, Recovery& recovery, SectorRetries& retries) {
  const std::vector<RetryingSink::SentPage> pages = journal.sent_pages();
  recovery.say(read_back_line(pages.size()));
  std::uint64_t words = 0;
  run::note_read_back(run::ReadBack::kIncomplete, words);
  Reader reader(recovery, retries.limit() > 0, pages.size());
  for (std::size_t first = 0; first < pages.size();) {
    const std::uint32_t sector = sector_of(pages[first].address);
    std::size_t last = first;
    while (last < pages.size() && sector_of(pages[last].address) == sector) {
      ++last;
    }
    for (;;) {
      Difference diff;
      const int s = reader.sector(pages, first, last, diff);
      if (s == kStatusOk) {
        break;
      }
      if (s != kDiffers) {
        return s;
      }
      if (!retries.take(sector)) {
        const std::string line = difference_line(diff);
        recovery.say(line);
        run::set_reason(line);
        run::note_read_back(run::ReadBack::kDiffered, words);
        return kStatusVerification;
      }
      run::count_retry();
      recovery.say(retry_line(RetryWhat::kReadBack, retries.used(sector), retries.limit(), sector,
                              kStatusVerification));
      if (const int again = journal.program_again(sector); again != kStatusOk) {
        return again;
      }
    }
    words += (last - first) * kWordsPerPage;
    run::note_read_back(run::ReadBack::kIncomplete, words);
    first = last;
  }
  recovery.progress(100.0);
  run::note_read_back(run::ReadBack::kVerified, words);
  recovery.say(kVerifiedLine);
  return kStatusOk;
}

}  // namespace driveflash::image
