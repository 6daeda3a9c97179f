#include "bsl/frames.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "bsl/scripted_port.h"
#include "platform/timing.h"

namespace driveflash::test {
namespace {

using platform::Micros;
using platform::ScopedVirtualClock;

Bytes as_bytes(std::span<const std::uint8_t> s) {
  return Bytes(s.begin(), s.end());
}

// ---- Frames on the wire ----------------------------------------------------------------

struct HeaderCase {
  const char* name;
  bl_header_block header;
  const char* frame;
};

const HeaderCase kHeaderCases[] = {
    {"closing", {.mode = 1, .word1 = 0xF8C1}, "00 01 00 00 F8 C1 00 00 00 00 00 00 00 00 00 38"},
    {"erase_first_sector",
     {.mode = 3, .word1 = 0x10001000, .word2 = 0x1000},
     "00 03 10 00 10 00 00 00 10 00 00 00 00 00 00 13"},
    {"read", {.mode = 4, .word1 = 0x10001000}, "00 04 10 00 10 00 00 00 00 00 00 00 00 00 00 04"},
    {"extended_fields_replace_words",
     {.mode = 6,
      .word1 = 0x11111111,
      .word2 = 0x22222222,
      .ext_word1 = 0x12345678,
      .ext_word2 = 0x9ABCDEF0,
      .ext_byte = 0xA5,
      .ext_half = 0xBEEF},
     "00 06 12 34 56 78 9A BC DE F0 A5 BE EF 00 00 F2"},
    {"extended_fields_ignored_in_other_modes",
     {.mode = 0,
      .word1 = 0x11223344,
      .word2 = 0x55667788,
      .ext_word1 = 0xFFFFFFFF,
      .ext_word2 = 0xFFFFFFFF,
      .ext_byte = 0xFF,
      .ext_half = 0xFFFF},
     "00 00 11 22 33 44 55 66 77 88 00 00 00 00 00 88"},
};

TEST(LoaderFrames, HeaderFramesAreLaidOutByteForByte) {
  for (const HeaderCase& c : kHeaderCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(to_hex(as_bytes(bsl::make_header_frame(c.header))), c.frame);

    ScopedVirtualClock clock;
    auto line = scripted({hex_bytes("55")});
    ScriptedPort port(line);
    bl_send_header(port.number(), c.header);
    EXPECT_EQ(written(*line), std::vector<std::string>{c.frame});
  }
}

TEST(LoaderFrames, EndOfTransmissionIsBlockTypeTwoAndZeros) {
  Bytes frame(16, 0x00);
  frame[0] = 0x02;
  EXPECT_EQ(as_bytes(bsl::make_eot_frame()), frame);

  ScopedVirtualClock clock;
  auto line = scripted({hex_bytes("55")});
  ScriptedPort port(line);
  EXPECT_EQ(bl_send_EOT(port.number()), 0);
  ASSERT_EQ(line->writes().size(), 1U);
  EXPECT_EQ(line->writes()[0], frame);
}

struct DataCase {
  const char* name;
  std::uint8_t (*payload)(std::size_t);
  std::uint8_t mode;
  std::uint8_t checksum;
};

const DataCase kDataCases[] = {
    {"all_ff_mode_1_cancel_out", [](std::size_t) { return std::uint8_t{0xFF}; }, 1, 0x01},
    {"all_zero_mode_0", [](std::size_t) { return std::uint8_t{0x00}; }, 0, 0x00},
    {"ramp_cancels_out", [](std::size_t i) { return static_cast<std::uint8_t>(i); }, 0, 0x00},
    {"ramp_leaves_mode", [](std::size_t i) { return static_cast<std::uint8_t>(i); }, 0x5A, 0x5A},
    {"one_bit_in_the_middle",
     [](std::size_t i) { return std::uint8_t{i == 17 ? std::uint8_t{0x80} : std::uint8_t{0}}; }, 2,
     0x82},
    {"last_payload_byte_counts",
     [](std::size_t i) { return std::uint8_t{i == 255 ? std::uint8_t{0x3C} : std::uint8_t{0}}; }, 0,
     0x3C},
};

TEST(LoaderFrames, DataFrameCarriesPageAndChecksum) {
  for (const DataCase& c : kDataCases) {
    SCOPED_TRACE(c.name);
    std::array<unsigned char, 256> page{};
    for (std::size_t i = 0; i < page.size(); ++i) {
      page[i] = c.payload(i);
    }
    Bytes expected;
    expected.push_back(0x01);
    expected.push_back(c.mode);
    expected.insert(expected.end(), page.begin(), page.end());
    expected.insert(expected.end(), 5, 0x00);
    expected.push_back(c.checksum);

    const bl_data_block block{page.data(), c.mode};
    EXPECT_EQ(as_bytes(bsl::make_data_frame(block)), expected);
    EXPECT_EQ(bsl::frame_checksum(expected), c.checksum);

    ScopedVirtualClock clock;
    auto line = scripted({hex_bytes("55")});
    ScriptedPort port(line);
    EXPECT_EQ(bl_send_data(port.number(), block), 0);
    ASSERT_EQ(line->writes().size(), 1U);
    EXPECT_EQ(line->writes()[0], expected);
  }
}

TEST(LoaderFrames, ChecksumOfFramesTooShortToHaveOneIsZero) {
  const std::array<std::uint8_t, 1> one{0x7F};
  EXPECT_EQ(bsl::frame_checksum({}), 0);
  EXPECT_EQ(bsl::frame_checksum(one), 0);
}

TEST(LoaderFrames, DataBlockWithoutPageIsRefusedUnsent) {
  ScopedVirtualClock clock;
  auto line = scripted({hex_bytes("55")});
  ScriptedPort port(line);
  EXPECT_EQ(bl_send_data(port.number(), bl_data_block{nullptr, 0}), kStatusUnknown);
  EXPECT_TRUE(line->writes().empty());
}

// ---- Replies -----------------------------------------------------------------------------

// The reply table as the loader's documentation gives it, row by row; unlisted bytes and
// silence give 240 everywhere.
struct ReplyRow {
  int reply;
  int header;
  int data;
  int eot;
};
constexpr ReplyRow kReplyRows[] = {
    {0x55, 0, 0, 0},       {0x50, 0, 240, 240},   {0xFF, 255, 255, 255}, {0xFE, 254, 240, 254},
    {0xFD, 253, 253, 253}, {0xFC, 252, 252, 252}, {0xFB, 251, 240, 251}, {0xFA, 250, 250, 250},
    {0xF9, 240, 249, 240}, {0xF8, 248, 240, 248},
};
constexpr int kSilence = 256;

struct KindCase {
  const char* name;
  int (*send)(int port);
  int (*judge)(std::uint8_t reply);
  int ReplyRow::*column;
  Micros waits;              // asked for per exchange
  bool only_block_succeeds;  // a read request: an acknowledgement is no answer
};

void PrintTo(const KindCase& k, std::ostream* os) {
  *os << k.name;
}

int expected_for(const KindCase& k, int reply) {
  for (const ReplyRow& row : kReplyRows) {
    if (row.reply == reply) {
      return k.only_block_succeeds && row.*k.column == 0 ? 240 : row.*k.column;
    }
  }
  return 240;
}

std::array<unsigned char, 256> g_page{};

const KindCase kKinds[] = {
    {"header_mode0", [](int p) { return bl_send_header(p, {.mode = 0, .word1 = 0x10001000}); },
     bsl::judge_header_reply, &ReplyRow::header, Micros(0), false},
    {"header_mode3",
     [](int p) { return bl_send_header(p, {.mode = 3, .word1 = 0x10001000, .word2 = 0x1000}); },
     bsl::judge_header_reply, &ReplyRow::header, Micros(0), false},
    {"header_mode6", [](int p) { return bl_send_header(p, {.mode = 6, .ext_word1 = 1}); },
     bsl::judge_header_reply, &ReplyRow::header, Micros(0), false},
    {"data",
     [](int p) {
       return bl_send_data(p, {g_page.data(), 0});
     },
     bsl::judge_data_reply, &ReplyRow::data, Micros(50'000), false},
    {"eot", [](int p) { return bl_send_EOT(p); }, bsl::judge_eot_reply, &ReplyRow::eot, Micros(0),
     false},
    {"read_single_byte", [](int p) { return bl_send_header(p, {.mode = 4, .word1 = 0x10001000}); },
     bsl::judge_read_reply, &ReplyRow::header, Micros(20'000), true},
};

class ReplyTable : public ::testing::TestWithParam<KindCase> {};

TEST_P(ReplyTable, EveryReplyByteAndSilence) {
  const KindCase& k = GetParam();
  for (int reply = 0; reply <= kSilence; ++reply) {
    SCOPED_TRACE(reply == kSilence ? std::string("silence") : "reply " + std::to_string(reply));
    const int expected = expected_for(k, reply);
    ScopedVirtualClock clock;
    auto line = scripted({reply == kSilence ? Bytes{} : Bytes{static_cast<std::uint8_t>(reply)}});
    ScriptedPort port(line);
    EXPECT_EQ(k.send(port.number()), expected);
    EXPECT_EQ(line->writes().size(), 1U);
    EXPECT_EQ(platform::requested_waits(), k.waits);
    if (reply != kSilence) {
      EXPECT_EQ(k.judge(static_cast<std::uint8_t>(reply)), expected);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(FrameKinds, ReplyTable, ::testing::ValuesIn(kKinds),
                         [](const auto& p) { return std::string(p.param.name); });

// A loader that answers one frame twice must not have its second byte taken for the next
// frame's reply: an error there would read as a success.
TEST(LoaderFrames, StrayReplyBytesAreNotTakenForTheNextFrame) {
  for (const KindCase& k : kKinds) {
    SCOPED_TRACE(k.name);
    ScopedVirtualClock clock;
    auto line = scripted({hex_bytes("55 55"), hex_bytes("FB")});
    ScriptedPort port(line);
    EXPECT_EQ(bl_send_header(port.number(), {.mode = 3, .word1 = 0x10001000}), 0);
    EXPECT_EQ(k.send(port.number()), expected_for(k, 0xFB));
  }
}

TEST(LoaderFrames, RunHeaderReadsNothing) {
  ScopedVirtualClock clock;
  auto line = scripted();
  line->answer_rest_with(hex_bytes("FF"));
  ScriptedPort port(line);
  EXPECT_EQ(bl_send_header(port.number(), {.mode = 1, .word1 = 0xF8C1}), 0);
  EXPECT_EQ(line->writes().size(), 1U);
  EXPECT_EQ(line->pending_input(), 1U);  // the loader's byte is still there, unread
  EXPECT_EQ(platform::requested_waits(), Micros(0));
}

struct ReadCase {
  const char* name;
  const char* reply;  // "" for silence
  int result;
  const char* printed;
};

const ReadCase kReadCases[] = {
    {"word", "01 04 10 00 10 00 DE AD BE EF", 0,
     "\nWord data read from location: 0x10001000 is 0xDEADBEEF\n"},
    {"longer_block_is_drained", "01 04 10 00 2F 00 00 00 00 01 AA BB CC DD EE FF", 0,
     "\nWord data read from location: 0x10002F00 is 0x00000001\n"},
    {"acknowledgement_is_no_read", "55", 240, ""},
    {"header_acknowledgement_is_no_read", "50", 240, ""},
    {"invalid_address", "FC", 252, ""},
    {"protection", "F8", 248, ""},
    {"error_byte_then_noise", "FC 04 10 00 10 00 00 00 00 00", 252, ""},
    {"wrong_second_tag", "01 05 10 00 10 00 DE AD BE EF", 240, ""},
    {"block_cut_short", "01 04 10 00", 240, ""},
    {"silence", "", 240, ""},
};

TEST(LoaderFrames, ReadHeaderTakesTheWholeReplyBlock) {
  for (const ReadCase& c : kReadCases) {
    SCOPED_TRACE(c.name);
    ScopedVirtualClock clock;
    auto line = scripted({hex_bytes(c.reply), hex_bytes("55")});
    ScriptedPort port(line);
    ::testing::internal::CaptureStdout();
    const int result = bl_send_header(port.number(), {.mode = 4, .word1 = 0x10001000});
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(platform::requested_waits(), Micros(20'000));
    EXPECT_EQ(line->pending_input(), 0U);
    // The next frame is judged on its own reply, not on a leftover of the block.
    EXPECT_EQ(bl_send_EOT(port.number()), 0);
  }
}

// ---- Texts -------------------------------------------------------------------------------

TEST(ErrorMessage, EveryCodeHasItsText) {
  const std::map<int, std::string> texts = {
      {0, "No error"},
      {233, "CAN Bus error"},
      {240, "Unknown error"},
      {241, "Invalid hexfile"},
      {242, "BSL-Init error"},
      {243, "COM-Init error"},
      {246, "hexfile download error"},
      {247, "Bootcode error"},
      {248, "Protection error"},
      {249, "Verification error"},
      {250, "Program error"},
      {251, "Erase error"},
      {252, "Invalid address"},
      {253, "Checksum error"},
      {254, "Invalid mode"},
      {255, "Block type error"},
  };
  for (int code = -1; code <= 256; ++code) {
    const auto it = texts.find(code);
    const char* text = error_message(code);
    ASSERT_NE(text, nullptr) << code;
    EXPECT_EQ(std::string(text), it != texts.end() ? it->second : "Unknown error") << code;
  }
  for (const int far : {INT_MIN, -256, 1000, INT_MAX}) {
    EXPECT_STREQ(error_message(far), "Unknown error") << far;
  }
}

}  // namespace
}  // namespace driveflash::test
