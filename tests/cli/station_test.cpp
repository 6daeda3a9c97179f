// --repeat on the in-process virtual drive, in virtual time: a fixture that is empty for a
// while, drives that take seconds to start after programming, drives taken away and put on, as
// an operator and the drives themselves do; each drive programmed once, none taken for two.
#include "cli/station.h"

#include <gtest/gtest.h>

#include <mutex>
#include <sstream>
#include <thread>

#include "app/run_log.h"
#include "cli/cli_support.h"
#include "cli/ports.h"
#include "cli/units.h"
#include "platform/panels.h"
#include "platform/timing.h"
#include "sim/sim_line.h"

namespace driveflash::cli {
namespace {

using platform::Micros;
using namespace std::chrono_literals;

// What is on the station's line from a moment on: a drive, or nothing (the port opens, nobody
// answers). The line is chosen again at every open, as the station opens the port for each
// poll and the run for itself, so a change takes effect at a known virtual time.
class Fixture {
 public:
  explicit Fixture(int port)
      : port_(port), silent_(std::make_shared<sim::VirtualDrive>(sim::Faults{.silent = true})) {
    platform::PortEntry entry;
    entry.number = port;
    entry.name = "fixture";
    entry.open = [this](const platform::LineSettings& settings, std::string&) {
      return std::make_unique<sim::SimLine>(on_line(), settings);
    };
    platform::map_port(std::move(entry));
  }
  ~Fixture() { platform::unmap_port(port_); }
  Fixture(const Fixture&) = delete;
  Fixture& operator=(const Fixture&) = delete;
  // From `at` on (virtual time), `drive` is on the line; nullptr: nothing.
  void put(Micros at, std::shared_ptr<sim::VirtualDrive> drive) {
    std::lock_guard lock(mutex_);
    plan_.emplace_back(at, std::move(drive));
  }
  // A drive that was just programmed: silent while its new firmware starts, then there. Timed
  // from the station's own wait, not from the drive's closing header: the run's resting state
  // moves the virtual clock on by itself until the popup is closed, by no fixed amount.
  void boot(Micros now, Micros takes, std::shared_ptr<sim::VirtualDrive> drive) {
    put(now, nullptr);
    put(now + takes, std::move(drive));
  }
  std::shared_ptr<sim::VirtualDrive> current() {
    std::lock_guard lock(mutex_);
    std::shared_ptr<sim::VirtualDrive> drive;
    for (const auto& [at, d] : plan_) {
      if (at <= platform::clock().now()) {
        drive = d;
      }
    }
    return drive;
  }

 private:
  std::shared_ptr<sim::VirtualDrive> on_line() {
    auto drive = current();
    return drive ? drive : silent_;
  }
  int port_;
  std::shared_ptr<sim::VirtualDrive> silent_;
  std::mutex mutex_;
  std::vector<std::pair<Micros, std::shared_ptr<sim::VirtualDrive>>> plan_;
};

class Station : public ::testing::Test {
 protected:
  Station() : cwd_(dir_.path()) {
    test::stage_run_directory(dir_.path());
    file_ = dir_.write("fw.hex", test::hex_text(0x10001000, test::filler(600, 3)));
  }
  ~Station() override { platform::reset_panels(); }

  // Runs a station on the fixture with `extra` arguments; `on_state` plays the operator.
  int run(const std::vector<std::string_view>& extra,
          const std::function<void(StationState, const std::string&, Micros)>& on_state) {
    std::vector<std::string_view> words = {"driveflash-cli", "program", file_,
                                           "--port",         "sim",     "--repeat"};
    words.insert(words.end(), extra.begin(), extra.end());
    const ParseResult parsed = parse_arguments(words);
    EXPECT_TRUE(parsed.ok()) << parsed.error;
    args_ = parsed.args;
    Recorder recorder(args_);
    EXPECT_EQ(recorder.open(), "");
    const Terminal term{out_, err_, false, 80};
    StationHooks hooks;
    hooks.unit = [&](const RunReport& r) {
      units_.push_back(r);
      recorder.add(r, err_);
    };
    hooks.state = [&](StationState state, const std::string& text, PortChoice& port) {
      if (!fixture_) {
        fixture_ = std::make_unique<Fixture>(port.number);
      }
      port.drive = nullptr;  // the fixture's drives are the test's to check
      states_.push_back(state);
      texts_.push_back(text);
      on_state(state, text, platform::clock().now());
    };
    const int status = run_station(args_, term, waker_, hooks, tally_);
    recorder.finish(err_);
    return status;
  }
  void ctrl_c_soon() {
    ctrl_c_ = std::thread([this] {
      std::this_thread::sleep_for(300ms);
      waker_.request_stop();
    });
  }
  void TearDown() override {
    if (ctrl_c_.joinable()) {
      ctrl_c_.join();
    }
  }

