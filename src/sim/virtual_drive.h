// The virtual drive: an XMC1300 in a motor drive, as seen from the far end of the serial line.
//
// Feed it what the host writes; it answers with the bytes the drive would send back. It goes
// through the chip's life during a programming run:
//
//   application   answers the Modbus identity request (01 03 00 00 00 01 84 0A) with
//                 01 03 02 hi lo + CRC, echoes the reset request (01 06 00 5C 00 01 88 18)
//                 and restarts into the ROM bootstrap loader. Anything else is ignored; the
//                 firmware resynchronises on the next request.
//   ROM loader    00 then 6C -> 5D; four length bytes (LSB first, 1..16384) -> 01; that many
//                 loader bytes -> 01 (any bytes: the uploaded image is kept for inspection).
//                 A length out of range is answered FF and the loader waits for 00 6C again.
//   secondary     16-byte header, 264-byte data and 16-byte end-of-transmission frames, told
//   loader        apart by their first byte, each answered with one byte:
//                   bad checksum FD; unknown block type FF (16 bytes are taken as its frame);
//                   header mode 0 (page-aligned address inside the flash) 55 and opens a
//                     region, else FC;
//                   mode 3 (sector start inside the flash, length 0x1000) erases, 55, else FC;
//                   mode 4 (word-aligned address inside the flash) -> 01 04 a3 a2 a1 a0
//                     d3 d2 d1 d0, the little-endian word at the address most significant
//                     byte first, else FC;
//                   mode 1 -> no reply, the chip restarts into the application (which now
//                     answers the identity request again);
//                   any other mode FE;
//                   data (mode byte 0 or 1, else FE) programs the region's next page: 55;
//                     FC without an open region or past the end of the flash; FA ("Program
//                     error") when the page was programmed since its sector's last erase;
//                   end of transmission closes the region: 55 (also without a region).
//                 A programmed page and an erased sector are answered only after the chip's
//                 time for the work (page-time, erase-time), on top of any other delay.
//
// Boot: the reset request also tells the chip to come up in its ROM loader at every power-on,
// until the closing header (mode 1) sends it back to its application. A run that stops after
// the reset thus leaves the drive in its ROM loader (or with the secondary loader running),
// where it stays, across opens of the line, until power_cycle(): then the ROM loader waits for
// the entry handshake again. Faults::start makes a drive that begins that way.
//
// Flash: see FlashModel (200 KB from 0x10001000, erased cells 0x00). A new drive's flash is
// all erased; preload_flash() puts an existing application in.
//
// Faults (faults.h) change replies, timing and the line. A flooding drive (flood-from) answers
// nothing more; the line it sits on sends flood_byte(0), flood_byte(1), ... instead.
//
// Time: a real drive's rules (the Modbus silence, the secondary loader's start-up, the
// firmware's boot) depend on when bytes cross the wire. A line that knows it (SimLine) says so
// with each feed (Heard) and tells the drive when its own bytes have left the wire
// (sent_until); a feed without it is taken as heard at once, now on the platform clock.
// Bytes the drive sends by itself (a power cycle's junk) wait in unsolicited() for the line.
// Thread-safe: every member locks.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "image/stand_in_loader.h"
#include "sim/faults.h"
#include "sim/flash_model.h"
#include "sim/line_rules.h"

