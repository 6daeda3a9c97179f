// A programming run on the program's own panels, headless, for the run-level tests. run()
// drives the worker on the calling thread until it rests, for tests of the run's steps and
// waits; press_program() goes as the operator does: Program schedules the worker on a pool
// thread, and the run ends by closing the popup through its close box or its OK button, every
// wait on the worker bounded in real time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/serial.h"
#include "platform/timing.h"
#include "sim/virtual_drive.h"
#include "support/test_support.h"

namespace driveflash::test {

using Chunks = std::vector<std::pair<std::uint32_t, Bytes>>;

// Intel HEX text for the chunks in records of `per_record` bytes, with extended linear address
// records where the upper half changes, and one end-of-file record.
std::string make_hex(const Chunks& chunks, int per_record = 16);
inline std::string make_hex(std::uint32_t address, const Bytes& data, int per_record = 16) {
  return make_hex(Chunks{{address, data}}, per_record);
}
// The encrypted-hex form of Intel HEX text (one record per line).
Bytes to_ehex(const std::string& hex_text);

// The status lines of a healthy run up to the download, followed by `then`; and those of a run
// that erases and programs in one pass.
std::vector<std::string> lines_to_download(const std::vector<std::string>& then = {});
std::vector<std::string> programmed_lines();

// A line that forwards to `line`, for port factories of tests.
std::unique_ptr<platform::SerialLine> forward_to(std::shared_ptr<platform::SerialLine> line);
// The replies of a drive and a chip that accept everything, for a ScriptedLine.
std::shared_ptr<platform::ScriptedLine> willing_drive();

// A virtual drive with `faults` (the sim: option text) on the harness's port.
std::shared_ptr<sim::VirtualDrive> drive_on_port(const std::string& faults = "");

// Ends the process with a message naming `what` unless destroyed within `limit`: a run whose
// close hangs must not hang the whole test program with it.
class Watchdog {
 public:
  Watchdog(std::string what, std::chrono::seconds limit);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// One exchange on the run's line, with the waits the run asked for since the one before.
struct LineOp {
  bool write = true;  // else a read
  Bytes bytes;        // written, or read
  platform::Micros waits_before{0};
  bool operator==(const LineOp&) const = default;
};

class RunHarness {
 public:
  static constexpr int kPort = 4;
  // Long enough for any run in real time on a busy machine; one in virtual time takes
  // milliseconds.
  static constexpr std::chrono::milliseconds kRestLimit{60'000};

  enum class Time { kVirtual, kReal };

  // Works in a temporary directory of its own that holds the loader and the program's panel
  // file, read on every load as the program does.
  explicit RunHarness(Time time = Time::kVirtual);
  ~RunHarness();
  RunHarness(const RunHarness&) = delete;
  RunHarness& operator=(const RunHarness&) = delete;

  // Writes the firmware file and chooses it with its kind (1: encrypted).
  void set_firmware(const std::string& name, const std::string& content, int kind = 0);
  void set_firmware(const std::string& name, const Bytes& content, int kind);
  void set_loader(const std::string& hex_text);
  void remove_loader();
  // Maps the run's port to `line`; `real` marks it as a line to a real chip.
  void use_line(std::shared_ptr<platform::SerialLine> line, bool real = false);
  // From now on every write and read on the line the port opens is recorded (line_ops()).
  void record_line();
  // The timing profile the main panel offers the next run.
  void set_timing(int profile);

  // Runs the worker on the calling thread until the run rests. Returns the waits asked for
  // until the worker returned.
  platform::Micros run();

  // Presses Program. Returns whether the run started (the popup is up, the worker scheduled).
  bool press_program();
  // Waits in real time for the worker to rest in state 6; false after `limit`.
  bool wait_for_rest(std::chrono::milliseconds limit = kRestLimit);
  // The operator closes the popup: its close box, or its OK button. Returns whether the popup
  // is gone afterwards (a dimmed OK button does nothing).
  bool close_popup();
  bool press_ok();

  // What the worker showed in the popup during the last run: the status lines, the attribute
  // changes of the OK button (dimmed) and the progress bar (visible), the progress values.
  std::vector<std::string> lines() const;
  std::vector<std::string> attributes() const;
  std::vector<double> progress() const;
  int counter_display() const;
  std::vector<LineOp> line_ops() const;

 private:
  void note_op(bool write, std::span<const std::uint8_t> bytes);

  void clear_record();

  std::optional<platform::ScopedVirtualClock> clock_;
  TempDir dir_;
  std::unique_ptr<ScopedCwd> cwd_;
  int observer_ = 0;
  bool on_this_thread_ = false;
  mutable std::mutex mutex_;
  std::condition_variable rest_cv_;
  std::vector<std::string> lines_;
  std::vector<std::string> attributes_;
  std::vector<double> progress_;
  std::vector<LineOp> ops_;
  platform::Micros waits_mark_{0};
  bool rested_ = false;
};

}  // namespace driveflash::test
