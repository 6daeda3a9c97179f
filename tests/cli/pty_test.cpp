// 'program' over a pseudo-terminal against the stand-alone virtual drive, driveflash-sim:
// the real serial back end end to end, and the drive's flash dumped afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <string_view>
#include <thread>
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

// The processes whose command line holds `word` (one of its words).
std::vector<pid_t> processes_with(const std::string& word) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    std::string cmdline = read_text(entry.path() / "cmdline");
    std::replace(cmdline.begin(), cmdline.end(), '\0', '\n');
    if (("\n" + cmdline).find("\n" + word + "\n") != std::string::npos) {
      found.push_back(static_cast<pid_t>(std::stol(name)));
    }
  }
  return found;
}

std::vector<std::string> log_results(const std::filesystem::path& log) {
  std::vector<std::string> results;
  for (const auto& row : csv_rows(read_text(log))) {
    results.push_back(row.at("result"));
  }
  return results;
}

// The same drive under its own name and a link to it: two runs would fight over one line, so
// the command refuses before it touches either.
TEST(CliPty, OneDriveUnderTwoNamesIsRefusedUntouched) {
  TempDir dir;
  stage_run_directory(dir.path());
  const std::string file = dir.write("fw.hex", hex_text(0x10001000, filler(600, 8)));
  SimProcess sim((dir.path() / "flash.bin").string());
  ASSERT_TRUE(sim.device().starts_with("/dev/")) << sim.device();
  const std::string link = (dir.path() / "drive").string();
  std::filesystem::create_symlink(sim.device(), link);

  const ProcessResult r = run_cli(
      {"program", file, "--port", sim.device(), "--port", link, "--log", "runs.csv"}, dir.path());
  EXPECT_EQ(r.exit_status, 2) << r.out << r.err;
  EXPECT_NE(r.err.find("are the same device (" + sim.device() + ")"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("初始化中..."), std::string::npos) << r.out;
  EXPECT_EQ(log_results(dir.path() / "runs.csv"), (std::vector<std::string>{"refused", "refused"}));
  // Untouched: its firmware still runs and answers the next run as a drive that never left it.
  const ProcessResult again = run_cli({"program", file, "--port", link}, dir.path());
  EXPECT_EQ(again.exit_status, 0) << again.out << again.err;
  EXPECT_NE(again.out.find("驱动器连接成功!"), std::string::npos) << again.out;
}

// The ways a supervisor, a terminal or a system ends the program while two drives download:
// every child is stopped and waited for, each port gets its row, and a second later no process
// of the command is left. Killed outright, the command cannot write rows, but its children
// still go with it.
TEST(CliPty, EveryWayTheProgramEndsEndsEveryRunItStarted) {
  struct Case {
    const char* name;
    std::vector<int> signals;
    int status;
    std::size_t rows;
  };
  const std::vector<Case> table = {
      {"ctrl-c twice", {SIGINT, SIGINT}, 130, 2},
      {"sigterm", {SIGTERM}, 130, 2},
      {"terminal closed", {SIGHUP}, 130, 2},
      {"killed", {SIGKILL}, 128 + SIGKILL, 0},
  };
  for (const Case& c : table) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    stage_run_directory(dir.path());
    // 24 pages at 250 ms each: the downloads are well under way when the signals come.
    const std::string file = dir.write("fw.hex", hex_text(0x10001000, filler(24 * 256, 9)));
    SimProcess a((dir.path() / "a.bin").string(), "application", {"--faults", "page-time=250"});
    SimProcess b((dir.path() / "b.bin").string(), "application", {"--faults", "page-time=250"});
    ASSERT_TRUE(a.device().starts_with("/dev/") && b.device().starts_with("/dev/"));
    std::set<std::string> downloading;
    std::chrono::steady_clock::time_point signalled;
    const ProcessResult r =
        run_cli({"program", file, "--port", a.device(), "--port", b.device(), "--log", "runs.csv"},
                dir.path(), {}, [&](const std::string& line, pid_t pid) {
                  if (line.ends_with("] progress: 20 %") && downloading.size() < 2) {
                    downloading.insert(line.substr(0, line.find(']')));
                    if (downloading.size() == 2) {
                      for (const int number : c.signals) {
                        ::kill(pid, number);
                        std::this_thread::sleep_for(std::chrono::milliseconds(200));
                      }
                      signalled = std::chrono::steady_clock::now();
                    }
                  }
                });
    const auto took = std::chrono::steady_clock::now() - signalled;
    ASSERT_EQ(downloading.size(), 2u) << r.err;
    EXPECT_EQ(r.exit_status, c.status) << r.out << r.err;
    EXPECT_LT(took, std::chrono::seconds(6)) << "the end waits a bounded time";
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (const std::string& device : {a.device(), b.device()}) {
      EXPECT_EQ(processes_with(device), std::vector<pid_t>{}) << device << " still served";
    }
    const std::vector<std::string> results = log_results(dir.path() / "runs.csv");
    EXPECT_EQ(results, std::vector<std::string>(c.rows, "stopped"))
        << read_text(dir.path() / "runs.csv");
  }
}

}  // namespace
}  // namespace driveflash::test
