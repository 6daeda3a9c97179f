// How the host judges one reply byte after each kind of loader frame, and the text the
// operator reads for each status code: written out here on their own, so that the matrix
// checks the tool against the tables rather than against itself.
#pragma once

#include <cstdint>
#include <map>
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
  static const std::map<int, std::string> kTexts = {
      {0, "No error"},         {233, "CAN Bus error"},    {241, "Invalid hexfile"},
      {242, "BSL-Init error"}, {243, "COM-Init error"},   {246, "hexfile download error"},
      {247, "Bootcode error"}, {248, "Protection error"}, {249, "Verification error"},
      {250, "Program error"},  {251, "Erase error"},      {252, "Invalid address"},
      {253, "Checksum error"}, {254, "Invalid mode"},     {255, "Block type error"}};
  const auto text = kTexts.find(code);
  return text == kTexts.end() ? "Unknown error" : text->second;
}

}  // namespace driveflash::test
