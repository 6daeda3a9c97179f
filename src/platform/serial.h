// Serial services over a port table.
//
// A port number maps to a back end that opens a line: a real serial device, the in-process
// virtual drive, or a scripted peer in tests. The protocol code sees only the numbered
// calls below; which back end answers is decided by whoever fills the table (front ends,
// tests).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/timing.h"

// Results of the serial calls besides counts: negative values are failures.
inline constexpr int kComUnknownError = -1;
inline constexpr int kComInvalidPort = -2;
inline constexpr int kComPortNotOpen = -3;
inline constexpr int kComOpenFailed = -6;
inline constexpr int kComIoError = -7;

// parity: 0 none, 1 odd, 2 even. Returns 0 or a negative failure. A port that is open is
// closed first, so a second open on the same number starts from a clean line.
int OpenComConfig(int port, const char* deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize);
// Read time-out for later ComRd calls. Returns 0 or a negative failure.
int SetComTime(int port, double timeoutSeconds);
// The read time-out in force (10 s until SetComTime sets one). Returns 0 or a negative failure,
// leaving `timeoutSeconds` as it was.
int GetComTime(int port, double* timeoutSeconds);
int FlushInQ(int port);
int FlushOutQ(int port);
// Returns the number of bytes accepted for sending, or a negative failure. On a line with a
// pace, it returns once at most the output queue size given to OpenComConfig is still waiting
// to go out (by the bytes' time on the wire, and by the driver's count where it keeps one), so
// that a reply read next is not timed from before the request has left. A device that stops
// taking bytes gives a short count.
int ComWrt(int port, const char* buffer, int count);
// Returns when `count` bytes have arrived or the time-out has passed; the result is the
// number of bytes read (a failed line reads as what arrived before it failed, or negative
// when nothing did).
int ComRd(int port, char* buffer, int count);
// Waits (bounded) until everything written has gone out on the wire, then closes.
int CloseCom(int port);

namespace driveflash::platform {

struct LineSettings {
  long baud = 9600;
  int parity = 0;
  int data_bits = 8;
  int stop_bits = 1;
  int input_queue = 512;
  int output_queue = 512;
};

// One open line to a peer.
class SerialLine {
 public:
  virtual ~SerialLine() = default;
  // Queues `bytes` for sending. Returns the number accepted or a negative failure.
  virtual int write(std::span<const std::uint8_t> bytes) = 0;
  // Fills `buffer`, returning early only when `deadline` on clock() passes or the line fails.
  // Returns the number of bytes placed, or a negative failure when none were.
  virtual int read(std::span<std::uint8_t> buffer, Micros deadline) = 0;
  virtual void flush_input() = 0;
  virtual void flush_output() = 0;
  // Whether written bytes take their time on the wire at the line's baud rate, so that a write
  // must wait for them. An in-process peer that takes bytes instantly has no pace.
  virtual bool paced() const { return true; }
  // Waits until the driver holds at most `bytes` written bytes not yet sent, or `deadline` on
  // clock() passes. Returns the number it still holds (0 where the driver does not say).
  virtual std::size_t drain_output(std::size_t /*bytes*/, Micros /*deadline*/) { return 0; }
};

// Time `bytes` take on the wire at `baud`: 10 bit times each (start, 8 data, stop).
Micros wire_time(std::uint64_t bytes, long baud);

// Opens a line with the given settings, or returns null and says why in `error`.
using LineFactory =
    std::function<std::unique_ptr<SerialLine>(const LineSettings& settings, std::string& error)>;

struct PortEntry {
  int number = 0;
  std::string name;         // what the operator picks: "/dev/ttyUSB0", "COM3", "sim"
  std::string description;  // e.g. a USB adapter's product string
  bool is_real = false;     // a physical line to a real chip
  LineFactory open;
};

// Adds or replaces the entry for entry.number.
void map_port(PortEntry entry);
void unmap_port(int port);
void clear_port_table();
std::vector<PortEntry> port_table();
// The entry for `port`, if mapped.
bool find_port(int port, PortEntry& out);
// Whether the line open on `port` leads to a real chip (false when the port is not open).
bool port_is_real(int port);
// The baud rate the port was opened with (0 when it is not open).
long port_baud(int port);
// Why the last OpenComConfig on `port` failed ("" if it did not).
std::string last_open_error(int port);

// Base for in-process peers: bytes the peer sends carry the time at which they reach the
// host, and reads wait on the platform clock for them, so the same peer runs in real or
// in virtual time.
class QueuedLine : public SerialLine {
 public:
  int write(std::span<const std::uint8_t> bytes) final;
  int read(std::span<std::uint8_t> buffer, Micros deadline) final;
  void flush_input() final;
  void flush_output() final {}
  // The peer takes every byte at once unless a derived line says otherwise.
  bool paced() const override { return false; }

  // Bytes that reached the host but were not read yet, or are still on their way.
  std::size_t pending_input();

 protected:
  // Called for every write with the bytes and the time they were written.
  virtual void on_host_write(std::span<const std::uint8_t> bytes, Micros now) = 0;
  // Called before every read and input flush, for a peer that takes in the host's bytes late.
  virtual void before_host_io() {}
  // Queues bytes for the host, arriving at `arrival`.
  void send_to_host(std::span<const std::uint8_t> bytes, Micros arrival);
  // Makes the line fail: writes and reads report an I/O error from now on, as an unplugged
  // adapter does.
  void disconnect();
  bool disconnected() const { return disconnected_.load(); }

 private:
  struct Byte {
    std::uint8_t value;
    Micros arrival;
  };
  std::mutex mutex_;
  std::deque<Byte> input_;
  std::atomic<bool> disconnected_{false};
};

// A peer for tests that answers each write from a script, and records every write.
// A step matches the next write; unscripted writes are answered with silence.
class ScriptedLine final : public QueuedLine {
 public:
  struct Step {
    std::vector<std::uint8_t> reply;  // empty: silence
    Micros delay{0};                  // after the write
  };
  explicit ScriptedLine(std::vector<Step> steps = {}) : steps_(std::move(steps)) {}

  // Everything the host wrote, one entry per write.
  const std::vector<std::vector<std::uint8_t>>& writes() const { return writes_; }
  // Appends a step to the script.
  void then(std::vector<std::uint8_t> reply, Micros delay = Micros(0)) {
    steps_.push_back({std::move(reply), delay});
  }
  // Writes beyond the script are answered with `reply` (default: silence).
  void answer_rest_with(std::vector<std::uint8_t> reply) { rest_ = std::move(reply); }

 protected:
  void on_host_write(std::span<const std::uint8_t> bytes, Micros now) override;

 private:
  std::vector<Step> steps_;
  std::size_t next_ = 0;
  std::vector<std::uint8_t> rest_;
  std::vector<std::vector<std::uint8_t>> writes_;
};

// Maps `port` to a shared in-process line (tests keep the pointer to inspect it). Every open
// of the port hands out the same line.
void map_port_to_line(int port, std::shared_ptr<SerialLine> line, std::string name = "test");

}  // namespace driveflash::platform
