#include "bsl/asc_bsl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "bsl/frames.h"
#include "bsl/scripted_port.h"
#include "platform/timing.h"

namespace driveflash::test {
namespace {

using platform::Micros;
using platform::ScopedVirtualClock;

struct ReplyCase {
  const char* reply;  // "" for silence
  int result;
};

TEST(AscBsl, HandshakeAcceptsOnly5D) {
  const ReplyCase cases[] = {{"5D", 0}, {"6C", 242}, {"00", 242}, {"5C", 242}, {"", 242}};
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.reply);
    ScopedVirtualClock clock;
    auto line = scripted({{}, hex_bytes(c.reply)});
    ScriptedPort port(line);
    EXPECT_EQ(init_ASC_BSL(port.number()), c.result);
    EXPECT_EQ(written(*line), (std::vector<std::string>{"00", "6C"}));
    EXPECT_EQ(platform::requested_waits(), Micros(400'000));
  }
}

TEST(AscBsl, HandshakeReadsOnlyAfterTheSecondWait) {
  // With no read time-out, an answer that comes 0.2 s after the 0x6C is seen only by a read
  // that waits the whole 0.2 s first.
  ScopedVirtualClock clock;
  auto line = std::make_shared<platform::ScriptedLine>();
  line->then({});
  line->then(hex_bytes("5D"), Micros(200'000));
  ScriptedPort port(line, 0.0);
  EXPECT_EQ(init_ASC_BSL(port.number()), 0);
}

TEST(AscBsl, LengthGoesLeastSignificantByteFirstAndAcceptsOnly01) {
  const struct {
    std::uint32_t length;
    const char* bytes;
    const char* reply;  // "" for silence
    int result;
  } cases[] = {{4096, "00 10 00 00", "01", 0},       {300, "2C 01 00 00", "01", 0},
               {0, "00 00 00 00", "01", 0},          {0x12345678, "78 56 34 12", "01", 0},
               {0xFFFFFFFF, "FF FF FF FF", "01", 0}, {4096, "00 10 00 00", "5D", 242},
               {4096, "00 10 00 00", "00", 242},     {4096, "00 10 00 00", "", 242}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + " answered '" + c.reply + "'");
    ScopedVirtualClock clock;
    auto line = scripted({hex_bytes(c.reply)});
    ScriptedPort port(line);
    EXPECT_EQ(send_4_length(port.number(), c.length), c.result);
    EXPECT_EQ(written(*line), std::vector<std::string>{c.bytes});
    EXPECT_EQ(platform::requested_waits(), Micros(100'000));
  }
}

std::vector<unsigned char> loader_image(std::size_t size) {
  std::vector<unsigned char> image(size);
  for (std::size_t i = 0; i < size; ++i) {
    image[i] = static_cast<unsigned char>(i * 7 + 3);
  }
  return image;
}

TEST(AscBsl, LoaderGoesInOneWriteAndIsJudgedOnItsReply) {
  const ReplyCase cases[] = {{"01", 0}, {"00", 247}, {"5D", 247}, {"55", 247}, {"", 247}};
  const auto image = loader_image(4096);
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.reply);
    ScopedVirtualClock clock;
    auto line = scripted({hex_bytes(c.reply)});
    ScriptedPort port(line);
    EXPECT_EQ(send_ASCloader(port.number(), image.data(), 4096), c.result);
    ASSERT_EQ(line->writes().size(), 1U);
    EXPECT_TRUE(
        std::equal(image.begin(), image.end(), line->writes()[0].begin(), line->writes()[0].end()));
    EXPECT_EQ(platform::requested_waits(), Micros(0));
  }
}

// A port that takes only part of what it is given, and answers every read with 0x01.
class ShortWriteLine final : public platform::SerialLine {
 public:
  explicit ShortWriteLine(int accepts) : accepts_(accepts) {}
  int write(std::span<const std::uint8_t> bytes) override {
    return std::min(accepts_, static_cast<int>(bytes.size()));
  }
  int read(std::span<std::uint8_t> buffer, platform::Micros) override {
    ++reads_;
    std::fill(buffer.begin(), buffer.end(), std::uint8_t{0x01});
    return static_cast<int>(buffer.size());
  }
  void flush_input() override {}
  void flush_output() override {}
  int reads() const { return reads_; }

 private:
  int accepts_;
  int reads_ = 0;
};

TEST(AscBsl, ShortLoaderWriteFailsWithoutReading) {
  for (const int accepts : {4095, 512, 0, -7}) {
    SCOPED_TRACE(accepts);
    ScopedVirtualClock clock;
    auto line = std::make_shared<ShortWriteLine>(accepts);
    ScriptedPort port(line);
    const auto image = loader_image(4096);
    EXPECT_EQ(send_ASCloader(port.number(), image.data(), 4096), kStatusBootcode);
    EXPECT_EQ(line->reads(), 0);
  }
}

TEST(AscBsl, EmptyLoaderWritesNothingAndStillJudgesTheReply) {
  // The length's reply carries a second 0x01, left for the empty loader's read.
  const ReplyCase cases[] = {{"01 01", 0}, {"01 5D", 247}, {"01", 247}};
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.reply);
    ScopedVirtualClock clock;
    auto line = scripted({hex_bytes(c.reply)});
    ScriptedPort port(line);
    ASSERT_EQ(send_4_length(port.number(), 0), 0);
    EXPECT_EQ(send_ASCloader(port.number(), nullptr, 0), c.result);
    EXPECT_EQ(line->writes().size(), 1U);
  }
}

TEST(AscBsl, LoaderWithoutImageIsRefusedUnsent) {
  ScopedVirtualClock clock;
  auto line = scripted({hex_bytes("01")});
  ScriptedPort port(line);
  EXPECT_EQ(send_ASCloader(port.number(), nullptr, 4096), kStatusBootcode);
  EXPECT_TRUE(line->writes().empty());
}

}  // namespace
}  // namespace driveflash::test
