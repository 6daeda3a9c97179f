#include "platform/qt/qt_serial.h"

#include <gtest/gtest.h>

#include <set>

#include "support/test_support.h"

namespace {

namespace pf = driveflash::platform;

class PortNumbersTest : public ::testing::Test {
 protected:
  void SetUp() override { pf::clear_port_table(); }
  void TearDown() override { pf::clear_port_table(); }
};

TEST_F(PortNumbersTest, DevicesGetNumbersByTheRule) {
  // Port 1 is taken by the in-process virtual drive before any device is mapped.
  pf::map_port_to_line(1, nullptr, "sim");
  struct Step {
    const char* device;
    int number;
  };
  const std::vector<Step> steps = {
      {"COM3", 3},           {"com12", 12},        {"/dev/ttyUSB0", 100}, {"/dev/ttyUSB1", 101},
      {"/dev/ttyUSB0", 100},  // already mapped: keeps its number
      {"COM1", 102},          // 1 belongs to another port
      {"\\\\.\\COM7", 7},    {"COM256", 256},      {"COM257", 103},  // beyond the COM range
      {"COM0", 104},         {"COM03", 105},       {"COMX", 106},         {"COM", 107},
      {"/dev/pts/7", 108},   {"COM3", 3},          {"COM100", 109},  // 100 is a device's already
      {"COM12", 12},         {"\\\\.\\com12", 12}, {"cOm3", 3},      // one port whatever its case
  };
  for (const Step& s : steps) {
    EXPECT_EQ(pf::map_device(s.device), s.number) << s.device;
  }
  pf::PortEntry entry;
  ASSERT_TRUE(pf::find_port(100, entry));
  EXPECT_EQ(entry.name, "/dev/ttyUSB0");
  EXPECT_TRUE(entry.is_real);
  ASSERT_TRUE(pf::find_port(1, entry));
  EXPECT_EQ(entry.name, "sim");
  ASSERT_TRUE(pf::find_port(12, entry));
  EXPECT_EQ(entry.name, "COM12");  // as it is opened
}

TEST_F(PortNumbersTest, RemappingReplacesTheEntryUnderItsNumber) {
  ASSERT_EQ(pf::map_device("/dev/pts/9", "first"), 100);
  EXPECT_EQ(pf::map_device("/dev/pts/9", "virtual drive", false), 100);
  pf::PortEntry entry;
  ASSERT_TRUE(pf::find_port(100, entry));
  EXPECT_EQ(entry.description, "virtual drive");
  EXPECT_FALSE(entry.is_real);
  EXPECT_EQ(pf::port_table().size(), 1u);
}

TEST_F(PortNumbersTest, DetectedPortsAreMappedOnceEach) {
  const auto detected = pf::detect_serial_ports();
  pf::map_detected_ports();
  pf::map_detected_ports();
  const auto table = pf::port_table();
  ASSERT_EQ(table.size(), detected.size());
  std::set<std::string> names;
  for (const pf::PortEntry& entry : table) {
    EXPECT_TRUE(entry.is_real) << entry.name;
    EXPECT_TRUE(entry.open) << entry.name;
    names.insert(entry.name);
  }
  for (const pf::DetectedPort& port : detected) {
    EXPECT_FALSE(port.device.empty());
    EXPECT_TRUE(names.contains(port.device)) << port.device;
  }
}

TEST_F(PortNumbersTest, OpenFailuresSayWhy) {
  const driveflash::test::TempDir dir;
  const std::string file = dir.write("firmware.hex", ":00000001FF\n");
  struct Case {
    std::string device;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"/dev/driveflash-no-such-tty", "no such device"},
      {file, "not a serial port"},
      {dir.path().string(), "Cannot open"},
      {"", "Cannot open"},
  };
  constexpr int kPort = 4;
  for (const Case& c : cases) {
    pf::map_port(pf::real_port_entry(kPort, c.device, "test"));
    EXPECT_EQ(OpenComConfig(kPort, "", 115200, 0, 8, 1, 512, 512), kComOpenFailed) << c.device;
    const std::string why = pf::last_open_error(kPort);
    EXPECT_NE(why.find(c.says), std::string::npos) << why;
    EXPECT_NE(why.find(c.device), std::string::npos) << why;
    EXPECT_FALSE(pf::port_is_real(kPort));
    EXPECT_EQ(ComWrt(kPort, "x", 1), kComPortNotOpen);
  }
}

}  // namespace
