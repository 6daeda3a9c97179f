#include "matrix/twisted_drive.h"

#include <algorithm>
#include <array>

#include "bsl/asc_bsl.h"
#include "bsl/frames.h"
#include "link/drive_link.h"
#include "run/run_context.h"

namespace driveflash::test {
namespace {

using platform::Micros;
using Stage = sim::VirtualDrive::Stage;

constexpr std::array<std::string_view, 13> kNames = {
    "open",  "identity", "reset", "entry_byte", "entry", "length", "loader",
    "erase", "header",   "data",  "eot",        "close", "other"};

// What a write is, from the drive's stage before it and the bytes. The tool writes every
// request and frame in one piece.
Exchange classify(Stage stage, std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) {
    return Exchange::kOther;
  }
  switch (stage) {
    case Stage::kApplication:
      if (std::ranges::equal(bytes, kIdentityRequest)) {
        return Exchange::kIdentity;
      }
      return std::ranges::equal(bytes, kResetRequest) ? Exchange::kReset : Exchange::kOther;
    case Stage::kRomEntry:
      return bytes[0] == kBslEntryByte1 ? Exchange::kEntryByte : Exchange::kOther;
    case Stage::kRomMode:
      return bytes[0] == kBslEntryByte2 ? Exchange::kEntry : Exchange::kOther;
    case Stage::kRomLength:
      return Exchange::kLength;
    case Stage::kRomLoader:
      return Exchange::kLoader;
    case Stage::kLoader:
      if (bytes[0] == kBlockData) {
        return Exchange::kData;
      }
      if (bytes[0] == kBlockEot) {
        return Exchange::kEot;
      }
      if (bytes[0] == kBlockHeader && bytes.size() > 1) {
        switch (bytes[1]) {
          case kModeErase:
            return Exchange::kErase;
          case kModeProgram:
            return Exchange::kHeader;
          case kModeRun:
            return Exchange::kClose;
          default:
            break;
        }
      }
      return Exchange::kOther;
    case Stage::kUnplugged:
      break;
  }
  return Exchange::kOther;
}

}  // namespace

std::string_view exchange_name(Exchange e) {
  return kNames.at(static_cast<std::size_t>(e));
}

std::string describe(const Twist& t) {
  switch (t.kind) {
    case Twist::Kind::kBytes:
      return "reply " + to_hex(t.bytes);
    case Twist::Kind::kSilence:
      return "silence";
    case Twist::Kind::kCut:
      return "the first " + std::to_string(t.keep) + " bytes";
    case Twist::Kind::kExtra:
      return "the reply and " + to_hex(t.bytes);
    case Twist::Kind::kDisconnect:
      return "disconnect";
  }
  return "?";
}

const std::vector<StopCase>& stop_cases() {
  using E = Exchange;
  // clang-format off
  static const std::vector<StopCase> cases = {
      {"open",      kStateOpen,      {E::kOpen, 1},      "初始化中...",
       kStateDrive,     {E::kOpen, 1},   false},
      // Stopped while its firmware was asked who it is: no reset goes out behind the stop.
      {"drive",     kStateDrive,     {E::kIdentity, 1},  "初始化中...",
       kStateDrive,     {E::kIdentity, 2}, false},
      {"handshake", kStateHandshake, {E::kEntryByte, 1}, kLeftPastLoaderEntryLine,
       kStateLength,    {E::kEntry, 1},  false},
      {"length",    kStateLength,    {E::kLength, 1},    kLeftPastLoaderEntryLine,
       kStateLoader,    {E::kLength, 1}, false},
      {"loader",    kStateLoader,    {E::kLoader, 1},    kLeftPastLoaderEntryLine,
       kStateDownload,  {E::kLoader, 1}, false},
      {"download",  kStateDownload,  {E::kData, 2},      "Done!",
       kStateFinished,  {E::kClose, 1},  true},
      {"rest",      kStateFinished,  {E::kOther, 0},     "Done!",
       kStateFinished,  {E::kClose, 1},  true},
  };
  // clang-format on
  return cases;
}

void PrintTo(const StopCase& c, std::ostream* out) {
  *out << c.name;
}

