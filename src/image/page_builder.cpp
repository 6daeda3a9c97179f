#include "image/page_builder.h"

#include <algorithm>
#include <cstring>

#include "bsl/frames.h"
#include "image/intel_hex.h"

namespace driveflash::image {

static_assert(kFlashPage == kPageSize, "a data frame carries exactly one flash page");

namespace {
constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;
}  // namespace

int PageBuilder::fail(int status) {
  status_ = status;
  return status;
}

int PageBuilder::record(const HexRecord& rec) {
  if (status_ != 0) {
    return status_;
  }
  switch (rec.type) {
    case kRecordExtLinear:
      // The Intel HEX layout puts the upper half in the first two data bytes; a record too
      // short to hold them is refused by the file scan long before it gets here.
      if (rec.data.size() >= 2) {
        upper_ = static_cast<std::uint32_t>((rec.data[0] << 8) | rec.data[1]) << 16;
      }
      return 0;
    case kRecordData:
      return place(upper_ | rec.address, rec.data);
    default:
      return 0;
  }
}

int PageBuilder::place(std::uint32_t address, std::span<const std::uint8_t> bytes) {
  if (status_ != 0) {
    return status_;
  }
  // A record without bytes has nothing to program; letting it open a region would send a
  // header for an address the file never meant to fill (a blank line parses as one).
  if (bytes.empty()) {
    return 0;
  }
  if (std::uint64_t{address} + bytes.size() > kAddressSpace) {
    return fail(kStatusInvalidHexfile);
  }
  if (open_) {
    // Pages already sent cannot be taken back: data below the cursor would either be lost
    // or programmed over a page twice. Callers sort such files first.
    if (address < cursor()) {
      return fail(kStatusInvalidHexfile);
    }
    if (address - window_ >= kRegionWindow) {
      if (const int s = close_region(); s != 0) {
        return s;
      }
    }
  }
  if (!open_) {
    if (const int s = open_region(address); s != 0) {
      return s;
    }
  } else if (const int s = put_zeros(address - cursor()); s != 0) {
    // The hole between two records of a region is programmed as zero bytes.
    return s;
  }
  return put(bytes);
}

int PageBuilder::finish() {
  if (status_ != 0) {
    return status_;
  }
  // A region whose last page went out whole ends with its end-of-transmission frame alone.
  if (open_ && pending_ > 0) {
    return close_region();
  }
  open_ = false;
  const int s = sink_.eot();
  return s != 0 ? fail(s) : 0;
}

int PageBuilder::open_region(std::uint32_t address) {
  const std::uint32_t offset = address & 0xFFu;
  const std::uint32_t first_page = address - offset;
  if (const int s = sink_.header(first_page); s != 0) {
    return fail(s);
  }
  page_.fill(0);
  pending_ = offset;  // the page's bytes ahead of the first record are zero
  front_ = first_page;
  window_ = first_page;
  open_ = true;
  return 0;
}

int PageBuilder::close_region() {
  // The loader wants the page it is working on even when nothing of it is pending: the
  // region ends with a data frame (zero bytes if need be), then its end-of-transmission frame.
  if (const int s = send_page(); s != 0) {
    return s;
  }
  open_ = false;
  if (const int s = sink_.eot(); s != 0) {
    return fail(s);
  }
  return 0;
}

int PageBuilder::put(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const std::size_t take = std::min(kFlashPage - pending_, bytes.size());
    std::memcpy(page_.data() + pending_, bytes.data(), take);
    pending_ += take;
    bytes = bytes.subspan(take);
    if (pending_ == kFlashPage) {
      if (const int s = send_page(); s != 0) {
        return s;
      }
    }
  }
  return 0;
}

int PageBuilder::put_zeros(std::uint64_t count) {
  // Bytes behind pending_ are kept zero, so a hole only moves the write position.
  while (count > 0) {
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(kFlashPage - pending_, count));
    pending_ += take;
    count -= take;
    if (pending_ == kFlashPage) {
      if (const int s = send_page(); s != 0) {
        return s;
      }
    }
  }
  return 0;
}

int PageBuilder::send_page() {
  if (const int s = sink_.data(std::span<const std::uint8_t, kFlashPage>(page_)); s != 0) {
    return fail(s);
  }
  window_ = front_;
  front_ += kFlashPage;
  pending_ = 0;
  page_.fill(0);
  return 0;
}

}  // namespace driveflash::image
