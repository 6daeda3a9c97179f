#include "platform/files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using driveflash::platform::FileHandle;
using driveflash::test::ScopedCwd;
using driveflash::test::TempDir;

// Reads every line with the given limit; results as "text" or "<-2>".
std::vector<std::string> read_lines(const std::string& path, int limit, int type = VAL_ASCII) {
  FileHandle f(CVI_OpenFile(path.c_str(), VAL_READ_ONLY, VAL_OPEN_AS_IS, type));
  EXPECT_TRUE(f.valid());
  std::vector<std::string> out;
  std::vector<char> buf(static_cast<std::size_t>(limit) + 1);
  for (int i = 0; i < 100; ++i) {
    const int n = ReadLine(f.get(), buf.data(), limit);
    if (n < 0) {
      out.push_back("<" + std::to_string(n) + ">");
      break;
    }
    EXPECT_EQ(static_cast<std::size_t>(n), std::string(buf.data()).size());
    out.emplace_back(buf.data());
  }
  return out;
}

TEST(ReadLine, DeliversLinesByTheLimitRule) {
  struct Case {
    const char* name;
    std::string content;
    int limit;
    int type;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"lf", "ab\ncd\n", 10, VAL_ASCII, {"ab", "cd", "<-2>"}},
      {"crlf text", "ab\r\ncd\r\n", 10, VAL_ASCII, {"ab", "cd", "<-2>"}},
      {"crlf binary keeps cr", "ab\r\n", 10, VAL_BINARY, {"ab\r", "<-2>"}},
      {"no final line end", "ab\ncd", 10, VAL_ASCII, {"ab", "cd", "<-2>"}},
      {"blank lines count", "\n\nx\n", 10, VAL_ASCII, {"", "", "x", "<-2>"}},
      {"empty file", "", 10, VAL_ASCII, {"<-2>"}},
      {"exactly the limit is whole", "abcd\nef\n", 4, VAL_ASCII, {"abcd", "ef", "<-2>"}},
      {"exactly the limit crlf", "abcd\r\nef\n", 4, VAL_ASCII, {"abcd", "ef", "<-2>"}},
      {"longer line goes on", "abcdef\ng\n", 4, VAL_ASCII, {"abcd", "ef", "g", "<-2>"}},
      {"lone cr is data", "a\rb\n", 10, VAL_ASCII, {"a\rb", "<-2>"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    EXPECT_EQ(read_lines(dir.write("f.txt", c.content), c.limit, c.type), c.lines) << c.name;
  }
}

TEST(Files, ErrorsAreResultsNeverData) {
  char buf[32] = {};
  EXPECT_EQ(CVI_OpenFile("/no/such/file", VAL_READ_ONLY, VAL_OPEN_AS_IS, VAL_ASCII), -1);
  EXPECT_EQ(ReadLine(-1, buf, 16), kFileReadError);
  EXPECT_EQ(CVI_ReadFile(-1, buf, 16), kFileReadError);
  EXPECT_EQ(SetFilePtr(-1, 0, 0), -1);
  EXPECT_EQ(CVI_CloseFile(-1), -1);

  TempDir dir;
  // A directory opens on some systems but never reads as data.
  const int h =
      CVI_OpenFile(dir.path().string().c_str(), VAL_READ_ONLY, VAL_OPEN_AS_IS, VAL_BINARY);
  if (h >= 0) {
    EXPECT_EQ(CVI_ReadFile(h, buf, 16), kFileReadError);
    EXPECT_EQ(ReadLine(h, buf, 16), kFileReadError);
    CVI_CloseFile(h);
  }
  // A closed handle is gone.
  const std::string path = dir.write("x", "data");
  const int g = CVI_OpenFile(path.c_str(), VAL_READ_ONLY, VAL_OPEN_AS_IS, VAL_BINARY);
  ASSERT_GE(g, 0);
  EXPECT_EQ(CVI_CloseFile(g), 0);
  EXPECT_EQ(CVI_ReadFile(g, buf, 4), kFileReadError);
}

TEST(Files, BlocksRewindAndBackslashPaths) {
  TempDir dir;
  dir.write("XMC1300/f.bin", std::string("0123456789ABCDEFxyz"));
  ScopedCwd cwd(dir.path());
  FileHandle f(CVI_OpenFile("XMC1300\\f.bin", VAL_READ_ONLY, VAL_OPEN_AS_IS, VAL_BINARY));
  ASSERT_TRUE(f.valid());
  char block[16];
  EXPECT_EQ(CVI_ReadFile(f.get(), block, 16), 16);
  EXPECT_EQ(CVI_ReadFile(f.get(), block, 16), 3);
  EXPECT_EQ(CVI_ReadFile(f.get(), block, 16), 0);
  EXPECT_EQ(SetFilePtr(f.get(), 0, 0), 0);
  EXPECT_EQ(CVI_ReadFile(f.get(), block, 4), 4);
  EXPECT_EQ(std::string(block, 4), "0123");
}

}  // namespace
