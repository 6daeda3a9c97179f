#include "sim/virtual_drive.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "bsl/asc_bsl.h"
#include "bsl/frames.h"
#include "link/drive_link.h"
#include "platform/timing.h"

namespace driveflash::sim {
namespace {

// Loader reply bytes the tool knows by their status codes.
constexpr std::uint8_t kReplyProtection = 0xF8;
constexpr std::uint8_t kReplyProgramError = 0xFA;
constexpr std::uint8_t kReplyInvalidAddress = 0xFC;
constexpr std::uint8_t kReplyChecksum = 0xFD;
constexpr std::uint8_t kReplyInvalidMode = 0xFE;
constexpr std::uint8_t kReplyBlockType = 0xFF;
constexpr std::uint8_t kReadReplyType = 0x01;

// Modbus exception reply to a register read: function with bit 7 set, "illegal data address".
constexpr std::uint8_t kModbusException = 0x80;
constexpr std::uint8_t kIllegalDataAddress = 0x02;

bool is_prefix_of(const std::vector<std::uint8_t>& head, std::span<const std::uint8_t> whole) {
  return head.size() <= whole.size() && std::equal(head.begin(), head.end(), whole.begin());
}

bool matches(const std::optional<FrameTrigger>& trigger, FrameKind kind, std::uint64_t index) {
  return trigger && trigger->kind == kind && trigger->index == index;
}

std::uint32_t big_endian(std::span<const std::uint8_t> b) {
  return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 |
         std::uint32_t{b[3]};
}

// XOR of the bytes between the block type and the checksum byte. Kept apart from the tool's
// own frame code, so that a slip there shows up as a checksum error here.
std::uint8_t checksum(std::span<const std::uint8_t> frame) {
  std::uint8_t x = 0;
  for (const std::uint8_t b : frame.subspan(1, frame.size() - 2)) x ^= b;
  return x;
}

std::size_t frame_size_for(std::uint8_t block_type) {
  return block_type == kBlockData ? kDataFrameSize : kHeaderFrameSize;
}

FrameKind classify(std::span<const std::uint8_t> frame) {
  switch (frame[0]) {
    case kBlockData:
      return FrameKind::kData;
    case kBlockEot:
      return FrameKind::kEot;
    case kBlockHeader:
      switch (frame[1]) {
        case kModeProgram:
          return FrameKind::kHeader;
        case kModeRun:
          return FrameKind::kRun;
        case kModeErase:
          return FrameKind::kErase;
        case kModeRead:
          return FrameKind::kRead;
        default:
          return FrameKind::kOtherHeader;
      }
    default:
      return FrameKind::kUnknownType;
  }
}

std::string hex32(std::uint64_t value) {
  std::array<char, 24> text{};
  // NOLINTNEXTLINE(cert-err33-c): at most 18 characters in the 24-byte buffer
  std::snprintf(text.data(), text.size(), "0x%08llX", static_cast<unsigned long long>(value));
  return text.data();
}

}  // namespace

std::uint16_t modbus_crc16(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0xFFFF;
  for (const std::uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1U) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001U)
                            : static_cast<std::uint16_t>(crc >> 1);
    }
  }
  return crc;
}

VirtualDrive::VirtualDrive(Faults faults) : faults_(std::move(faults)) {
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
  power_cycle_locked();
}

void VirtualDrive::power_cycle_locked() {
  ++stats_.power_cycles;
  if (stage_ == Stage::kUnplugged) return;
  stage_ = boot_loader_ ? Stage::kRomEntry : Stage::kApplication;
  request_.clear();
  length_bytes_.clear();
  frame_.clear();
  region_open_ = false;
  loader_hung_ = false;
  flooding_ = false;
}

void VirtualDrive::power_cycle_when_due() {
  if (faults_.power_cycle_after.count() == 0 || cycled_by_fault_) return;
  const auto now = platform::clock().now();
  if (!first_heard_) first_heard_ = now;
  if (now - *first_heard_ >= faults_.power_cycle_after) {
    cycled_by_fault_ = true;
    power_cycle_locked();
  }
}

bool VirtualDrive::boots_into_loader() const {
  std::lock_guard lock(mutex_);
  return boot_loader_;
}

std::vector<VirtualDrive::Output> VirtualDrive::feed(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  power_cycle_when_due();
  std::vector<Output> out;
  for (std::size_t i = 0; i < bytes.size() && stage_ != Stage::kUnplugged; ++i) {
    consumed_ = i + 1;
    ++stats_.bytes_received;
    switch (stage_) {
      case Stage::kApplication:
        step_application(bytes[i], out);
        break;
      case Stage::kLoader:
        step_loader(bytes[i], out);
        break;
      default:
        step_rom(bytes[i], out);
        break;
    }
  }
  return out;
}

