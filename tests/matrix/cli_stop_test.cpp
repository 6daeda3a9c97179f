// Ctrl-C in the command line while the run is in each of its states, in-process: the stop
// request reaches the main thread, which closes the popup as the window's close box does; the
// step under way ends, the port is closed, and the exit status says what became of the run.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/arguments.h"
#include "cli/cli_support.h"
#include "cli/program.h"
#include "matrix/twisted_drive.h"
#include "platform/panels.h"
#include "platform/serial.h"
#include "platform/timing.h"
#include "run/run_context.h"
#include "support/run_harness.h"

namespace driveflash::test {
namespace {

using namespace std::chrono_literals;
constexpr int kPort = 4;

class CtrlCAtEachState : public ::testing::TestWithParam<StopCase> {
 protected:
  CtrlCAtEachState() : cwd_(dir_.path()) {
    stage_run_directory(dir_.path());
    platform::clear_port_table();
  }
  ~CtrlCAtEachState() override {
    platform::reset_panels();
    platform::clear_port_table();
  }

  platform::ScopedVirtualClock clock_;
  TempDir dir_;
  ScopedCwd cwd_;
};

TEST_P(CtrlCAtEachState, EndsTheRunAfterTheStepUnderWayWithThePortClosed) {
  const StopCase& c = GetParam();
  // Once begun, the download runs to its end, and a drive it programmed counts.
  const int exit_status = c.counted ? cli::kExitOk : cli::kExitInterrupted;
  Watchdog dog(std::string("Ctrl-C in state ") + c.name, std::chrono::seconds(30));
  const std::string file = dir_.write("fw.hex", hex_text(0x10001000, filler(700, 3)));
  const auto drive = TwistedDrive::make();
  drive->map(kPort);
  platform::RunWaker waker;
  int observer = 0;
  int state_at_stop = -1;
  if (c.hold.kind != Exchange::kOther) {
    drive->hold(c.hold, [&] {
      state_at_stop = runstate.load();
      waker.request_stop();  // what the SIGINT handler does
    });
  } else {
    observer = platform::add_observer([&](const platform::PanelEvent& e) {
      if (e.kind == platform::PanelEvent::Kind::Attribute && e.control == PRGPANEL_OK &&
          e.attribute == ATTR_DIMMED && std::get<int>(e.value) == 0 && !waker.stop_requested()) {
        state_at_stop = runstate.load();
        waker.request_stop();
      }
    });
  }
  const std::vector<std::string_view> words = {"driveflash-cli", "program", file, "--port", "4"};
  const cli::ParseResult parsed = cli::parse_arguments(words);
  ASSERT_TRUE(parsed.ok()) << parsed.error;
  std::ostringstream out, err;
  const cli::Terminal term{out, err, false, 80};
  cli::RunReport report;
  const int status = cli::run_program(parsed.args, term, waker, report);
  platform::remove_observer(observer);

  EXPECT_EQ(state_at_stop, c.state);
  EXPECT_EQ(status, exit_status) << err.str();
  EXPECT_EQ(report.result(), c.counted ? "success" : "interrupted");
  ASSERT_FALSE(report.lines.empty());
  EXPECT_EQ(report.lines.back(), c.last_line);
  EXPECT_EQ((report.outcome.drive_left != run::DrivePlace::kFirmware),
            std::string_view(c.last_line) == kLeftInRomLoaderLine ||
                std::string_view(c.last_line) == kLeftPastLoaderEntryLine);
  EXPECT_FALSE(report.outcome.found_in_loader);
  EXPECT_EQ(runflag.load(), 0);
  EXPECT_EQ(prgpanel, 0) << "the popup stayed";
  EXPECT_EQ(FlushInQ(kPort), kComPortNotOpen) << "the port was left open";
  if (!c.counted) {
    EXPECT_TRUE(report.stop_requested);
    EXPECT_NE(err.str().find("driveflash-cli: stopped"), std::string::npos) << err.str();
    EXPECT_EQ(drive->count(Exchange::kErase), 0) << "nothing of the download was sent";
  } else {
    EXPECT_TRUE(drive->drive().flash_matches({{0x10001000, filler(700, 3)}}));
  }
}

INSTANTIATE_TEST_SUITE_P(States, CtrlCAtEachState, ::testing::ValuesIn(stop_cases()),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace driveflash::test
