// Entry into the chip's ROM bootstrap loader and upload of the secondary loader.
#pragma once

#include <cstdint>

inline constexpr std::uint8_t kBslEntryByte1 = 0x00;
inline constexpr std::uint8_t kBslEntryByte2 = 0x6C;
inline constexpr std::uint8_t kBslEntryAck = 0x5D;
inline constexpr std::uint8_t kBslLoaderAck = 0x01;

// Handshake: 0x00, 0x6C, expect 0x5D. Returns 0 or 242.
int init_ASC_BSL(int port);
// Announces the loader length (little endian). Returns 0 or 242.
int send_4_length(int port, std::uint32_t length);
// Sends the loader image in one write. Returns 0 or 247.
int send_ASCloader(int port, const unsigned char* image, std::uint32_t length);

// The handshake as a rescue makes it, while the drive may be switched off and on: the input is
// flushed first, and 0x5D counts if it arrives at any point within `reply_window` seconds after
// the pauses, whatever came before it (a power cycle puts junk on the line). Returns 0, 242,
// or 243 when the line failed (a USB adapter powered by the drive goes away with it). The
// port's read time-out is `reply_window` afterwards.
int rescue_ASC_BSL(int port, double reply_window);
