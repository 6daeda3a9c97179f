// What can go wrong with the virtual drive, chosen per test as a struct or on the command line
// as an option string.
//
// Option string: comma-separated options, blanks around each ignored, "" for a healthy drive.
//
//   silent                  nothing is ever answered (no drive on the line)
//   short-identity          the identity request gets a 5-byte Modbus exception reply
//   no-bsl                  the reset request is echoed but the chip stays in its application
//   handshake=HH            the ROM loader answers the entry with HH instead of 5D
//   length-reply=HH         ... the loader length with HH instead of 01
//   loader-reply=HH         ... the loader bytes with HH instead of 01
//   reply:KIND@K=HH         the K-th frame of KIND is answered with HH and not carried out
//   protect=N               the first N download headers (mode 0) are answered F8
//   silent-from:KIND@K      the secondary loader hangs from the K-th frame of KIND on
//   disconnect:KIND@K       the line drops when the K-th frame of KIND arrives
//   flood-from:KIND@K       from the K-th frame of KIND on the secondary loader answers nothing
//                           and the line carries garbage instead, as fast as the host takes it
//   slow=N(us|ms|s)         every reply leaves N after the request that caused it
//   drip=N(us|ms|s)         a reply of several bytes leaves one byte at a time, N apart
//   line-time               in-process lines also take the bytes' time on the wire at the
//                           port's baud rate (10 bits a byte, more with parity or 2 stop bits),
//                           behind an operating system buffer of 4 KB that a write fills at once
//   page-time=MS            the chip takes MS milliseconds to program a page before it answers
//   erase-time=MS           ... to erase a sector
//   start=rom-loader        the drive starts where a run stopped after its reset left it: the
//                           chip's ROM loader waits for the entry handshake
//   start=stuck-loader      ... or where a run stopped during the download left it: the
//                           secondary loader runs; only a power cycle brings the ROM loader back
//   power-cycle-after=N     the drive is switched off and on once, N after the host's first
//                           byte (N in seconds, or with a unit us, ms or s; at most an hour)
//
// A real drive's rules, which a kind host never meets:
//
//   modbus-gap=on|off       the firmware takes a Modbus request only after 3.5 characters of
//                           silence (11 bits each; 1.75 ms above 19200 baud) since the last
//                           frame on the line, the host's previous request or its own reply; a
//                           request that starts sooner runs into that frame, fails its CRC and
//                           is not answered. On by default with line-time, else off; with it on
//                           and no line-time the bytes take no time, but the waits between them
//                           count. A pseudo-terminal has no baud rate, hence no such rule.
//   loader-startup=MS       after it answers the uploaded loader with 01, the chip starts the
//                           secondary loader, which sets up its UART first: bytes that start
//                           within MS of the end of that 01 are lost (10 by default with
//                           line-time, else 0)
//   boot-time=MS            the firmware hears nothing for MS after the closing header (mode 1),
//                           or after a power-on that starts it: requests before then get no
//                           answer (default 0)
//   power-cycle-junk=HEX    switching the drive off and on puts these bytes on the line towards
//                           the host, e.g. 00 (a break) or 00FF; 1 to 16 bytes
//   noise=RATE              while the secondary loader runs, each byte either way is hit at this
//                           rate per byte (0 to 1, e.g. 2e-5): half of the hits flip one of its
//                           bits, the other half lose it. A garbled frame meets the frame rules
//                           (checksum FD, unknown block type FF and 16 bytes taken), a lost byte
//                           leaves the loader inside its frame until the next frame's bytes
//                           complete it; garbled replies reach the host garbled, lost ones never
//   seed=S                  the noise's seed (0 by default): the same seed and the same traffic
//                           give the same hits, on every system
//   lose-reply:KIND@K       the K-th frame of KIND is carried out (a data frame's page
//                           programmed), but its reply never reaches the host
//   lose-byte:KIND@K        the middle byte of the K-th frame of KIND (byte 8 of 16, byte 132 of
//                           a data frame's 264) never reaches the loader, which then waits
//                           inside the frame for the next frame's first byte
//   corrupt-page:data@K     the K-th data frame passes its checksum and is answered 55, but its
//                           page is programmed with the lowest bit of its middle byte (byte 128
//                           of 256) inverted: what two flips of one bit in a frame do, which
//                           the XOR checksum cannot see. Only reading the flash back shows it
//
//   KIND := header | erase | read | data | eot   (header: a mode-0 download header)
//   K    := 1, 2, ...  counted over the drive's whole life, across runs
//   HH   := a byte in hex, one or two digits, "0x" allowed
//   HEX  := bytes in hex, two digits each
//
// An unknown option, a malformed value or the same option twice (the same trigger twice) is an
// error with a message naming the option; so is a seed without noise.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace driveflash::sim {

