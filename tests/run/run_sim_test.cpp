// Whole runs against the virtual drive in virtual time: whatever the firmware's shape, the
// drive's flash ends up holding the file's data at the file's addresses.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/run_context.h"
#include "image/stand_in_loader.h"
#include "sim/faults.h"
#include "sim/sim_line.h"
#include "support/hex_records.h"
#include "support/run_harness.h"

namespace driveflash::test {
namespace {

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Firmware {
  const char* name;
  Chunks chunks;
  int per_record = 16;
};

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
  const std::string text = make_hex(fw.chunks, fw.per_record);
  const std::string marker(image::kStandInLoaderMarker);
  const Bytes loader = concat(Bytes(marker.begin(), marker.end()), pattern(1000, 7));
  for (const int kind : {0, 1}) {
    RunHarness h;
    h.set_loader(make_hex(0x20000200, loader));
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
    // The loader file's image goes first, whatever the run fills the transfer up with.
    const Bytes image = drive->loader_image();
    ASSERT_GE(image.size(), loader.size());
    EXPECT_EQ(Bytes(image.begin(), image.begin() + static_cast<long>(loader.size())), loader);
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
    [](const auto& row) { return std::string(row.param.name); });

// Each refused pass dims the OK button and shows the progress bar again.
TEST(RunOnVirtualDrive, ProtectionRepeatsTheWholeDownload) {
  RunHarness h;
  drive_on_port("protect=2");
  h.set_firmware("fw.hex", make_hex(0x10001000, pattern(600)));
  const int before = okcount.load();
  h.run();
  EXPECT_EQ(okcount.load(), before + 1);
  const auto lines = h.lines();
  EXPECT_EQ(
      std::count(lines.begin(), lines.end(), "Erasing sector 0, This may take a few seconds..."), 3)
      << "two refused downloads, then the one that went through";
  EXPECT_EQ(h.attributes(), (std::vector<std::string>{"dim=1", "show=1", "dim=1", "show=1", "dim=1",
                                                      "show=1", "dim=0", "show=0"}));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Protection error"), 0);
}

}  // namespace
}  // namespace driveflash::test
