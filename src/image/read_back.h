// Reading the flash back after the download, so that no run reports success with a wrong byte.
//
// The loader's XOR checksum cannot see two flips of the same bit in one data frame: the loader
// programs such a page and acknowledges it. So every word of every page the download sent
// (zero filling included) is read back with the loader's one-word read and compared with what
// was sent, sector by sector. A sector that differs is erased and programmed again as a retry
// does, while that sector's retries last, and read back again.
//
// A read reply can be hit on the line as well: a reply that is garbled or missing is read
// again once the loader is back in step (only with retries: without them such a read fails the
// run on its own status), and a word that reads as another value counts as different only when
// a second read gives the same value, so that a flipped bit in a reply does not cost the drive
// a sector's erase.
#pragma once

#include <cstddef>
#include <string>

#include "image/retry.h"

namespace driveflash::image {

inline constexpr const char* kVerifiedLine = "校验通过 / Verified";
// "校验：读回 16 页 / Verify: reading back 16 pages"
std::string read_back_line(std::size_t pages);

// Reads back every page `journal` sent; 0 when each word equals what was sent. Else 249 (a
// word that still differs once the sector's retries are spent; a line says where), or the
// status of a read or a programming that could not be done. Charges `retries` as the download's
// retries do, and keeps the outcome's read-back record.
int read_back(RetryingSink& journal, Recovery& recovery, SectorRetries& retries);

}  // namespace driveflash::image
