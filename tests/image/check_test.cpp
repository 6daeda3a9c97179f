#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/aes.h"
#include "image/file_check.h"
#include "image/intel_hex.h"
#include "platform/files.h"
#include "support/hex_records.h"
#include "support/test_support.h"

namespace {

using driveflash::image::ehex_record_blocks;
using driveflash::platform::FileHandle;
using driveflash::test::Bytes;
using driveflash::test::ehex_file;
using driveflash::test::eof_record;
using driveflash::test::ext_linear;
using driveflash::test::hex_record;
using driveflash::test::pattern;
using driveflash::test::TempDir;

struct BlockCase {
  std::string plaintext;  // the start of a deciphered first block
  int previous;
  int blocks;
};

TEST(RecordBlocks, FromTheByteCountOfTheFirstBlock) {
  const BlockCase cases[] = {
      {":00", 0, 1},
      {":02", 0, 1},
      {":03", 0, 2},
      {":10", 0, 3},
      {":20", 0, 5},
      {":22", 0, 5},
      {":23", 0, 6},
      {":FF", 0, 33},
      {":ff", 0, 33},
      {":1a", 0, 4},
      {":1A", 7, 4},
      // Not a record start: the block is taken to span as many blocks as the record before.
      {"X10", 3, 3},
      {"", 0, 0},
      {";10", 5, 5},
      // A byte count that is not two digits cannot be told.
      {":G0", 0, -1},
      {":1", 0, -1},
      {std::string(":\x01\x00", 3), 0, -1},
      {": 1", 2, -1},
  };
  for (const auto& c : cases) {
    std::array<unsigned char, 16> block{};
    std::memcpy(block.data(), c.plaintext.data(), c.plaintext.size());
    EXPECT_EQ(ehex_record_blocks(block.data(), c.previous), c.blocks) << '"' << c.plaintext << '"';
  }
}

struct CheckCase {
  std::string name;
  Bytes content;
  bool ok;
  int count = 0;
  bool ehex = false;
};

Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

std::string records(std::initializer_list<std::string> lines, const char* end = "\n") {
  std::string out;
  for (const auto& line : lines) {
    out += line + end;
  }
  return out;
}

std::vector<CheckCase> hex_cases() {
  const std::string r1 = hex_record(0x00, 0x0000, pattern(16));
  const std::string r2 = hex_record(0x00, 0x0010, pattern(16, 5));
  const std::string r3 = hex_record(0x00, 0x0020, pattern(16, 9));
  const std::string r255 = hex_record(0x00, 0, pattern(255));
  return {
      {"ThreeRecordsAndEof", text(records({r1, r2, r3, eof_record()})), true, 4},
      {"Empty", {}, true, 0},
      {"NoFinalLineEnd", text(records({r1, r2, r3}) + eof_record()), true, 4},
      {"CrLf", text(records({r1, r2, r3, eof_record()}, "\r\n")), true, 4},
      {"BlankLinesCount", text("\n\n" + r1 + "\n\n"), true, 4},
      {"Record255Bytes", text(records({ext_linear(0x1000), r255, eof_record()})), true, 3},
      {"TrailingBlanksWithinLimit",
       text(records({r255 + std::string(kLineLimit - 1 - r255.size(), ' '), eof_record()})), true,
       2},
      {"LineAtTheLimit", text(records({r1, std::string(kLineLimit, '0'), eof_record()})), false},
      {"LineFarOverTheLimit", text(std::string(10 * kLineLimit, 'A')), false},
  };
}

std::vector<CheckCase> ehex_cases() {
  const std::string r16 = hex_record(0x00, 0x1000, pattern(16));
  const std::string r34 = hex_record(0x00, 0x1010, pattern(34));
  const std::string r255 = hex_record(0x00, 0, pattern(255));
  const Bytes two = ehex_file({r16, eof_record()});
  const auto cut = [](Bytes b, std::size_t drop) {
    b.erase(b.end() - static_cast<long>(drop), b.end());
    return b;
  };
  const auto append = [](Bytes b, const Bytes& more) {
    b.insert(b.end(), more.begin(), more.end());
    return b;
  };
  // A block that does not decipher to ':' (15 characters and one fill byte: one block).
  const Bytes stray = ehex_file({"not a record..."});
  return {
      {"DataAndEof", two, true, 2},
      {"Empty", {}, true, 0},
      {"FiveBlockRecord", ehex_file({ext_linear(0x1000), r34, eof_record()}), true, 3},
      {"Record255Bytes", ehex_file({r255, eof_record()}, '\0'), true, 2},
      {"StrayBlockFirst", append(stray, two), true, 3},
      // After a 3-block record a stray block is taken to span 3 blocks as well.
      {"StrayBlockSpansLikeThePrevious",
       append(append(ehex_file({r16}), stray), ehex_file({eof_record(), eof_record()})), true, 2},
      {"LowerCaseByteCount", ehex_file({hex_record(0x00, 0x1000, pattern(26), true), eof_record()}),
       true, 2},
      {"ByteCountNotDigits", ehex_file({":G0000000" + std::string(10, '0')}), false},
      {"LengthNotBlockMultiple", cut(two, 5), false},
      {"ExtraBytesAfterLastRecord", append(two, Bytes(7, 0x55)), false},
      {"RecordMissingBlocks", cut(two, 16 + 16), false},
      {"RecordMissingItsLastBlock", cut(ehex_file({r255}), 16), false},
  };
}

std::vector<CheckCase> check_cases() {
  std::vector<CheckCase> cases;
  for (CheckCase c : hex_cases()) {
    cases.push_back(std::move(c));
    cases.back().name = "Hex" + cases.back().name;
  }
  for (CheckCase c : ehex_cases()) {
    cases.push_back(std::move(c));
    cases.back().name = "Ehex" + cases.back().name;
    cases.back().ehex = true;
  }
  return cases;
}

class FileCheck : public testing::TestWithParam<CheckCase> {};

TEST_P(FileCheck, CountsRecordsEndsAtTheEndAndRefusesBadFiles) {
  const CheckCase& c = GetParam();
  const TempDir dir;
  const std::string path = dir.write(c.ehex ? "firmware.ehex" : "firmware.hex", c.content);
  const FileHandle file(
      CVI_OpenFile(path.c_str(), VAL_READ_ONLY, VAL_OPEN_AS_IS, c.ehex ? VAL_BINARY : VAL_ASCII));
  ASSERT_TRUE(file.valid());
  const auto check = c.ehex ? ehexfilecheck : hexfilecheck;
  std::array<unsigned char, 16> stored{};
  std::memcpy(stored.data(), key, stored.size());
  int count = -1;
  const int result = check(file.get(), &count);
  EXPECT_EQ(std::memcmp(stored.data(), key, stored.size()), 0);
  if (!c.ok) {
    EXPECT_NE(result, 0);
    return;
  }
  ASSERT_EQ(result, 0);
  EXPECT_EQ(count, c.count);
  char rest[16];
  EXPECT_EQ(CVI_ReadFile(file.get(), rest, 16), 0);
  // The download rewinds and reads the same file again.
  EXPECT_EQ(SetFilePtr(file.get(), 0, 0), 0);
  EXPECT_EQ(check(file.get(), &count), 0);
  EXPECT_EQ(count, c.count);
}

INSTANTIATE_TEST_SUITE_P(Files, FileCheck, testing::ValuesIn(check_cases()),
                         [](const testing::TestParamInfo<CheckCase>& p) { return p.param.name; });

// A handle whose reads fail must end both checks with a failure instead of counting for ever.
TEST(UnreadableHandle, BothChecksFail) {
  const TempDir dir;
  const FileHandle directory(
      CVI_OpenFile(dir.path().string().c_str(), VAL_READ_ONLY, VAL_OPEN_AS_IS, VAL_ASCII));
  std::vector<int> handles{-1, 12345};
  if (directory.valid()) {
    char probe[4];
    ASSERT_EQ(ReadLine(directory.get(), probe, 2), kFileReadError);
    handles.push_back(directory.get());
  }
  for (const int handle : handles) {
    int count = 0;
    EXPECT_NE(hexfilecheck(handle, &count), 0) << handle;
    EXPECT_NE(ehexfilecheck(handle, &count), 0) << handle;
  }
}

}  // namespace
