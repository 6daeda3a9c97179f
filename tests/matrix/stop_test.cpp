// Closing the programming popup while the run is in each of its states: the worker finishes
// the step under way and makes no further pass, the port is closed behind it, and the popup
// goes. The panels are the program's own panel file, loaded as the program loads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "matrix/twisted_drive.h"
#include "platform/panels.h"
#include "platform/serial.h"
#include "run/rescue_status.h"
#include "run/run_context.h"
#include "sim/sim_line.h"
#include "support/hex_records.h"
#include "support/run_harness.h"

namespace driveflash::test {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
constexpr auto kCaseLimit = std::chrono::seconds(30);

class StopAtEachState : public ::testing::TestWithParam<StopCase> {
 protected:
  StopAtEachState() {
    run_.set_firmware("fw.hex", make_hex(0x10001000, pattern(700)));
    drive_->map(RunHarness::kPort);
    platform::DialogHooks hooks;
    hooks.confirm = [this](const std::string&, const std::string& message) {
      questions_.push_back(message);
      return true;
    };
    platform::set_dialog_hooks(std::move(hooks));
  }
  ~StopAtEachState() override { platform::set_dialog_hooks({}); }

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

  // A stop while the run is under way after the drive's reset is asked about first, with what
  // it leaves behind (the held step is the one after the reset in the handshake's case); the
  // others are not.
  void check_asked(bool by_close_box) {
    const int state = GetParam().state;
    const bool asked = state == kStateHandshake || state == kStateLength || state == kStateLoader ||
                       (state == kStateDownload && by_close_box);
    ASSERT_EQ(questions_.size(), asked ? 1u : 0u);
    if (asked) {
      const char* left = state == kStateHandshake ? kLeftInRomLoaderLine : kLeftPastLoaderEntryLine;
      EXPECT_NE(questions_[0].find(left), std::string::npos) << questions_[0];
    }
  }

  RunHarness run_;
  std::shared_ptr<TwistedDrive> drive_ = TwistedDrive::make();
  std::vector<std::string> questions_;
  int before_ = 0;
  int shown_before_ = 0;
};

TEST_P(StopAtEachState, ClosingThePopupEndsTheWorkerAndClosesThePort) {
  Watchdog dog(std::string("closing the popup in state ") + GetParam().name, kCaseLimit);
  start();
  EXPECT_TRUE(run_.close_popup());
  check_stopped();
  check_asked(true);
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
  check_asked(false);
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
  EXPECT_EQ(run.lines().back(), kLeftPastLoaderEntryLine);
}

// A drive that refuses every download ends the run by itself after five passes, with the
// loader's word for it, the count, and where the drive waits; nothing is counted.
TEST(StopWhileProtected, AnEndlessRefusalEndsAfterFivePasses) {
  Watchdog dog("a drive that refuses every download", kCaseLimit);
  RunHarness run;
  run.set_firmware("fw.hex", make_hex(0x10001000, pattern(700)));
  sim::Faults faults;
  faults.protect = 1'000'000'000;
  const auto drive = std::make_shared<sim::VirtualDrive>(faults);
  sim::map_sim_port(RunHarness::kPort, drive);
  const int before = okcount.load();
  ASSERT_TRUE(run.press_program());
  ASSERT_TRUE(run.wait_for_rest(10s));
  EXPECT_EQ(drive->statistics().count(sim::FrameKind::kHeader), 5u);
  const auto lines = run.lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
            (Lines{"Protection error",
                   "下载 5 次都被拒绝 / The loader refused all 5 passes of the download.",
                   kLeftPastLoaderEntryLine}));
  EXPECT_TRUE(run.close_popup());
  EXPECT_EQ(okcount.load(), before);
  EXPECT_EQ(FlushInQ(RunHarness::kPort), kComPortNotOpen);
  const run::Outcome out = run::last_outcome();
  EXPECT_EQ(out.cause, run::Cause::kDownload);
  EXPECT_EQ(out.status, 248);
  EXPECT_EQ(out.drive_left, run::DrivePlace::kSecondaryLoader);
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

namespace driveflash::test {
namespace {

// A run that ends after the drive's reset without its closing header, stopped by the operator
// (no twist) or failing (a twisted reply), leaves the drive in its bootstrap loader. Its last
// line says so, and the next Program gets the drive programmed: by itself where the ROM loader
// waits for the handshake, with rescue and a power cycle where the chip went past it.
struct LeftCase {
  const char* name;
  ExchangeAt at;
  std::optional<Twist> twist;
  const char* last_line;
  bool rescue;
};

void PrintTo(const LeftCase& c, std::ostream* out) {
  *out << c.name;
}

std::vector<LeftCase> left_cases() {
  using E = Exchange;
  const char* rom = kLeftInRomLoaderLine;
  const char* past = kLeftPastLoaderEntryLine;
  return {
      {"stop_at_handshake", {E::kEntryByte, 1}, std::nullopt, past, true},
      {"stop_at_length", {E::kLength, 1}, std::nullopt, past, true},
      {"stop_at_loader", {E::kLoader, 1}, std::nullopt, past, true},
      // The chip took the handshake but its answer was lost: it waits for the length, and only
      // the line's fallback (rescue) helps.
      {"handshake_unheard", {E::kEntry, 1}, Twist::silence(), rom, true},
      {"length_refused", {E::kLength, 1}, Twist::byte(0xFF), past, true},
      {"loader_refused", {E::kLoader, 1}, Twist::byte(0x00), past, true},
      {"erase_fails", {E::kErase, 3}, Twist::byte(0xFF), past, true},
      {"page_fails", {E::kData, 2}, Twist::byte(0xFA), past, true},
      {"eot_fails", {E::kEot, 1}, Twist::byte(0xFF), past, true},
  };
}

class LeftInLoader : public ::testing::TestWithParam<LeftCase> {
 protected:
  LeftInLoader() { run_.set_firmware("fw.hex", make_hex(0x10001000, pattern(700))); }
  ~LeftInLoader() override { platform::operator_set_value(mainpanel, MAINPANEL_RESCUE, 0); }

