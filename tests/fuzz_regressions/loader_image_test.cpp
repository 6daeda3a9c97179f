// What the loader image fuzzer found: gap fill moves the data after it along without counting
// it, so a loader file could place data past the 4096 bytes the run sends and still pass as
// built. Data must end within the capacity; gap fill after the last data is harmless.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "image/intel_hex.h"
#include "support/hex_records.h"
#include "support/test_support.h"

namespace driveflash::test {
namespace {

constexpr int kInvalid = 241;

struct GapCase {
  const char* name;
  std::string text;
  unsigned capacity;
  int status;
  std::size_t data_end = 0;  // built images: where the last data record's bytes end
  Bytes last;                // ... and those bytes
};

std::vector<GapCase> gap_cases() {
  const Bytes a = pattern(16, 1);
  const Bytes b = pattern(16, 3);
  const std::string ela = ext_linear(0x1000) + "\n";
  return {
      {"DataBehindAGapPastTheCapacity", ela + data_lines(0, a) + data_lines(0x1000, b), 4096,
       kInvalid, 0},
      {"DataBehindAGapEndingAtTheCapacity", ela + data_lines(0, a) + data_lines(0x0FF0, b), 4096, 0,
       4096, b},
      {"OneByteOver", ela + data_lines(0, a) + data_lines(0x0FF1, b), 4096, kInvalid, 0},
      {"GapFromZeroPastTheCapacity", data_lines(0x0FF8, a), 4096, kInvalid, 0},
      {"GapAfterTheLastDataOnly",
       ela + data_lines(0, a) + hex_record(0x03, 0x2000, {0, 0, 0, 0}) + "\n" + eof_record() + "\n",
       4096, 0, 16, a},
      {"LargerCapacityTakesTheGap", ela + data_lines(0, a) + data_lines(0x1000, b), 8192, 0, 0x1010,
       b},
      // The fuzzer's own input: two regions 0x1400 bytes apart.
      {"TwoRegions",
       ela + data_lines(0x1000, pattern(32)) + data_lines(0x2400, pattern(8)) + eof_record() + "\n",
       4096, kInvalid, 0},
  };
}

class LoaderImageGap : public testing::TestWithParam<GapCase> {};

TEST_P(LoaderImageGap, DataMustEndWithinTheCapacity) {
  const GapCase& c = GetParam();
  const TempDir dir;
  const std::string path = dir.write("loader.hex", c.text);
  std::vector<unsigned char> image(kLoaderImageBuffer, 0xEE);
  unsigned base = 0;
  unsigned length = 0;
  ASSERT_EQ(make_flash_image(path.c_str(), image.data(), c.capacity, &base, &length), c.status);
  if (c.status != 0) {
    return;
  }
  EXPECT_EQ(length, kLoaderImageFill);
  EXPECT_TRUE(std::equal(c.last.begin(), c.last.end(),
                         image.begin() + static_cast<long>(c.data_end - c.last.size())));
}

INSTANTIATE_TEST_SUITE_P(Files, LoaderImageGap, testing::ValuesIn(gap_cases()),
                         [](const testing::TestParamInfo<GapCase>& p) { return p.param.name; });

}  // namespace
}  // namespace driveflash::test
