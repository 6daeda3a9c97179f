// One pass over a firmware file before it is programmed: counts its records for the
// progress display and refuses files that cannot be read.
#pragma once

#include <cstdint>

// Counts the lines of a plain Intel HEX file. 0, or 241 when the file cannot be read or
// holds a line longer than any record.
int hexfilecheck(int fileHandle, int* lineCount);
// Counts the records of an encrypted-hex file. 0, or 241 when it cannot be read, ends
// inside a block or a record, or a record's byte count is not two hex digits.
int ehexfilecheck(int fileHandle, int* recordCount);

namespace driveflash::image {
inline constexpr int kCipherBlock = 16;
// Blocks that an encrypted record spans, from its deciphered first block; `previous` when
// the block does not start with ':' (the count and the download step alike), -1 when
// the byte count is not two hex digits (such a file is refused).
int ehex_record_blocks(const unsigned char* plaintext, int previous);
}  // namespace driveflash::image
