// The virtual drive's stand-in for the secondary loader.
//
// The real chip needs the vendor's secondary-loader file, which this project does not ship.
// The repository carries a small loader file of its own so that the virtual drive can be
// programmed end to end; it starts with this marker, and the run refuses to upload it to a
// real serial port.
#pragma once

#include <algorithm>
#include <span>
#include <string_view>

namespace driveflash::image {

inline constexpr std::string_view kStandInLoaderMarker =
    "DRIVEFLASH VIRTUAL-DRIVE STAND-IN LOADER - NOT FOR REAL CHIPS";

inline bool is_stand_in_loader(std::span<const unsigned char> image) {
  return image.size() >= kStandInLoaderMarker.size() &&
         std::equal(kStandInLoaderMarker.begin(), kStandInLoaderMarker.end(), image.begin(),
                    [](char a, unsigned char b) { return static_cast<unsigned char>(a) == b; });
}

}  // namespace driveflash::image
