// Frames of the secondary loader: header, data and end-of-transmission, their reply bytes
// and the status codes the tool shows for them.
#pragma once

#include <array>
#include <cstdint>
#include <span>

// Status codes. 248..255 are the loader's own reply bytes passed through unchanged.
inline constexpr int kStatusOk = 0;
inline constexpr int kStatusCanBus = 233;
inline constexpr int kStatusUnknown = 240;
inline constexpr int kStatusInvalidHexfile = 241;
inline constexpr int kStatusBslInit = 242;
inline constexpr int kStatusComInit = 243;
inline constexpr int kStatusHexDownload = 246;
inline constexpr int kStatusBootcode = 247;
inline constexpr int kStatusProtection = 248;
inline constexpr int kStatusVerification = 249;
inline constexpr int kStatusProgram = 250;
inline constexpr int kStatusErase = 251;
inline constexpr int kStatusInvalidAddress = 252;
inline constexpr int kStatusChecksum = 253;
inline constexpr int kStatusInvalidMode = 254;
inline constexpr int kStatusBlockType = 255;

// Block types (frame byte 0) and reply bytes.
inline constexpr std::uint8_t kBlockHeader = 0x00;
inline constexpr std::uint8_t kBlockData = 0x01;
inline constexpr std::uint8_t kBlockEot = 0x02;
inline constexpr std::uint8_t kReplyOk = 0x55;
inline constexpr std::uint8_t kReplyHeaderOk = 0x50;

inline constexpr std::size_t kHeaderFrameSize = 16;
inline constexpr std::size_t kDataFrameSize = 264;
inline constexpr std::size_t kEotFrameSize = 16;
inline constexpr std::size_t kPageSize = 256;

// Header modes.
inline constexpr std::uint8_t kModeProgram = 0;
inline constexpr std::uint8_t kModeRun = 1;
inline constexpr std::uint8_t kModeErase = 3;
inline constexpr std::uint8_t kModeRead = 4;
inline constexpr std::uint8_t kModeExtended = 6;

struct bl_header_block {
  std::uint8_t mode = 0;
  std::uint32_t word1 = 0;
  std::uint32_t word2 = 0;
  std::uint32_t ext_word1 = 0;
  std::uint32_t ext_word2 = 0;
  std::uint8_t ext_byte = 0;
  std::uint16_t ext_half = 0;
};

struct bl_data_block {
  const unsigned char* data = nullptr;  // exactly 256 bytes, read only
  std::uint8_t mode = 0;
};

// Sends a header frame and judges the reply (mode 1: none is read, and a frame that did not
// wholly leave gives 240; mode 4: a read reply).
int bl_send_header(int port, bl_header_block header);
// Sends one 256-byte page as a data frame and judges the reply.
int bl_send_data(int port, bl_data_block block);
int bl_send_EOT(int port);
// The operator's text for a status code; never null, static storage.
const char* error_message(int code);

namespace driveflash::bsl {

// XOR of every byte between the block type and the checksum byte.
std::uint8_t frame_checksum(std::span<const std::uint8_t> frame);
std::array<std::uint8_t, kHeaderFrameSize> make_header_frame(const bl_header_block& header);
// A block without data gets a zero payload here; bl_send_data refuses to send it.
std::array<std::uint8_t, kDataFrameSize> make_data_frame(const bl_data_block& block);
std::array<std::uint8_t, kEotFrameSize> make_eot_frame();

// How each frame kind judges a reply byte (a silent loader leaves 0x00).
int judge_header_reply(std::uint8_t reply);
int judge_data_reply(std::uint8_t reply);
int judge_eot_reply(std::uint8_t reply);
// Byte 0 of a read reply that is not a whole 0x01 0x04 block: acknowledgements are failures.
int judge_read_reply(std::uint8_t reply);

}  // namespace driveflash::bsl
