#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image/intel_hex.h"
#include "support/hex_records.h"
#include "support/test_support.h"

namespace {

using driveflash::test::Bytes;
using driveflash::test::data_lines;
using driveflash::test::eof_record;
using driveflash::test::ext_linear;
using driveflash::test::hex_record;
using driveflash::test::pattern;
using driveflash::test::TempDir;

constexpr int kInvalid = 241;
constexpr std::uint8_t kUntouched = 0xEE;

struct DigitCase {
  std::string text;
  unsigned digits;
  int value;
};

TEST(CharToInt, DigitsOfEitherCaseAndNibbleValues) {
  const DigitCase cases[] = {
      {"1F", 2, 0x1F},       {"1f", 2, 0x1F},
      {"aB", 2, 0xAB},       {"00", 2, 0x00},
      {"FFFF", 4, 0xFFFF},   {"ffff", 4, 0xFFFF},
      {"0200", 4, 0x0200},   {"2000", 4, 0x2000},
      {"\x01\x0F", 2, 0x1F}, {std::string("\x00\x0A", 2), 2, 0x0A},
      {"G0", 2, 0x70},       {":9", 2, 0xA9},
  };
  for (const auto& c : cases) {
    int value = -1;
    EXPECT_EQ(charToInt(&value, c.text.data(), c.digits), c.digits);
    EXPECT_EQ(value, c.value) << '"' << c.text << '"';
  }
}

TEST(AsciiToHex, ConvertsOnlyDigitsAndUpperCaseLetters) {
  char text[] = "09AFaf:G9";
  EXPECT_EQ(ASCIItoHEX(text, 8), 8);
  const std::array<char, 9> expected{0, 9, 10, 15, 'a', 'f', ':', 'G', '9'};
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), text));
  // Already converted text stays as it is.
  EXPECT_EQ(ASCIItoHEX(text, 4), 4);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), text));
}

TEST(AsciiToHex, NonPositiveLengthTouchesNothing) {
  for (const int length : {0, -1, -16}) {
    char text[] = "1A";
    EXPECT_EQ(ASCIItoHEX(text, length), 0);
    EXPECT_STREQ(text, "1A");
  }
}

struct ImageCase {
  std::string name;
  std::string text;
  unsigned capacity;
  int status;
  unsigned length = 0;
  std::optional<unsigned> base;
  Bytes prefix;  // image from byte 0; zeros follow it up to `written`
  std::size_t written = 0;
};

