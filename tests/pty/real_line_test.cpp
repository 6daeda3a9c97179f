// Real lines on pseudo-terminals, through the numbered serial calls the run uses. Times here
// are limits against hangs (a read that should end at once must not sit out its time-out),
// never measurements.
#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <optional>
#include <thread>

#include "platform/qt/qt_serial.h"
#include "pty/pty_peer.h"
#include "sim/pty.h"
#include "support/test_support.h"

namespace {

namespace pf = driveflash::platform;
using driveflash::test::Bytes;
using driveflash::test::receive;
using driveflash::test::send_all;
using std::chrono::milliseconds;
using Steady = std::chrono::steady_clock;

constexpr int kPort = 7;
constexpr auto kHangLimit = std::chrono::seconds(3);

// The peer's side of one exchange: bytes sent `after` the previous piece.
struct Piece {
  milliseconds after;
  Bytes bytes;
};

class RealLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pf::clear_port_table();
    std::string error;
    pty_ = driveflash::platform::PtyPair::open(error);
    if (!pty_) {
      GTEST_SKIP() << "no pseudo-terminal: " << error;
    }
    pf::map_port(pf::real_port_entry(kPort, pty_->slave_path(), "pseudo-terminal"));
    open(115200);
  }
  void TearDown() override {
    CloseCom(kPort);
    pf::clear_port_table();
  }

  void open(long baud, int parity = 0, int data_bits = 8, int stop_bits = 1) {
    ASSERT_EQ(OpenComConfig(kPort, "", baud, parity, data_bits, stop_bits, 512, 512), 0)
        << pf::last_open_error(kPort);
  }

  static int read(int count, Bytes& out) {
    out.assign(static_cast<std::size_t>(count), 0);
    const int n = ComRd(kPort, reinterpret_cast<char*>(out.data()), count);
    out.resize(static_cast<std::size_t>(std::max(n, 0)));
    return n;
  }

  // Plays `pieces` from the peer on a thread of its own while the test reads.
  std::thread play(std::vector<Piece> pieces) {
    return std::thread([this, pieces = std::move(pieces)] {
      for (const Piece& p : pieces) {
        std::this_thread::sleep_for(p.after);
        send_all(pty_->master(), p.bytes);
      }
    });
  }

  // Gives bytes the peer sent time to cross into the device's input queue.
  static void settle() { std::this_thread::sleep_for(milliseconds(200)); }

  std::optional<driveflash::platform::PtyPair> pty_;
};

