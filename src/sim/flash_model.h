// The program flash of an XMC1000 as the virtual drive keeps it.
//
// 200 KB from 0x10001000 in 4 KB sectors of sixteen 256-byte pages. Erased cells read as
// 0x00, so the zero padding the tool puts around a firmware's data leaves them as erased.
// A page takes one programming after each erase of its sector; a second one is refused,
// as writing over programmed cells would leave them corrupt.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "bsl/flash_map.h"

namespace driveflash::sim {

class FlashModel {
 public:
  static constexpr std::uint32_t kBase = kFlashBase;
  static constexpr std::uint32_t kSectorSize = ::kSectorSize;
  static constexpr std::uint32_t kPageSize = kFlashPage;
  static constexpr std::uint32_t kSectorCount = kFlashSectorCount;
  static constexpr std::uint32_t kSize = kFlashSize;
  static constexpr std::uint8_t kErasedByte = 0x00;

  enum class ProgramResult { kOk, kOutside, kNotErased };

  // A new chip: every sector erased, no page programmed.
  FlashModel();

  // Whether [address, address + length) lies wholly inside the flash.
  static bool contains(std::uint32_t address, std::uint64_t length);
  static bool is_sector_start(std::uint32_t address);

  // Erases the sector starting at `address`; false (and nothing erased) when no sector starts
  // there.
  bool erase_sector(std::uint32_t address);
  // Programs the 256-byte page at `address` (a page start).
  ProgramResult program_page(std::uint32_t address, std::span<const std::uint8_t> page);
  // Writes bytes as a factory-programmed application would have, whatever the pages' state,
  // and marks the pages they touch programmed. Bytes outside the flash are dropped.
  void preload(std::uint32_t address, std::span<const std::uint8_t> bytes);

  // The bytes of [address, address + length), or nothing when the range leaves the flash.
  std::vector<std::uint8_t> read(std::uint32_t address, std::uint64_t length) const;
  // The cell at `address`, which must lie inside the flash.
  std::uint8_t cell(std::uint32_t address) const { return cells_.at(offset(address)); }
  // Whether the page holding `address` was programmed since its sector's last erase.
  bool page_programmed(std::uint32_t address) const;
  // Whether the sector starting at `address` is erased with no page programmed since.
  bool sector_erased(std::uint32_t address) const;

 private:
  static std::size_t offset(std::uint32_t address) { return address - kBase; }
  std::vector<std::uint8_t> cells_;
  std::vector<bool> programmed_;  // one per page
};

}  // namespace driveflash::sim
