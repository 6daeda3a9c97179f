// Whole runs on a real serial device, in real time: the virtual drive serves the master side of
// a pseudo-terminal and the run opens the slave as a serial port. The drive is healthy, vanishes
// in the middle of the download, floods the line with garbage, or answers one byte at a time;
// every run ends in its resting state with its line, the port closed and the popup closable.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "app/callbacks.h"
#include "matrix/reply_table.h"
#include "platform/qt/qt_serial.h"
#include "platform/serial.h"
#include "run/run_context.h"
#include "sim/faults.h"
#include "sim/pty.h"
#include "support/hex_records.h"
#include "support/run_harness.h"

namespace driveflash::test {
namespace {

using Steady = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
constexpr auto kCaseLimit = std::chrono::seconds(120);

const Chunks kFirmware = {{0x10001000, pattern(1000, 9)}};

Lines tail(const Lines& lines, std::size_t n) {
  return Lines(lines.end() - static_cast<std::ptrdiff_t>(std::min(n, lines.size())), lines.end());
}

// Kilobytes of a "VmHWM:" or "VmRSS:" line of /proc/self/status (0 where there is none).
long status_kb(const std::string& key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) {
      return std::stol(line.substr(key.size()));
    }
  }
  return 0;
}

class PtyFaults : public ::testing::Test {
 protected:
  PtyFaults() { run_.set_firmware("fw.hex", make_hex(kFirmware)); }

  // Serves a drive with `options` on a fresh pair, its slave mapped as the run's port; `real`
  // marks the device as a line to a real chip.
  void serve(const std::string& options, bool real = false) {
    sim::Faults faults;
    std::string error;
    ASSERT_TRUE(sim::parse_faults(options, faults, error)) << error;
    drive_ = std::make_shared<sim::VirtualDrive>(faults);
    auto pair = platform::PtyPair::open(error);
    ASSERT_TRUE(pair) << "no pseudo-terminal: " << error;
    server_ = std::make_unique<sim::PtyServer>(std::move(*pair), drive_);
    platform::PortEntry entry =
        platform::real_port_entry(RunHarness::kPort, server_->slave_path(), "virtual drive");
    entry.is_real = real;  // the stand-in loader goes to the virtual drive only
    platform::map_port(std::move(entry));
  }

  // Program, rest, close: returns the status lines. `vanished` receives the time from the
  // drive's disconnect to the run's rest, when it disconnected.
  Lines run_once(std::chrono::milliseconds* vanished = nullptr) {
    Watchdog dog("a run on a pseudo-terminal", kCaseLimit);
    before_ = okcount.load();
    EXPECT_TRUE(run_.press_program());
    const auto give_up = Steady::now() + RunHarness::kRestLimit;
    std::optional<Steady::time_point> gone;
    bool rested = false;
    while (!rested && Steady::now() < give_up) {
      rested = run_.wait_for_rest(std::chrono::milliseconds(1));
      if (!gone && server_ && server_->disconnected()) {
        gone = Steady::now();
      }
    }
    EXPECT_TRUE(rested) << "the run did not come to rest";
    if (vanished != nullptr && gone) {
      *vanished = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - *gone);
    }
    EXPECT_EQ(FlushInQ(RunHarness::kPort), kComPortNotOpen) << "the port is open at rest";
    EXPECT_TRUE(run_.close_popup());
    EXPECT_EQ(FlushInQ(RunHarness::kPort), kComPortNotOpen);
    return run_.lines();
  }

  bool counted() const { return okcount.load() > before_; }

  RunHarness run_{RunHarness::Time::kReal};
  std::shared_ptr<sim::VirtualDrive> drive_;
  std::unique_ptr<sim::PtyServer> server_;
  int before_ = 0;
};

TEST_F(PtyFaults, ADriveThatVanishesMidDownloadIsReportedAtOnce) {
  const std::vector<std::pair<std::string, Lines>> cases = {
      {"disconnect:erase@3",
       {"Erasing sector 2, This may take a few seconds...", "Erase Flash failed!", "Unknown error",
        kLeftPastLoaderEntryLine}},
      {"disconnect:data@2", {"Done!", "Unknown error", kLeftPastLoaderEntryLine}},
      {"disconnect:eot@1", {"Done!", "Unknown error", kLeftPastLoaderEntryLine}},
  };
  for (const auto& [options, want] : cases) {
    SCOPED_TRACE(options);
    serve(options);
    std::chrono::milliseconds took{-1};
    const Lines lines = run_once(&took);
    EXPECT_TRUE(server_->disconnected());
    EXPECT_FALSE(counted());
    EXPECT_EQ(tail(lines, want.size()), want);
    EXPECT_GE(took.count(), 0) << "the disconnect went unseen";
    std::printf("[ measured ] %s: the run rested %lld ms after the device vanished\n",
                options.c_str(), static_cast<long long>(took.count()));
    // The device is gone: the next run cannot open it.
    const Lines again = run_once();
    ASSERT_EQ(again.size(), 3u);
    EXPECT_EQ(Lines(again.begin(), again.begin() + 2),
              (Lines{"初始化中...", "ERROR: COM Port initialization failed!"}));
    EXPECT_EQ(again[2].rfind("端口 / Port ", 0), 0u) << "which port and why: " << again[2];
    server_.reset();
  }
}