// How the secondary loader classifies a complete frame.
enum class FrameKind : std::uint8_t {
  kHeader,       // mode 0: start of a download region
  kErase,        // mode 3
  kRead,         // mode 4
  kRun,          // mode 1: leave the loader, start the application
  kOtherHeader,  // any other mode
  kData,
  kEot,
  kUnknownType,  // a block type the loader does not know
};
inline constexpr std::size_t kFrameKindCount = 8;

// Name in option strings and reports ("header", "erase", ...).
std::string_view frame_kind_name(FrameKind kind);

// The k-th frame (1-based) of a kind since the drive was made.
struct FrameTrigger {
  FrameKind kind = FrameKind::kData;
  std::uint64_t index = 1;
  bool operator==(const FrameTrigger&) const = default;
};

struct ReplyOverride {
  FrameTrigger at;
  std::uint8_t reply = 0;
  bool operator==(const ReplyOverride&) const = default;
};

// Where a drive is when it is made (or after a run that did not finish left it).
enum class StartIn : std::uint8_t { kApplication, kRomLoader, kStuckLoader };

struct Faults {
  bool silent = false;
  bool short_identity = false;
  bool no_bsl = false;
  std::optional<std::uint8_t> handshake_reply;
  std::optional<std::uint8_t> length_reply;
  std::optional<std::uint8_t> loader_reply;
  std::vector<ReplyOverride> replies;
  std::uint64_t protect = 0;
  std::optional<FrameTrigger> silent_from;
  std::optional<FrameTrigger> disconnect_at;
  std::optional<FrameTrigger> flood_from;
  std::chrono::microseconds delay{0};
  std::chrono::microseconds drip{0};
  bool line_time = false;  // not a fault of the drive: how in-process lines time the bytes
  // Not faults either: the chip's own time for its work, added before the frame's reply.
  std::chrono::microseconds page_time{0};
  std::chrono::microseconds erase_time{0};
  StartIn start = StartIn::kApplication;
  std::chrono::microseconds power_cycle_after{0};  // 0: never
  // A real drive's rules. Unset: what line-time makes them.
  std::optional<bool> modbus_gap;
  std::optional<std::chrono::microseconds> loader_startup;
  std::chrono::microseconds boot_time{0};
  std::vector<std::uint8_t> power_cycle_junk;
  double noise = 0;
  std::uint64_t seed = 0;
  std::vector<FrameTrigger> lose_reply;
  std::vector<FrameTrigger> lose_byte;
  std::vector<FrameTrigger> corrupt_page;  // data frames only

  bool operator==(const Faults&) const = default;

  bool modbus_gap_on() const { return modbus_gap.value_or(line_time); }
  std::chrono::microseconds loader_startup_time() const {
    return loader_startup.value_or(line_time ? kDefaultLoaderStartup : std::chrono::microseconds{});
  }

  static constexpr std::chrono::microseconds kDefaultLoaderStartup{10'000};
};

// Parses an option string into `out` (left untouched on failure). Returns false and says why
// in `error` for anything not in the grammar above.
bool parse_faults(std::string_view text, Faults& out, std::string& error);

}  // namespace driveflash::sim
