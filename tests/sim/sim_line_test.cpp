#include "sim/sim_line.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/timing.h"
#include "sim_test_util.h"

namespace driveflash::sim {
namespace {

using namespace driveflash::sim::test;
using platform::Micros;

constexpr int kPort = 9;

class SimPort : public ::testing::Test {
 protected:
  void SetUp() override { platform::clear_port_table(); }
  void TearDown() override {
    CloseCom(kPort);
    platform::clear_port_table();
  }

  std::shared_ptr<VirtualDrive> map(const char* options = "") {
    Faults f;
    std::string error;
    EXPECT_TRUE(parse_faults(options, f, error)) << error;
    auto drive = std::make_shared<VirtualDrive>(f);
    map_sim_port(kPort, drive);
    return drive;
  }

  static void open(long baud, double timeout = 1.0) {
    ASSERT_EQ(OpenComConfig(kPort, "", baud, 0, 8, 1, 512, 512), 0)
        << platform::last_open_error(kPort);
    ASSERT_EQ(SetComTime(kPort, timeout), 0);
  }

  static int write(const Bytes& bytes) {
    return ComWrt(kPort, reinterpret_cast<const char*>(bytes.data()),
                  static_cast<int>(bytes.size()));
  }

  // Reads up to `count` bytes; what the read returned is in `result`.
  static Bytes read(std::size_t count, int* result = nullptr) {
    Bytes buffer(count);
    const int n = ComRd(kPort, reinterpret_cast<char*>(buffer.data()), static_cast<int>(count));
    if (result != nullptr) *result = n;
    buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buffer;
  }