TEST_F(PtyFaults, AFloodOfGarbageFailsTheRunCleanly) {
  const std::vector<std::pair<std::string, Lines>> cases = {
      {"flood-from:erase@1",
       {"Erasing sector 0, This may take a few seconds...", "Erase Flash failed!",
        status_text(judged(FrameColumn::kHeader, sim::flood_byte(0))), kLeftPastLoaderEntryLine}},
      {"flood-from:data@2",
       {"Done!", status_text(judged(FrameColumn::kData, sim::flood_byte(0))),
        kLeftPastLoaderEntryLine}},
  };
  for (const auto& [options, want] : cases) {
    SCOPED_TRACE(options);
    serve(options);
    const long rss_before = status_kb("VmRSS:");
    const long peak_before = status_kb("VmHWM:");
    const Lines lines = run_once();
    const long peak_after = status_kb("VmHWM:");
    EXPECT_TRUE(drive_->flooding());
    EXPECT_FALSE(counted());
    EXPECT_EQ(tail(lines, want.size()), want);
    EXPECT_EQ(server_->failure(), "");
    // Bounded: the kernel's buffer and one read's worth in the port, not the flood's length.
    EXPECT_LT(peak_after - peak_before, 64 * 1024) << "kB more at the peak";
    std::printf("[ measured ] %s: resident %ld kB before, peak %ld kB before and %ld kB after\n",
                options.c_str(), rss_before, peak_before, peak_after);
  }
  // The next run meets garbage from its first request on, through waits in which nothing is
  // read: any seven bytes pass for the drive's identity, but no garbage is a loader's success,
  // so the run fails somewhere on the way, whichever bytes it happens to read.
  const long peak_before = status_kb("VmHWM:");
  const Lines lines = run_once();
  const long peak_after = status_kb("VmHWM:");
  EXPECT_FALSE(counted());
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back(), "Done!");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Done!"), 0);
  EXPECT_EQ(server_->failure(), "");
  EXPECT_LT(peak_after - peak_before, 64 * 1024) << "kB more at the peak";
  std::printf("[ measured ] flooded from the start: '%s', peak %ld kB before and %ld kB after\n",
              lines.back().c_str(), peak_before, peak_after);
}

// A healthy drive, and one whose every reply of several bytes comes one byte at a time, 10 ms
// apart: the identity answer is whole well within its 0.3 s read, and the run programs the drive
// and restarts its application. 400 ms apart, the second read gets only what has come of both
// answers by then.
TEST_F(PtyFaults, AHealthyDriveAndOneThatAnswersOneByteAtATime) {
  const Lines programmed = programmed_lines();
  for (const char* options : {"", "drip=10ms"}) {
    SCOPED_TRACE(options);
    serve(options);
    EXPECT_EQ(run_once(), programmed);
    EXPECT_TRUE(counted());
    EXPECT_EQ(run_.counter_display(), okcount.load());
    std::string mismatch;
    EXPECT_TRUE(drive_->flash_matches(kFirmware, &mismatch)) << mismatch;
    EXPECT_EQ(drive_->stage(), sim::VirtualDrive::Stage::kApplication);
    EXPECT_EQ(server_->failure(), "");
    server_.reset();
  }
  serve("drip=400ms");
  const Lines slow = run_once();
  ASSERT_EQ(slow.size(), 3u);
  EXPECT_EQ(Lines(slow.begin(), slow.begin() + 2), (Lines{"初始化中...", "未知型号的驱动器!"}));
  EXPECT_EQ(run::last_outcome().advice, Lines{slow.back()});
  EXPECT_FALSE(counted());
}

// The stand-in loader is no loader for a chip: a real port never gets it, nor anything after it.
// Refused when Program is pressed: the drive is not even asked who it is, let alone reset.
TEST_F(PtyFaults, ARealPortNeverGetsTheStandInLoader) {
  serve("", true);
  EXPECT_FALSE(run_.press_program());
  EXPECT_NE(std::string(app::last_refusal()).find("stand-in"), std::string::npos)
      << app::last_refusal();
  EXPECT_TRUE(run_.lines().empty());
  EXPECT_EQ(drive_->statistics().identity_requests, 0u);
  EXPECT_EQ(drive_->statistics().loader_uploads, 0u);
  EXPECT_EQ(FlushInQ(RunHarness::kPort), kComPortNotOpen);
}

}  // namespace
}  // namespace driveflash::test
