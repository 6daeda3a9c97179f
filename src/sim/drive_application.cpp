// The drive's application firmware: a Modbus RTU slave that answers the identity request and
// takes the reset request into the ROM loader.
#include <algorithm>

#include "link/drive_link.h"
#include "sim/virtual_drive.h"

namespace driveflash::sim {
namespace {

// Modbus exception reply to a register read: function with bit 7 set, "illegal data address".
constexpr std::uint8_t kModbusException = 0x80;
constexpr std::uint8_t kIllegalDataAddress = 0x02;

bool is_prefix_of(const std::vector<std::uint8_t>& head, std::span<const std::uint8_t> whole) {
  return head.size() <= whole.size() && std::equal(head.begin(), head.end(), whole.begin());
}

bool starts_a_request(const std::vector<std::uint8_t>& head) {
  return is_prefix_of(head, kIdentityRequest) || is_prefix_of(head, kResetRequest);
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

// A frame is every byte up to the next silence of 3.5 characters. One that begins before the
// last frame on the line has had that silence is taken as that frame's tail: its CRC fails and
// the firmware drops it whole.
bool VirtualDrive::modbus_hears() {
  if (!line_heard_ || byte_start_ - line_quiet_from_ >= modbus_silence(heard_.baud)) {
    request_.clear();
    request_open_ = true;
    request_run_in_ = false;
  } else if (!request_open_ && !request_run_in_) {
    request_run_in_ = true;
    ++stats_.requests_run_in;
  }
  return !request_run_in_;
}

void VirtualDrive::step_application(std::uint8_t byte, std::vector<Output>& out) {
  const bool framed_by_silence = faults_.modbus_gap_on() && heard_.baud > 0;
  if (framed_by_silence && !modbus_hears()) return;
  request_.push_back(byte);
  if (framed_by_silence) {
    if (!starts_a_request(request_)) {
      request_.clear();
      request_open_ = false;
      request_run_in_ = true;  // a frame that is no request: dropped up to the next silence
      return;
    }
  } else {
    // A byte that cannot continue a request starts the search over from the next one.
    while (!request_.empty() && !starts_a_request(request_)) {
      request_.erase(request_.begin());
    }
  }
  if (std::ranges::equal(request_, kIdentityRequest)) {
    request_.clear();
    request_open_ = false;
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
    request_open_ = false;
    ++stats_.reset_requests;
    reply(out, {kResetRequest.begin(), kResetRequest.end()});
    if (!faults_.no_bsl) {
      stage_ = Stage::kRomEntry;
      boot_loader_ = true;
    }
  }
}

void VirtualDrive::start_application(Micros at) {
  stage_ = Stage::kApplication;
  request_.clear();
  request_open_ = false;
  request_run_in_ = false;
  // Only a boot that takes time has a moment to wait for: a drive kept across runs (one per
  // port string in a process) must not wait for a moment of an earlier run's clock.
  firmware_ready_at_ = faults_.boot_time.count() > 0 ? at + faults_.boot_time : Micros{0};
}

void VirtualDrive::restart_application() {
  start_application(byte_end_);
  boot_loader_ = false;
  region_open_ = false;
  ++stats_.restarts;
}

}  // namespace driveflash::sim
