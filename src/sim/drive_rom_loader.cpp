// The chip's ROM bootstrap loader: the entry handshake, the loader's length and its bytes.
#include "bsl/asc_bsl.h"
#include "sim/virtual_drive.h"

namespace driveflash::sim {
namespace {

// The ROM loader's answer to a length it cannot take.
constexpr std::uint8_t kReplyLengthRefused = 0xFF;

}  // namespace

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
          reply(out, {faults_.length_reply.value_or(kReplyLengthRefused)});
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
        // The secondary loader sets up its UART once the 01 is out; until then it hears nothing.
        if (const auto startup = faults_.loader_startup_time(); startup.count() > 0) {
          loader_ready_at_ = byte_end_ + own_byte_time() + startup;
        }
        frame_.clear();
        region_open_ = false;
        stage_ = Stage::kLoader;
      }
      break;
    default:
      break;
  }
}

}  // namespace driveflash::sim
