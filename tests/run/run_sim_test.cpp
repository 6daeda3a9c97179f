// Whole runs against the virtual drive in virtual time: whatever the firmware's shape, the
// drive's flash ends up holding the file's data at the file's addresses.
#include <gtest/gtest.h>

#include "app/run_context.h"
#include "run/run_harness.h"
#include "sim/faults.h"
#include "sim/sim_line.h"
#include "support/hex_records.h"

namespace {

namespace sim = driveflash::sim;
using driveflash::test::Bytes;
using driveflash::test::make_hex;
using driveflash::test::pattern;
using driveflash::test::RunHarness;
using driveflash::test::to_ehex;
using Chunks = std::vector<std::pair<std::uint32_t, Bytes>>;

struct Firmware {
  const char* name;
  Chunks chunks;
  int per_record = 16;
};

std::string hex_text(const Firmware& fw) {
  std::string text;
  const std::string eof = driveflash::test::eof_record() + "\n";
  for (const auto& [address, data] : fw.chunks) {
    std::string part = make_hex(address, data, fw.per_record);
    text += part.substr(0, part.size() - eof.size());
  }
  return text + eof;
}

std::shared_ptr<sim::VirtualDrive> drive_on_port(const std::string& faults = "") {
  sim::Faults f;
  std::string error;
  EXPECT_TRUE(sim::parse_faults(faults, f, error)) << error;
  auto drive = std::make_shared<sim::VirtualDrive>(f);
  sim::map_sim_port(RunHarness::kPort, drive);
  return drive;
}

class FlashEqualsFile : public ::testing::TestWithParam<Firmware> {};

TEST_P(FlashEqualsFile, PlainAndEncrypted) {
  const Firmware& fw = GetParam();
  const std::string text = hex_text(fw);
  for (const int kind : {0, 1}) {
    RunHarness h;
    const auto drive = drive_on_port();
    if (kind == 0) {
      h.set_firmware("fw.hex", text);
    } else {
      h.set_firmware("fw.ehex", to_ehex(text), 1);
    }
    const int before = okcount.load();
    h.run();
    ASSERT_EQ(okcount.load(), before + 1)
        << fw.name << " kind " << kind << ": " << h.lines().back();
    std::string mismatch;
    EXPECT_TRUE(drive->flash_matches(fw.chunks, &mismatch)) << fw.name << ": " << mismatch;
    EXPECT_DOUBLE_EQ(h.progress().back(), 100.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FlashEqualsFile,
    ::testing::Values(Firmware{"one_byte", {{0x10001000, {0x42}}}},
                      Firmware{"offset_start", {{0x10001010, pattern(300)}}},
                      Firmware{"records_of_16", {{0x10001000, pattern(4096, 3)}}},
                      Firmware{"records_of_32", {{0x10001000, pattern(8192, 5)}}, 32},
                      Firmware{"records_of_255", {{0x10001000, pattern(10000, 9)}}, 255},
                      Firmware{"gaps",
                               {{0x10001000, pattern(100, 1)},
                                {0x10001180, pattern(100, 2)},
                                {0x10003000, pattern(50, 3)},
                                {0x10003233, pattern(7, 4)}}},
                      Firmware{"crossing_64k", {{0x1000F000, pattern(8192, 11)}}},
                      Firmware{"full_200k", {{0x10001000, pattern(200 * 1024, 13)}}, 32}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunOnVirtualDrive, ProtectionRepeatsTheWholeDownload) {
  RunHarness h;
  drive_on_port("protect=2");
  h.set_firmware("fw.hex", make_hex(0x10001000, pattern(600)));
  const int before = okcount.load();
  h.run();
  EXPECT_EQ(okcount.load(), before + 1);
  const auto erases = std::count(h.lines().begin(), h.lines().end(),
                                 "Erasing sector 0, This may take a few seconds...");
  EXPECT_EQ(erases, 3) << "two refused downloads, then the one that went through";
  EXPECT_EQ(h.attributes(), (std::vector<std::string>{"dim=1", "show=1", "dim=1", "show=1", "dim=1",
                                                      "show=1", "dim=0", "show=0"}));
  EXPECT_EQ(std::count(h.lines().begin(), h.lines().end(), "Protection error"), 0);
}

TEST(RunOnVirtualDrive, ProgrammedDriveAnswersTheNextRun) {
  RunHarness h;
  const auto drive = drive_on_port();
  h.set_firmware("fw.hex", make_hex(0x10001000, pattern(600)));
  const int before = okcount.load();
  h.run();
  h.run();
  EXPECT_EQ(okcount.load(), before + 2);
  EXPECT_EQ(h.counter_display(), before + 2);
  EXPECT_EQ(drive->statistics().restarts, 2u);
}

TEST(RunOnVirtualDrive, FaultsEndTheRunWithTheirLine) {
  struct Case {
    const char* faults;
    const char* last_line;
  };
  const std::vector<Case> cases = {
      {"silent", "未知型号的驱动器!"},
      {"short-identity", "未知型号的驱动器!"},
      {"no-bsl", "ERROR: ASC BSL initialization failed!"},
      {"handshake=6C", "ERROR: ASC BSL initialization failed!"},
      {"length-reply=5D", "ERROR: Send application length failed!"},
      {"loader-reply=00", "ERROR: Installing ASCLoader failed  - quitting..."},
      {"reply:erase@4=FB", "Erase error"},
      {"reply:data@2=F9", "Verification error"},
      {"reply:data@2=FE", "Unknown error"},
      {"reply:header@1=FC", "Invalid address"},
      {"reply:eot@1=FD", "Checksum error"},
      {"silent-from:data@2", "Unknown error"},
      {"disconnect:data@2", "Unknown error"},
  };
  for (const Case& c : cases) {
    RunHarness h;
    drive_on_port(c.faults);
    h.set_firmware("fw.hex", make_hex(0x10001000, pattern(600)));
    const int before = okcount.load();
    h.run();
    EXPECT_EQ(okcount.load(), before) << c.faults;
    ASSERT_FALSE(h.lines().empty());
    EXPECT_EQ(h.lines().back(), c.last_line) << c.faults;
    EXPECT_EQ(FlushInQ(RunHarness::kPort), kComPortNotOpen) << c.faults;
  }
}

}  // namespace
