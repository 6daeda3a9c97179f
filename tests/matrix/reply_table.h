// How the host judges one reply byte after each kind of loader frame, and the text the
// operator reads for each status code: written out here on their own, so that the matrix
// checks the tool against the tables rather than against itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace driveflash::test {

enum class FrameColumn { kHeader, kData, kEot };

// Status a frame operation returns for `reply` (nullopt: no reply arrived).
constexpr int judged(FrameColumn column, std::optional<std::uint8_t> reply) {
  if (!reply) {
    return 240;
  }
  const std::uint8_t b = *reply;
  const bool header = column == FrameColumn::kHeader;
  const bool data = column == FrameColumn::kData;
  switch (b) {
    case 0x55:
      return 0;
    case 0x50:
      return header ? 0 : 240;
    case 0xFF:
    case 0xFD:
    case 0xFC:
    case 0xFA:
      return b;
    case 0xFE:
    case 0xFB:
    case 0xF8:
      return data ? 240 : b;
    case 0xF9:
      return data ? 249 : 240;
    default:
      return 240;
  }
}

inline std::string status_text(int code) {
  switch (code) {
    case 0:
      return "No error";
    case 233:
      return "CAN Bus error";
    case 241:
      return "Invalid hexfile";
    case 242:
      return "BSL-Init error";
    case 243:
      return "COM-Init error";
    case 246:
      return "hexfile download error";
    case 247:
      return "Bootcode error";
    case 248:
      return "Protection error";
    case 249:
      return "Verification error";
    case 250:
      return "Program error";
    case 251:
      return "Erase error";
    case 252:
      return "Invalid address";
    case 253:
      return "Checksum error";
    case 254:
      return "Invalid mode";
    case 255:
      return "Block type error";
    default:
      return "Unknown error";
  }
}

}  // namespace driveflash::test
