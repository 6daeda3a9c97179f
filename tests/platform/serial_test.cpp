#include "platform/serial.h"

#include <gtest/gtest.h>

#include "platform/timing.h"
#include "support/test_support.h"

namespace {

namespace pf = driveflash::platform;
using driveflash::test::Bytes;
using pf::Micros;

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pf::clear_port_table();
    line_ = std::make_shared<pf::ScriptedLine>();
    pf::map_port_to_line(kPort, line_);
    ASSERT_EQ(OpenComConfig(kPort, "", 115200, 0, 8, 1, 512, 512), 0);
    ASSERT_EQ(SetComTime(kPort, 1.0), 0);
  }
  void TearDown() override { pf::clear_port_table(); }

  int read(int count, Bytes& out) {
    out.assign(static_cast<std::size_t>(count), 0);
    const int n = ComRd(kPort, reinterpret_cast<char*>(out.data()), count);
    out.resize(static_cast<std::size_t>(std::max(n, 0)));
    return n;
  }

  static constexpr int kPort = 3;
  pf::ScopedVirtualClock clock_;
  std::shared_ptr<pf::ScriptedLine> line_;
};

TEST_F(SerialTest, ReadReturnsOnCountOrTimeOut) {
  struct Case {
    const char* name;
    Bytes reply;
    Micros delay;
    int count;
    int expect_read;
    Micros expect_elapsed;
  };
  const std::vector<Case> cases = {
      {"prompt full answer", {1, 2, 3}, Micros(0), 3, 3, Micros(0)},
      {"late answer waits for it", {1, 2, 3}, Micros(300'000), 3, 3, Micros(300'000)},
      {"short answer waits the time-out", {1, 2}, Micros(0), 3, 2, Micros(1'000'000)},
      {"silence waits the time-out", {}, Micros(0), 1, 0, Micros(1'000'000)},
      {"too late is silence", {9}, Micros(1'500'000), 1, 0, Micros(1'000'000)},
      {"longer answer leaves the rest", {1, 2, 3, 4}, Micros(0), 2, 2, Micros(0)},
  };
  for (const Case& c : cases) {
    SetUp();
    line_->then(c.reply, c.delay);
    const char ping = 0x55;
    ASSERT_EQ(ComWrt(kPort, &ping, 1), 1);
    const Micros start = pf::clock().now();
    Bytes got;
    EXPECT_EQ(read(c.count, got), c.expect_read) << c.name;
    EXPECT_EQ(pf::clock().now() - start, c.expect_elapsed) << c.name;
    EXPECT_EQ(got, Bytes(c.reply.begin(), c.reply.begin() + c.expect_read)) << c.name;
  }
}

TEST_F(SerialTest, FlushDropsArrivedBytesOnly) {
  line_->then({1, 2});
  line_->then({3}, Micros(500'000));
  const char b = 0;
  ComWrt(kPort, &b, 1);
  ComWrt(kPort, &b, 1);
  EXPECT_EQ(FlushInQ(kPort), 0);
  Bytes got;
  EXPECT_EQ(read(1, got), 1);
  EXPECT_EQ(got, Bytes({3}));
}

TEST_F(SerialTest, PortTableAndClosedPorts) {
  EXPECT_EQ(OpenComConfig(99, "", 9600, 0, 8, 1, 512, 512), kComInvalidPort);
  EXPECT_NE(pf::last_open_error(99), "");
  EXPECT_EQ(OpenComConfig(kPort, "", 0, 0, 8, 1, 512, 512), kComOpenFailed);
  char buf[1];
  EXPECT_EQ(ComRd(kPort, buf, 1), kComPortNotOpen);
  EXPECT_EQ(ComWrt(kPort, buf, 1), kComPortNotOpen);
  EXPECT_EQ(CloseCom(kPort), kComPortNotOpen);
  // Reopening an open port starts a clean line; writes reach the same scripted peer.
  ASSERT_EQ(OpenComConfig(kPort, "", 9600, 0, 8, 1, 512, 512), 0);
  ASSERT_EQ(OpenComConfig(kPort, "", 9600, 0, 8, 1, 512, 512), 0);
  EXPECT_EQ(ComWrt(kPort, "ab", 2), 2);
  EXPECT_EQ(line_->writes().size(), 1u);
  EXPECT_EQ(CloseCom(kPort), 0);
  EXPECT_FALSE(pf::port_is_real(kPort));
}

TEST(Timing, WaitsAreSummedExactlyInVirtualTime) {
  pf::ScopedVirtualClock clock;
  const Micros start = pf::clock().now();
  Delay(0.1);
  Delay(0.2);
  driveflash::Sleep(200);
  Delay(0.05);
  Delay(-1.0);
  EXPECT_EQ(pf::requested_waits(), Micros(550'000));
  EXPECT_EQ(pf::clock().now() - start, Micros(550'000));
}

}  // namespace
