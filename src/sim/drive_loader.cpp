// The secondary loader: frames told apart by their first byte, each answered with one byte (or
// a read's reply block), the flash's rules kept.
#include <algorithm>

#include "bsl/frames.h"
#include "sim/virtual_drive.h"

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
// corrupt-page: the byte of the page whose lowest bit is programmed inverted.
constexpr std::size_t kCorruptByte = kPageSize / 2;

bool matches(const std::optional<FrameTrigger>& trigger, FrameKind kind, std::uint64_t index) {
  return trigger && trigger->kind == kind && trigger->index == index;
}

bool any_matches(const std::vector<FrameTrigger>& triggers, FrameKind kind, std::uint64_t index) {
  return std::ranges::any_of(
      triggers, [&](const FrameTrigger& t) { return t.kind == kind && t.index == index; });
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

// Needs the frame's first two bytes.
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

}  // namespace

std::uint8_t flood_byte(std::uint64_t n) {
  // splitmix64: well spread, and the n-th byte needs no state.
  std::uint64_t z = n + 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  const auto b = static_cast<std::uint8_t>(z ^ (z >> 31));
  return b == kReplyOk || b == kReplyHeaderOk ? static_cast<std::uint8_t>(b ^ 0x80) : b;
}

void VirtualDrive::step_loader(std::uint8_t byte, std::vector<Output>& out) {
  if (frame_.empty()) {
    frame_size_ = frame_size_for(byte);
    byte_lost_in_frame_ = false;
  }
  // The frame's kind is known by its middle; its number is the next of that kind.
  if (!faults_.lose_byte.empty() && !byte_lost_in_frame_ && frame_.size() == frame_size_ / 2) {
    const FrameKind kind = classify(frame_);
    if (any_matches(faults_.lose_byte, kind, stats_.count(kind) + 1)) {
      byte_lost_in_frame_ = true;
      ++stats_.bytes_lost;
      return;
    }
  }
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
  std::chrono::microseconds work{0};
  const std::vector<std::uint8_t> answer = [&]() -> std::vector<std::uint8_t> {
    for (const ReplyOverride& r : faults_.replies) {
      if (r.at.kind == kind && r.at.index == index) return {r.reply};
    }
    if (kind == FrameKind::kHeader && index <= faults_.protect) return {kReplyProtection};
    if (kind == FrameKind::kUnknownType) return {kReplyBlockType};
    if (checksum(frame_) != frame_.back()) {
      ++stats_.bad_checksums;
      return {kReplyChecksum};
    }
    // Past the checksum, as two flips of the same bit would be.
    if (any_matches(faults_.corrupt_page, kind, index)) {
      frame_[2 + kCorruptByte] ^= 0x01;
    }
    const std::uint64_t pages = stats_.pages_programmed;
    const std::uint64_t sectors = stats_.sectors_erased;
    std::vector<std::uint8_t> done = carry_out(kind);
    // The reply leaves once the work it reports is done.
    work = faults_.page_time * static_cast<std::int64_t>(stats_.pages_programmed - pages) +
           faults_.erase_time * static_cast<std::int64_t>(stats_.sectors_erased - sectors);
    return done;
  }();
  if (answer.empty()) return;
  if (any_matches(faults_.lose_reply, kind, index)) {
    ++stats_.replies_lost;
    return;
  }
  reply(out, answer, work);
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

}  // namespace driveflash::sim
