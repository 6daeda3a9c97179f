#include "sim/flash_model.h"

#include <algorithm>

namespace driveflash::sim {

namespace {
constexpr std::size_t kPagesPerSector = FlashModel::kSectorSize / FlashModel::kPageSize;
}

FlashModel::FlashModel() : cells_(kSize, kErasedByte), programmed_(kSize / kPageSize, false) {}

bool FlashModel::contains(std::uint32_t address, std::uint64_t length) {
  if (address < kBase) return false;
  // cppcheck-suppress unreadVariable ; read on the next line, which cppcheck misses
  const std::uint64_t end = std::uint64_t{address} + length;
  return end <= std::uint64_t{kBase} + kSize && (length > 0 || address < kBase + kSize);
}

bool FlashModel::is_sector_start(std::uint32_t address) {
  return contains(address, kSectorSize) && (address - kBase) % kSectorSize == 0;
}

bool FlashModel::erase_sector(std::uint32_t address) {
  if (!is_sector_start(address)) return false;
  const std::size_t first = offset(address);
  std::fill_n(cells_.begin() + static_cast<std::ptrdiff_t>(first), kSectorSize, kErasedByte);
  std::fill_n(programmed_.begin() + static_cast<std::ptrdiff_t>(first / kPageSize), kPagesPerSector,
              false);
  return true;
}

FlashModel::ProgramResult FlashModel::program_page(std::uint32_t address,
                                                   std::span<const std::uint8_t> page) {
  if (page.size() != kPageSize || !contains(address, kPageSize) ||
      (address - kBase) % kPageSize != 0) {
    return ProgramResult::kOutside;
  }
  const std::size_t index = offset(address) / kPageSize;
  if (programmed_[index]) return ProgramResult::kNotErased;
  std::copy(page.begin(), page.end(),
            cells_.begin() + static_cast<std::ptrdiff_t>(offset(address)));
  programmed_[index] = true;
  return ProgramResult::kOk;
}

void FlashModel::preload(std::uint32_t address, std::span<const std::uint8_t> bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint64_t at = std::uint64_t{address} + i;
    if (at > UINT32_MAX || !contains(static_cast<std::uint32_t>(at), 1)) continue;
    const std::size_t o = offset(static_cast<std::uint32_t>(at));
    cells_[o] = bytes[i];
    programmed_[o / kPageSize] = true;
  }
}

std::vector<std::uint8_t> FlashModel::read(std::uint32_t address, std::uint64_t length) const {
  if (length == 0 || !contains(address, length)) return {};
  const auto first = cells_.begin() + static_cast<std::ptrdiff_t>(offset(address));
  return {first, first + static_cast<std::ptrdiff_t>(length)};
}

bool FlashModel::page_programmed(std::uint32_t address) const {
  return contains(address, 1) && programmed_[offset(address) / kPageSize];
}

bool FlashModel::sector_erased(std::uint32_t address) const {
  if (!is_sector_start(address)) return false;
  const auto first = programmed_.begin() + static_cast<std::ptrdiff_t>(offset(address) / kPageSize);
  return std::none_of(first, first + kPagesPerSector, [](bool p) { return p; });
}

}  // namespace driveflash::sim
