// The virtual drive's own fault options against whole runs in virtual time: the options that
// reach the command line and driveflash-sim give the lines the reply tables give, a drive that
// floods garbage or drips its replies one byte at a time ends the run as the time-outs say.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>

#include "app/run_context.h"
#include "matrix/reply_table.h"
#include "platform/serial.h"
#include "sim/faults.h"
#include "sim/sim_line.h"
#include "support/hex_records.h"
#include "support/run_harness.h"

namespace driveflash::test {
namespace {

using Lines = std::vector<std::string>;
constexpr auto kCaseLimit = std::chrono::seconds(30);

// Two regions: header, 3 data, eot; header, 1 data, eot.
const Chunks kFirmware = {{0x10001000, pattern(600, 5)}, {0x10004000, pattern(100, 6)}};

struct Outcome {
  bool success = false;
  Lines lines;
};

class SimFaultRuns : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    run_ = std::make_unique<RunHarness>();
    run_->set_firmware("two_regions.hex", make_hex(kFirmware));
  }
  static void TearDownTestSuite() { run_.reset(); }

  // One run through the popup on a virtual drive with `options`.
  static Outcome run(const std::string& options) {
    Watchdog dog("virtual drive '" + options + "'", kCaseLimit);
    sim::Faults faults;
    std::string error;
    EXPECT_TRUE(sim::parse_faults(options, faults, error)) << error;
    auto drive = std::make_shared<sim::VirtualDrive>(faults);
    sim::map_sim_port(RunHarness::kPort, drive);
    const int before = okcount.load();
    EXPECT_TRUE(run_->press_program());
    EXPECT_TRUE(run_->wait_for_rest(std::chrono::seconds(10))) << options;
    EXPECT_EQ(FlushInQ(RunHarness::kPort), kComPortNotOpen) << options;
    EXPECT_TRUE(run_->close_popup()) << options;
    Outcome out{okcount.load() > before, run_->lines()};
    if (out.success) {
      std::string mismatch;
      EXPECT_TRUE(drive->flash_matches(kFirmware, &mismatch)) << options << ": " << mismatch;
    }
    return out;
  }

  static inline std::unique_ptr<RunHarness> run_;
};

std::string last(const Lines& lines) {
  return lines.empty() ? std::string() : lines.back();
}

// The options a technician types: each frame kind at each position, with an error byte, with
// silence from there on, and with the line dropping there.
TEST_F(SimFaultRuns, FrameFaultsGiveTheLineOfTheReplyTables) {
  struct Frame {
    const char* kind;
    int count;
    FrameColumn column;
  };
  const Frame frames[] = {{"erase", 8, FrameColumn::kHeader},
                          {"header", 2, FrameColumn::kHeader},
                          {"data", 4, FrameColumn::kData},
                          {"eot", 2, FrameColumn::kEot}};
  for (const Frame& f : frames) {
    for (int k = 1; k <= f.count; ++k) {
      const std::string at = std::string(f.kind) + "@" + std::to_string(k);
      for (const std::uint8_t byte : std::array<std::uint8_t, 3>{0xFC, 0xFE, 0xF9}) {
        const std::string text = status_text(judged(f.column, byte));
        char options[40];
        std::snprintf(options, sizeof options, "reply:%s=%02X", at.c_str(), byte);
        const Outcome o = run(options);
        EXPECT_FALSE(o.success) << options;
        EXPECT_EQ(last(o.lines), text) << options;
      }
      for (const std::string& options : {"silent-from:" + at, "disconnect:" + at}) {
        const Outcome o = run(options);
        EXPECT_FALSE(o.success) << options;
        EXPECT_EQ(last(o.lines), "Unknown error") << options;
      }
    }
  }
}

