// Programming runs on the virtual drive in real time, each in a process of its own, for the
// performance report (scripts/perf_report.sh).
//
// usage: perf_runs [--sizes KB,...] [--kinds hex,ehex] [--line instant|paced|both]
//                  [--timing standard|fast|both] [--page-time MS] [--erase-time MS]
//
// Writes one tab-separated line per run to standard output, with a header line. Each run is
// this program again as a child (--child), which maps a fresh virtual drive whose lines count
// the bytes they carry, runs 'program' exactly as driveflash-cli does and reports the run's wall
// time and the sum of the waits the protocol asked for; the parent takes the child's CPU time
// and peak memory from wait4(), so no run is charged for another. "instant": the drive's bytes
// arrive at once, so the wall time shows what the tool adds to the waits; "paced": they take
// their time on the wire at the line's baud rate (the virtual drive's line-time option).
// --page-time and --erase-time give the chip's own time per page and per sector.
//
// Each row also gives the run's physical floor: every byte's time on the line at its baud rate,
// each page's and each sector's work, and the waits the drive needs in either timing profile;
// and the wall time of the whole child process, from its start to its exit, over the floor and
// over the waits the run asked for.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/arguments.h"
#include "cli/program.h"
#include "image/download.h"
#include "perf_support.h"
#include "platform/timing.h"
#include "platform/waker.h"
#include "run/run_context.h"

