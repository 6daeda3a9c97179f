// Waits and the clock behind them.
//
// Every wait the run asks for (Delay, Sleep) and every serial read time-out goes through
// one process-wide clock. It is the real steady clock unless a test installs a virtual
// one, in which case sleeping only advances a counter: a whole programming run then takes
// milliseconds, and the sum of the waits it asked for can be checked to the microsecond.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace driveflash::platform {

using Micros = std::chrono::microseconds;

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic time since an arbitrary origin.
  virtual Micros now() = 0;
  // Blocks (or, for a virtual clock, advances) until `deadline`. Returns at once if it passed.
  virtual void sleep_until(Micros deadline) = 0;
  virtual bool is_virtual() const = 0;
};

class RealClock final : public Clock {
 public:
  Micros now() override;
  void sleep_until(Micros deadline) override;
  bool is_virtual() const override { return false; }
};

// Time that moves only when someone sleeps. Safe to share between threads: a sleep moves
// the clock forward to the later of its deadline and the current time.
class VirtualClock final : public Clock {
 public:
  Micros now() override { return Micros(now_.load()); }
  void sleep_until(Micros deadline) override;
  bool is_virtual() const override { return true; }

 private:
  std::atomic<std::int64_t> now_{0};
};

// The clock every platform service uses.
Clock& clock();
// Installs `c` (nullptr restores the real clock). Not for use while a run is under way.
void set_clock(Clock* c);

// Sum of the waits asked for through Delay and Sleep since the last reset. Read time-outs
// are not waits: they are not counted.
Micros requested_waits();
void reset_requested_waits();

// Installs a fresh virtual clock for a scope, and restores the real one after it.
class ScopedVirtualClock {
 public:
  ScopedVirtualClock() {
    set_clock(&clock_);
    reset_requested_waits();
  }
  ~ScopedVirtualClock() { set_clock(nullptr); }
  ScopedVirtualClock(const ScopedVirtualClock&) = delete;
  ScopedVirtualClock& operator=(const ScopedVirtualClock&) = delete;
  VirtualClock& get() { return clock_; }

 private:
  VirtualClock clock_;
};

}  // namespace driveflash::platform

// Waits `seconds` on the platform clock (blocks the calling thread).
void Delay(double seconds);
namespace driveflash {
// Waits `milliseconds` on the platform clock. Not in the global namespace, where the Windows
// headers declare a Sleep of their own.
void Sleep(unsigned milliseconds);
}  // namespace driveflash
