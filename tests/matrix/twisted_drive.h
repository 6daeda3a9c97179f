// A virtual drive whose line can change what the host hears at one exchange of a run, and can
// hold the worker at one exchange until the operator acts. The drive itself always carries out
// what it is sent: only the host's view is twisted, so that a reply byte is judged on its own
// and the drive stays in step with the host when the run goes on.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial.h"
#include "sim/virtual_drive.h"
#include "support/test_support.h"

namespace driveflash::test {

// The host's writes in a run, by what they carry. kOpen is the opening of the port itself.
enum class Exchange {
  kOpen,
  kIdentity,
  kReset,
  kEntryByte,  // 0x00, first byte of the loader entry: no reply
  kEntry,      // 0x6C: answered 0x5D
  kLength,
  kLoader,
  kErase,   // header mode 3
  kHeader,  // header mode 0: a download region starts
  kData,
  kEot,
  kClose,  // header mode 1: leave the loader, no reply read
  kOther,
};

std::string_view exchange_name(Exchange e);

// The index-th exchange of a kind (1-based, counted over the drive's life).
struct ExchangeAt {
  Exchange kind = Exchange::kOpen;
  int index = 1;
  bool operator==(const ExchangeAt&) const = default;
};

// What the host hears in answer to one exchange instead of the drive's reply.
struct Twist {
  enum class Kind { kBytes, kSilence, kCut, kExtra, kDisconnect };
  Kind kind = Kind::kBytes;
  Bytes bytes;           // kBytes: the reply; kExtra: appended to the drive's reply
  std::size_t keep = 0;  // kCut: the first `keep` bytes of the drive's reply

  static Twist reply(Bytes b) { return {Kind::kBytes, std::move(b), 0}; }
  static Twist byte(std::uint8_t b) { return reply({b}); }
  static Twist silence() { return {Kind::kSilence, {}, 0}; }
  static Twist cut(std::size_t keep) { return {Kind::kCut, {}, keep}; }
  static Twist extra(Bytes b) { return {Kind::kExtra, std::move(b), 0}; }
  // The line drops as the request arrives; the drive never sees it, and the port cannot be
  // opened again.
  static Twist disconnect() { return {Kind::kDisconnect, {}, 0}; }
};

std::string describe(const Twist& t);

// A run stopped in each of its states: where the worker is held while the operator acts
// (kOther: no hold, the run rests first), the run's last line (after the drive's reset: where
// the drive waits), where the run
// stands when the worker returns, the last exchange the host began (nothing after the step under
// way), and whether that step was the download, which runs to its end and counts.
struct StopCase {
  const char* name;
  int state;
  ExchangeAt hold;
  const char* last_line;
  int state_after;
  ExchangeAt last_exchange;
  bool counted;
};
const std::vector<StopCase>& stop_cases();
void PrintTo(const StopCase& c, std::ostream* out);

class TwistedDrive : public std::enable_shared_from_this<TwistedDrive> {
 public:
  static std::shared_ptr<TwistedDrive> make(sim::Faults faults = {});

  // Twists the host's view of exchange `at`.
  void twist(ExchangeAt at, Twist t);
  // Holds the worker when it reaches `at` (before the drive sees it) until release() or until
  // the run flag is cleared, as closing the popup or Ctrl-C does. `on_held` runs on the worker
  // thread once it is held.
  void hold(ExchangeAt at, std::function<void()> on_held = nullptr);
  // Waits in real time until the worker is held; false after `limit`.
  bool wait_until_held(std::chrono::milliseconds limit);
  void release();

  // Maps `port` to lines on this drive (not a real chip). Each open gives a fresh line, so
  // replies still due when the port closes are lost with it, as on a real port.
  void map(int port);

  // Every exchange so far, in order.
  std::vector<ExchangeAt> log() const;
  // How often an exchange of `kind` happened.
  int count(Exchange kind) const;
  sim::VirtualDrive& drive() { return drive_; }

  explicit TwistedDrive(sim::Faults faults) : drive_(std::move(faults)) {}

 private:
  class Line;

  // Counts the exchange the bytes start, and holds the worker there if asked to.
  ExchangeAt enter(Exchange kind);
  void on_write(Line& line, std::span<const std::uint8_t> bytes, platform::Micros now);

  sim::VirtualDrive drive_;
  mutable std::mutex mutex_;
  std::condition_variable held_cv_;
  std::vector<ExchangeAt> log_;
  std::vector<std::pair<ExchangeAt, Twist>> twists_;
  std::optional<ExchangeAt> hold_at_;
  std::function<void()> on_held_;
  bool held_ = false;
  bool released_ = false;
  std::atomic<bool> unplugged_{false};
};

}  // namespace driveflash::test
