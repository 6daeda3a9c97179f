#include "bsl/resync.h"

#include <algorithm>
#include <array>
#include <vector>

#include "bsl/flash_map.h"
#include "bsl/frames.h"
#include "platform/serial.h"
#include "platform/timing.h"

namespace driveflash::bsl {
namespace {

namespace pf = platform;
using pf::Micros;

// A loader in step answers at once; this allows for a USB adapter's latency on top of the
// bytes' own time on the wire.
constexpr double kQuietSeconds = 0.05;
// The loader takes 16 bytes of a block type it does not know as one frame.
constexpr std::size_t kChunk = 16;
// Enough filler to complete the longest frame the loader can wait inside (a data frame) and one
// unknown frame more, whatever the echo reads in between add.
constexpr int kMaxChunks = static_cast<int>((kDataFrameSize + kChunk) / kChunk) + 1;
// Single bytes once the loader has answered: at most one unknown frame's worth between two
// reads, three times over for replies garbled on the way.
constexpr int kMaxSingles = 3 * static_cast<int>(kChunk);
constexpr int kAttempts = 3;
// The bound on one resynchronisation, end-of-transmission frames included.
constexpr Micros kBound{6'000'000};
// More than this without a pause is no loader answering: the line floods.
constexpr std::size_t kDrainLimit = 1024;
constexpr std::size_t kReadReplySize = 10;
constexpr std::size_t kCollectSize = 64;
// Each read asks for another word, so that a late echo of an earlier read is not taken for the
// answer to this one. None of their bytes is a block type or mode that erases, programs or
// starts the firmware (01, 03, 06), so a read the loader takes out of step does no harm.
constexpr std::array<std::uint32_t, 4> kEchoAddresses = {kFlashBase, kFlashBase + 4, kFlashBase + 8,
                                                         kFlashBase + 12};

class Aligner {
 public:
  Aligner(int port, Micros deadline)
      : port_(port),
        baud_(pf::port_baud(port)),
        deadline_(deadline),
        restore_(GetComTime(port, &timeout_) == 0) {}
  ~Aligner() {
    if (restore_) {
      SetComTime(port_, timeout_);
    }
  }
  Aligner(const Aligner&) = delete;
  Aligner& operator=(const Aligner&) = delete;

  // 0 when a read was answered in step; else 240.
  int align() {
    if (!drain()) {
      return kStatusUnknown;
    }
    bool heard = false;
    for (int i = 0; i < kMaxChunks && !heard && !late(); ++i) {
      fill(kChunk);
      if (read_in_step(heard)) {
        return kStatusOk;
      }
    }
    if (!heard) {
      return kStatusUnknown;  // nothing answered several frames' worth of bytes
    }
    // A frame has just ended inside the last round; its tail is still in the loader. One
    // byte at a time until the loader answers, and the next byte begins a frame.
    for (int i = 0; i < kMaxSingles && !late(); ++i) {
      fill(1);
      if (collect(1, 1).empty()) {
        continue;
      }
      bool ignored = false;
      if (!drain()) {
        return kStatusUnknown;
      }
      if (read_in_step(ignored)) {
        return kStatusOk;
      }
    }
    return kStatusUnknown;
  }

 private:
  bool late() const { return pf::clock().now() >= deadline_; }

  Micros wire(std::size_t bytes) const {
    return baud_ > 0 ? pf::wire_time(bytes, baud_) : Micros(0);
  }

  // Whatever arrives within the quiet time after `sent` bytes went out and `expected` came back.
  std::vector<std::uint8_t> collect(std::size_t sent, std::size_t expected) {
    const Micros window =
        Micros(static_cast<Micros::rep>(kQuietSeconds * 1e6)) + wire(sent) + wire(expected);
    SetComTime(port_, static_cast<double>(window.count()) / 1e6);
    std::array<char, kCollectSize> buffer{};
    const int got = ComRd(port_, buffer.data(), static_cast<int>(buffer.size()));
    if (got <= 0) {
      return {};
    }
    return {buffer.begin(), buffer.begin() + got};
  }

  // Reads until the line is quiet; false when it never is.
  bool drain() {
    std::size_t total = 0;
    while (!late()) {
      const std::size_t got = collect(0, 0).size();
      if (got == 0) {
        return true;
      }
      total += got;
      if (total > kDrainLimit) {
        return false;
      }
    }
    return false;
  }

  void fill(std::size_t count) {
    std::array<char, kChunk> bytes{};
    for (std::size_t i = 0; i < count && i < bytes.size(); ++i) {
      bytes[i] = static_cast<char>(first_ ? kFillFirst : kFillRest);
      first_ = false;
    }
    ComWrt(port_, bytes.data(), static_cast<int>(std::min(count, bytes.size())));
  }

  // Sends a read and looks for its reply block among what comes back.
  bool read_in_step(bool& heard) {
    const std::uint32_t address = kEchoAddresses[reads_++ % kEchoAddresses.size()];
    bl_header_block read;
    read.mode = kModeRead;
    read.word1 = address;
    const auto frame = make_header_frame(read);
    ComWrt(port_, reinterpret_cast<const char*>(frame.data()), static_cast<int>(frame.size()));
    std::vector<std::uint8_t> back = collect(frame.size(), kReadReplySize);
    heard = heard || !back.empty();
    const std::array<std::uint8_t, 6> echo = {0x01,
                                              kModeRead,
                                              static_cast<std::uint8_t>(address >> 24),
                                              static_cast<std::uint8_t>(address >> 16),
                                              static_cast<std::uint8_t>(address >> 8),
                                              static_cast<std::uint8_t>(address)};
    for (int more = 0; more < 2; ++more) {
      const auto at = std::search(back.begin(), back.end(), echo.begin(), echo.end());
      if (at == back.end()) {
        return false;
      }
      if (back.end() - at >= static_cast<std::ptrdiff_t>(kReadReplySize)) {
        // No byte of this reply may be taken for the answer to the next frame.
        return drain();
      }
      const std::vector<std::uint8_t> rest = collect(0, kReadReplySize);
      back.insert(back.end(), rest.begin(), rest.end());
    }
    return false;
  }

  int port_;
  long baud_;
  Micros deadline_;
  double timeout_ = 0;
  bool restore_ = false;
  bool first_ = true;
  unsigned reads_ = 0;
};

}  // namespace
}  // namespace driveflash::bsl

bool bl_transient(int status) {
  switch (status) {
    case kStatusUnknown:
    case kStatusVerification:
    case kStatusChecksum:
    case kStatusBlockType:
      return true;
    default:
      return false;
  }
}

int bl_resync(int port) {
  namespace pf = driveflash::platform;
  const pf::Micros deadline = pf::clock().now() + driveflash::bsl::kBound;
  for (int attempt = 0; attempt < driveflash::bsl::kAttempts; ++attempt) {
    // The aligner puts the port's own time-out back before the frame below is read.
    int status = [&] {
      driveflash::bsl::Aligner aligner(port, deadline);
      return aligner.align();
    }();
    if (status != kStatusOk) {
      return status;
    }
    // The region the failed exchange was part of ends here, so that a data frame the loader
    // might yet take from garbled bytes has no page to go to.
    status = bl_send_EOT(port);
    if (status == kStatusOk || !bl_transient(status)) {
      return status;
    }
    if (pf::clock().now() >= deadline) {
      break;
    }
  }
  return kStatusUnknown;
}
