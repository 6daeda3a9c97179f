// Whole programming runs in real time over a pseudo-terminal, the virtual drive serving the
// master side and the tool opening the slave as a real serial device.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "app/run_context.h"
#include "bsl/frames.h"
#include "platform/panels.h"
#include "platform/qt_serial.h"
#include "platform/threads.h"
#include "sim/pty.h"
#include "sim/sim_line.h"
#include "support/run_panels.h"
#include "support/test_support.h"

namespace {

namespace pf = driveflash::platform;
namespace sim = driveflash::sim;
using driveflash::test::Bytes;
using Steady = std::chrono::steady_clock;

constexpr int kPort = 12;
constexpr std::uint32_t kFlashStart = 0x10001000;
// Against a hung run only: a healthy one takes a few seconds.
constexpr auto kHangLimit = std::chrono::seconds(60);

const std::vector<std::string> kOpeningLines = {
    "初始化中...",
    "驱动器连接成功!",
    "ASC BSL initialization OK!",
    "Send application length OK!",
    "Sending XMC1x_ASCLoader...",
    "Bootload success!",
};

// One Intel HEX record line.
std::string record(unsigned type, unsigned address, const std::uint8_t* data, std::size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string line = ":";
  unsigned sum = 0;
  const auto put = [&](unsigned byte) {
    line += kDigits[(byte >> 4) & 0xF];
    line += kDigits[byte & 0xF];
    sum += byte;
  };
  put(static_cast<unsigned>(count));
  put((address >> 8) & 0xFF);
  put(address & 0xFF);
  put(type);
  for (std::size_t i = 0; i < count; ++i) {
    put(data[i]);
  }
  put((0x100 - (sum & 0xFF)) & 0xFF);
  return line + "\n";
}

// `data` at `address`, 16 bytes a record, in one 64 KB segment.
std::string hex_file(std::uint32_t address, const Bytes& data) {
  const std::array<std::uint8_t, 2> upper{static_cast<std::uint8_t>(address >> 24),
                                          static_cast<std::uint8_t>(address >> 16)};
  std::string text = record(0x04, 0, upper.data(), upper.size());
  for (std::size_t i = 0; i < data.size(); i += 16) {
    text += record(0x00, (address + static_cast<unsigned>(i)) & 0xFFFF, data.data() + i,
                   std::min<std::size_t>(16, data.size() - i));
  }
  return text + record(0x01, 0, nullptr, 0);
}

class PtyRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pf::reset_panels();
    pf::clear_port_table();
    std::filesystem::create_directories(dir_.path() / "XMC1300");
    std::filesystem::copy_file(DRIVEFLASH_RESOURCES "/XMC1300/XMC1x_ASCLoader.hex",
                               dir_.path() / "XMC1300" / "XMC1x_ASCLoader.hex");
    firmware_.resize(600);
    for (std::size_t i = 0; i < firmware_.size(); ++i) {
      firmware_[i] = static_cast<std::uint8_t>(3 + 7 * i);
    }
    const std::string path = dir_.write("small.hex", hex_file(kFlashStart, firmware_));
    std::snprintf(filename, sizeof filename, "%s", path.c_str());
    filetype = 0;
    cwd_ = std::make_unique<driveflash::test::ScopedCwd>(dir_.path());
    mainpanel = pf::create_panel(driveflash::test::run_main_panel());
    prgpanel = pf::create_panel(driveflash::test::run_popup_panel());
    SetCtrlVal(mainpanel, MAINPANEL_COMPORT, kPort);
    SetCtrlVal(mainpanel, MAINPANEL_DRIVE_BAUD, 19200);
    SetCtrlVal(mainpanel, MAINPANEL_LOADER_BAUD, 115200);
    // The worker appends from its own thread.
    observer_ = pf::add_observer([this](const pf::PanelEvent& e) {
      if (e.panel == prgpanel && e.kind == pf::PanelEvent::Kind::LineAppended) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::get<std::string>(e.value));
      }
    });
  }

  void TearDown() override {
    pf::remove_observer(observer_);
    pf::reset_panels();
    pf::clear_port_table();
  }

  // Serves `drive` on a fresh pair and maps kPort to its slave.
  std::unique_ptr<sim::PtyServer> serve(std::shared_ptr<sim::VirtualDrive> drive, bool is_real) {
    std::string error;
    auto pair = sim::PtyPair::open(error);
    if (!pair) {
      ADD_FAILURE() << "no pseudo-terminal: " << error;
      return nullptr;
    }
    auto server = std::make_unique<sim::PtyServer>(std::move(*pair), std::move(drive));
    pf::PortEntry entry = pf::real_port_entry(kPort, server->slave_path(), "virtual drive");
    entry.is_real = is_real;
    pf::map_port(std::move(entry));
    return server;
  }

  // Runs the worker as Program does, until it rests in state 6, then stops it as closing the
  // popup does. Returns the status box's lines.
  std::vector<std::string> run() {
    {
      std::lock_guard lock(mutex_);
      lines_.clear();
    }
    runflag = 1;
    runstate = kStateOpen;
    int id = 0;
    EXPECT_EQ(
        CmtScheduleThreadPoolFunction(DEFAULT_THREAD_POOL_HANDLE, ProgrammingThread, nullptr, &id),
        0);
    const auto give_up = Steady::now() + kHangLimit;
    while (runstate.load() != kStateFinished && Steady::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(runstate.load(), kStateFinished) << "the run did not finish";
    runflag = 0;
    CmtWaitForThreadPoolFunctionCompletion(DEFAULT_THREAD_POOL_HANDLE, id, 0);
    CmtReleaseThreadPoolFunctionID(DEFAULT_THREAD_POOL_HANDLE, id);
    std::lock_guard lock(mutex_);
    return lines_;
  }

  driveflash::test::TempDir dir_;
  std::unique_ptr<driveflash::test::ScopedCwd> cwd_;
  Bytes firmware_;
  int observer_ = 0;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

TEST_F(PtyRunTest, AWholeRunProgramsTheDrive) {
  // The same run in-process, in virtual time, gives the lines to expect.
  std::vector<std::string> expected;
  {
    const pf::ScopedVirtualClock clock;
    auto in_process = std::make_shared<sim::VirtualDrive>();
    sim::map_sim_port(kPort, in_process);
    expected = run();
    std::string mismatch;
    EXPECT_TRUE(in_process->flash_matches({{kFlashStart, firmware_}}, &mismatch)) << mismatch;
  }
  ASSERT_GT(expected.size(), kOpeningLines.size());
  ASSERT_EQ(std::vector(expected.begin(), expected.begin() + 6), kOpeningLines);
  EXPECT_EQ(expected.back(), "Done!");

  auto drive = std::make_shared<sim::VirtualDrive>();
  const auto server = serve(drive, false);
  ASSERT_TRUE(server);
  const int before = okcount.load();
  EXPECT_EQ(run(), expected);
  EXPECT_EQ(okcount.load(), before + 1);
  const auto main = pf::panel_state(mainpanel);
  ASSERT_TRUE(main);
  EXPECT_EQ(std::get<int>(main->controls.at(MAINPANEL_COUNTER).value), okcount.load());
  std::string mismatch;
  EXPECT_TRUE(drive->flash_matches({{kFlashStart, firmware_}}, &mismatch)) << mismatch;
  // The closing header restarted the application, and the port was closed behind it.
  EXPECT_EQ(drive->stage(), sim::VirtualDrive::Stage::kApplication);
  EXPECT_EQ(ComWrt(kPort, "x", 1), kComPortNotOpen);
  EXPECT_EQ(server->failure(), "");
}

TEST_F(PtyRunTest, ADriveThatVanishesMidDownloadEndsTheRunWithAFailure) {
  sim::Faults faults;
  faults.disconnect_at = sim::FrameTrigger{sim::FrameKind::kData, 2};
  auto drive = std::make_shared<sim::VirtualDrive>(faults);
  const auto server = serve(drive, false);
  ASSERT_TRUE(server);
  const int before = okcount.load();
  const auto start = Steady::now();
  const std::vector<std::string> lines = run();
  EXPECT_LT(Steady::now() - start, std::chrono::seconds(30));
  EXPECT_TRUE(server->disconnected());
  ASSERT_GT(lines.size(), kOpeningLines.size());
  EXPECT_EQ(std::vector(lines.begin(), lines.begin() + 6), kOpeningLines);
  EXPECT_NE(blstatus, 0);
  EXPECT_EQ(lines.back(), error_message(blstatus));
  EXPECT_EQ(okcount.load(), before);
  EXPECT_EQ(ComWrt(kPort, "x", 1), kComPortNotOpen);
}

TEST_F(PtyRunTest, ARealPortNeverGetsTheStandInLoader) {
  auto drive = std::make_shared<sim::VirtualDrive>();
  const auto server = serve(drive, true);
  ASSERT_TRUE(server);
  const std::vector<std::string> lines = run();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(std::vector(lines.begin(), lines.begin() + 4),
            std::vector(kOpeningLines.begin(), kOpeningLines.begin() + 4));
  EXPECT_NE(lines.back().find("stand-in"), std::string::npos) << lines.back();
  EXPECT_EQ(drive->statistics().loader_uploads, 0u);
  EXPECT_EQ(drive->statistics().sectors_erased, 0u);
}

}  // namespace
