// 'program' as a child process on the built-in virtual drive, in real time: the protocol's
// fixed waits make each run take seconds, so these few cover what only a process shows:
// the exit status, standard output and error, and Ctrl-C.
#include <gtest/gtest.h>
#include <signal.h>

#include "cli/cli_support.h"

namespace driveflash::test {
namespace {

class CliRun : public ::testing::Test {
 protected:
  CliRun() {
    stage_run_directory(dir_.path());
    firmware_ = dir_.write("fw.hex", hex_text(0x10001000, filler(32, 7)));
  }
  TempDir dir_;
  std::string firmware_;
};

TEST_F(CliRun, ProgramsTheVirtualDriveAndReportsInJson) {
  const ProcessResult r = run_cli({"program", firmware_, "--port", "sim", "--json"}, dir_.path());
  EXPECT_EQ(r.exit_status, 0) << r.err;
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.front(), '{');
  EXPECT_EQ(r.out.substr(r.out.size() - 2), "}\n");
  for (const char* member : {R"("result": "success")", R"("exit_status": 0)",
                             R"("pages_programmed": 1)", R"("verified": true)"}) {
    EXPECT_NE(r.out.find(member), std::string::npos) << member << " in\n" << r.out;
  }
  EXPECT_NE(r.err.find("初始化中...\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("progress: 100 %"), std::string::npos) << r.err;
}

TEST_F(CliRun, AFailedRunExitsOneAndEndsWithItsReason) {
  const ProcessResult r = run_cli({"program", firmware_, "--port", "sim:silent"}, dir_.path());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(r.out.starts_with(
      "初始化中...\n未知型号的驱动器!\n端口 1 (sim) 无应答（驱动器 19200 波特，引导程序 115200 "
      "波特）：检查接线、驱动器电源、串口和驱动器波特率；上次运行未完成时，请试试救援 / No answer "
      "on port 1 "
      "(sim), neither from the drive at 19200 baud nor from its "
      "bootstrap loader at 115200 baud"))
      << r.out;
  EXPECT_NE(r.err.find("the run failed: 未知型号的驱动器!"), std::string::npos) << r.err;
}

TEST_F(CliRun, CtrlCStopsTheRunAndExits130) {
  bool sent = false;
  const ProcessResult r = run_cli({"program", firmware_, "--port", "sim"}, dir_.path(),
                                  [&sent](const std::string& line, pid_t pid) {
                                    if (!sent && line == "初始化中...") {
                                      ::kill(pid, SIGINT);
                                      sent = true;
                                    }
                                  });
  EXPECT_TRUE(sent);
  EXPECT_EQ(r.exit_status, 130) << r.out << r.err;
  EXPECT_NE(r.err.find("stopping"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("Bootload success!"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace driveflash::test
