// Programs a firmware file into flash: erase, check, then pages in regions.
#pragma once

#include <cstdint>

#include "bsl/flash_map.h"

// What the run asks of a download. Only `send` and `file` have an effect.
struct bl_download_request {
  std::int32_t word1 = 0;
  std::uint8_t byte1 = 0;
  std::uint8_t send = 0;  // frames of the download are sent only when this is 1
  std::int32_t word2 = 0;
  const char* file = nullptr;
};

// Returns 0 when the file was programmed, else a status code.
int bl_download_pflash(int port, bl_download_request request, int file_type);