class TwistedDrive::Line final : public platform::QueuedLine {
 public:
  explicit Line(std::shared_ptr<TwistedDrive> owner) : owner_(std::move(owner)) {}
  void deliver(std::span<const std::uint8_t> bytes, Micros arrival) {
    send_to_host(bytes, arrival);
  }
  void drop() { disconnect(); }

 protected:
  void on_host_write(std::span<const std::uint8_t> bytes, Micros now) override {
    owner_->on_write(*this, bytes, now);
  }

 private:
  std::shared_ptr<TwistedDrive> owner_;
};

std::shared_ptr<TwistedDrive> TwistedDrive::make(sim::Faults faults) {
  return std::make_shared<TwistedDrive>(std::move(faults));
}

void TwistedDrive::twist(ExchangeAt at, Twist t) {
  std::lock_guard lock(mutex_);
  twists_.emplace_back(at, std::move(t));
}

void TwistedDrive::hold(ExchangeAt at, std::function<void()> on_held) {
  std::lock_guard lock(mutex_);
  hold_at_ = at;
  on_held_ = std::move(on_held);
  held_ = false;
  released_ = false;
}

bool TwistedDrive::wait_until_held(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return held_cv_.wait_for(lock, limit, [this] { return held_; });
}

void TwistedDrive::release() {
  std::lock_guard lock(mutex_);
  released_ = true;
  held_cv_.notify_all();
}

void TwistedDrive::map(int port) {
  platform::PortEntry entry;
  entry.number = port;
  entry.name = "twisted";
  entry.description = "virtual drive with a twisted line";
  entry.is_real = false;
  entry.open = [self = shared_from_this()](
                   const platform::LineSettings&,
                   std::string& error) -> std::unique_ptr<platform::SerialLine> {
    self->enter(Exchange::kOpen);
    if (self->unplugged_.load()) {
      error = "the drive was disconnected";
      return nullptr;
    }
    return std::make_unique<Line>(self);
  };
  platform::map_port(std::move(entry));
}

std::vector<ExchangeAt> TwistedDrive::log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

int TwistedDrive::count(Exchange kind) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::ranges::count(log_, kind, &ExchangeAt::kind));
}

ExchangeAt TwistedDrive::enter(Exchange kind) {
  std::unique_lock lock(mutex_);
  const ExchangeAt at{kind,
                      1 + static_cast<int>(std::ranges::count(log_, kind, &ExchangeAt::kind))};
  log_.push_back(at);
  if (hold_at_ && *hold_at_ == at) {
    held_ = true;
    held_cv_.notify_all();
    if (on_held_) {
      const std::function<void()> on_held = on_held_;
      lock.unlock();
      on_held();
      lock.lock();
    }
    // Closing the popup clears the run flag and then waits for this very worker.
    while (!released_ && runflag.load() != 0) {
      held_cv_.wait_for(lock, std::chrono::milliseconds(1));
    }
  }
  return at;
}

void TwistedDrive::on_write(Line& line, std::span<const std::uint8_t> bytes, Micros now) {
  const ExchangeAt at = enter(classify(drive_.stage(), bytes));
  std::optional<Twist> twist;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [where, t] : twists_) {
      if (where == at) {
        twist = t;
      }
    }
  }
  if (twist && twist->kind == Twist::Kind::kDisconnect) {
    unplugged_ = true;
    line.drop();
    return;
  }
  std::vector<sim::VirtualDrive::Output> outputs = drive_.feed(bytes);
  if (!twist) {
    for (const sim::VirtualDrive::Output& out : outputs) {
      if (out.disconnect) {
        unplugged_ = true;
        line.drop();
        return;
      }
      line.deliver(out.bytes, now + out.delay);
    }
    return;
  }
  Bytes reply;
  for (const sim::VirtualDrive::Output& out : outputs) {
    reply.insert(reply.end(), out.bytes.begin(), out.bytes.end());
  }
  switch (twist->kind) {
    case Twist::Kind::kBytes:
      reply = twist->bytes;
      break;
    case Twist::Kind::kSilence:
      reply.clear();
      break;
    case Twist::Kind::kCut:
      reply.resize(std::min(reply.size(), twist->keep));
      break;
    case Twist::Kind::kExtra:
      reply.insert(reply.end(), twist->bytes.begin(), twist->bytes.end());
      break;
    case Twist::Kind::kDisconnect:
      break;
  }
  line.deliver(reply, now);
}

}  // namespace driveflash::test
