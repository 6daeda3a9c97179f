// Intel HEX records and the secondary loader's image.
#pragma once

#include <cstddef>
#include <span>

// A record carries at most 255 data bytes: ':' + count + address + type + data + checksum.
inline constexpr int kMaxRecordData = 255;
inline constexpr int kMaxRecordChars = 11 + 2 * kMaxRecordData;
// Line buffers leave room for a longest record and some trailing blanks; a line that fills
// one is longer than any record can be.
inline constexpr int kLineLimit = kMaxRecordChars + 64;

inline constexpr int kRecordData = 0x00;
inline constexpr int kRecordEof = 0x01;
inline constexpr int kRecordExtLinear = 0x04;

// ORs `digits` hex digits of `text` into *value (cleared first), first digit most
// significant. A character that is not a hex digit contributes its low four bits, so the
// nibble values 0..15 stand for themselves. Returns `digits`.
unsigned charToInt(int* value, const char* text, unsigned digits);
// Rewrites '0'..'9' and 'A'..'F' in the first `length` bytes as 0..15. Returns `length`,
// or 0 when length is not positive.
int ASCIItoHEX(char* buffer, int length);

// The run context's loader image buffer, and the size every loader image is filled to.
inline constexpr std::size_t kLoaderImageBuffer = 16384;
inline constexpr unsigned kLoaderImageFill = 4096;

// Builds the loader image from an Intel HEX file into `image`, which holds
// kLoaderImageBuffer bytes. Returns 0, or 241 on any failure.
int make_flash_image(const char* path, unsigned char* image, unsigned capacity,
                     unsigned* baseAddress, unsigned* imageLength);
// The same into a buffer of any size: a file that would need a byte written past its end
// fails with 241 instead.
int make_flash_image(const char* path, std::span<unsigned char> image, unsigned capacity,
                     unsigned* baseAddress, unsigned* imageLength);
