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

TEST(Station, EachDrivePutOnTheLineIsProgrammedOnceUntilCtrlC) {
  platform::ScopedVirtualClock clock;
  test::TempDir dir;
  test::stage_run_directory(dir.path());
  const test::ScopedCwd cwd(dir.path());
  const std::string file = dir.write("fw.hex", test::hex_text(0x10001000, test::filler(600, 3)));
  const ParseResult parsed =
      parse_arguments({"driveflash-cli", "program", file, "--port", "sim", "--repeat"});
  ASSERT_TRUE(parsed.ok()) << parsed.error;
  std::ostringstream out, err;
  const Terminal term{out, err, false, 80};
  platform::RunWaker waker;
  constexpr std::size_t kDrives = 4;  // the first, then swapped three times
  std::vector<std::shared_ptr<sim::VirtualDrive>> drives;
  std::vector<RunReport> units;
  std::vector<StationWait> waits;
  std::thread operator_leaves;
  StationHooks hooks;
  hooks.unit = [&units](const RunReport& r) { units.push_back(r); };
  hooks.waiting = [&](StationWait wait, const std::string&, PortChoice& port) {
    waits.push_back(wait);
    if (drives.empty()) {
      drives.push_back(port.drive);
    }
    if (wait == StationWait::Next) {
      drives.push_back(std::make_shared<sim::VirtualDrive>());
      port.drive = drives.back();
      sim::map_sim_port(port.number, port.drive);
    } else if (drives.size() < kDrives) {
      // Taken away: nothing answers on the line any more.
      sim::map_sim_port(port.number,
                        std::make_shared<sim::VirtualDrive>(sim::Faults{.silent = true}));
    } else {
      // The last drive stays; the station keeps asking while the operator waits, then Ctrl-C.
      operator_leaves = std::thread([&waker] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        waker.request_stop();
      });
    }
  };
  StationTally tally;
  const int status = run_station(parsed.args, term, waker, hooks, tally);
  operator_leaves.join();
  platform::reset_panels();

  EXPECT_EQ(status, kExitOk) << err.str();
  ASSERT_EQ(units.size(), kDrives) << err.str();
  for (const RunReport& r : units) {
    EXPECT_EQ(r.result(), "success") << r.outcome.line;
    EXPECT_EQ(r.verified, true);
  }
  EXPECT_EQ(tally.units, 4);
  EXPECT_EQ(tally.ok, 4);
  EXPECT_TRUE(tally.summary().starts_with("4 units: 4 programmed, 0 failed, ")) << tally.summary();
  const std::vector<StationWait> expected = {
      StationWait::Gone, StationWait::Next, StationWait::Gone, StationWait::Next,
      StationWait::Gone, StationWait::Next, StationWait::Gone};
  EXPECT_EQ(waits, expected);
  ASSERT_EQ(drives.size(), kDrives);
  for (const auto& drive : drives) {
    EXPECT_EQ(drive->statistics().loader_uploads, 1u);
    EXPECT_EQ(drive->statistics().pages_programmed, 3u);
  }
  // The drive left connected went on answering the station's polls, and was not run again.
  EXPECT_GT(drives.back()->statistics().identity_requests, 10u);
}

}  // namespace
}  // namespace driveflash::cli
