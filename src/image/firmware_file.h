// A firmware file read once into memory: its bytes' digest and the scan of them. The window
// reads the operator's file this way when Program is pressed, so that the check, the header
// and the run log all speak of the same bytes; the download reads the file again itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "image/firmware_scan.h"

namespace driveflash::image {

// Far more than any XMC1000 firmware in either format; a larger file is not read at all.
inline constexpr std::size_t kMaxFirmwareFileBytes = std::size_t{32} * 1024 * 1024;

struct FirmwareFile {
  std::string path;
  int filetype = 0;
  std::string error;  // why the file could not be read ("cannot be opened", ...); "" if it was
  std::uint64_t size = 0;
  std::string sha256;     // lower-case hex of its bytes
  FirmwareReport report;  // the whole file scanned as the download reads it

  bool read() const { return error.empty(); }
};

FirmwareFile read_firmware(const std::string& path, int filetype);

}  // namespace driveflash::image