namespace {

namespace fs = std::filesystem;
namespace bench = driveflash::bench;
namespace cli = driveflash::cli;

// Away from port 1 and the numbers serial devices get, as the window's virtual drive.
constexpr int kPort = 99;
// 8N1: start bit, 8 data bits, stop bit.
constexpr double kBitsPerByte = 10;
// The waits the drive needs, kept in both profiles: 0.5 s after the reset request, 0.2 s after
// the port closed, the handshake's two pauses of 0.2 s.
constexpr double kDriveWaits = 0.5 + 0.2 + 0.2 + 0.2;

struct Setup {
  bool paced = false;
  bool fast = false;
  long page_ms = 0;
  long erase_ms = 0;
};

// The child: one run; prints "status wall waits pages verified drive_baud loader_baud" and the
// byte counts per baud rate, then the sectors erased, on one line.
int child(const std::string& file, const Setup& setup) {
  static char name[] = "perf_runs";
  static char* qt_argv[] = {name, nullptr};
  static int qt_argc = 1;
  QCoreApplication app(qt_argc, qt_argv);  // as driveflash-cli has one for its runs

  driveflash::sim::Faults faults;
  faults.line_time = setup.paced;
  faults.page_time = std::chrono::milliseconds(setup.page_ms);
  faults.erase_time = std::chrono::milliseconds(setup.erase_ms);
  auto drive = std::make_shared<driveflash::sim::VirtualDrive>(faults);
  auto tally = std::make_shared<bench::LineTally>();
  bench::map_counted_drive(kPort, drive, tally);

  cli::Arguments args;
  args.command = cli::Command::Program;
  args.file = file;
  args.port = std::to_string(kPort);
  args.timing = setup.fast ? kTimingFast : kTimingStandard;
  std::ostringstream out;
  std::ostringstream err;
  const cli::Terminal term{out, err, false, 80};
  driveflash::platform::RunWaker waker;
  cli::RunReport report;
  driveflash::platform::reset_requested_waits();
  const auto start = std::chrono::steady_clock::now();
  const int status = cli::run_program(args, term, waker, report);
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  const double waits = static_cast<double>(driveflash::platform::requested_waits().count()) / 1e6;

  std::string why;
  const bool verified =
      status == cli::kExitOk && bench::flash_holds(*drive, file, cli::kind_from_name(file), why);
  if (status != cli::kExitOk || !verified) {
    std::fprintf(stderr, "perf_runs: %s: %s%s\n", file.c_str(),
                 report.outcome.line.empty() ? why.c_str() : report.outcome.line.c_str(),
                 err.str().empty() ? "" : ("\n" + err.str()).c_str());
  }
  const auto drive_baud = report.drive_baud.value_or(0);
  const auto loader_baud = report.loader_baud.value_or(0);
  const auto at_drive = tally->at(drive_baud);
  const auto at_loader = tally->at(loader_baud);
  std::printf("%d\t%.4f\t%.4f\t%llu\t%d\t%ld\t%llu\t%llu\t%ld\t%llu\t%llu\t%llu\n", status,
              wall.count(), waits,
              static_cast<unsigned long long>(drive->statistics().pages_programmed),
              verified ? 1 : 0, drive_baud, static_cast<unsigned long long>(at_drive.sent),
              static_cast<unsigned long long>(at_drive.received), loader_baud,
              static_cast<unsigned long long>(at_loader.sent),
              static_cast<unsigned long long>(at_loader.received),
              static_cast<unsigned long long>(drive->statistics().sectors_erased));
  return status;
}

// Jiffies the machine spent busy and in total, over all cores.
std::pair<double, double> cpu_jiffies() {
  std::ifstream stat("/proc/stat");
  std::string cpu;
  double user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
  stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
  const double busy = user + nice + system + irq + softirq + steal;
  return {busy, busy + idle + iowait};
}

struct Outcome {
  std::string line;  // the child's report
  rusage usage{};
  double process_seconds = 0;
  double busy_cores = 0;  // the machine's average busy cores over the run, this run included
  bool ok = false;
};

Outcome spawn(const std::string& self, const std::string& file, const Setup& setup) {
  Outcome o;
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) {
    return o;
  }
  const auto [busy0, total0] = cpu_jiffies();
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipe_fds[1], STDOUT_FILENO);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    const std::string page = std::to_string(setup.page_ms);
    const std::string erase = std::to_string(setup.erase_ms);
    ::execl(self.c_str(), self.c_str(), "--child", file.c_str(), setup.paced ? "paced" : "instant",
            setup.fast ? "fast" : "standard", page.c_str(), erase.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  char buffer[512];
  ssize_t n = 0;
  while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
    o.line.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  if (pid < 0 || ::wait4(pid, &status, 0, &o.usage) != pid) {
    return o;
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  o.process_seconds = took.count();
  const auto [busy1, total1] = cpu_jiffies();
  const double cores = static_cast<double>(::sysconf(_SC_NPROCESSORS_ONLN));
  o.busy_cores = total1 > total0 ? (busy1 - busy0) / (total1 - total0) * cores : 0;
  o.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  while (!o.line.empty() && (o.line.back() == '\n' || o.line.back() == '\r')) {
    o.line.pop_back();
  }
  return o;
}

// Adds the columns the parent knows to the child's line.
std::string row(std::size_t kb, const std::string& kind, const Setup& setup, const Outcome& o) {
  std::istringstream in(o.line);
  int status = 0;
  double wall = 0, waits = 0;
  unsigned long long pages = 0, d_sent = 0, d_recv = 0, l_sent = 0, l_recv = 0, sectors = 0;
  int verified = 0;
  long d_baud = 0, l_baud = 0;
  in >> status >> wall >> waits >> pages >> verified >> d_baud >> d_sent >> d_recv >> l_baud >>
      l_sent >> l_recv >> sectors;
  const double line_s =
      l_baud > 0 ? static_cast<double>(l_sent + l_recv) * kBitsPerByte / static_cast<double>(l_baud)
                 : 0;
  const double user = static_cast<double>(o.usage.ru_utime.tv_sec) +
                      static_cast<double>(o.usage.ru_utime.tv_usec) / 1e6;
  const double sys = static_cast<double>(o.usage.ru_stime.tv_sec) +
                     static_cast<double>(o.usage.ru_stime.tv_usec) / 1e6;
  const double drive_line_s =
      d_baud > 0 ? static_cast<double>(d_sent + d_recv) * kBitsPerByte / static_cast<double>(d_baud)
                 : 0;
  const double work_s = static_cast<double>(pages) * static_cast<double>(setup.page_ms) / 1e3 +
                        static_cast<double>(sectors) * static_cast<double>(setup.erase_ms) / 1e3;
  const double floor_s = line_s + drive_line_s + work_s + kDriveWaits;
  char text[768];
  std::snprintf(
      text, sizeof text,
      "%zu\t%s\t%s\t%llu\t%.3f\t%.3f\t%.4f\t%ld\t%llu\t%llu\t%.3f\t%ld\t%llu\t%llu\t%.3f\t%"
      ".3f\t%.3f\t%ld\t%.3f\t%.2f\t%s\t%s\t%ld\t%ld\t%llu\t%.3f\t%.4f\t%.4f",
      kb, kind.c_str(), setup.paced ? "paced" : "instant", pages, wall, waits,
      waits > 0 ? wall / waits : 0.0, l_baud, l_sent, l_recv, line_s, d_baud, d_sent, d_recv,
      user + sys, user, sys, o.usage.ru_maxrss, o.process_seconds, o.busy_cores,
      o.ok && verified == 1 ? "ok" : "FAILED", setup.fast ? "fast" : "standard", setup.page_ms,
      setup.erase_ms, sectors, floor_s, o.process_seconds / floor_s,
      waits > 0 ? o.process_seconds / waits : 0.0);
  return text;
}

std::string self_path() {
  std::error_code ec;
  const fs::path p = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> words(argv + 1, argv + argc);
  if (words.size() == 6 && words[0] == "--child") {
    const Setup setup{words[2] == "paced", words[3] == "fast",
                      std::strtol(std::string(words[4]).c_str(), nullptr, 10),
                      std::strtol(std::string(words[5]).c_str(), nullptr, 10)};
    return child(std::string(words[1]), setup);
  }
  std::vector<std::string> sizes = {"8", "32", "64", "200"};
  std::vector<std::string> kinds = {"hex", "ehex"};
  std::vector<bool> lines = {false, true};
  std::vector<bool> profiles = {false};
  long page_ms = 0;
  long erase_ms = 0;
  const auto milliseconds = [](std::string_view text, long& out) {
    char* end = nullptr;
    const std::string s(text);
    out = std::strtol(s.c_str(), &end, 10);
    return !s.empty() && *end == '\0' && out >= 0 && out <= 60'000;
  };
  for (std::size_t i = 0; i + 1 < words.size(); i += 2) {
    if (words[i] == "--sizes") {
      sizes = bench::split(words[i + 1]);
    } else if (words[i] == "--kinds") {
      kinds = bench::split(words[i + 1]);
    } else if (words[i] == "--line" && (words[i + 1] == "instant" || words[i + 1] == "paced")) {
      lines = {words[i + 1] == "paced"};
    } else if (words[i] == "--line" && words[i + 1] == "both") {
      lines = {false, true};
    } else if (words[i] == "--timing" && (words[i + 1] == "standard" || words[i + 1] == "fast")) {
      profiles = {words[i + 1] == "fast"};
    } else if (words[i] == "--timing" && words[i + 1] == "both") {
      profiles = {false, true};
    } else if (words[i] == "--page-time" && milliseconds(words[i + 1], page_ms)) {
    } else if (words[i] == "--erase-time" && milliseconds(words[i + 1], erase_ms)) {
    } else {
      std::fprintf(stderr,
                   "usage: perf_runs [--sizes KB,...] [--kinds hex,ehex] "
                   "[--line instant|paced|both] [--timing standard|fast|both] "
                   "[--page-time MS] [--erase-time MS]\n");
      return 2;
    }
  }
  if (words.size() % 2 != 0) {
    std::fprintf(stderr, "perf_runs: an option lacks its value\n");
    return 2;
  }
  const std::string self = self_path();
  bench::WorkDir work("perf");
  fs::current_path(work.path());
  std::printf(
      "size_kb\tkind\tline\tpages\twall_s\twaits_s\twall_over_waits\tloader_baud\tloader_sent\t"
      "loader_received\tline_s\tdrive_baud\tdrive_sent\tdrive_received\tcpu_s\tuser_s\tsys_s\t"
      "peak_rss_kb\tprocess_s\tbusy_cores\tresult\ttiming\tpage_ms\terase_ms\tsectors\tfloor_s\t"
      "process_over_floor\tprocess_over_waits\n");
  std::fflush(stdout);
  int failures = 0;
  for (const bool paced : lines) {
    for (const bool fast : profiles) {
      for (const std::string& kind : kinds) {
        for (const std::string& size : sizes) {
          const std::size_t kb = std::strtoul(size.c_str(), nullptr, 10);
          const fs::path hex = work.write_firmware(kb);
          const std::string file =
              kind == "ehex" ? fs::path(hex).replace_extension(".ehex").string() : hex.string();
          std::fprintf(stderr, "perf_runs: %zu KB %s, %s line, %s timing\n", kb, kind.c_str(),
                       paced ? "paced" : "instant", fast ? "fast" : "standard");
          const Setup setup{paced, fast, page_ms, erase_ms};
          const Outcome o = spawn(self, file, setup);
          const std::string r = row(kb, kind, setup, o);
          failures += r.find("\tok\t") != std::string::npos ? 0 : 1;
          std::printf("%s\n", r.c_str());
          std::fflush(stdout);
        }
      }
    }
  }
  fs::current_path(fs::temp_directory_path());
  return failures == 0 ? 0 : 1;
}
