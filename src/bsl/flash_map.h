// The XMC1000 program flash as every layer sees it: where it starts, its 4 KB sectors and
// 256-byte pages, the sector tables of its six sizes and the eight sectors the whole-flash
// erase walks. Nothing else in the program writes these numbers down.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t kFlashBase = 0x10001000;
inline constexpr std::uint32_t kSectorSize = 0x1000;
inline constexpr std::size_t kFlashPage = 256;
// The largest member of the family: 200 KB, 50 sectors, up to 0x10032FFF.
inline constexpr std::uint32_t kFlashSectorCount = 50;
inline constexpr std::uint32_t kFlashSize = kFlashSectorCount * kSectorSize;
inline constexpr std::uint64_t kFlashEnd = std::uint64_t{kFlashBase} + kFlashSize;

// The whole-flash erase: eight sectors from the first, the 32 KB part's whole flash.
inline constexpr std::uint32_t kEraseFirstSector = kFlashBase;
inline constexpr int kEraseSectorCount = 8;
inline constexpr std::uint64_t kEraseEnd =
    std::uint64_t{kEraseFirstSector} + std::uint64_t{kEraseSectorCount} * kSectorSize;

struct flash_sector {
  std::uint32_t address;
  std::uint32_t size;
};

template <std::size_t Sectors>
constexpr std::array<flash_sector, Sectors + 1> make_sector_table() noexcept {
  std::array<flash_sector, Sectors + 1> table{};
  for (std::size_t i = 0; i < Sectors; ++i) {
    table[i] = {kFlashBase + static_cast<std::uint32_t>(i) * kSectorSize, kSectorSize};
  }
  table[Sectors] = {0, 0};
  return table;
}

// Sector maps of the XMC1000 flash sizes; each ends with a {0, 0} entry.
inline constexpr auto XMC1000_200_FLASH_SectorTable = make_sector_table<50>();
inline constexpr auto XMC1000_128_FLASH_SectorTable = make_sector_table<32>();
inline constexpr auto XMC1000_64_FLASH_SectorTable = make_sector_table<16>();
inline constexpr auto XMC1000_32_FLASH_SectorTable = make_sector_table<8>();
inline constexpr auto XMC1000_16_FLASH_SectorTable = make_sector_table<4>();
inline constexpr auto XMC1000_8_FLASH_SectorTable = make_sector_table<2>();

// One past the last byte a sector table covers.
template <std::size_t N>
constexpr std::uint64_t table_end(const std::array<flash_sector, N>& table) noexcept {
  std::uint64_t end = 0;
  for (const flash_sector& s : table) {
    end = end > std::uint64_t{s.address} + s.size ? end : std::uint64_t{s.address} + s.size;
  }
  return end;
}

struct FlashSize {
  int kilobytes;
  std::uint64_t end;  // one past its last byte
};
// The family's sizes, smallest first.
inline constexpr std::array<FlashSize, 6> kFlashSizes{{
    {8, table_end(XMC1000_8_FLASH_SectorTable)},
    {16, table_end(XMC1000_16_FLASH_SectorTable)},
    {32, table_end(XMC1000_32_FLASH_SectorTable)},
    {64, table_end(XMC1000_64_FLASH_SectorTable)},
    {128, table_end(XMC1000_128_FLASH_SectorTable)},
    {200, table_end(XMC1000_200_FLASH_SectorTable)},
}};

static_assert(XMC1000_200_FLASH_SectorTable[49].address == 0x10032000);
static_assert(XMC1000_32_FLASH_SectorTable[7].address == 0x10008000);
static_assert(table_end(XMC1000_200_FLASH_SectorTable) == kFlashEnd);
static_assert(kEraseEnd == table_end(XMC1000_32_FLASH_SectorTable));
