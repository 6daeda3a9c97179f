// Closing the programming popup while the run is in each of its states: the worker finishes
// the step under way and makes no further pass, the port is closed behind it, and the popup
// goes. The panels are the program's own panel file, loaded as the program loads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "app/run_context.h"
#include "matrix/twisted_drive.h"
#include "platform/serial.h"
#include "sim/sim_line.h"
#include "support/hex_records.h"
#include "support/run_harness.h"

namespace driveflash::test {
namespace {

using namespace std::chrono_literals;
constexpr auto kCaseLimit = std::chrono::seconds(30);

class StopAtEachState : public ::testing::TestWithParam<StopCase> {
 protected:
  StopAtEachState() {
    run_.set_firmware("fw.hex", make_hex(0x10001000, pattern(700)));
    drive_->map(RunHarness::kPort);
  }

  // Presses Program and waits until the worker is where the case wants it.
  void start() {
    const StopCase& c = GetParam();
    if (c.hold.kind != Exchange::kOther) {
      drive_->hold(c.hold);
    }
    before_ = okcount.load();
    shown_before_ = run_.counter_display();
    ASSERT_TRUE(run_.press_program());
    if (c.hold.kind != Exchange::kOther) {
      ASSERT_TRUE(drive_->wait_until_held(10s)) << "the run never reached " << c.name;
      EXPECT_EQ(runstate.load(), c.state);
    } else {
      ASSERT_TRUE(run_.wait_for_rest(10s));
    }
  }

  void check_stopped() {
    const StopCase& c = GetParam();
    EXPECT_EQ(prgpanel, 0) << "the popup stayed";
    EXPECT_EQ(runflag.load(), 0);
    EXPECT_EQ(runstate.load(), c.state_after) << "the worker made another pass";
    EXPECT_EQ(FlushInQ(RunHarness::kPort), kComPortNotOpen) << "the port was left open";
    ASSERT_FALSE(run_.lines().empty());
    EXPECT_EQ(run_.lines().back(), c.last_line);
    const std::vector<ExchangeAt> log = drive_->log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(exchange_name(log.back().kind), exchange_name(c.last_exchange.kind));
    EXPECT_EQ(log.back().index, c.last_exchange.index);
    EXPECT_EQ(okcount.load(), before_ + (c.counted ? 1 : 0));
    EXPECT_EQ(run_.counter_display(), c.counted ? okcount.load() : shown_before_);
  }

  RunHarness run_;
  std::shared_ptr<TwistedDrive> drive_ = TwistedDrive::make();
  int before_ = 0;
  int shown_before_ = 0;
};

TEST_P(StopAtEachState, ClosingThePopupEndsTheWorkerAndClosesThePort) {
  Watchdog dog(std::string("closing the popup in state ") + GetParam().name, kCaseLimit);
  start();
  EXPECT_TRUE(run_.close_popup());
  check_stopped();
}

// The OK button stops the run just as the close box does, except during the download, when the
// worker has dimmed it: the click does nothing until the run rests.
TEST_P(StopAtEachState, TheOkButtonTooUnlessTheDownloadRuns) {
  Watchdog dog(std::string("pressing OK in state ") + GetParam().name, kCaseLimit);
  start();
  if (GetParam().state == kStateDownload) {
    EXPECT_FALSE(run_.press_ok()) << "a dimmed OK button took the click";
    EXPECT_EQ(runflag.load(), 1);
    drive_->release();
    ASSERT_TRUE(run_.wait_for_rest(10s));
  }
  EXPECT_TRUE(run_.press_ok());
  check_stopped();
}

INSTANTIATE_TEST_SUITE_P(States, StopAtEachState, ::testing::ValuesIn(stop_cases()),
                         [](const auto& row) { return std::string(row.param.name); });

// A download answered 0xF8 starts over on the next pass; a close that comes while it is under
// way ends the run before that pass, with the port (still open for the repeat) closed.
TEST(StopWhileProtected, EndsBeforeTheDownloadStartsOver) {
  Watchdog dog("closing the popup while a download is refused", kCaseLimit);
  RunHarness run;
  run.set_firmware("fw.hex", make_hex(0x10001000, pattern(700)));
  const auto drive = TwistedDrive::make();
  drive->map(RunHarness::kPort);
  drive->twist({Exchange::kHeader, 1}, Twist::byte(0xF8));
  drive->hold({Exchange::kHeader, 1});
  const int before = okcount.load();
  ASSERT_TRUE(run.press_program());
  ASSERT_TRUE(drive->wait_until_held(10s));
  EXPECT_TRUE(run.close_popup());
  EXPECT_EQ(runstate.load(), kStateDownload);
  EXPECT_EQ(FlushInQ(RunHarness::kPort), kComPortNotOpen);
  EXPECT_EQ(okcount.load(), before);
  EXPECT_EQ(drive->count(Exchange::kErase), 8) << "the download was not started again";
  EXPECT_EQ(run.lines().back(), "Done!");
}

// A drive that refuses every download keeps the run repeating it; closing the popup is the way
// out, and it is answered as soon as the download under way returns.
TEST(StopWhileProtected, AnEndlessRefusalEndsWithTheClose) {
  Watchdog dog("closing the popup on a drive that refuses every download", kCaseLimit);
  RunHarness run;
  run.set_firmware("fw.hex", make_hex(0x10001000, pattern(700)));
  sim::Faults faults;
  faults.protect = 1'000'000'000;
  const auto drive = std::make_shared<sim::VirtualDrive>(faults);
  sim::map_sim_port(RunHarness::kPort, drive);
  const int before = okcount.load();
  ASSERT_TRUE(run.press_program());
  // Let it go round a few times.
  const auto give_up = std::chrono::steady_clock::now() + 10s;
  while (drive->statistics().count(sim::FrameKind::kHeader) < 3 &&
         std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_GE(drive->statistics().count(sim::FrameKind::kHeader), 3u);
  EXPECT_TRUE(run.close_popup());
  EXPECT_EQ(runflag.load(), 0);
  EXPECT_EQ(runstate.load(), kStateDownload);
  EXPECT_EQ(FlushInQ(RunHarness::kPort), kComPortNotOpen);
  EXPECT_EQ(okcount.load(), before);
  const auto lines = run.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Protection error"), 0);
}

// The next run after a stop finds the port free and the drive where the stop left it: a
// drive stopped before its reset still answers as an application and is programmed.
TEST(StopThenRunAgain, TheNextRunStartsClean) {
  Watchdog dog("a run after a stop", kCaseLimit);
  RunHarness run;
  run.set_firmware("fw.hex", make_hex(0x10001000, pattern(700)));
  const auto drive = TwistedDrive::make();
  drive->map(RunHarness::kPort);
  drive->hold({Exchange::kOpen, 1});
  ASSERT_TRUE(run.press_program());
  ASSERT_TRUE(drive->wait_until_held(10s));
  ASSERT_TRUE(run.close_popup());
  const int before = okcount.load();
  ASSERT_TRUE(run.press_program());
  ASSERT_TRUE(run.wait_for_rest(10s));
  EXPECT_EQ(run.lines().back(), "Done!");
  EXPECT_TRUE(run.close_popup());
  EXPECT_EQ(okcount.load(), before + 1);
  EXPECT_TRUE(drive->drive().flash_matches({{0x10001000, pattern(700)}}));
}

}  // namespace
}  // namespace driveflash::test
