// The job file: what it keeps and gives back, what it refuses and where, and Program's check of
// the firmware against a locked job.
#include "app/job.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "image/firmware_file.h"
#include "support/test_support.h"

namespace driveflash::test {
namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

app::Job full_job() {
  app::Job job;
  job.name = "Line 3 = pump";  // a value may hold '='
  job.firmware = "/srv/fw/pump 2.1.ehex";
  job.sha256 = std::string(64, 'a');
  job.kind = kFileTypeEhex;
  job.drive_baud = 9600;
  job.loader_baud = 921600;
  job.timing = kTimingFast;
  job.retries = 3;
  job.verify = true;
  job.rescue_wait = 45;
  job.ports = {"/dev/ttyUSB0", "sim:silent,slow=5ms"};
  return job;
}

TEST(JobFile, WhatIsSavedComesBackWholeAndReadable) {
  const app::Job job = full_job();
  const std::string text = app::job_text(job);
  EXPECT_NE(text.find("kind = ehex\n"), std::string::npos) << text;
  EXPECT_NE(text.find("port = sim:silent,slow=5ms\n"), std::string::npos) << text;
  std::string error;
  const std::optional<app::Job> back = app::parse_job(text, "/elsewhere", error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(*back, job);

  // On disk, a firmware beside the job is named relative to it, and found again from there.
  TempDir dir;
  app::Job beside = job;
  beside.firmware = (dir.path() / "fw" / "pump.ehex").string();
  const fs::path file = dir.path() / "line3.job";
  ASSERT_EQ(app::write_job(file, beside), "");
  EXPECT_NE(read_text(file).find("firmware = fw/pump.ehex\n"), std::string::npos)
      << read_text(file);
  const std::optional<app::Job> read = app::read_job(file, error);
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(*read, beside);
  // Without a name of its own, the job is called after its file.
  beside.name.clear();
  ASSERT_EQ(app::write_job(file, beside), "");
  EXPECT_EQ(app::read_job(file, error)->name, "line3");
}

TEST(JobFile, BadInputIsRefusedWithItsLine) {
  const std::string sha = "sha256 = " + std::string(64, 'B') + "\n";
  const std::string head = "[job]\nfirmware = fw.hex\n" + sha + "kind = hex\n";
  const std::vector<std::pair<std::string, std::string>> table = {
      {"firmware = fw.hex\nkind = hex\n", "no sha256 line"},
      {"[job]\n" + sha + "kind = hex\n", "no firmware line"},
      {"[other]\n", "line 1: unknown section [other]"},
      {head + "baud 19200\n", "line 5: not 'key = value'"},
      {head + "timming = fast\n", "line 5: unknown key 'timming'"},
      {head + "kind = ehex\n", "line 5: kind given twice"},
      {head + "timing = quick\n", "line 5: timing wants 'standard' or 'fast', not 'quick'"},
      {head + "drive_baud = 12x\n", "line 5: drive_baud wants a whole number from 50 to 4000000"},
      {head + "loader_baud = 49\n", "line 5: loader_baud wants a whole number from 50"},
      {head + "rescue_wait = 0\n", "line 5: rescue_wait wants a whole number from 1 to 3600"},
      {head + "retries = -1\n", "line 5: retries wants a whole number from 0 to 100"},
      {head + "verify = yes\n", "line 5: verify wants 'on' or 'off', not 'yes'"},
      {head + "name =\n", "line 5: name has no value"},
      {"[job]\nfirmware = fw.hex\nsha256 = 12ab\nkind = hex\n",
       "line 3: sha256 wants 64 hex digits, not '12ab'"},
      {"[job]\nfirmware = fw.hex\n" + sha + "kind = HEX\n", "line 4: kind wants 'hex' or 'ehex'"},
  };
  for (const auto& [text, why] : table) {
    SCOPED_TRACE(text);
    std::string error;
    EXPECT_FALSE(app::parse_job(text, "/jobs", error));
    EXPECT_TRUE(error.starts_with(why)) << error;
  }
  // Comments, blank lines, CR LF and a byte-order mark are a person's editing, not errors.
  std::string error;
  const auto job = app::parse_job("\xEF\xBB\xBF# note\r\n\r\n; note\r\n" + head, "/jobs", error);
  ASSERT_TRUE(job) << error;
  EXPECT_EQ(job->firmware, "/jobs/fw.hex");
  EXPECT_EQ(job->sha256, std::string(64, 'b'));

  TempDir dir;
  EXPECT_FALSE(app::read_job(dir.path() / "none.job", error));
  EXPECT_EQ(error, "the job file cannot be opened");
  EXPECT_FALSE(
      app::read_job(dir.write("big.job", std::string(app::kMaxJobFileBytes + 1, '#')), error));
  EXPECT_TRUE(error.starts_with("the job file is larger than")) << error;
}

TEST(JobFile, ALockedJobRefusesAnyOtherBytes) {
  TempDir dir;
  const std::string path = dir.write("fw.hex", ":00000001FF\n");
  const image::FirmwareFile firmware = image::read_firmware(path, kFileTypeHex);
  ASSERT_TRUE(firmware.read());
  app::lock_job(std::nullopt);
  EXPECT_EQ(app::job_refusal(firmware), "");
  app::Job job = full_job();
  job.sha256 = firmware.sha256;
  app::lock_job(job);
  EXPECT_EQ(app::job_refusal(firmware), "");
  dir.write("fw.hex", ":00000001FF\n\n");
  const std::string why = app::job_refusal(image::read_firmware(path, kFileTypeHex));
  EXPECT_TRUE(why.starts_with("固件文件与作业不符")) << why;
  EXPECT_NE(why.find("The firmware file is not the job's"), std::string::npos);
  EXPECT_NE(why.find(firmware.sha256), std::string::npos);
  app::lock_job(std::nullopt);
}

}  // namespace
}  // namespace driveflash::test
