#include "sim/sim_line.h"

#include <gtest/gtest.h>

#include <bit>
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

// --- a real drive's rules, timed on the line -----------------------------------------------

// One step of a conversation: a pause, a power cycle perhaps, a write, then a read of `read`
// bytes (0.1 s time-out).
struct Step {
  Micros pause{0};
  Bytes write;
  std::size_t read = 0;
  bool power_cycle = false;
};

std::vector<Step> then(std::vector<Step> a, std::initializer_list<Step> b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const char* const kIdentityReply = "01 03 02 13 02 34 B5";
const char* const kResetEcho = "01 06 00 5C 00 01 88 18";
const char* const kIntoLoaderReplies = "01 03 02 13 02 34 B5 01 06 00 5C 00 01 88 18 5D 01 01";

// From the firmware into the secondary loader, keeping the Modbus silence at `baud`.
std::vector<Step> to_loader(long baud) {
  return {{{}, kIdentity, 7},     {modbus_silence(baud), kReset, 8}, {{}, {0x00}}, {{}, {0x6C}, 1},
          {{}, {16, 0, 0, 0}, 1}, {{}, Bytes(16, 0xA5), 1}};
}

struct RuleCase {
  const char* name;
  const char* options;
  long baud;
  std::vector<Step> steps;
  std::string expected;      // every byte read, in hex
  std::uint64_t run_in = 0;  // requests that ran into the frame before them
};

void PrintTo(const RuleCase& c, std::ostream* os) {
  *os << c.name;
}

std::string join(std::initializer_list<const char*> parts) {
  std::string s;
  for (const char* p : parts) s += std::string(s.empty() ? "" : " ") + p;
  return s;
}

const std::vector<RuleCase>& rule_cases() {
  const Micros us(1);
  const Micros header_time = platform::wire_time(16, 115200);
  static const std::vector<RuleCase> table = {
      // The Modbus silence: 3.5 characters of 11 bits, 1.75 ms above 19200 baud.
      {"silence_kept_9600",
       "line-time",
       9600,
       {{{}, kIdentity, 7}, {Micros(4010), kIdentity, 7}},
       join({kIdentityReply, kIdentityReply})},
      {"silence_short_9600",
       "line-time",
       9600,
       {{{}, kIdentity, 7}, {Micros(4009), kIdentity, 7}, {{}, kIdentity, 7}},
       join({kIdentityReply, kIdentityReply}),
       1},
      {"silence_kept_19200",
       "line-time",
       19200,
       {{{}, kIdentity, 7}, {Micros(2005), kIdentity, 7}},
       join({kIdentityReply, kIdentityReply})},
      {"silence_short_19200",
       "line-time",
       19200,
       {{{}, kIdentity, 7}, {Micros(2004), kIdentity, 7}},
       kIdentityReply,
       1},
      {"silence_kept_115200",
       "line-time",
       115200,
       {{{}, kIdentity, 7}, {Micros(1750), kIdentity, 7}},
       join({kIdentityReply, kIdentityReply})},
      {"silence_short_115200",
       "line-time",
       115200,
       {{{}, kIdentity, 7}, {Micros(1749), kIdentity, 7}},
       kIdentityReply,
       1},
      // A reset that runs into the identity reply is lost: the firmware goes on running.
      {"reset_run_in",
       "line-time",
       9600,
       {{{}, kIdentity, 7}, {{}, kReset, 8}, {Micros(4010), kIdentity, 7}},
       join({kIdentityReply, kIdentityReply}),
       1},
      // Two requests back to back are one frame for the firmware, but it has taken the first.
      {"requests_back_to_back",
       "line-time",
       9600,
       {{{}, kIdentity + kIdentity, 14}},
       kIdentityReply,
       1},
      {"garbage_and_request_one_frame", "line-time", 9600, {{{}, Bytes{0xFF} + kIdentity, 7}}, ""},
      {"silence_off",
       "line-time,modbus-gap=off",
       9600,
       {{{}, kIdentity, 7}, {{}, kReset, 8}},
       join({kIdentityReply, kResetEcho})},
      // Without line-time the bytes take no time, but the waits between them still count.
      {"silence_without_line_time_short",
       "modbus-gap=on",
       9600,
       {{{}, kIdentity, 7}, {Micros(4009), kIdentity, 7}},
       kIdentityReply,
       1},
      {"silence_without_line_time_kept",
       "modbus-gap=on",
       9600,
       {{{}, kIdentity, 7}, {Micros(4010), kIdentity, 7}},
       join({kIdentityReply, kIdentityReply})},
      {"no_rule_without_line_time",
       "",
       9600,
       {{{}, kIdentity, 7}, {{}, kReset, 8}},
       join({kIdentityReply, kResetEcho})},
      // The secondary loader's start-up: 10 ms by default with line-time, from the end of its 01.
      {"startup_kept", "line-time", 115200, then(to_loader(115200), {{Micros(10'000), eot(), 1}}),
       join({kIntoLoaderReplies, "55"})},
      {"startup_not_kept_loses_the_frame", "line-time", 115200,
       then(to_loader(115200), {{{}, eot(), 1}, {{}, eot(), 1}}), join({kIntoLoaderReplies, "55"})},
      {"startup_short_by_a_microsecond", "line-time", 115200,
       then(to_loader(115200), {{Micros(10'000) - us, eot(), 1}, {{}, eot(), 1}}),
       join({kIntoLoaderReplies, "FD"})},
      {"startup_lost_bytes_complete_a_later_frame", "line-time", 115200,
       then(to_loader(115200), {{Micros(10'000) - header_time / 2, eot(), 1}, {{}, eot(), 1}}),
       join({kIntoLoaderReplies, "FD"})},
      {"startup_off", "line-time,loader-startup=0", 115200,
       then(to_loader(115200), {{{}, eot(), 1}}), join({kIntoLoaderReplies, "55"})},
      {"startup_without_line_time", "loader-startup=30", 115200,
       then(to_loader(115200), {{{}, eot(), 1}, {Micros(30'000), eot(), 1}}),
       join({kIntoLoaderReplies, "55"})},
      // The new firmware's boot after the closing header.
      {"boot_kept", "line-time,boot-time=50", 115200,
       then(to_loader(115200),
            {{Micros(10'000), run()}, {Micros(50'000) + header_time, kIdentity, 7}}),
       join({kIntoLoaderReplies, kIdentityReply})},
      {"boot_short", "line-time,boot-time=50", 115200,
       then(to_loader(115200), {{Micros(10'000), run()},
                                {Micros(50'000) + header_time - us, kIdentity, 7},
                                {Micros(1750), kIdentity, 7}}),
       join({kIntoLoaderReplies, kIdentityReply}), 1},
      // A power cycle's junk reaches the host, before what the drive says next.
      {"junk_on_a_power_cycle",
       "power-cycle-junk=00FF",
       9600,
       {{{}, kIdentity, 7}, {Micros(4010), {}, 0, true}, {Micros(4010), kIdentity, 9}},
       join({kIdentityReply, "00 FF", kIdentityReply})},
      {"junk_with_line_time",
       "line-time,power-cycle-junk=00",
       9600,
       {{{}, kIdentity, 7}, {{}, {}, 1, true}, {Micros(4010), kIdentity, 7}},
       join({kIdentityReply, "00", kIdentityReply})},
      {"junk_before_the_handshake_reply",
       "start=rom-loader,power-cycle-after=1ms,power-cycle-junk=00",
       115200,
       {{{}, {0x00}}, {Micros(2000), {0x00}}, {{}, {0x6C}, 2}},
       "00 5D"},
  };
  return table;
}

class DriveRules : public SimPort, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(DriveRules, OnTheLine) {
  const RuleCase& c = GetParam();
  const auto drive = map(c.options);
  open(c.baud, 0.1);
  Bytes got;
  for (const Step& step : c.steps) {
    platform::clock().sleep_until(platform::clock().now() + step.pause);
    if (step.power_cycle) {
      drive->power_cycle();
    }
    if (!step.write.empty()) {
      ASSERT_EQ(write(step.write), static_cast<int>(step.write.size()));
    }
    if (step.read > 0) {
      got = got + read(step.read);
    }
  }
  EXPECT_EQ(to_hex(got), to_hex(hex_bytes(c.expected)));
  EXPECT_EQ(drive->statistics().requests_run_in, c.run_in);
}

INSTANTIATE_TEST_SUITE_P(Rules, DriveRules, ::testing::ValuesIn(rule_cases()),
                         [](const auto& p) { return std::string(p.param.name); });

// A power cycle while the port is closed reaches no one, not even the host that opens it later.
TEST_F(SimPort, JunkOfAPowerCycleWhileClosedIsNeverRead) {
  const auto drive = map("power-cycle-junk=00");
  drive->power_cycle();
  open(9600, 0.1);
  ASSERT_EQ(write(kIdentity), 8);
  EXPECT_EQ(to_hex(read(8)), kIdentityReply);
}

TEST(LineRules, SilenceWireSpanAndNoise) {
  EXPECT_EQ(modbus_silence(9600), Micros(4010));
  EXPECT_EQ(modbus_silence(19200), Micros(2005));
  EXPECT_EQ(modbus_silence(19201), Micros(1750));
  EXPECT_EQ(modbus_silence(921600), Micros(1750));
  EXPECT_EQ(wire_span(8, 10, 9600), platform::wire_time(8, 9600));
  EXPECT_EQ(wire_span(3, 11, 9600), Micros(3438));

  // Hits at the rate, about half of them flips of exactly one bit, the same for the same seed.
  constexpr int kBytes = 400'000;
  for (const double rate : {0.0, 1e-3, 0.05, 1.0}) {
    SCOPED_TRACE(rate);
    LineNoise noise(rate, 7);
    LineNoise again(rate, 7);
    LineNoise other(rate, 8);
    int flips = 0;
    int losses = 0;
    int differ = 0;
    for (int i = 0; i < kBytes; ++i) {
      std::uint8_t byte = 0x5A;
      std::uint8_t same = 0x5A;
      std::uint8_t third = 0x5A;
      const LineNoise::Hit hit = noise.next(byte);
      ASSERT_EQ(again.next(same), hit);
      ASSERT_EQ(same, byte);
      differ += other.next(third) != hit ? 1 : 0;
      if (hit == LineNoise::Hit::kFlip) {
        ++flips;
        EXPECT_EQ(std::popcount(static_cast<unsigned>(byte ^ 0x5A)), 1);
      } else {
        EXPECT_EQ(byte, 0x5A);
        losses += hit == LineNoise::Hit::kLose ? 1 : 0;
      }
    }
    const double hits = flips + losses;
    EXPECT_NEAR(hits / kBytes, rate, rate * 0.1);
    if (rate > 0) {
      if (hits > 10'000) {
        EXPECT_NEAR(flips / hits, 0.5, 0.02);
      }
      EXPECT_GT(differ, 0) << "another seed, other hits";
    }
  }
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
