#include "sim/sim_line.h"

#include <algorithm>
#include <array>

namespace driveflash::sim {

using platform::Micros;

SimLine::SimLine(std::shared_ptr<VirtualDrive> drive, const platform::LineSettings& settings)
    : drive_(std::move(drive)),
      byte_time_(byte_time(settings)),
      line_time_(drive_->faults().line_time) {}

Micros SimLine::byte_time(const platform::LineSettings& settings) {
  const long bits = 1 + settings.data_bits + (settings.parity != 0 ? 1 : 0) + settings.stop_bits;
  const long baud = std::max(settings.baud, 1L);
  // Rounded up: a byte never takes less than its time on the wire.
  return Micros((bits * 1'000'000L + baud - 1) / baud);
}

void SimLine::on_host_write(std::span<const std::uint8_t> bytes, Micros now) {
  // Bytes written while earlier ones are still going out wait their turn on the wire.
  const Micros start = line_time_ ? std::max(now, host_free_) : now;
  host_free_ = start + byte_time_ * static_cast<Micros::rep>(bytes.size());
  for (const VirtualDrive::Output& out : drive_->feed(bytes)) {
    if (out.disconnect) {
      disconnect();
      return;
    }
    if (!line_time_) {
      send_to_host(out.bytes, now + out.delay);
      continue;
    }
    // The drive sees the request once its last byte is through, answers after its delay, and
    // sends one byte after the other once its transmitter is free.
    const auto consumed = static_cast<Micros::rep>(out.consumed);
    Micros at = std::max(start + byte_time_ * consumed + out.delay, line_free_);
    for (const std::uint8_t b : out.bytes) {
      at += byte_time_;
      send_to_host(std::span(&b, 1), at);
    }
    line_free_ = at;
  }
  if (drive_->flooding()) {
    std::array<std::uint8_t, kFloodBurst> burst{};
    for (std::uint8_t& b : burst) b = flood_byte(flood_sent_++);
    send_to_host(burst, std::max(now, line_free_));
  }
  if (line_time_) {
    // The write blocks only while the driver's buffer cannot take the rest.
    platform::clock().sleep_until(host_free_ - byte_time_ * static_cast<Micros::rep>(kOsBuffer));
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