  // Runs Program to its rest and closes the popup; returns the status lines.
  std::vector<std::string> program() {
    EXPECT_TRUE(run_.press_program());
    EXPECT_TRUE(run_.wait_for_rest(std::chrono::seconds(20)));
    EXPECT_TRUE(run_.close_popup());
    return run_.lines();
  }

  RunHarness run_;
};

TEST_P(LeftInLoader, TheNextProgramGetsTheDriveProgrammed) {
  const LeftCase& c = GetParam();
  Watchdog dog(std::string("a drive left in its loader: ") + c.name, std::chrono::seconds(60));
  // The drive is switched off and on 1000 s after it first heard the host: while a rescue
  // waits, never during a run that finds the drive by itself.
  sim::Faults faults;
  faults.power_cycle_after = std::chrono::seconds(1000);
  const auto drive = TwistedDrive::make(faults);
  drive->map(RunHarness::kPort);
  if (c.twist) {
    drive->twist(c.at, *c.twist);
    const auto lines = program();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), c.last_line);
  } else {
    drive->hold(c.at);
    ASSERT_TRUE(run_.press_program());
    ASSERT_TRUE(drive->wait_until_held(std::chrono::seconds(10)));
    ASSERT_TRUE(run_.close_popup());
    ASSERT_FALSE(run_.lines().empty());
    EXPECT_EQ(run_.lines().back(), c.last_line);
  }
  EXPECT_NE(driveplace.load(), kDriveInApplication);
  EXPECT_TRUE(drive->drive().boots_into_loader());

  const int before = okcount.load();
  std::vector<std::string> lines = program();
  if (c.rescue) {
    // Without rescue the chip cannot be reached: the run says what to look at.
    EXPECT_EQ(okcount.load(), before);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "未知型号的驱动器!");
    EXPECT_NE(lines.back().find("115200 baud"), std::string::npos) << lines.back();
    platform::operator_set_value(mainpanel, MAINPANEL_RESCUE, 1);
    platform::operator_set_value(mainpanel, MAINPANEL_RESCUE_WAIT, 3600);
    lines = program();
    EXPECT_EQ(drive->drive().statistics().power_cycles, 1u);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind(kPowerCycleLine, 0), 0u) << lines[1];
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "未知型号的驱动器!"), 0);
  } else {
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], kFoundInLoaderLine) << "found right after the silent identity request";
  }
  EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(kFoundInLoaderLine)), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "驱动器连接成功!"), 0);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Done!");
  EXPECT_EQ(okcount.load(), before + 1);
  EXPECT_EQ(foundinloader.load(), 1);
  EXPECT_EQ(driveplace.load(), kDriveInApplication);
  EXPECT_FALSE(drive->drive().boots_into_loader());
  EXPECT_TRUE(drive->drive().flash_matches({{0x10001000, pattern(700)}}));
}

INSTANTIATE_TEST_SUITE_P(Cases, LeftInLoader, ::testing::ValuesIn(left_cases()),
                         [](const auto& row) { return std::string(row.param.name); });

// A drive whose firmware answers is never probed: no loader handshake byte before the reset.
TEST(LeftInLoader, FirmwareThatAnswersIsNeverProbed) {
  RunHarness run;
  run.set_firmware("fw.hex", make_hex(0x10001000, pattern(300)));
  const auto drive = TwistedDrive::make();
  drive->map(RunHarness::kPort);
  ASSERT_TRUE(run.press_program());
  ASSERT_TRUE(run.wait_for_rest(std::chrono::seconds(20)));
  EXPECT_TRUE(run.close_popup());
  const auto log = drive->log();
  const auto reset = std::find(log.begin(), log.end(), ExchangeAt{Exchange::kReset, 1});
  ASSERT_NE(reset, log.end());
  for (auto it = log.begin(); it != reset; ++it) {
    EXPECT_TRUE(it->kind == Exchange::kOpen || it->kind == Exchange::kIdentity)
        << exchange_name(it->kind);
  }
  EXPECT_EQ(foundinloader.load(), 0);
  EXPECT_EQ(driveplace.load(), kDriveInApplication);
}

