// Getting back in step with the secondary loader after a frame exchange went wrong on a noisy
// line: a reply lost or garbled on its way, a frame garbled on its way to the loader, or a byte
// of it lost, so that the loader still waits inside that frame for bytes that never come.
#pragma once

#include <cstdint>

// Whether a frame operation's status can come from the line rather than from the request: no
// reply or one the frame does not allow (240), a checksum error (253), a verification error
// (249), a block type error (255: the tool only ever sends block types the loader knows).
// Replies that judge the request itself (an address, a mode, the erase, the protection, a page
// programmed twice) are not.
bool bl_transient(int status);

// Brings the loader back to the start of a frame with no download region open: completes any
// frame it waits inside with filler bytes it refuses, reads a flash word until a reply arrives
// that echoes the address asked for, then sends an end-of-transmission frame. Sends no frame
// that erases or programs. Bounded: a few seconds at worst. Returns 0; or 240 when the loader
// did not answer in step (it is silent, or the line floods); or the status of the
// end-of-transmission frame when the loader refused it for a reason of its own.
int bl_resync(int port);

namespace driveflash::bsl {

// The filler. The first byte goes straight into whatever frame the loader may be waiting
// inside: no header, erase, read or end-of-transmission frame the tool sends holds 0xFF, and a
// frame that lost one byte passes its checksum only when the completing byte equals the lost
// one, so such a frame is refused, never carried out with shifted bytes. Neither byte is a
// block type, so a frame the loader starts on filler is refused as unknown. And the XOR of
// the filler and echo reads sent so far never comes to 0 (FF, 01, FF, 01, ...; a read frame
// XORs to 0): a data frame that the loader began on a garbled block type of one of the tool's
// own 16-byte frames (whose bytes 1 to 15 XOR to 0) never completes with a valid checksum.
inline constexpr std::uint8_t kFillFirst = 0xFF;
inline constexpr std::uint8_t kFillRest = 0xFE;

}  // namespace driveflash::bsl
