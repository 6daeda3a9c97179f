// A programming run in virtual time on headless panels, for the run-level tests.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/serial.h"
#include "platform/timing.h"
#include "support/test_support.h"

namespace driveflash::test {

// Intel HEX text for `data` at `address`, in records of `per_record` bytes, with extended
// linear address records where the upper half changes, and an end-of-file record.
std::string make_hex(std::uint32_t address, const Bytes& data, int per_record = 16);
// The encrypted-hex form of Intel HEX text (one record per line).
Bytes to_ehex(const std::string& hex_text);

// Sets up the panels, the port, the loader file and the firmware in a temporary directory,
// and runs the worker on the calling thread until it first rests in its final state.
class RunHarness {
 public:
  static constexpr int kPort = 4;

  RunHarness();
  ~RunHarness();
  RunHarness(const RunHarness&) = delete;
  RunHarness& operator=(const RunHarness&) = delete;

  // Writes the firmware file and selects it (kind 1 for encrypted files).
  void set_firmware(const std::string& name, const std::string& content, int kind = 0);
  void set_firmware(const std::string& name, const Bytes& content, int kind);
  void set_loader(const std::string& hex_text);
  void remove_loader();
  // Maps the run's port to `line`; `real` marks it as a line to a real chip.
  void use_line(std::shared_ptr<platform::SerialLine> line, bool real = false);
  // Runs until the run rests (or `stop_when` returns true for an appended line, which then
  // clears the run flag as closing the popup does). Returns the waits asked for until the
  // worker returned.
  platform::Micros run(std::function<bool(const std::string&)> stop_when = nullptr);

  const std::vector<std::string>& lines() const { return lines_; }
  // Attribute changes of the popup's OK button (dimmed) and progress (visible), in order.
  const std::vector<std::string>& attributes() const { return attributes_; }
  const std::vector<double>& progress() const { return progress_; }
  int counter_display() const;
  int prgpanel_handle() const { return popup_; }
  const TempDir& dir() const { return dir_; }

 private:
  platform::ScopedVirtualClock clock_;
  TempDir dir_;
  std::unique_ptr<ScopedCwd> cwd_;
  int main_ = 0;
  int popup_ = 0;
  int observer_ = 0;
  std::vector<std::string> lines_;
  std::vector<std::string> attributes_;
  std::vector<double> progress_;
  std::function<bool(const std::string&)> stop_when_;
};

// A line that forwards to `line`, for port factories of tests.
std::unique_ptr<platform::SerialLine> forward_to(std::shared_ptr<platform::SerialLine> line);

// The replies of a drive and a chip that accept everything, for a ScriptedLine.
std::shared_ptr<platform::ScriptedLine> willing_drive();

}  // namespace driveflash::test
