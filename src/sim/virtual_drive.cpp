// The drive's life as a whole: feeds, power, what reaches the line and what the flash holds. The
// stages have files of their own: drive_application.cpp (the firmware's Modbus requests),
// drive_rom_loader.cpp (the ROM loader), drive_loader.cpp (the secondary loader's frames).
#include "sim/virtual_drive.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "platform/timing.h"

namespace driveflash::sim {
namespace {

// Junk of earlier power cycles kept for a line that has not taken it yet.
constexpr std::size_t kUnsolicitedKept = 8;

std::string hex32(std::uint64_t value) {
  std::array<char, 24> text{};
  // NOLINTNEXTLINE(cert-err33-c): at most 18 characters in the 24-byte buffer
  std::snprintf(text.data(), text.size(), "0x%08llX", static_cast<unsigned long long>(value));
  return text.data();
}

}  // namespace

VirtualDrive::VirtualDrive(Faults faults)
    : faults_(std::move(faults)), noise_(faults_.noise, faults_.seed) {
  switch (faults_.start) {
    case StartIn::kRomLoader:
      boot_loader_ = true;
      stage_ = Stage::kRomEntry;
      break;
    case StartIn::kStuckLoader:
      boot_loader_ = true;
      stage_ = Stage::kLoader;
      break;
    case StartIn::kApplication:
      break;
  }
}

void VirtualDrive::power_cycle() {
  std::lock_guard lock(mutex_);
  power_cycle_locked(platform::clock().now());
}

void VirtualDrive::power_cycle_locked(Micros at) {
  ++stats_.power_cycles;
  if (stage_ == Stage::kUnplugged) return;
  if (boot_loader_) {
    stage_ = Stage::kRomEntry;
  } else {
    start_application(at);
  }
  request_.clear();
  length_bytes_.clear();
  frame_.clear();
  region_open_ = false;
  loader_hung_ = false;
  flooding_ = false;
  if (!faults_.power_cycle_junk.empty()) {
    unsolicited_.push_back({++unsolicited_count_, at, faults_.power_cycle_junk});
    if (unsolicited_.size() > kUnsolicitedKept) unsolicited_.erase(unsolicited_.begin());
    const auto junk = static_cast<Micros::rep>(faults_.power_cycle_junk.size());
    line_quiet_from_ = std::max(line_quiet_from_, at + own_byte_time() * junk);
    line_heard_ = true;
  }
}

void VirtualDrive::power_cycle_when_due() {
  if (faults_.power_cycle_after.count() == 0 || cycled_by_fault_) return;
  const Micros now = heard_.start;
  if (!first_heard_) first_heard_ = now;
  if (now - *first_heard_ >= faults_.power_cycle_after) {
    cycled_by_fault_ = true;
    power_cycle_locked(now);
  }
}

bool VirtualDrive::boots_into_loader() const {
  std::lock_guard lock(mutex_);
  return boot_loader_;
}

std::vector<VirtualDrive::Output> VirtualDrive::feed(std::span<const std::uint8_t> bytes) {
  return feed(bytes, Heard{platform::clock().now()});
}

std::vector<VirtualDrive::Output> VirtualDrive::feed(std::span<const std::uint8_t> bytes,
                                                     const Heard& heard) {
  std::lock_guard lock(mutex_);
  heard_ = heard;
  power_cycle_when_due();
  std::vector<Output> out;
  for (std::size_t i = 0; i < bytes.size() && stage_ != Stage::kUnplugged; ++i) {
    consumed_ = i + 1;
    ++stats_.bytes_received;
    byte_start_ = heard.at(i);
    byte_end_ = heard.at(i + 1);
    std::uint8_t byte = bytes[i];
    if (!lost_on_the_way(byte)) {
      switch (stage_) {
        case Stage::kApplication:
          step_application(byte, out);
          break;
        case Stage::kLoader:
          step_loader(byte, out);
          break;
        default:
          step_rom(byte, out);
          break;
      }
    }
    line_quiet_from_ = std::max(line_quiet_from_, byte_end_);
    line_heard_ = true;
  }
  return out;
}

bool VirtualDrive::lost_on_the_way(std::uint8_t& byte) {
  switch (stage_) {
    case Stage::kApplication:
      if (byte_start_ < firmware_ready_at_) {
        ++stats_.bytes_unheard;
        return true;
      }
      return false;
    case Stage::kLoader:
      if (byte_start_ < loader_ready_at_) {
        ++stats_.bytes_unheard;
        return true;
      }
      switch (noise_.next(byte)) {
        case LineNoise::Hit::kLose:
          ++stats_.bytes_lost;
          return true;
        case LineNoise::Hit::kFlip:
          ++stats_.bits_flipped;
          return false;
        case LineNoise::Hit::kNone:
          return false;
      }
      return false;
    default:
      return false;
  }
}

Micros VirtualDrive::own_byte_time() const {
  return heard_.paced ? wire_span(1, heard_.bits, heard_.baud) : Micros(0);
}

void VirtualDrive::sent_until(Micros end) {
  std::lock_guard lock(mutex_);
  line_quiet_from_ = std::max(line_quiet_from_, end);
  line_heard_ = true;
}

std::vector<VirtualDrive::Unsolicited> VirtualDrive::unsolicited(std::uint64_t after) const {
  std::lock_guard lock(mutex_);
  std::vector<Unsolicited> out;
  for (const Unsolicited& u : unsolicited_) {
    if (u.number > after) out.push_back(u);
  }
  return out;
}

std::uint64_t VirtualDrive::unsolicited_count() const {
  std::lock_guard lock(mutex_);
  return unsolicited_count_;
}

void VirtualDrive::reply(std::vector<Output>& out, std::vector<std::uint8_t> bytes,
                         std::chrono::microseconds work) {
  if (faults_.silent) return;
  if (stage_ == Stage::kLoader && noise_.active()) {
    std::vector<std::uint8_t> arrive;
    for (std::uint8_t b : bytes) {
      switch (noise_.next(b)) {
        case LineNoise::Hit::kLose:
          ++stats_.bytes_lost;
          continue;
        case LineNoise::Hit::kFlip:
          ++stats_.bits_flipped;
          break;
        case LineNoise::Hit::kNone:
          break;
      }
      arrive.push_back(b);
    }
    if (arrive.empty()) return;
    bytes = std::move(arrive);
  }
  const auto delay = faults_.delay + work;
  // Until the line says when the reply has left, the drive reckons with its start and its bytes'
  // own time.
  const auto count = static_cast<Micros::rep>(bytes.size());
  line_quiet_from_ = std::max(
      line_quiet_from_, byte_end_ + delay + faults_.drip * (count - 1) + own_byte_time() * count);
  if (faults_.drip.count() == 0 || bytes.size() < 2) {
    out.push_back({std::move(bytes), delay, consumed_, false});
    return;
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto after = faults_.drip * static_cast<std::chrono::microseconds::rep>(i);
    out.push_back({{bytes[i]}, delay + after, consumed_, false});
  }
}

VirtualDrive::Stage VirtualDrive::stage() const {
  std::lock_guard lock(mutex_);
  return stage_;
}

bool VirtualDrive::flooding() const {
  std::lock_guard lock(mutex_);
  return flooding_;
}

VirtualDrive::Statistics VirtualDrive::statistics() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

std::vector<std::uint8_t> VirtualDrive::loader_image() const {
  std::lock_guard lock(mutex_);
  return loader_;
}

std::vector<std::uint8_t> VirtualDrive::read_flash(std::uint32_t address,
                                                   std::uint64_t length) const {
  std::lock_guard lock(mutex_);
  return flash_.read(address, length);
}

bool VirtualDrive::flash_matches(
    const std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>>& data,
    std::string* first_mismatch) const {
  std::lock_guard lock(mutex_);
  const auto mismatch = [&](std::string why) {
    if (first_mismatch != nullptr) *first_mismatch = std::move(why);
    return false;
  };
  for (const auto& [address, bytes] : data) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const std::uint64_t at = std::uint64_t{address} + i;
      if (at > UINT32_MAX || !FlashModel::contains(static_cast<std::uint32_t>(at), 1)) {
        return mismatch(hex32(at) + " lies outside the flash");
      }
      const auto a = static_cast<std::uint32_t>(at);
      // NOLINTBEGIN(cert-err33-c): at most 38 characters in the 64-byte buffer
      std::array<char, 64> detail{};
      if (!flash_.page_programmed(a)) {
        std::snprintf(detail.data(), detail.size(), ": page not programmed (firmware %02X)",
                      bytes[i]);
        return mismatch(hex32(at) + detail.data());
      }
      const std::uint8_t cell = flash_.cell(a);
      if (cell != bytes[i]) {
        std::snprintf(detail.data(), detail.size(), ": flash %02X, firmware %02X", cell, bytes[i]);
        return mismatch(hex32(at) + detail.data());
      }
      // NOLINTEND(cert-err33-c)
    }
  }
  return true;
}

void VirtualDrive::preload_flash(std::uint32_t address, std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  flash_.preload(address, bytes);
}

bool VirtualDrive::page_programmed(std::uint32_t address) const {
  std::lock_guard lock(mutex_);
  return flash_.page_programmed(address);
}

bool VirtualDrive::sector_erased(std::uint32_t sector_address) const {
  std::lock_guard lock(mutex_);
  return flash_.sector_erased(sector_address);
}

}  // namespace driveflash::sim
