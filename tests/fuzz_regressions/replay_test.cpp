// Every seed of the fuzz corpora and every input a fuzzer found, through its target's checks.
// A target that finds a property broken aborts, which fails the test with the target's
// message on standard error.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#define DRIVEFLASH_FUZZ_ENTRY(name) \
  extern "C" int name##_one_input(const std::uint8_t* data, std::size_t size);
DRIVEFLASH_FUZZ_ENTRY(flash_image_fuzz)
DRIVEFLASH_FUZZ_ENTRY(file_check_fuzz)
DRIVEFLASH_FUZZ_ENTRY(download_fuzz)
DRIVEFLASH_FUZZ_ENTRY(check_fuzz)
DRIVEFLASH_FUZZ_ENTRY(drive_frames_fuzz)

namespace {

namespace fs = std::filesystem;
using Entry = int (*)(const std::uint8_t*, std::size_t);

struct Target {
  const char* name;
  Entry entry;
};

const Target kTargets[] = {
    {"flash_image_fuzz", flash_image_fuzz_one_input},
    {"file_check_fuzz", file_check_fuzz_one_input},
    {"download_fuzz", download_fuzz_one_input},
    {"check_fuzz", check_fuzz_one_input},
    {"drive_frames_fuzz", drive_frames_fuzz_one_input},
};

std::vector<fs::path> inputs(const char* target) {
  std::vector<fs::path> out;
  for (const char* root : {DRIVEFLASH_FUZZ_CORPUS, DRIVEFLASH_FUZZ_FOUND}) {
    const fs::path dir = fs::path(root) / target;
    if (fs::is_directory(dir)) {
      for (const auto& e : fs::directory_iterator(dir)) {
        if (e.is_regular_file()) {
          out.push_back(e.path());
        }
      }
    }
  }
  return out;
}

class FuzzReplay : public testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, EverySeedAndFoundInputPassesTheTargetsChecks) {
  const Target& t = GetParam();
  const std::vector<fs::path> files = inputs(t.name);
  ASSERT_FALSE(files.empty()) << "no seeds for " << t.name;
  // The empty input too: every target must take it.
  EXPECT_EQ(t.entry(nullptr, 0), 0);
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.string());
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    EXPECT_EQ(t.entry(bytes.data(), bytes.size()), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, testing::ValuesIn(kTargets),
                         [](const testing::TestParamInfo<Target>& p) { return p.param.name; });

}  // namespace