TEST_F(SimFaultRuns, EntryFaultsGiveTheirStatesLines) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"silent", "未知型号的驱动器!"},
      {"short-identity", "未知型号的驱动器!"},
      {"no-bsl", "ERROR: ASC BSL initialization failed!"},
      {"handshake=01", "ERROR: ASC BSL initialization failed!"},
      {"length-reply=5D", "ERROR: Send application length failed!"},
      {"loader-reply=55", "ERROR: Installing ASCLoader failed  - quitting..."},
  };
  for (const auto& [options, line] : cases) {
    const Outcome o = run(options);
    EXPECT_FALSE(o.success) << options;
    EXPECT_EQ(last(o.lines), line) << options;
  }
}

// 0xF8 after an erase, a region header or an end of transmission starts the download over,
// without a line of the run's own; a failed erase still says so first.
TEST_F(SimFaultRuns, ProtectionOnceAtAnyHeaderStartsTheDownloadOver) {
  const std::vector<std::pair<std::string, long>> cases = {
      {"protect=1", 0}, {"reply:erase@5=F8", 1}, {"reply:eot@2=F8", 0}};
  for (const auto& [options, erase_failures] : cases) {
    const Outcome o = run(options);
    EXPECT_TRUE(o.success) << options << ": " << last(o.lines);
    EXPECT_EQ(std::count(o.lines.begin(), o.lines.end(),
                         "Erasing sector 0, This may take a few seconds..."),
              2)
        << options;
    EXPECT_EQ(std::count(o.lines.begin(), o.lines.end(), "Erase Flash failed!"), erase_failures)
        << options;
    EXPECT_EQ(std::count(o.lines.begin(), o.lines.end(), "Protection error"), 0) << options;
  }
}

// Garbage instead of the loader's replies: the first garbage byte is judged, nothing passes for
// success, and the run fails at once, whichever frame the flood begins at.
TEST_F(SimFaultRuns, AFloodEndsTheRunAtTheFrameItBeginsAt) {
  const std::string first_garbage = status_text(judged(FrameColumn::kHeader, sim::flood_byte(0)));
  const std::vector<std::pair<std::string, Lines>> cases = {
      {"flood-from:erase@1",
       {"Erasing sector 0, This may take a few seconds...", "Erase Flash failed!", first_garbage}},
      {"flood-from:header@2", {"Done!", first_garbage}},
      {"flood-from:data@3", {"Done!", status_text(judged(FrameColumn::kData, sim::flood_byte(0)))}},
      {"flood-from:eot@1", {"Done!", status_text(judged(FrameColumn::kEot, sim::flood_byte(0)))}},
  };
  for (const auto& [options, tail] : cases) {
    const Outcome o = run(options);
    EXPECT_FALSE(o.success) << options;
    ASSERT_GE(o.lines.size(), tail.size()) << options;
    EXPECT_EQ(Lines(o.lines.end() - static_cast<std::ptrdiff_t>(tail.size()), o.lines.end()), tail)
        << options;
  }
}

TEST(FloodBytes, NeverALoadersSuccessAndTheSameEveryTime) {
  int distinct = 0;
  std::array<bool, 256> seen{};
  for (std::uint64_t n = 0; n < 100'000; ++n) {
    const std::uint8_t b = sim::flood_byte(n);
    ASSERT_NE(b, 0x55) << n;
    ASSERT_NE(b, 0x50) << n;
    distinct += seen[b] ? 0 : 1;
    seen[b] = true;
  }
  EXPECT_EQ(distinct, 254) << "every other byte value turns up";
  EXPECT_EQ(sim::flood_byte(12345), sim::flood_byte(12345));
}

// The identity answer is the only reply of several bytes the run reads: dripped in 10 ms apart it
// is complete well within the 0.3 s read; 400 ms apart, not even the leftovers of the first
// answer make up seven bytes for the second read.
TEST_F(SimFaultRuns, RepliesDrippedOneByteAtATime) {
  const Outcome quick = run("drip=10ms");
  EXPECT_TRUE(quick.success) << last(quick.lines);
  EXPECT_EQ(last(quick.lines), "Done!");
  const Outcome slow = run("drip=400ms");
  EXPECT_FALSE(slow.success);
  EXPECT_EQ(slow.lines, (Lines{"初始化中...", "未知型号的驱动器!"}));
}

}  // namespace
}  // namespace driveflash::test
