// Pseudo-terminals, for serving a device path from inside a program (the virtual drive as
// driveflash-sim) on the systems that have them. Each call says what went wrong in words.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace driveflash::platform {

// Owns a file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A pseudo-terminal pair: the master kept here (non-blocking), the slave in raw mode and
// closed, for the host to open by its path.
class PtyPair {
 public:
  // Opens a pair, or returns nothing and says why in `error`.
  static std::optional<PtyPair> open(std::string& error);

  int master() const { return master_.get(); }
  const std::string& slave_path() const { return slave_path_; }
  // Closes the master: the slave side sees a hang-up and the device goes away.
  void close_master() { master_.reset(); }

 private:
  PtyPair() = default;
  UniqueFd master_;
  std::string slave_path_;
};

// What one read or write of a master came to: bytes moved (0: none now), whether the host has
// closed the slave, or a failure in words.
struct PtyIo {
  std::size_t bytes = 0;
  bool gone = false;
  std::string error;
};
PtyIo read_master(int master, std::span<std::uint8_t> buffer);
PtyIo write_master(int master, std::span<const std::uint8_t> bytes);
// Discards what the host left unread in the slave's input, as closing a real port does.
void flush_slave_input(const std::string& slave_path);

// The serving thread's wait: for the master, a stop, or a wake-up from another thread.
class PtyWait {
 public:
  PtyWait();
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // Any thread, async-signal-safe.
  void request_stop() const;
  void wake() const;

  struct Ready {
    bool stop = false;
    bool in = false;           // the master has bytes
    bool out = false;          // the master takes bytes
    bool gone = false;         // the host has closed the slave
    bool interrupted = false;  // a signal cut the wait short: nothing is known
    std::string error;
  };
  // Waits at most `timeout` (none: until something happens) for the master's bytes, its room
  // when `want_out`, a stop or a wake-up (which it consumes).
  Ready wait(int master, bool want_out, std::optional<std::chrono::milliseconds> timeout) const;
  // Waits at most `timeout` for a stop only; true when it came.
  bool wait_for_stop(std::chrono::milliseconds timeout) const;

 private:
  UniqueFd stop_read_;
  UniqueFd stop_write_;
  UniqueFd wake_read_;
  UniqueFd wake_write_;
  std::string error_;
};

// For a serving program's main thread: interrupt and terminate end it, the user signal asks for
// something (a power cycle). Blocks the three in this thread and every thread started after it,
// so that only next() takes them.
class ProcessSignals {
 public:
  enum class Signal { kStop, kUser };
  ProcessSignals();
  // Waits for the next of them.
  Signal next() const;
  // Sends this process the user signal (from any thread).
  static void send_user();
};

}  // namespace driveflash::platform
