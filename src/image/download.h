// Programs a firmware file into flash: erase, check, then pages in regions.
#pragma once

#include <array>
#include <cstdint>

// What the run asks of a download. Only `send` and `file` have an effect.
struct bl_download_request {
  std::int32_t word1 = 0;
  std::uint8_t byte1 = 0;
  std::uint8_t send = 0;  // frames of the download are sent only when this is 1
  std::int32_t word2 = 0;
  const char* file = nullptr;
};

inline constexpr int kFileTypeHex = 0;
inline constexpr int kFileTypeEhex = 1;

struct flash_sector {
  std::uint32_t address;
  std::uint32_t size;
};

// Sector maps of the XMC1000 flash sizes; each ends with a {0, 0} entry.
extern const std::array<flash_sector, 51> XMC1000_200_FLASH_SectorTable;
extern const std::array<flash_sector, 33> XMC1000_128_FLASH_SectorTable;
extern const std::array<flash_sector, 17> XMC1000_64_FLASH_SectorTable;
extern const std::array<flash_sector, 9> XMC1000_32_FLASH_SectorTable;
extern const std::array<flash_sector, 5> XMC1000_16_FLASH_SectorTable;
extern const std::array<flash_sector, 3> XMC1000_8_FLASH_SectorTable;

// Returns 0 when the file was programmed, else a status code.
int bl_download_pflash(int port, bl_download_request request, int file_type);
