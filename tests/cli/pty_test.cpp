// 'program' over a pseudo-terminal against the stand-alone virtual drive, driveflash-sim:
// the real serial back end end to end, and the drive's flash dumped afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/cli_support.h"

namespace driveflash::test {
namespace {

// driveflash-sim in the background; its first line of output is the device to open.
class SimProcess {
 public:
  explicit SimProcess(const std::string& dump) {
    int out[2];
    if (::pipe(out) != 0) {
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::execl(DRIVEFLASH_SIM, DRIVEFLASH_SIM, "--flash-dump", dump.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    char c = 0;
    while (::read(out[0], &c, 1) == 1 && c != '\n') {
      device_ += c;
    }
    ::close(out[0]);
  }
  ~SimProcess() { stop(); }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  const std::string& device() const { return device_; }
  int stop() {
    if (pid_ <= 0) {
      return -1;
    }
    ::kill(pid_, SIGINT);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  std::string device_;
};

TEST(CliPty, ProgramsTheStandAloneVirtualDrive) {
  TempDir dir;
  stage_run_directory(dir.path());
  const Bytes data = filler(700, 21);
  const std::string file = dir.write("fw.hex", hex_text(0x10001100, data));
  const std::string dump = (dir.path() / "flash.bin").string();
  SimProcess sim(dump);
  ASSERT_TRUE(sim.device().starts_with("/dev/")) << sim.device();

  // At 19200 baud the 4096-byte loader is on the wire for 2.1 s, longer than the loader's
  // 1.0 s reply time-out: the write must not return long before it is through.
  const ProcessResult r = run_cli(
      {"program", file, "--port", sim.device(), "--loader-baud", "19200", "--json"}, dir.path());
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  for (const char* member : {R"("result": "success")", R"("pages_programmed": 3)",
                             R"("pages_counted_by": "file")", R"("verified": null)"}) {
    EXPECT_NE(r.out.find(member), std::string::npos) << member << " in\n" << r.out;
  }
  ASSERT_EQ(sim.stop(), 0);
  const std::string flash = read_text(dump);
  ASSERT_GE(flash.size(), 0x100u + data.size());
  EXPECT_EQ(flash.substr(0x100, data.size()), std::string(data.begin(), data.end()));
  EXPECT_EQ(flash.substr(0, 0x100), std::string(0x100, '\0'));  // untouched: erased
}

}  // namespace
}  // namespace driveflash::test