std::vector<ImageCase> image_cases() {
  const Bytes d100 = pattern(100);
  const Bytes a = pattern(16, 3);
  const Bytes b = pattern(16, 200);
  const Bytes full = pattern(4096);
  const Bytes over = pattern(4097);
  const Bytes d255 = pattern(255, 9);
  const auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) {
      out.insert(out.end(), p.begin(), p.end());
    }
    return out;
  };
  const auto hole = [&](unsigned k) {
    return ImageCase{"Hole" + std::to_string(k),
                     data_lines(0, a) + data_lines(0x10 + k, b) + eof_record() + "\n",
                     4096,
                     0,
                     4096,
                     std::nullopt,
                     cat({a, Bytes(k, 0), b}),
                     4096 + k};
  };
  const std::string line255 = hex_record(0x00, 0, d255);
  const std::string ela = ext_linear(0x1000) + "\n";
  return {
      {"OnlyEofRecord", eof_record() + "\n", 4096, kInvalid},
      {"EmptyFile", "", 4096, kInvalid},
      {"Exactly4096", data_lines(0, full) + eof_record() + "\n", 4096, 0, 4096, std::nullopt, full,
       4096},
      {"Over4096", data_lines(0, over) + eof_record() + "\n", 4096, kInvalid},
      {"Ela100Bytes", ext_linear(0x1000) + "\n" + data_lines(0, d100) + eof_record() + "\n", 4096,
       0, 4096, 0x10000000, d100, 4096},
      {"BaseFromFirstData", ext_linear(0x2000) + "\n" + data_lines(0x0200, d100), 4096, 0, 4096,
       0x20000200, d100, 4096},
      {"NoElaGapFromZero", data_lines(0x0020, a), 4096, 0, 4096, std::nullopt,
       cat({Bytes(32, 0), a}), 4096 + 32},
      hole(1),
      hole(16),
      hole(300),
      {"SecondElaAppends",
       ext_linear(0x2000) + "\n" + data_lines(0x0200, a) + ext_linear(0x3000) + "\n" +
           data_lines(0x0000, b),
       4096, 0, 4096, 0x20000200, cat({a, b}), 4096},
      // Reading goes on past the end-of-file record, which becomes the previous record: the
      // next one is measured from its address 0.
      {"EofRecordDoesNotEndReading", data_lines(0, a) + eof_record() + "\n" + data_lines(0x10, b),
       4096, 0, 4096, std::nullopt, cat({a, Bytes(16, 0), b}), 4096 + 16},
      {"LowerCaseDigits",
       driveflash::test::hex_record(0x04, 0, {0xAB, 0xCD}, true) + "\n" +
           hex_record(0x00, 0xFE00, b, true) + "\n",
       4096, 0, 4096, 0xABCDFE00, b, 4096},
      {"CrLfLineEnds", ext_linear(0x1000) + "\r\n" + hex_record(0x00, 0, a) + "\r\n", 4096, 0, 4096,
       0x10000000, a, 4096},
      {"Record255BytesReadWhole", line255 + "\n", 4096, 0, 4096, std::nullopt, d255, 4096},
      {"TrailingBlanksWithinLimit",
       line255 + std::string(kLineLimit - 1 - line255.size(), ' ') + "\n", 4096, 0, 4096,
       std::nullopt, d255, 4096},
      {"LineAtTheLimit", line255 + std::string(kLineLimit - line255.size(), ' ') + "\n", 4096,
       kInvalid},
      {"LineFarOverTheLimit", std::string(3 * kLineLimit, '0') + "\n", 4096, kInvalid},
      {"CountLargerThanLine", ":10000000AABB\n", 4096, kInvalid},
      {"CountOneByteShort", hex_record(0x00, 0, a).substr(0, 9 + 2 * 16 - 1) + "\n", 4096,
       kInvalid},
      {"UpperAddressMissing", ":00000004\n" + hex_record(0x00, 0, a) + "\n", 4096, kInvalid},
      {"GapPastTheBuffer", data_lines(0, a) + data_lines(0xFFF0, b), 65535, kInvalid},
      // Gap fill moves the data after it along without counting it: data must still end
      // within the capacity the run sends (found by the loader image fuzzer).
      {"DataBehindAGapPastTheCapacity", ela + data_lines(0, a) + data_lines(0x1000, b), 4096,
       kInvalid},
      {"DataBehindAGapEndingAtTheCapacity", ela + data_lines(0, a) + data_lines(0x0FF0, b), 4096, 0,
       4096, 0x10000000, cat({a, Bytes(0xFE0, 0), b}), 4096 + 0xFE0},
      {"DataOneBytePastTheCapacity", ela + data_lines(0, a) + data_lines(0x0FF1, b), 4096,
       kInvalid},
      {"GapFromZeroPastTheCapacity", data_lines(0x0FF8, a), 4096, kInvalid},
      {"GapAfterTheLastDataIsHarmless",
       ela + data_lines(0, a) + hex_record(0x03, 0x2000, {0, 0, 0, 0}) + "\n" + eof_record() + "\n",
       4096, 0, 4096, 0x10000000, a, 0x2000 + 4096 - 16},
      {"LargerCapacityTakesTheGap", ela + data_lines(0, a) + data_lines(0x1000, b), 8192, 0, 4096,
       0x10000000, cat({a, Bytes(0xFF0, 0), b}), 4096 + 0xFF0},
      {"TwoRegionsFarApart",
       ela + data_lines(0x1000, pattern(32)) + data_lines(0x2400, pattern(8)) + eof_record() + "\n",
       4096, kInvalid},
  };
}

class LoaderImage : public testing::TestWithParam<ImageCase> {};

