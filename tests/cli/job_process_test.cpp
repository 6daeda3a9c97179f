// 'program --job' as a child process: the job's firmware, settings and ports are what runs, and
// a firmware whose bytes changed after the job was saved is refused before any drive is touched.
#include <gtest/gtest.h>

#include "app/job.h"
#include "cli/cli_support.h"
#include "image/firmware_file.h"

namespace driveflash::test {
namespace {

TEST(CliJob, TheJobsFirmwareRunsAndAChangedOneIsRefusedFirst) {
  TempDir dir;
  stage_run_directory(dir.path());
  const std::string firmware = dir.write("fw.hex", hex_text(0x10001000, filler(300, 5)));
  app::Job job;
  job.firmware = firmware;
  job.sha256 = image::read_firmware(firmware, kFileTypeHex).sha256;
  job.timing = kTimingFast;
  job.retries = 1;
  job.verify = true;
  job.ports = {"sim", "sim"};
  ASSERT_EQ(app::write_job(dir.path() / "line.job", job), "");

  const ProcessResult ok = run_cli({"program", "--job", "line.job", "--json"}, dir.path());
  EXPECT_EQ(ok.exit_status, 0) << ok.err;
  // Both of the job's ports, each in the job's timing, read back as the job says, each drive's
  // flash the file's.
  EXPECT_NE(ok.out.find(R"("units_programmed": 2)"), std::string::npos) << ok.out;
  for (const char* member : {R"("port": "sim")", R"("timing": "fast")",
                             R"("read_back": "verified")", R"("verified": true)"}) {
    std::size_t count = 0;
    for (std::size_t at = ok.out.find(member); at != std::string::npos;
         at = ok.out.find(member, at + 1)) {
      ++count;
    }
    EXPECT_EQ(count, 2u) << member;
  }

  dir.write("fw.hex", hex_text(0x10001000, filler(300, 6)));
  const ProcessResult refused =
      run_cli({"program", "--job", "line.job", "--port", "sim", "--log", "runs.csv"}, dir.path());
  EXPECT_EQ(refused.exit_status, 2);
  EXPECT_NE(refused.err.find("is not the job's"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("no drive was touched"), std::string::npos) << refused.err;
  EXPECT_EQ(refused.out, "");
}

}  // namespace
}  // namespace driveflash::test