  platform::ScopedVirtualClock clock_;
};

TEST_F(SimPort, IdentityAnsweredWithoutDelay) {
  map();
  open(9600, 0.3);
  const Micros start = platform::clock().now();
  ASSERT_EQ(write(kIdentity), 8);
  EXPECT_EQ(to_hex(read(7)), "01 03 02 13 02 34 B5");
  EXPECT_EQ(platform::clock().now(), start);
}

TEST_F(SimPort, SlowDriveAnswersAfterItsDelay) {
  map("slow=50ms");
  open(9600, 0.03);
  const Micros start = platform::clock().now();
  ASSERT_EQ(write(kIdentity), 8);
  EXPECT_TRUE(read(7).empty());  // 30 ms time-out: nothing yet
  ASSERT_EQ(SetComTime(kPort, 1.0), 0);
  EXPECT_EQ(read(7).size(), 7u);
  EXPECT_EQ(platform::clock().now() - start, std::chrono::milliseconds(50));
}

TEST_F(SimPort, LineTimeAtTheBaudRate) {
  map("line-time");
  open(9600);
  const Micros byte = SimLine::byte_time({9600, 0, 8, 1, 512, 512});
  EXPECT_EQ(byte, Micros(1042));  // 10 bits at 9600 baud, rounded up
  EXPECT_EQ(SimLine::byte_time({9600, 2, 8, 2, 512, 512}), Micros(1250));
  const Micros start = platform::clock().now();
  ASSERT_EQ(write(kIdentity), 8);
  EXPECT_EQ(read(7).size(), 7u);
  // Eight bytes out (back to back, timed as a whole), seven back.
  EXPECT_EQ(platform::clock().now() - start, platform::wire_time(8, 9600) + byte * 7);
}

// The operating system takes up to 4 KB at once; ComWrt still returns only once no more than
// the 512-byte output queue is left on the wire, and CloseCom once everything is through.
TEST_F(SimPort, WritesReturnWhenAtMostTheOutputQueueIsLeftOnTheWire) {
  struct Row {
    long baud;
    std::size_t bytes;
  };
  for (const Row row : {Row{115200, 264}, Row{9600, 512}, Row{19200, 4096}, Row{38400, 4096},
                        Row{921600, 4096}, Row{19200, 8192}}) {
    SCOPED_TRACE(std::to_string(row.baud) + " baud, " + std::to_string(row.bytes) + " bytes");
    map("line-time");
    open(row.baud);
    const Micros start = platform::clock().now();
    ASSERT_EQ(write(Bytes(row.bytes, 0xAA)), static_cast<int>(row.bytes));
    const Micros all = platform::wire_time(row.bytes, row.baud);
    const Micros queue = platform::wire_time(512, row.baud);
    EXPECT_EQ(platform::clock().now() - start, std::max(all - queue, Micros(0)));
    ASSERT_EQ(CloseCom(kPort), 0);
    EXPECT_EQ(platform::clock().now() - start, all);
  }
  // 4096 bytes at 19200 baud: about 1.9 s before the write returns.
  EXPECT_EQ(platform::wire_time(4096 - 512, 19200), Micros(1'866'667));
  // Without line time the virtual drive takes bytes at once, and nothing waits.
  map();
  open(9600);
  const Micros start = platform::clock().now();
  ASSERT_EQ(write(Bytes(4096, 0xAA)), 4096);
  ASSERT_EQ(CloseCom(kPort), 0);
  EXPECT_EQ(platform::clock().now(), start);
}

TEST_F(SimPort, DriveSurvivesCloseAndReopenAndUnreadBytesAreLost) {
  auto drive = map();
  open(9600, 0.3);
  ASSERT_EQ(write(kReset), 8);  // its echo is never read
  ASSERT_EQ(CloseCom(kPort), 0);
  open(115200);
  write({0x00});
  write({0x6C});
  EXPECT_EQ(to_hex(read(1)), "5D");
  EXPECT_EQ(drive->stage(), VirtualDrive::Stage::kRomLength);
}

TEST_F(SimPort, DisconnectFailsTheLineAndTheNextOpen) {
  auto drive = map("disconnect:eot@1");
  open(115200);
  for (const Bytes& chunk : into_loader()) write(chunk);
  EXPECT_EQ(read(kIntoLoaderReplySize).size(), kIntoLoaderReplySize);
  write(eot());
  int result = 0;
  read(1, &result);
  EXPECT_LT(result, 0);
  EXPECT_LT(write(eot()), 0);
  CloseCom(kPort);
  EXPECT_NE(OpenComConfig(kPort, "", 115200, 0, 8, 1, 512, 512), 0);
  EXPECT_NE(platform::last_open_error(kPort).find("disconnected"), std::string::npos);
}

// The stand-in loader shipped for the virtual drive: valid Intel HEX, marked, small enough.
TEST(StandInLoaderFile, IsValidIntelHexCarryingTheMarker) {
  std::ifstream file(std::string(DRIVEFLASH_RESOURCES) + "/XMC1300/XMC1x_ASCLoader.hex");
  ASSERT_TRUE(file) << "resources/XMC1300/XMC1x_ASCLoader.hex missing";
  std::string line;
  std::vector<Bytes> records;
  while (std::getline(file, line)) {
    ASSERT_FALSE(line.empty());
    ASSERT_EQ(line[0], ':') << line;
    ASSERT_LE(line.size(), 79u) << "longer than the loader reader takes: " << line;
    const Bytes r = hex_bytes(line.substr(1));
    ASSERT_GE(r.size(), 5u);
    ASSERT_EQ(r.size(), 5u + r[0]) << line;
    std::uint8_t sum = 0;
    for (const std::uint8_t b : r) sum = static_cast<std::uint8_t>(sum + b);
    EXPECT_EQ(sum, 0) << "checksum of " << line;
    records.push_back(r);
  }
  ASSERT_GE(records.size(), 3u);
  EXPECT_EQ(to_hex(records.front()), "02 00 00 04 20 00 DA");
  EXPECT_EQ(to_hex(records.back()), "00 00 00 01 FF");
  Bytes image;
  std::uint32_t next = 0x0200;
  for (std::size_t i = 1; i + 1 < records.size(); ++i) {
    const Bytes& r = records[i];
    ASSERT_EQ(r[3], 0x00) << "data records only between the 04 and 01 records";
    EXPECT_EQ(std::uint32_t{r[1]} << 8 | r[2], next) << "contiguous from 0x0200";
    next += r[0];
    image.insert(image.end(), r.begin() + 4, r.end() - 1);
  }
  EXPECT_LE(image.size(), 4096u);
  const std::string marker(kStandInLoaderMarker);
  EXPECT_EQ(std::string(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(marker.size())),
            marker);
  EXPECT_TRUE(is_stand_in_loader(image));
}

}  // namespace
}  // namespace driveflash::sim