// A rescue that hears nothing ends when its wait is over, with a line that says so; a stop
// while it waits is noticed within an attempt.
TEST(LeftInLoader, ARescueEndsWhenItsWaitIsOverOrTheOperatorStops) {
  RunHarness run;
  run.set_firmware("fw.hex", make_hex(0x10001000, pattern(300)));
  const auto drive = TwistedDrive::make(sim::Faults{.silent = true});
  drive->map(RunHarness::kPort);
  platform::operator_set_value(mainpanel, MAINPANEL_RESCUE, 1);
  platform::operator_set_value(mainpanel, MAINPANEL_RESCUE_WAIT, 30);
  ASSERT_TRUE(run.press_program());
  ASSERT_TRUE(run.wait_for_rest(std::chrono::seconds(20)));
  EXPECT_TRUE(run.close_popup());
  const auto lines = run.lines();
  ASSERT_EQ(lines.size(), 1u + 3 + 1) << "the start, a notice every 10 s, the failure";
  EXPECT_EQ(lines[1], std::string(kPowerCycleLine) + " (0 s / 30 s)");
  EXPECT_EQ(lines[3], std::string(kPowerCycleLine) + " (20 s / 30 s)");
  EXPECT_NE(lines.back().find("Rescue failed"), std::string::npos);
  EXPECT_NE(lines.back().find("30 s"), std::string::npos);
  // One attempt every 2 s: fifteen in 30 s, each a handshake (two bytes) and an identity request.
  EXPECT_EQ(drive->count(Exchange::kOther), 2 * 15);
  EXPECT_EQ(drive->count(Exchange::kIdentity), 15);
  EXPECT_FALSE(run::rescue_status().waiting);

  // Stopped while waiting: the attempt under way ends, nothing more is sent.
  platform::operator_set_value(mainpanel, MAINPANEL_RESCUE_WAIT, 3600);
  drive->hold({Exchange::kOther, drive->count(Exchange::kOther) + 7});
  ASSERT_TRUE(run.press_program());
  ASSERT_TRUE(drive->wait_until_held(std::chrono::seconds(10)));
  const run::RescueStatus status = run::rescue_status();
  EXPECT_TRUE(status.waiting);
  EXPECT_EQ(status.limit_seconds, 3600);
  EXPECT_EQ(status.attempts, 4) << "the hold is at the fourth attempt's first byte";
  EXPECT_GE(status.waited_seconds, 6.0);
  EXPECT_TRUE(run.close_popup());
  EXPECT_EQ(runstate.load(), kStateRescue);
  EXPECT_EQ(FlushInQ(RunHarness::kPort), kComPortNotOpen);
  EXPECT_EQ(run.lines().back().rfind(kPowerCycleLine, 0), 0u) << "no line about a drive left";
  EXPECT_FALSE(run::rescue_status().waiting);
  platform::operator_set_value(mainpanel, MAINPANEL_RESCUE, 0);
}

// A drive whose firmware runs while rescue waits (rescue was on, or the power cycle started the
// firmware) answers the rescue's identity request and is programmed the usual way at once.
TEST(LeftInLoader, ARescueProgramsFirmwareThatAnswersTheUsualWay) {
  RunHarness run;
  run.set_firmware("fw.hex", make_hex(0x10001000, pattern(300)));
  const auto drive = TwistedDrive::make();
  drive->map(RunHarness::kPort);
  platform::operator_set_value(mainpanel, MAINPANEL_RESCUE, 1);
  platform::operator_set_value(mainpanel, MAINPANEL_RESCUE_WAIT, 120);
  const int before = okcount.load();
  ASSERT_TRUE(run.press_program());
  ASSERT_TRUE(run.wait_for_rest(std::chrono::seconds(20)));
  EXPECT_TRUE(run.close_popup());
  platform::operator_set_value(mainpanel, MAINPANEL_RESCUE, 0);
  const auto lines = run.lines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 5),
            (Lines{"初始化中...", std::string(kPowerCycleLine) + " (0 s / 120 s)",
                   kFirmwareAnsweredLine, "驱动器连接成功!", "ASC BSL initialization OK!"}));
  EXPECT_EQ(lines.back(), "Done!");
  EXPECT_EQ(okcount.load(), before + 1);
  EXPECT_EQ(foundinloader.load(), 0);
  EXPECT_EQ(drive->count(Exchange::kIdentity), 1 + 2) << "the rescue's, then the usual two";
  EXPECT_TRUE(drive->drive().flash_matches({{0x10001000, pattern(300)}}));
  EXPECT_FALSE(run::rescue_status().waiting);
}

}  // namespace
}  // namespace driveflash::test
