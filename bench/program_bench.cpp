// 'driveflash-cli program' on the in-process virtual drive.
//
// BM_ProgramEncrypted200K: peak memory and CPU time for a 200 KB encrypted firmware, in
// virtual time: the protocol's fixed waits (minutes of them for 800 pages) cost nothing, so
// what is measured is the work itself.
// BM_RealTimeOverWaits64K: a 64 KB firmware in real time; the run's wall time divided by the
// sum of the waits the protocol asks for shows what the tool adds on top of them (aim: at
// most 1.02).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/program.h"
#include "perf_support.h"
#include "platform/panels.h"
#include "platform/timing.h"

namespace {

using namespace driveflash::cli;
using driveflash::bench::WorkDir;

constexpr std::size_t kFirmwareKilobytes = 200;

// A working directory holding the stand-in loader, the panel file and the firmware, made the
// current directory for the benchmark.
struct Stage {
  WorkDir dir;
  std::filesystem::path previous = std::filesystem::current_path();
  std::string hex;
  std::string ehex;

  explicit Stage(std::size_t kilobytes) : dir("bench") {
    const std::filesystem::path h = dir.write_firmware(kilobytes);
    hex = h.string();
    ehex = std::filesystem::path(h).replace_extension(".ehex").string();
    std::filesystem::current_path(dir.path());
  }
  ~Stage() { std::filesystem::current_path(previous); }
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;
};

// One 'program' run of `file` on the virtual drive, its output discarded.
int program_on_sim(const std::string& file, RunReport& report) {
  Arguments args;
  args.command = Command::Program;
  args.file = file;
  args.port = "sim";
  std::ostringstream out, err;
  const Terminal term{out, err, false, 80};
  driveflash::platform::RunWaker waker;
  return run_program(args, term, waker, report);
}

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_ProgramEncrypted200K(benchmark::State& state) {
  Stage stage(kFirmwareKilobytes);
  driveflash::platform::ScopedVirtualClock clock;
  RunReport report;
  double cpu = 0;
  double virtual_seconds = 0;
  for (auto _ : state) {
    const double before = cpu_seconds();
    const int status = program_on_sim(stage.ehex, report);
    cpu += cpu_seconds() - before;
    virtual_seconds += report.outcome.seconds;
    if (status != kExitOk) {
      state.SkipWithError(("run failed: " + report.outcome.line).c_str());
      break;
    }
  }
  driveflash::platform::reset_panels();
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  const auto runs = static_cast<double>(state.iterations());
  state.counters["peak_rss_kB"] = static_cast<double>(u.ru_maxrss);
  state.counters["cpu_s_per_run"] = runs > 0 ? cpu / runs : 0;
  state.counters["virtual_s_per_run"] = runs > 0 ? virtual_seconds / runs : 0;
  state.counters["pages"] = static_cast<double>(report.outcome.pages);
  state.counters["firmware_bytes"] = static_cast<double>(report.outcome.bytes);
}
BENCHMARK(BM_ProgramEncrypted200K)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RealTimeOverWaits64K(benchmark::State& state) {
  Stage stage(64);
  RunReport report;
  double ratio = 0;
  double waits = 0;
  for (auto _ : state) {
    driveflash::platform::reset_requested_waits();
    const auto start = std::chrono::steady_clock::now();
    const int status = program_on_sim(stage.hex, report);
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    if (status != kExitOk) {
      state.SkipWithError(("run failed: " + report.outcome.line).c_str());
      break;
    }
    waits = static_cast<double>(driveflash::platform::requested_waits().count()) / 1e6;
    ratio = wall.count() / waits;
  }
  driveflash::platform::reset_panels();
  state.counters["waits_s"] = waits;
  state.counters["wall_over_waits"] = ratio;
}
BENCHMARK(BM_RealTimeOverWaits64K)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