std::uint8_t flood_byte(std::uint64_t n) {
  // splitmix64: well spread, and the n-th byte needs no state.
  std::uint64_t z = n + 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  const auto b = static_cast<std::uint8_t>(z ^ (z >> 31));
  return b == kReplyOk || b == kReplyHeaderOk ? static_cast<std::uint8_t>(b ^ 0x80) : b;
}

void VirtualDrive::reply(std::vector<Output>& out, std::vector<std::uint8_t> bytes,
                         std::chrono::microseconds work) {
  if (faults_.silent) return;
  const auto delay = faults_.delay + work;
  if (faults_.drip.count() == 0 || bytes.size() < 2) {
    out.push_back({std::move(bytes), delay, consumed_, false});
    return;
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto after = faults_.drip * static_cast<std::chrono::microseconds::rep>(i);
    out.push_back({{bytes[i]}, delay + after, consumed_, false});
  }
}

void VirtualDrive::step_application(std::uint8_t byte, std::vector<Output>& out) {
  request_.push_back(byte);
  // A byte that cannot continue a request starts the search over from the next one.
  while (!request_.empty() && !is_prefix_of(request_, kIdentityRequest) &&
         !is_prefix_of(request_, kResetRequest)) {
    request_.erase(request_.begin());
  }
  if (std::ranges::equal(request_, kIdentityRequest)) {
    request_.clear();
    ++stats_.identity_requests;
    std::vector<std::uint8_t> answer;
    if (faults_.short_identity) {
      answer = {kIdentityRequest[0],
                static_cast<std::uint8_t>(kIdentityRequest[1] | kModbusException),
                kIllegalDataAddress};
    } else {
      answer = {kIdentityRequest[0], kIdentityRequest[1], 2,
                static_cast<std::uint8_t>(kIdentityRegisterValue >> 8),
                static_cast<std::uint8_t>(kIdentityRegisterValue & 0xFF)};
    }
    const std::uint16_t crc = modbus_crc16(answer);
    answer.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    answer.push_back(static_cast<std::uint8_t>(crc >> 8));
    reply(out, std::move(answer));
  } else if (std::ranges::equal(request_, kResetRequest)) {
    request_.clear();
    ++stats_.reset_requests;
    reply(out, {kResetRequest.begin(), kResetRequest.end()});
    if (!faults_.no_bsl) {
      stage_ = Stage::kRomEntry;
      boot_loader_ = true;
    }
  }
}

void VirtualDrive::step_rom(std::uint8_t byte, std::vector<Output>& out) {
  switch (stage_) {
    case Stage::kRomEntry:
      if (byte == kBslEntryByte1) stage_ = Stage::kRomMode;
      break;
    case Stage::kRomMode:
      if (byte == kBslEntryByte2) {
        reply(out, {faults_.handshake_reply.value_or(kBslEntryAck)});
        length_bytes_.clear();
        stage_ = Stage::kRomLength;
      } else if (byte != kBslEntryByte1) {
        stage_ = Stage::kRomEntry;
      }
      break;
    case Stage::kRomLength:
      length_bytes_.push_back(byte);
      if (length_bytes_.size() == 4) {
        loader_length_ = std::uint32_t{length_bytes_[0]} | std::uint32_t{length_bytes_[1]} << 8 |
                         std::uint32_t{length_bytes_[2]} << 16 |
                         std::uint32_t{length_bytes_[3]} << 24;
        if (loader_length_ == 0 || loader_length_ > kMaxLoaderSize) {
          reply(out, {faults_.length_reply.value_or(kReplyBlockType)});
          stage_ = Stage::kRomEntry;
        } else {
          reply(out, {faults_.length_reply.value_or(kBslLoaderAck)});
          loader_.clear();
          stage_ = Stage::kRomLoader;
        }
      }
      break;
    case Stage::kRomLoader:
      loader_.push_back(byte);
      if (loader_.size() == loader_length_) {
        ++stats_.loader_uploads;
        reply(out, {faults_.loader_reply.value_or(kBslLoaderAck)});
        frame_.clear();
        region_open_ = false;
        stage_ = Stage::kLoader;
      }
      break;
    default:
      break;
  }
}

