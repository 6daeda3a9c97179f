// 'program' over a pseudo-terminal against the stand-alone virtual drive, driveflash-sim:
// the real serial back end end to end, and the drive's flash dumped afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string_view>
#include <vector>

#include "cli/cli_support.h"

namespace driveflash::test {
namespace {

// driveflash-sim in the background; its first line of output is the device to open.
class SimProcess {
 public:
  // `options`: further words of driveflash-sim's command line.
  explicit SimProcess(const std::string& dump, const char* start = "application",
                      std::vector<std::string> options = {}) {
    int out[2];
    if (::pipe(out) != 0) {
      return;
    }
    std::vector<std::string> words = {DRIVEFLASH_SIM, "--flash-dump", dump};
    if (std::string_view(start) != "application") {
      words.insert(words.end(), {"--start", start});
    }
    words.insert(words.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& w : words) {
      argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::execv(DRIVEFLASH_SIM, argv.data());
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
  // The drive is switched off and on.
  void power_cycle() const { ::kill(pid_, SIGUSR1); }
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

// Both timing profiles over a real serial back end: the fast one leaves out waits, not bytes.
TEST(CliPty, ProgramsTheStandAloneVirtualDrive) {
  for (const std::string timing : {"standard", "fast"}) {
    SCOPED_TRACE(timing);
    TempDir dir;
    stage_run_directory(dir.path());
    const Bytes data = filler(700, 21);
    const std::string file = dir.write("fw.hex", hex_text(0x10001100, data));
    const std::string dump = (dir.path() / "flash.bin").string();
    SimProcess sim(dump);
    ASSERT_TRUE(sim.device().starts_with("/dev/")) << sim.device();

    // At 19200 baud the 4096-byte loader is on the wire for 2.1 s, longer than the loader's
    // 1.0 s reply time-out: the write must not return long before it is through.
    const ProcessResult r = run_cli({"program", file, "--port", sim.device(), "--loader-baud",
                                     "19200", "--timing", timing, "--json"},
                                    dir.path());
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    const std::string timing_member = R"("timing": ")" + timing + "\"";
    for (const char* member : {R"("result": "success")", R"("pages_programmed": 3)",
                               R"("verified": null)", timing_member.c_str()}) {
      EXPECT_NE(r.out.find(member), std::string::npos) << member << " in\n" << r.out;
    }
    ASSERT_EQ(sim.stop(), 0);
    const std::string flash = read_text(dump);
    ASSERT_GE(flash.size(), 0x100u + data.size());
    EXPECT_EQ(flash.substr(0x100, data.size()), std::string(data.begin(), data.end()));
    EXPECT_EQ(flash.substr(0, 0x100), std::string(0x100, '\0'));  // untouched: erased
  }
}

// Two stand-alone drives at once, as a line with two adapters: each flash holds the file, and
// the JSON object holds one run's object per port.
TEST(CliPty, ProgramsTwoDrivesAtOnce) {
  TempDir dir;
  stage_run_directory(dir.path());
  const Bytes data = filler(600, 33);
  const std::string file = dir.write("fw.hex", hex_text(0x10001000, data));
  std::vector<std::string> dumps = {(dir.path() / "a.bin").string(),
                                    (dir.path() / "b.bin").string()};
  SimProcess a(dumps[0]);
  SimProcess b(dumps[1]);
  ASSERT_TRUE(a.device().starts_with("/dev/") && b.device().starts_with("/dev/"));

  const ProcessResult r =
      run_cli({"program", file, "--port", a.device(), "--port", b.device(), "--json"}, dir.path());
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(r.out.starts_with("{\n  \"result\": \"success\",\n  \"exit_status\": 0,")) << r.out;
  for (const std::string& device : {a.device(), b.device()}) {
    EXPECT_NE(r.out.find("\"port\": \"" + device + "\", \"drive_baud\""), std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("[" + device + "] Bootload success!\n"), std::string::npos) << r.err;
  }
  // One object per port, in the order of the ports.
  EXPECT_LT(r.out.find("\"port\": \"" + a.device() + "\""),
            r.out.find("\"port\": \"" + b.device() + "\""));
  ASSERT_EQ(a.stop(), 0);
  ASSERT_EQ(b.stop(), 0);
  for (const std::string& dump : dumps) {
    const std::string flash = read_text(dump);
    ASSERT_GE(flash.size(), data.size());
    EXPECT_EQ(flash.substr(0, data.size()), std::string(data.begin(), data.end())) << dump;
  }
}

// A drive stranded with its secondary loader running: rescue waits, the drive is switched off
// and on while it waits, and the run programs it.
TEST(CliPty, RescueProgramsADriveStuckInItsLoaderAfterAPowerCycle) {
  TempDir dir;
  stage_run_directory(dir.path());
  const Bytes data = filler(600, 5);
  const std::string file = dir.write("fw.hex", hex_text(0x10001000, data));
  const std::string dump = (dir.path() / "flash.bin").string();
  SimProcess sim(dump, "stuck-loader");
  ASSERT_TRUE(sim.device().starts_with("/dev/")) << sim.device();

  int prompts = 0;
  const ProcessResult r =
      run_cli({"program", file, "--port", sim.device(), "--rescue", "--rescue-wait", "60"},
              dir.path(), [&](const std::string& line, pid_t) {
                if (line.starts_with("请关闭驱动器电源再打开") && prompts++ == 0) {
                  sim.power_cycle();
                }
              });
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(prompts, 1) << r.out;
  EXPECT_NE(r.out.find("驱动器正在引导模式，继续烧录"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("驱动器连接成功!"), std::string::npos) << "the firmware was never asked";
  ASSERT_EQ(sim.stop(), 0);
  const std::string flash = read_text(dump);
  ASSERT_GE(flash.size(), data.size());
  EXPECT_EQ(flash.substr(0, data.size()), std::string(data.begin(), data.end()));
}

// Switched off and on while rescue waits, the drive puts a 0x00 (a break) on the line ahead of
// its loader's 0x5D: the first power cycle is enough. The cycle comes 6 s after the drive first
// heard the host, while rescue waits (a hand-timed one would be a matter of luck).
TEST(CliPty, RescueTakesThePowerCyclesJunkInItsStride) {
  TempDir dir;
  stage_run_directory(dir.path());
  const Bytes data = filler(600, 6);
  const std::string file = dir.write("fw.hex", hex_text(0x10001000, data));
  const std::string dump = (dir.path() / "flash.bin").string();
  SimProcess sim(dump, "stuck-loader",
                 {"--power-cycle-junk", "00", "--faults", "power-cycle-after=6"});
  ASSERT_TRUE(sim.device().starts_with("/dev/")) << sim.device();
  const ProcessResult r = run_cli(
      {"program", file, "--port", sim.device(), "--rescue", "--rescue-wait", "30"}, dir.path());
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("驱动器正在引导模式，继续烧录"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
  ASSERT_EQ(sim.stop(), 0);
  const std::string flash = read_text(dump);
  ASSERT_GE(flash.size(), data.size());
  EXPECT_EQ(flash.substr(0, data.size()), std::string(data.begin(), data.end()));
}

}  // namespace
}  // namespace driveflash::test
