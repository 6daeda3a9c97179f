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
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/program.h"
#include "platform/panels.h"
#include "platform/timing.h"

namespace {

namespace fs = std::filesystem;
using namespace driveflash::cli;

constexpr std::uint32_t kFlashBase = 0x10001000;
constexpr std::size_t kFirmwareBytes = 200 * 1024;

std::string record(int type, std::uint32_t address, const unsigned char* data, std::size_t n) {
  unsigned sum = static_cast<unsigned>(n) + ((address >> 8) & 0xFF) + (address & 0xFF) +
                 static_cast<unsigned>(type);
  char text[16];
  std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(n), address & 0xFFFF,
                static_cast<unsigned>(type));
  std::string line = text;
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(text, sizeof text, "%02X", data[i]);
    line += text;
    sum += data[i];
  }
  std::snprintf(text, sizeof text, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
  return line + text;
}

// Pseudo-random code from the start of the flash, in 16-byte records.
std::string firmware_hex(std::size_t size) {
  std::string hex;
  unsigned x = 12345;
  std::uint32_t upper = 0xFFFFFFFF;
  for (std::size_t at = 0; at < size; at += 16) {
    const std::uint32_t address = kFlashBase + static_cast<std::uint32_t>(at);
    if ((address >> 16) != upper) {
      upper = address >> 16;
      const unsigned char u[2] = {static_cast<unsigned char>(upper >> 8),
                                  static_cast<unsigned char>(upper)};
      hex += record(4, 0, u, 2);
    }
    unsigned char data[16];
    for (unsigned char& b : data) {
      x = x * 1103515245u + 12345u;
      b = static_cast<unsigned char>(x >> 16);
    }
    hex += record(0, address, data, 16);
  }
  return hex + record(1, 0, nullptr, 0);
}

// A directory to run in: the stand-in loader, the panel file and the firmware.
struct Stage {
  fs::path dir = fs::temp_directory_path() / ("driveflash-bench-" + std::to_string(::getpid()));
  fs::path previous = fs::current_path();
  std::string hex;
  std::string ehex;

  explicit Stage(std::size_t size) {
    const fs::path resources = DRIVEFLASH_RESOURCES;
    fs::create_directories(dir / "XMC1300");
    fs::copy_file(resources / "XMC1300" / "XMC1x_ASCLoader.hex",
                  dir / "XMC1300" / "XMC1x_ASCLoader.hex", fs::copy_options::overwrite_existing);
    fs::copy_file(resources / "Brenfold.uir", dir / "Brenfold.uir",
                  fs::copy_options::overwrite_existing);
    hex = (dir / "fw.hex").string();
    std::ofstream(hex, std::ios::binary) << firmware_hex(size);
    Arguments a;
    a.command = Command::EhexEncrypt;
    a.file = hex;
    a.output = ehex = (dir / "fw.ehex").string();
    a.force = true;
    std::ostringstream out, err;
    run_ehex(a, out, err);
    fs::current_path(dir);
  }
  ~Stage() {
    fs::current_path(previous);
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_ProgramEncrypted200K(benchmark::State& state) {
  Stage stage(kFirmwareBytes);
  driveflash::platform::ScopedVirtualClock clock;
  Arguments args;
  args.command = Command::Program;
  args.file = stage.ehex;
  args.port = "sim";
  RunReport report;
  double cpu = 0;
  double virtual_seconds = 0;
  for (auto _ : state) {
    std::ostringstream out, err;
    const Terminal term{out, err, false, 80};
    RunWaker waker;
    const double before = cpu_seconds();
    const int status = run_program(args, term, waker, report);
    cpu += cpu_seconds() - before;
    virtual_seconds += report.elapsed_seconds;
    if (status != kExitOk) {
      state.SkipWithError(("run failed: " + report.reason).c_str());
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
  state.counters["pages"] = static_cast<double>(report.pages.value_or(0));
  state.counters["firmware_bytes"] = static_cast<double>(report.firmware_bytes);
}
BENCHMARK(BM_ProgramEncrypted200K)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RealTimeOverWaits64K(benchmark::State& state) {
  Stage stage(64 * 1024);
  Arguments args;
  args.command = Command::Program;
  args.file = stage.hex;
  args.port = "sim";
  RunReport report;
  double ratio = 0;
  double waits = 0;
  for (auto _ : state) {
    std::ostringstream out, err;
    const Terminal term{out, err, false, 80};
    RunWaker waker;
    driveflash::platform::reset_requested_waits();
    const auto start = std::chrono::steady_clock::now();
    const int status = run_program(args, term, waker, report);
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    if (status != kExitOk) {
      state.SkipWithError(("run failed: " + report.reason).c_str());
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
