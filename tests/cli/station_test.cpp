// --repeat on the in-process virtual drive, in virtual time: drives swapped on the line as an
// operator swaps them, each programmed once, and the one left connected never again.
#include "cli/station.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "cli/cli_support.h"
#include "cli/ports.h"
#include "platform/panels.h"
#include "platform/timing.h"
#include "sim/sim_line.h"

namespace driveflash::cli {
namespace {

constexpr std::size_t kDrives = 4;  // the first, then swapped three times

struct Shift {
  int status = -1;
  std::string err;
  std::vector<std::shared_ptr<sim::VirtualDrive>> drives;
  std::vector<RunReport> units;
  std::vector<StationWait> waits;
  StationTally tally;
};

// A station on `port` (with `extra` options) while an operator puts kDrives drives on the line
// one after the other, each made with `faults`, and then presses Ctrl-C.
Shift run_shift(const char* port, std::vector<std::string_view> extra, const sim::Faults& faults) {
  platform::ScopedVirtualClock clock;
  test::TempDir dir;
  test::stage_run_directory(dir.path());
  const test::ScopedCwd cwd(dir.path());
  const std::string file = dir.write("fw.hex", test::hex_text(0x10001000, test::filler(600, 3)));
  std::vector<std::string_view> words = {"driveflash-cli", "program", file,
                                         "--port",         port,      "--repeat"};
  words.insert(words.end(), extra.begin(), extra.end());
  const ParseResult parsed = parse_arguments(words);
  EXPECT_TRUE(parsed.ok()) << parsed.error;
  std::ostringstream out, err;
  const Terminal term{out, err, false, 80};
  platform::RunWaker waker;
  Shift shift;
  std::thread operator_leaves;
  StationHooks hooks;
  hooks.unit = [&shift](const RunReport& r) { shift.units.push_back(r); };
  hooks.waiting = [&](StationWait wait, const std::string&, PortChoice& chosen) {
    shift.waits.push_back(wait);
    if (shift.drives.empty()) {
      shift.drives.push_back(chosen.drive);
    }
    if (wait == StationWait::Next) {
      shift.drives.push_back(std::make_shared<sim::VirtualDrive>(faults));
      chosen.drive = shift.drives.back();
      sim::map_sim_port(chosen.number, chosen.drive);
    } else if (shift.drives.size() < kDrives) {
      // Taken away: nothing answers on the line any more.
      sim::map_sim_port(chosen.number,
                        std::make_shared<sim::VirtualDrive>(sim::Faults{.silent = true}));
    } else {
      // The last drive stays; the station keeps asking while the operator waits, then Ctrl-C.
      operator_leaves = std::thread([&waker] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        waker.request_stop();
      });
    }
  };
  shift.status = run_station(parsed.args, term, waker, hooks, shift.tally);
  if (operator_leaves.joinable()) {
    operator_leaves.join();
  }
  platform::reset_panels();
  shift.err = err.str();
  return shift;
}

TEST(Station, EachDrivePutOnTheLineIsProgrammedOnceUntilCtrlC) {
  const Shift shift = run_shift("sim", {}, {});
  EXPECT_EQ(shift.status, kExitOk) << shift.err;
  ASSERT_EQ(shift.units.size(), kDrives) << shift.err;
  for (const RunReport& r : shift.units) {
    EXPECT_EQ(r.result(), "success") << r.outcome.line;
    EXPECT_EQ(r.verified, true);
  }
  EXPECT_EQ(shift.tally.units, 4);
  EXPECT_EQ(shift.tally.ok, 4);
  EXPECT_TRUE(shift.tally.summary().starts_with("4 units: 4 programmed, 0 failed, "))
      << shift.tally.summary();
  const std::vector<StationWait> expected = {
      StationWait::Gone, StationWait::Next, StationWait::Gone, StationWait::Next,
      StationWait::Gone, StationWait::Next, StationWait::Gone};
  EXPECT_EQ(shift.waits, expected);
  ASSERT_EQ(shift.drives.size(), kDrives);
  for (const auto& drive : shift.drives) {
    EXPECT_EQ(drive->statistics().loader_uploads, 1u);
    EXPECT_EQ(drive->statistics().pages_programmed, 3u);
  }
  // The drive left connected went on answering the station's polls, and was not run again.
  EXPECT_GT(shift.drives.back()->statistics().identity_requests, 10u);
}

// --retries holds for every unit of the station: each drive loses the reply to its second page
// and is programmed all the same, sector 0 once more (its first two pages again).
TEST(Station, EveryUnitRetries) {
  const Shift shift = run_shift("sim:lose-reply:data@2", {"--retries", "1"},
                                sim::Faults{.lose_reply = {{sim::FrameKind::kData, 2}}});
  EXPECT_EQ(shift.status, kExitOk) << shift.err;
  ASSERT_EQ(shift.units.size(), kDrives) << shift.err;
  for (const RunReport& r : shift.units) {
    EXPECT_EQ(r.result(), "success") << r.outcome.line;
    EXPECT_EQ(r.verified, true);
    EXPECT_EQ(r.outcome.retries_used, 1);
  }
  for (const auto& drive : shift.drives) {
    EXPECT_EQ(drive->statistics().pages_programmed, 5u);
  }
}

}  // namespace
}  // namespace driveflash::cli