void VirtualDrive::step_loader(std::uint8_t byte, std::vector<Output>& out) {
  if (frame_.empty()) frame_size_ = frame_size_for(byte);
  frame_.push_back(byte);
  if (frame_.size() == frame_size_) {
    frame_complete(out);
    frame_.clear();
  }
}

void VirtualDrive::frame_complete(std::vector<Output>& out) {
  const FrameKind kind = classify(frame_);
  const std::uint64_t index = ++stats_.frames[static_cast<std::size_t>(kind)];
  if (matches(faults_.disconnect_at, kind, index)) {
    stage_ = Stage::kUnplugged;
    out.push_back({{}, std::chrono::microseconds(0), consumed_, true});
    return;
  }
  if (matches(faults_.silent_from, kind, index)) loader_hung_ = true;
  if (matches(faults_.flood_from, kind, index)) flooding_ = true;
  if (loader_hung_ || flooding_) return;
  for (const ReplyOverride& r : faults_.replies) {
    if (r.at.kind == kind && r.at.index == index) {
      reply(out, {r.reply});
      return;
    }
  }
  if (kind == FrameKind::kHeader && index <= faults_.protect) {
    reply(out, {kReplyProtection});
    return;
  }
  if (kind == FrameKind::kUnknownType) {
    reply(out, {kReplyBlockType});
    return;
  }
  if (checksum(frame_) != frame_.back()) {
    ++stats_.bad_checksums;
    reply(out, {kReplyChecksum});
    return;
  }
  const std::uint64_t pages = stats_.pages_programmed;
  const std::uint64_t sectors = stats_.sectors_erased;
  std::vector<std::uint8_t> answer = carry_out(kind);
  // The reply leaves once the work it reports is done.
  const auto work = faults_.page_time * static_cast<std::int64_t>(stats_.pages_programmed - pages) +
                    faults_.erase_time * static_cast<std::int64_t>(stats_.sectors_erased - sectors);
  if (!answer.empty()) reply(out, std::move(answer), work);
}

std::vector<std::uint8_t> VirtualDrive::carry_out(FrameKind kind) {
  const std::uint32_t word1 = big_endian(std::span(frame_).subspan(2, 4));
  const std::uint32_t word2 = big_endian(std::span(frame_).subspan(6, 4));
  switch (kind) {
    case FrameKind::kHeader:
      region_open_ =
          word1 % FlashModel::kPageSize == 0 && FlashModel::contains(word1, FlashModel::kPageSize);
      next_page_ = word1;
      return {region_open_ ? kReplyOk : kReplyInvalidAddress};
    case FrameKind::kErase:
      if (word2 != FlashModel::kSectorSize || !flash_.erase_sector(word1)) {
        return {kReplyInvalidAddress};
      }
      ++stats_.sectors_erased;
      return {kReplyOk};
    case FrameKind::kRead: {
      if (word1 % 4 != 0 || !FlashModel::contains(word1, 4)) return {kReplyInvalidAddress};
      const std::vector<std::uint8_t> w = flash_.read(word1, 4);
      return {kReadReplyType,
              kModeRead,
              static_cast<std::uint8_t>(word1 >> 24),
              static_cast<std::uint8_t>(word1 >> 16),
              static_cast<std::uint8_t>(word1 >> 8),
              static_cast<std::uint8_t>(word1),
              w[3],
              w[2],
              w[1],
              w[0]};
    }
    case FrameKind::kRun:
      restart_application();
      return {};
    case FrameKind::kData: {
      if (frame_[1] != 0 && frame_[1] != 1) return {kReplyInvalidMode};
      if (!region_open_) return {kReplyInvalidAddress};
      switch (flash_.program_page(next_page_, std::span(frame_).subspan(2, kPageSize))) {
        case FlashModel::ProgramResult::kOk:
          ++stats_.pages_programmed;
          next_page_ += FlashModel::kPageSize;
          return {kReplyOk};
        case FlashModel::ProgramResult::kNotErased:
          return {kReplyProgramError};
        case FlashModel::ProgramResult::kOutside:
          return {kReplyInvalidAddress};
      }
      return {kReplyInvalidAddress};
    }
    case FrameKind::kEot:
      region_open_ = false;
      return {kReplyOk};
    case FrameKind::kOtherHeader:
      return {kReplyInvalidMode};
    case FrameKind::kUnknownType:
      break;
  }
  return {kReplyBlockType};
}

void VirtualDrive::restart_application() {
  stage_ = Stage::kApplication;
  boot_loader_ = false;
  request_.clear();
  region_open_ = false;
  ++stats_.restarts;
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
