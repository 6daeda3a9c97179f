// Whole-flash erase and single-word read through the secondary loader.
#pragma once

#include <cstdint>
#include <span>

#include "bsl/flash_map.h"

// The erase's progress line as it is assembled ("Erasing sector N, This may ...").
// NOLINTBEGIN(modernize-avoid-c-arrays): the progress line's buffers keep the design's C layout
extern char msg[80];
extern const char msgend[80];
extern char sectorindex[12];
// NOLINTEND(modernize-avoid-c-arrays)

// Erases the eight 4 KB sectors from 0x10001000, reporting each in the status box.
int bl_erase_Wholepflash(int port);
// Erases further 4 KB sectors, given by their start addresses (ascending, each a sector start
// above the eight), with the same two lines and pause per sector. Returns 0, or the status
// code of the first failing header.
int bl_erase_sectors(int port, std::span<const std::uint32_t> sector_addresses);
// Reads one flash word and prints it.
int bl_read_flash(int port, std::uint32_t address);
// Reads one flash word for the read-back after a download, printing nothing and waiting no
// longer than its reply takes. Returns 0 with `word` as the loader sends it (most significant
// byte first) once a reply block echoes the address asked for; else 240 (no reply, or one that
// does not echo the address) or the loader's own error byte.
int bl_read_word(int port, std::uint32_t address, std::uint32_t& word);
