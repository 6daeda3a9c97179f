#include "sim/sim_line.h"

#include <algorithm>
#include <array>

namespace driveflash::sim {

using platform::Micros;

SimLine::SimLine(std::shared_ptr<VirtualDrive> drive, const platform::LineSettings& settings)
    : drive_(std::move(drive)),
      byte_time_(byte_time(settings)),
      bits_(1 + settings.data_bits + (settings.parity != 0 ? 1 : 0) + settings.stop_bits),
      baud_(std::max(settings.baud, 1L)),
      line_time_(drive_->faults().line_time),
      unsolicited_seen_(drive_->unsolicited_count()) {}

// The host's bytes go out back to back, so their time is counted as a whole, not byte by byte
// rounded up: the same moment the host's port keeps for them.
Micros SimLine::host_time(std::uint64_t bytes) const {
  return wire_span(bytes, static_cast<int>(bits_), baud_);
}

Micros SimLine::byte_time(const platform::LineSettings& settings) {
  const long bits = 1 + settings.data_bits + (settings.parity != 0 ? 1 : 0) + settings.stop_bits;
  const long baud = std::max(settings.baud, 1L);
  // Rounded up: a byte never takes less than its time on the wire.
  return Micros((bits * 1'000'000L + baud - 1) / baud);
}

SimLine::~SimLine() {
  if (!line_time_) {
    return;
  }
  // The port closes: the drive gets what is through by now, the rest is lost with the line.
  const Micros now = platform::clock().now();
  for (Pending& p : pending_) {
    const auto on_wire = static_cast<std::uint64_t>(std::max(now - p.start, Micros(0)).count());
    const auto through =
        std::min(static_cast<std::size_t>(on_wire * static_cast<std::uint64_t>(baud_) /
                                          (static_cast<std::uint64_t>(bits_) * 1'000'000U)),
                 p.bytes.size());
    p.bytes.resize(through);
    feed(p);
    if (through == 0 || disconnected()) {
      break;
    }
  }
}

void SimLine::on_host_write(std::span<const std::uint8_t> bytes, Micros now) {
  if (!line_time_) {
    feed({{bytes.begin(), bytes.end()}, now, now});
    return;
  }
  before_host_io();
  // Bytes written while earlier ones are still going out wait their turn on the wire, and the
  // drive sees them when it next matters to the host: its next read or write, or the close.
  const Micros start = std::max(now, host_free_);
  host_free_ = start + host_time(bytes.size());
  pending_.push_back({{bytes.begin(), bytes.end()}, now, start});
  // The write blocks only while the driver's buffer cannot take the rest.
  platform::clock().sleep_until(host_free_ - host_time(kOsBuffer));
}

void SimLine::before_host_io() {
  take_unsolicited();
  std::vector<Pending> chunks;
  chunks.swap(pending_);
  for (const Pending& p : chunks) {
    if (disconnected()) {
      return;
    }
    feed(p);
  }
}

void SimLine::take_unsolicited() {
  for (const VirtualDrive::Unsolicited& u : drive_->unsolicited(unsolicited_seen_)) {
    unsolicited_seen_ = u.number;
    send_from_drive(u.bytes, u.at);
  }
}

void SimLine::send_from_drive(std::span<const std::uint8_t> bytes, Micros from) {
  if (!line_time_) {
    send_to_host(bytes, from);
    drive_->sent_until(from);
    return;
  }
  Micros at = std::max(from, line_free_);
  for (const std::uint8_t b : bytes) {
    at += byte_time_;
    send_to_host(std::span(&b, 1), at);
  }
  line_free_ = at;
  drive_->sent_until(at);
}

void SimLine::feed(const Pending& p) {
  const VirtualDrive::Heard heard{line_time_ ? p.start : p.written, baud_, static_cast<int>(bits_),
                                  line_time_};
  const std::vector<VirtualDrive::Output> outputs = drive_->feed(p.bytes, heard);
  // A power cycle the feed set off came before the replies to it.
  take_unsolicited();
  for (const VirtualDrive::Output& out : outputs) {
    if (out.disconnect) {
      disconnect();
      return;
    }
    // The drive sees the request once its last byte is through, answers after its delay, and
    // sends one byte after the other once its transmitter is free.
    send_from_drive(out.bytes, heard.at(out.consumed) + out.delay);
  }
  if (drive_->flooding()) {
    std::array<std::uint8_t, kFloodBurst> burst{};
    for (std::uint8_t& b : burst) b = flood_byte(flood_sent_++);
    send_to_host(burst, std::max(p.written, line_free_));
  }
}

void map_sim_port(int port, std::shared_ptr<VirtualDrive> drive, std::string name) {
  platform::PortEntry entry;
  entry.number = port;
  entry.name = std::move(name);
  entry.description = "virtual drive (in-process)";
  entry.is_real = false;
  entry.open = [drive = std::move(drive)](
                   const platform::LineSettings& settings,
                   std::string& error) -> std::unique_ptr<platform::SerialLine> {
    if (drive->unplugged()) {
      error = "the virtual drive was disconnected";
      return nullptr;
    }
    return std::make_unique<SimLine>(drive, settings);
  };
  platform::map_port(std::move(entry));
}

}  // namespace driveflash::sim
