// Lays the data of Intel HEX records into 256-byte flash pages and hands them out as the
// secondary loader's frames: per region one header (its first page's address), its pages in
// ascending order, one end-of-transmission frame.
//
// Pure: no files, no port, no panels. The download puts the loader's frame operations
// behind the sink; the file scan counts frames with a sink of its own; tests record them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "bsl/flash_map.h"

namespace driveflash::image {

// A record that starts this far or further past the page sent last (or the region's first
// page) opens a new region, and so does every record below it.
inline constexpr std::uint32_t kRegionWindow = 0x200;

// Where the frames go. Each call returns 0, or a status code that stops the builder.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  virtual int header(std::uint32_t page_address) = 0;
  virtual int data(std::span<const std::uint8_t, kFlashPage> page) = 0;
  virtual int eot() = 0;
};

// One parsed record: its type, the 16-bit address field and its data bytes (the byte count
// is data.size(), at most 255). Type 04 carries the upper address in data[0], data[1].
struct HexRecord {
  std::uint8_t type = 0;
  std::uint16_t address = 0;
  std::span<const std::uint8_t> data;
};

class PageBuilder {
 public:
  explicit PageBuilder(FrameSink& sink) : sink_(sink) {}
  ~PageBuilder() = default;
  PageBuilder(const PageBuilder&) = delete;
  PageBuilder& operator=(const PageBuilder&) = delete;

  // Takes one record in file order: 04 sets the upper address half, 00 places its bytes at
  // (upper half | address field), every other type changes nothing. Returns 0 or the first
  // non-zero status (a sink's, or 241 for data below data already placed).
  int record(const HexRecord& rec);
  // Places bytes at a full address. Data must come in ascending order: a start below the end
  // of the data placed before is refused with 241 and nothing is sent. Empty data changes
  // nothing.
  int place(std::uint32_t address, std::span<const std::uint8_t> bytes);
  // Sends the pending page (zero-filled) and the closing end-of-transmission frame, which
  // goes out even when no region was opened.
  int finish();

  // The first non-zero status; once set, every call returns it and sends nothing more.
  int status() const { return status_; }
  bool region_open() const { return open_; }
  // Wide, so that a page ending at the top of the address space does not wrap to 0.
  std::uint64_t front_page() const { return front_; }
  std::uint64_t window_base() const { return window_; }
  std::size_t pending() const { return pending_; }
  // Full address where the next data byte would go without a gap.
  std::uint64_t cursor() const { return front_ + pending_; }

 private:
  int fail(int status);
  int open_region(std::uint32_t address);
  int close_region();
  int put(std::span<const std::uint8_t> bytes);
  int put_zeros(std::uint64_t count);
  int send_page();

  FrameSink& sink_;
  std::array<std::uint8_t, kFlashPage> page_{};
  std::size_t pending_ = 0;   // bytes of the front page assembled so far
  std::uint64_t front_ = 0;   // address of the page being assembled
  std::uint64_t window_ = 0;  // region's first page, or the page sent last
  std::uint32_t upper_ = 0;   // from the latest type 04 record
  bool open_ = false;
  int status_ = 0;
};

}  // namespace driveflash::image