TEST_P(LoaderImage, BuildsTheImageOrRefusesTheFile) {
  const ImageCase& c = GetParam();
  const TempDir dir;
  const std::string path = dir.write("loader.hex", c.text);
  std::vector<unsigned char> image(kLoaderImageBuffer, kUntouched);
  unsigned base = 0xDEADBEEF;
  unsigned length = 0xDEADBEEF;
  ASSERT_EQ(make_flash_image(path.c_str(), image.data(), c.capacity, &base, &length), c.status);
  if (c.status != 0) {
    return;
  }
  EXPECT_EQ(length, c.length);
  if (c.base) {
    EXPECT_EQ(base, *c.base);
  }
  ASSERT_LE(c.written, image.size());
  EXPECT_TRUE(std::equal(c.prefix.begin(), c.prefix.end(), image.begin()));
  const auto zeros_end = image.begin() + static_cast<long>(c.written);
  EXPECT_TRUE(std::all_of(image.begin() + static_cast<long>(c.prefix.size()), zeros_end,
                          [](unsigned char v) { return v == 0; }));
  EXPECT_TRUE(std::all_of(zeros_end, image.end(), [](unsigned char v) { return v == kUntouched; }));
}

INSTANTIATE_TEST_SUITE_P(Files, LoaderImage, testing::ValuesIn(image_cases()),
                         [](const testing::TestParamInfo<ImageCase>& p) { return p.param.name; });

TEST(LoaderImageOpen, CapacityPathsAndFilesThatCannotBeRead) {
  const TempDir dir;
  const driveflash::test::ScopedCwd cwd(dir.path());
  const std::string path = dir.write("XMC1300/XMC1x_ASCLoader.hex",
                                     ext_linear(0x2000) + "\n" + data_lines(0x0200, pattern(16)));
  std::vector<unsigned char> image(kLoaderImageBuffer);
  unsigned base = 7;
  unsigned length = 7;
  EXPECT_EQ(make_flash_image(path.c_str(), image.data(), 65536, &base, &length), kInvalid);
  EXPECT_EQ(length, 7u);  // cleared only once the file is open
  EXPECT_EQ(make_flash_image(path.c_str(), image.data(), 65535, &base, &length), 0);
  // The run names the loader with a backslash, relative to the working directory.
  base = 0;
  EXPECT_EQ(make_flash_image("XMC1300\\XMC1x_ASCLoader.hex", image.data(), 4096, &base, &length),
            0);
  EXPECT_EQ(base, 0x20000200u);
  const std::string missing = (dir.path() / "absent.hex").string();
  for (const std::string& unreadable : {missing, dir.path().string(), std::string()}) {
    EXPECT_EQ(make_flash_image(unreadable.c_str(), image.data(), 4096, &base, &length), kInvalid)
        << unreadable;
  }
  EXPECT_EQ(make_flash_image(nullptr, image.data(), 4096, &base, &length), kInvalid);
}

// The named entry point writes into the run's 16384-byte buffer whatever the capacity says.
TEST(LoaderImageBounds, NoBytePastTheLoaderBuffer) {
  const TempDir dir;
  const std::string path =
      dir.write("big.hex", data_lines(0, pattern(kLoaderImageBuffer + 1), 255));
  std::vector<unsigned char> image(kLoaderImageBuffer + 64, kUntouched);
  unsigned base = 0;
  unsigned length = 0;
  EXPECT_EQ(make_flash_image(path.c_str(), image.data(), 65535, &base, &length), kInvalid);
  EXPECT_TRUE(std::all_of(image.begin() + kLoaderImageBuffer, image.end(),
                          [](unsigned char v) { return v == kUntouched; }));
}

TEST(LoaderImageBounds, SpanBoundsDataGapAndFill) {
  const TempDir dir;
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"data", data_lines(0, pattern(80))},
      {"gap", data_lines(0, pattern(16)) + data_lines(0x100, pattern(16))},
      {"fill", data_lines(0, pattern(16))},
  };
  for (const auto& c : cases) {
    const std::string path = dir.write(std::string(c.name) + ".hex", c.text);
    std::vector<unsigned char> image(128, kUntouched);
    unsigned base = 0;
    unsigned length = 0;
    EXPECT_EQ(make_flash_image(path.c_str(), std::span(image).first(64), 4096, &base, &length),
              kInvalid)
        << c.name;
    EXPECT_TRUE(std::all_of(image.begin() + 64, image.end(), [](unsigned char v) {
      return v == kUntouched;
    })) << c.name;
  }
}

}  // namespace