  platform::ScopedVirtualClock clock_;
  test::TempDir dir_;
  test::ScopedCwd cwd_;
  std::string file_;
  Arguments args_;
  std::ostringstream out_, err_;
  platform::RunWaker waker_;
  std::unique_ptr<Fixture> fixture_;
  std::vector<RunReport> units_;
  std::vector<StationState> states_;
  std::vector<std::string> texts_;
  StationTally tally_;
  std::thread ctrl_c_;
};

TEST_F(Station, EachDriveIsProgrammedOnceWhateverItsFirmwareTakesToStart) {
  const std::string log = (dir_.path() / "runs.csv").string();
  std::vector<std::shared_ptr<sim::VirtualDrive>> drives;
  Micros first_programming{-1};
  int drives_put = 0;
  const int status = run({"--log", log}, [&](StationState state, const std::string&, Micros now) {
    switch (state) {
      case StationState::Drive:
        drives.push_back(std::make_shared<sim::VirtualDrive>());
        // An empty fixture for a while before the first drive; the second comes at once.
        fixture_->put(now, nullptr);
        fixture_->put(now + (drives_put++ == 0 ? 7s : 1s), drives.back());
        break;
      case StationState::Programming:
        if (first_programming < Micros(0)) {
          first_programming = now;
        }
        break;
      case StationState::Boot:
        fixture_->boot(now, 3s, drives.back());
        break;
      case StationState::Gone:
        if (drives.size() == 1) {
          fixture_->put(now + 1s, nullptr);  // taken away after a second
        } else {
          ctrl_c_soon();  // the last drive stays; the operator ends the station
        }
        break;
    }
  });

  EXPECT_EQ(status, kExitOk) << err_.str();
  EXPECT_GE(first_programming, 7s) << "an empty fixture is no unit";
  const std::vector<StationState> expected = {
      StationState::Drive, StationState::Programming, StationState::Boot, StationState::Gone,
      StationState::Drive, StationState::Programming, StationState::Boot, StationState::Gone};
  EXPECT_EQ(states_, expected);
  ASSERT_EQ(units_.size(), 2u) << err_.str();
  for (const RunReport& r : units_) {
    EXPECT_EQ(r.result(), "success") << r.outcome.line;
  }
  ASSERT_EQ(drives.size(), 2u);
  for (const auto& drive : drives) {
    EXPECT_EQ(drive->statistics().loader_uploads, 1u);
    EXPECT_EQ(drive->statistics().pages_programmed, 3u);
  }
  // The drive left on the fixture went on answering the station's polls, and was not run again.
  EXPECT_GT(drives.back()->statistics().identity_requests, 4u);
  EXPECT_EQ(tally_.summary().substr(0, 31), "2 units: 2 programmed, 0 failed");
  const std::string rows = test::read_text(log);
  std::size_t ok_rows = 0;
  for (std::size_t at = rows.find(",ok,"); at != std::string::npos;
       at = rows.find(",ok,", at + 1)) {
    ++ok_rows;
  }
  EXPECT_EQ(ok_rows, 2u) << rows;
  EXPECT_NE(rows.find(",0x"), std::string::npos) << "the drive's identity is in its row\n" << rows;
  for (const std::string& text : texts_) {
    EXPECT_NE(text.find(" / "), std::string::npos) << text << " says it in both languages";
  }
}

// New firmware that starts later than --boot-wait: the station says so and asks for the drive
// to be taken away; the drive, once it answers, is still the same unit and is not run again.
TEST_F(Station, ADriveThatStartsLateIsNotTakenForTheNext) {
  auto drive = std::make_shared<sim::VirtualDrive>();
  int gone = 0;
  const int status =
      run({"--boot-wait", "2"}, [&](StationState state, const std::string&, Micros now) {
        if (state == StationState::Drive) {
          fixture_->put(now, drive);
        } else if (state == StationState::Boot) {
          fixture_->boot(now, 3s, drive);
        } else if (state == StationState::Gone && gone++ == 0) {
          ctrl_c_soon();
        }
      });
  EXPECT_EQ(status, kExitOk) << err_.str();
  EXPECT_EQ(units_.size(), 1u);
  EXPECT_EQ(drive->statistics().loader_uploads, 1u);
  ASSERT_EQ(texts_.size(), 4u);
  EXPECT_NE(texts_[3].find("did not answer within 2 s"), std::string::npos) << texts_[3];
  EXPECT_EQ(states_.back(), StationState::Gone);
}

// --retries and --verify hold for every unit of the station: each drive loses the reply to its
// second page and is programmed all the same, its first sector once more (its first two pages
// again), and read back.
TEST_F(Station, EveryUnitRetries) {
  std::vector<std::shared_ptr<sim::VirtualDrive>> drives;
  const int status =
      run({"--retries", "1", "--verify"}, [&](StationState state, const std::string&, Micros now) {
        if (state == StationState::Drive) {
          drives.push_back(std::make_shared<sim::VirtualDrive>(
              sim::Faults{.lose_reply = {{sim::FrameKind::kData, 2}}}));
          fixture_->put(now, drives.back());
        } else if (state == StationState::Gone) {
          if (drives.size() < 2) {
            fixture_->put(now + 1s, nullptr);
          } else {
            ctrl_c_soon();
          }
        }
      });
  EXPECT_EQ(status, kExitOk) << err_.str();
  ASSERT_EQ(units_.size(), 2u) << err_.str();
  for (const RunReport& r : units_) {
    EXPECT_EQ(r.result(), "success") << r.outcome.line;
    EXPECT_EQ(r.outcome.retries_used, 1);
    EXPECT_EQ(r.outcome.read_back, run::ReadBack::kVerified);
  }
  for (const auto& drive : drives) {
    EXPECT_EQ(drive->statistics().pages_programmed, 5u);
  }
}

}  // namespace
}  // namespace driveflash::cli