TEST_F(RealLineTest, ReadEndsOnTheCountOrAtTheTimeOut) {
  struct Case {
    const char* name;
    std::vector<Piece> pieces;
    int count;
    double timeout;
    Bytes expect;
    Bytes left_over;  // what the next read finds
  };
  const std::vector<Case> cases = {
      {"whole answer at once", {{milliseconds(0), {1, 2, 3}}}, 3, 10.0, {1, 2, 3}, {}},
      {"answer in pieces",
       {{milliseconds(0), {1}}, {milliseconds(100), {2, 3}}, {milliseconds(100), {4}}},
       4,
       10.0,
       {1, 2, 3, 4},
       {}},
      {"longer answer leaves the rest", {{milliseconds(0), {1, 2, 3, 4}}}, 2, 10.0, {1, 2}, {3, 4}},
      {"short answer ends at the time-out", {{milliseconds(0), {1, 2}}}, 3, 0.3, {1, 2}, {}},
      {"silence ends at the time-out", {}, 1, 0.3, {}, {}},
      {"late bytes stay for the next read", {{milliseconds(600), {7}}}, 1, 0.2, {}, {7}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(SetComTime(kPort, c.timeout), 0);
    std::thread peer = play(c.pieces);
    const auto start = Steady::now();
    Bytes got;
    EXPECT_EQ(read(c.count, got), static_cast<int>(c.expect.size())) << c.name;
    const auto took = Steady::now() - start;
    peer.join();
    EXPECT_EQ(got, c.expect) << c.name;
    // A full answer ends the read long before its 10 s time-out; a short one never before it.
    EXPECT_LT(took, kHangLimit) << c.name;
    if (got.size() < static_cast<std::size_t>(c.count)) {
      EXPECT_GE(took, std::chrono::duration<double>(c.timeout * 0.9)) << c.name;
    }
    settle();
    ASSERT_EQ(SetComTime(kPort, 0.3), 0);
    Bytes rest;
    read(static_cast<int>(c.left_over.size()) + 1, rest);
    EXPECT_EQ(rest, c.left_over) << c.name;
  }
}

TEST_F(RealLineTest, WritesReachThePeerWhole) {
  for (const std::size_t size :
       {std::size_t{1}, std::size_t{264}, std::size_t{4096}, std::size_t{40'000}}) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) {
      data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    Bytes received;
    // More than the pair buffers: the write has to wait for the peer to drain it.
    std::thread peer([&] { received = receive(pty_->master(), size, milliseconds(10'000)); });
    EXPECT_EQ(ComWrt(kPort, reinterpret_cast<const char*>(data.data()), static_cast<int>(size)),
              static_cast<int>(size));
    peer.join();
    EXPECT_EQ(received, data) << size << " bytes";
  }
}

// The pseudo-terminal takes the 4096 bytes at once; ComWrt still returns only when at most the
// 512-byte output queue is left on a 19200-baud wire, and CloseCom when all of it is through.
TEST_F(RealLineTest, AWriteReturnsWhenOnlyTheOutputQueueIsLeftOnTheWire) {
  CloseCom(kPort);
  open(19200);
  const Bytes data(4096, 0x5A);
  Bytes received;
  std::thread peer([&] { received = receive(pty_->master(), data.size(), milliseconds(10'000)); });
  const auto start = Steady::now();
  EXPECT_EQ(ComWrt(kPort, reinterpret_cast<const char*>(data.data()), 4096), 4096);
  EXPECT_GE(Steady::now() - start, pf::wire_time(4096 - 512, 19200));
  EXPECT_EQ(CloseCom(kPort), 0);
  EXPECT_GE(Steady::now() - start, pf::wire_time(4096, 19200));
  peer.join();
  EXPECT_EQ(received, data);
}

TEST_F(RealLineTest, WriteToAPeerThatStopsReadingGivesUp) {
  CloseCom(kPort);
  // Fast enough that the write's allowance (the bytes' time on the wire twice, plus a second)
  // stays short.
  open(4'000'000);
  const Bytes data(200'000, 0x55);
  const auto start = Steady::now();
  const int n = ComWrt(kPort, reinterpret_cast<const char*>(data.data()), 200'000);
  EXPECT_LT(Steady::now() - start, std::chrono::seconds(10));
  EXPECT_GE(n, 0);
  EXPECT_LT(n, 200'000);
}

TEST_F(RealLineTest, FlushInQDropsWhatArrived) {
  struct Case {
    const char* name;
    Bytes sent;
    int read_first;  // bytes read before the flush, pulling the rest into the port's buffer
  };
  const std::vector<Case> cases = {
      {"queued in the device", {1, 2, 3}, 0},
      {"partly read already", {1, 2, 3, 4}, 1},
  };
  ASSERT_EQ(SetComTime(kPort, 0.3), 0);
  for (const Case& c : cases) {
    ASSERT_TRUE(send_all(pty_->master(), c.sent));
    settle();
    Bytes got;
    EXPECT_EQ(read(c.read_first, got), c.read_first) << c.name;
    EXPECT_EQ(FlushInQ(kPort), 0);
    ASSERT_TRUE(send_all(pty_->master(), Bytes{9}));
    EXPECT_EQ(read(2, got), 1) << c.name;
    EXPECT_EQ(got, Bytes{9}) << c.name;
  }
  EXPECT_EQ(FlushOutQ(kPort), 0);
  EXPECT_EQ(ComWrt(kPort, "ok", 2), 2);
  EXPECT_EQ(receive(pty_->master(), 2, milliseconds(2000)), (Bytes{'o', 'k'}));
}

TEST_F(RealLineTest, APeerThatVanishesEndsTheCallWithAFailure) {
  struct Case {
    const char* name;
    Bytes before;  // sent by the peer before it goes
    int expect;    // the read's result
  };
  const std::vector<Case> cases = {
      {"nothing came", {}, kComIoError},
      {"part of the answer came", {5, 6, 7}, 3},
  };
  for (const Case& c : cases) {
    SetUp();
    ASSERT_EQ(SetComTime(kPort, 10.0), 0);
    std::thread peer([&] {
      send_all(pty_->master(), c.before);
      std::this_thread::sleep_for(milliseconds(200));
      pty_->close_master();
    });
    const auto start = Steady::now();
    Bytes got;
    EXPECT_EQ(read(10, got), c.expect) << c.name;
    EXPECT_LT(Steady::now() - start, kHangLimit) << c.name;
    peer.join();
    EXPECT_EQ(got, c.before) << c.name;
    // The line stays failed: every later call reports it at once.
    EXPECT_EQ(ComWrt(kPort, "x", 1), kComIoError) << c.name;
    EXPECT_EQ(read(1, got), kComIoError) << c.name;
    EXPECT_EQ(FlushInQ(kPort), 0);
    EXPECT_EQ(CloseCom(kPort), 0);
  }
}

TEST_F(RealLineTest, WriteToAVanishedPeerFails) {
  pty_->close_master();
  settle();
  EXPECT_EQ(ComWrt(kPort, "hello", 5), kComIoError);
}

TEST_F(RealLineTest, ADeviceInUseIsRefused) {
  constexpr int kSecond = 8;
  pf::map_port(pf::real_port_entry(kSecond, pty_->slave_path(), "same device"));
  EXPECT_EQ(OpenComConfig(kSecond, "", 9600, 0, 8, 1, 512, 512), kComOpenFailed);
  EXPECT_NE(pf::last_open_error(kSecond).find("in use"), std::string::npos)
      << pf::last_open_error(kSecond);
  // Reopening the same number closes the line first, so it is never in its own way.
  open(9600);
  EXPECT_TRUE(pf::port_is_real(kPort));
}

// A pseudo-terminal keeps the speed and the stop bits it is given (data bits and parity it
// does not model).
TEST_F(RealLineTest, SettingsReachTheDevice) {
  struct Case {
    long baud;
    int stop_bits;
    speed_t speed;
  };
  const std::vector<Case> cases = {
      {9600, 1, B9600},     {19200, 2, B19200},   {57600, 1, B57600},
      {115200, 2, B115200}, {230400, 1, B230400},
  };
  for (const Case& c : cases) {
    CloseCom(kPort);
    open(c.baud, 0, 8, c.stop_bits);
    termios t{};
    ASSERT_EQ(::tcgetattr(pty_->master(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), c.speed) << c.baud;
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stop_bits == 2) << c.baud;
  }
}

}  // namespace