namespace driveflash::sim {

// The stand-in secondary loader (resources/XMC1300) carries this marker; the tool never sends
// such an image to a real chip.
using image::is_stand_in_loader;
using image::kStandInLoaderMarker;

// Modbus RTU CRC-16 (polynomial 0xA001, start 0xFFFF); sent low byte first.
std::uint16_t modbus_crc16(std::span<const std::uint8_t> bytes);

// Holding register 0x0000 of the drive's application, as the identity reply carries it.
inline constexpr std::uint16_t kIdentityRegisterValue = 0x1302;
// Largest loader the ROM accepts: the XMC1300's 16 KB of SRAM.
inline constexpr std::uint32_t kMaxLoaderSize = 16 * 1024;

// The n-th byte of a flood: noise, the same on every run, that never holds a byte a loader
// frame counts as success (0x50, 0x55), so that a flood cannot pass for a working loader.
std::uint8_t flood_byte(std::uint64_t n);

class VirtualDrive {
 public:
  enum class Stage {
    kApplication,
    kRomEntry,   // waiting for 00
    kRomMode,    // 00 seen, waiting for 6C
    kRomLength,  // four length bytes
    kRomLoader,  // the loader bytes
    kLoader,     // the secondary loader runs
    kUnplugged,  // a disconnect fault struck: nothing more is answered
  };

  // When the bytes of one feed cross the wire: back to back from `start`, each `bits` long at
  // `baud`, or all at `start` taking no time when the line does not pace them. `baud` 0: not
  // known (a pseudo-terminal), so no rule that counts characters applies.
  struct Heard {
    Micros start{0};
    long baud = 0;
    int bits = 10;
    bool paced = false;
    // Where the n-th byte of the feed begins (n = the feed's size: where the last one ends).
    Micros at(std::uint64_t n) const { return paced ? start + wire_span(n, bits, baud) : start; }
  };

  // Bytes the drive put on the line by itself; `number` counts them over the drive's life.
  struct Unsolicited {
    std::uint64_t number = 0;
    Micros at{0};
    std::vector<std::uint8_t> bytes;
  };

  // One thing the drive does in answer to a feed.
  struct Output {
    std::vector<std::uint8_t> bytes;     // the reply (empty for a disconnect)
    std::chrono::microseconds delay{0};  // from the input that caused it to the reply's start
    std::size_t consumed = 0;            // input bytes of this feed taken in when it was produced
    bool disconnect = false;             // the line drops here
  };

  struct Statistics {
    std::array<std::uint64_t, kFrameKindCount> frames{};  // complete frames by FrameKind
    std::uint64_t bad_checksums = 0;
    std::uint64_t pages_programmed = 0;
    std::uint64_t sectors_erased = 0;
    std::uint64_t bytes_received = 0;
    std::uint64_t identity_requests = 0;
    std::uint64_t reset_requests = 0;
    std::uint64_t loader_uploads = 0;
    std::uint64_t restarts = 0;  // closing headers that restarted the application
    std::uint64_t power_cycles = 0;
    std::uint64_t requests_run_in = 0;  // Modbus requests that started too soon after a frame
    std::uint64_t bytes_unheard = 0;    // while the secondary loader or the firmware started
    std::uint64_t bits_flipped = 0;     // by noise, either way
    std::uint64_t bytes_lost = 0;       // by noise either way, and by lose-byte
    std::uint64_t replies_lost = 0;     // by lose-reply

    std::uint64_t count(FrameKind kind) const { return frames[static_cast<std::size_t>(kind)]; }
  };

  explicit VirtualDrive(Faults faults = {});

  // Takes in what the host wrote and returns the drive's answers in order: heard as the line
  // says, or at once and now.
  std::vector<Output> feed(std::span<const std::uint8_t> bytes, const Heard& heard);
  std::vector<Output> feed(std::span<const std::uint8_t> bytes);
  // The drive's last byte so far left the wire at `end` (replies and junk alike).
  void sent_until(Micros end);
  // What the drive sent by itself after the `after`-th such sending (the last few only).
  std::vector<Unsolicited> unsolicited(std::uint64_t after) const;
  std::uint64_t unsolicited_count() const;

  // The drive is switched off and on: it comes up in its application, or in its ROM loader
  // while a reset has left it booting there, and puts the power-cycle junk on the line. Whatever
  // was half received is gone; the flash and a disconnected line stay as they are.
  void power_cycle();
  // Whether the chip comes up in its ROM loader at power-on.
  bool boots_into_loader() const;

