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

// Whether the marker stands anywhere in `image` (a loader file may put it behind a vector
// table).
inline bool is_stand_in_loader(std::span<const unsigned char> image) {
  return std::search(image.begin(), image.end(), kStandInLoaderMarker.begin(),
                     kStandInLoaderMarker.end(), [](unsigned char a, char b) {
                       return a == static_cast<unsigned char>(b);
                     }) != image.end();
}

}  // namespace driveflash::image
