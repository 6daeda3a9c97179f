// The virtual drive behind a serial port of the platform's port table, in-process.
//
//   auto drive = std::make_shared<VirtualDrive>(faults);
//   map_sim_port(7, drive);                 // port 7 is now "sim"
//   OpenComConfig(7, "", 115200, 0, 8, 1, 512, 512);  ... ComWrt / ComRd ...
//
// Every open of the port gives a fresh line to the same drive, so the drive keeps its state
// (stage, flash) when the run closes the port and reopens it at the loader baud rate; replies
// still on their way when the port closes are lost with the line, as on a real port.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/serial.h"
#include "sim/virtual_drive.h"

namespace driveflash::sim {

// One open line to a virtual drive. A reply reaches the host at write time + the drive's
// delay. With the "line-time" option the line behaves as a real port does: a write hands its
// bytes to an operating system buffer of kOsBuffer bytes and returns at once while they fit
// (a larger write returns once its rest fits), the bytes go out one after the other at the
// line's baud rate, the drive takes each request once its last byte is through, and its reply
// takes its own time on the wire back; bytes still on the wire when the port closes never reach
// the drive. A disconnect fault makes the line fail for good.
// A flooding drive's line answers every write with a burst of kFloodBurst garbage bytes, which
// is as much garbage as the host's reads can meet in virtual time.
// The drive hears each feed with its wire time (VirtualDrive::Heard: the baud rate always, the
// bytes' own time with line-time) and learns when its replies have left, for the rules that
// count silences and start-up times. What it sends by itself while the line is open (a power
// cycle's junk) reaches the host at the next read or write, stamped with when it was sent.
class SimLine final : public platform::QueuedLine {
 public:
  SimLine(std::shared_ptr<VirtualDrive> drive, const platform::LineSettings& settings);
  ~SimLine() override;
  SimLine(const SimLine&) = delete;
  SimLine& operator=(const SimLine&) = delete;

  // Time one byte takes on a line with these settings (start bit, data, parity, stop bits).
  static platform::Micros byte_time(const platform::LineSettings& settings);

  static constexpr std::size_t kFloodBurst = 1024;
  // What an operating system's serial driver takes before a write blocks.
  static constexpr std::size_t kOsBuffer = 4096;

  bool paced() const override { return line_time_; }

 protected:
  void on_host_write(std::span<const std::uint8_t> bytes, platform::Micros now) override;
  void before_host_io() override;

 private:
  struct Pending {
    std::vector<std::uint8_t> bytes;
    platform::Micros written{0};  // when the host wrote them
    platform::Micros start{0};    // when the first of them goes out on the wire
  };
  void feed(const Pending& p);
  platform::Micros host_time(std::uint64_t bytes) const;
  // Sends what the drive put on the line by itself since the last look.
  void take_unsolicited();
  // Puts the drive's bytes on the wire from `from`, one after the other as the transmitter is
  // free, and tells the drive when they have left.
  void send_from_drive(std::span<const std::uint8_t> bytes, platform::Micros from);

  std::vector<Pending> pending_;  // line time: written, not yet taken in by the drive
  std::shared_ptr<VirtualDrive> drive_;
  platform::Micros byte_time_;
  long bits_;  // a byte's bits on the wire
  long baud_;
  bool line_time_;
  platform::Micros line_free_{0};  // when the drive's transmitter is idle again
  platform::Micros host_free_{0};  // when the host's bytes written so far are through
  std::uint64_t flood_sent_ = 0;
  std::uint64_t unsolicited_seen_ = 0;  // what the drive sent before this open is not heard
};

inline constexpr const char* kSimPortName = "sim";

// Maps `port` to the virtual drive: name "sim", not a real chip. Opening fails with a clear
// error once a disconnect fault has unplugged the drive.
void map_sim_port(int port, std::shared_ptr<VirtualDrive> drive, std::string name = kSimPortName);

}  // namespace driveflash::sim