  Stage stage() const;
  bool unplugged() const { return stage() == Stage::kUnplugged; }
  // Whether a flood-from fault has struck: the line should carry garbage from now on.
  bool flooding() const;
  Statistics statistics() const;
  const Faults& faults() const { return faults_; }
  // The last loader image the ROM loader took in.
  std::vector<std::uint8_t> loader_image() const;

  // Flash bytes of [address, address + length); empty when the range leaves the flash.
  std::vector<std::uint8_t> read_flash(std::uint32_t address, std::uint64_t length) const;
  // Whether every byte of `data` (address, bytes) is in flash on a programmed page. On a
  // mismatch `first_mismatch` (if given) describes the first one.
  bool flash_matches(const std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>>& data,
                     std::string* first_mismatch = nullptr) const;
  void preload_flash(std::uint32_t address, std::span<const std::uint8_t> bytes);
  bool page_programmed(std::uint32_t address) const;
  bool sector_erased(std::uint32_t sector_address) const;

 private:
  // The application's firmware: Modbus requests (drive_application.cpp).
  void step_application(std::uint8_t byte, std::vector<Output>& out);
  // Whether the Modbus silence rule lets the firmware hear this byte as part of a request.
  bool modbus_hears();
  void start_application(Micros at);
  // The ROM loader (drive_rom_loader.cpp).
  void step_rom(std::uint8_t byte, std::vector<Output>& out);
  // The secondary loader's frames (drive_loader.cpp).
  void step_loader(std::uint8_t byte, std::vector<Output>& out);
  void frame_complete(std::vector<Output>& out);
  // Carries out a complete, checked frame and returns its reply (empty: none).
  std::vector<std::uint8_t> carry_out(FrameKind kind);
  // Whether the byte taken in now is lost before the stage's code hears it.
  bool lost_on_the_way(std::uint8_t& byte);
  void reply(std::vector<Output>& out, std::vector<std::uint8_t> bytes,
             std::chrono::microseconds work = {});
  void restart_application();
  void power_cycle_locked(Micros at);
  // A power-cycle-after fault whose time has come.
  void power_cycle_when_due();
  // The time one of the drive's bytes takes on the wire (0 where bytes take none).
  Micros own_byte_time() const;

  const Faults faults_;
  mutable std::mutex mutex_;
  Stage stage_ = Stage::kApplication;
  std::size_t consumed_ = 0;           // of the current feed
  std::vector<std::uint8_t> request_;  // application: a possible request so far
  std::uint32_t loader_length_ = 0;
  std::vector<std::uint8_t> length_bytes_;
  std::vector<std::uint8_t> loader_;
  std::vector<std::uint8_t> frame_;
  std::size_t frame_size_ = 0;
  bool byte_lost_in_frame_ = false;  // lose-byte struck the frame under way
  bool region_open_ = false;
  std::uint32_t next_page_ = 0;
  bool loader_hung_ = false;
  bool flooding_ = false;
  bool boot_loader_ = false;
  std::optional<Micros> first_heard_;  // platform clock
  bool cycled_by_fault_ = false;
  // The byte taken in now, and where the line's time stands.
  Heard heard_;
  Micros byte_start_{0};
  Micros byte_end_{0};
  Micros line_quiet_from_{0};    // when the last byte on the line, either way, ended
  bool line_heard_ = false;      // whether any byte was on the line yet
  bool request_open_ = false;    // a request that kept the silence rule is coming in
  bool request_run_in_ = false;  // the frame coming in is lost: wait for silence
  Micros loader_ready_at_{0};    // the secondary loader hears bytes that start from then
  Micros firmware_ready_at_{0};  // ... the firmware
  LineNoise noise_;
  std::vector<Unsolicited> unsolicited_;
  std::uint64_t unsolicited_count_ = 0;
  Statistics stats_;
  FlashModel flash_;
};

}  // namespace driveflash::sim
