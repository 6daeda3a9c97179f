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
//   KIND := header | erase | read | data | eot   (header: a mode-0 download header)
//   K    := 1, 2, ...  counted over the drive's whole life, across runs
//   HH   := a byte in hex, one or two digits, "0x" allowed
//
// An unknown option, a malformed value or the same option twice (the same reply trigger twice)
// is an error with a message naming the option.
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

  bool operator==(const Faults&) const = default;
};

// Parses an option string into `out` (left untouched on failure). Returns false and says why
// in `error` for anything not in the grammar above.
bool parse_faults(std::string_view text, Faults& out, std::string& error);

}  // namespace driveflash::sim
