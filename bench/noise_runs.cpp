// Seeded noisy downloads on the in-process virtual drive, in virtual time, for the noise report
// (scripts/noise_report.sh): how often a run programs the drive at each noise rate, with and
// without retries and the read-back, and whether a run that says so ever leaves a wrong byte.
//
// usage: noise_runs [--rates R,...] [--retries N,...] [--verify V,...] [--runs N] [--kb N]
//                   [--part I/K] [--lines 1]
//
// Each run programs a fresh virtual drive (noise=RATE, seed=S for S = 1 .. --runs) with a
// firmware of --kb KB (default 64) at 115200 baud on an instant line, by the command line's
// 'program' code path, in virtual time: the protocol's waits and time-outs cost nothing, so a
// run takes milliseconds. --part I/K takes every K-th seed from the I-th (0-based), so that K
// processes share the work. A run that programs the drive has the whole flash compared with
// that of a run on a quiet line, byte for byte. --verify 0,1 runs each point without and with
// the read-back (default 0). --lines 1 shows the status lines of every run with retries that did
// not program the drive, on standard error.
//
// Writes one tab-separated line per run to standard output, after a header line:
// rate, retries, seed, programmed (0/1), wrong (0/1: programmed, yet some flash byte differs),
// retries used, virtual seconds, started (0/1: the closing header restarted the drive's
// firmware), verify (0/1), wire (0/1: the bytes took their time on the wire, line-time),
// read-back retries (sectors programmed again because the read-back found a difference), the
// line the run failed with. The first line after the header is the quiet run (rate 0); with
// --verify 1, two more quiet runs follow with the bytes' time on the wire (wire 1), without and
// with the read-back: what it costs. Exits 3 when some run programmed the drive with a wrong
// byte (each is named on standard error with the bytes that differ).
#include <QCoreApplication>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "bsl/flash_map.h"
#include "cli/arguments.h"
#include "cli/ports.h"
#include "cli/program.h"
#include "perf_support.h"
#include "platform/panels.h"
#include "platform/timing.h"
#include "platform/waker.h"
#include "sim/sim_line.h"

namespace {

namespace fs = std::filesystem;
namespace bench = driveflash::bench;
namespace cli = driveflash::cli;
namespace sim = driveflash::sim;

// Away from port 1 and the numbers serial devices get, as the window's virtual drive.
constexpr int kPort = 99;
// Some run programmed the drive with a wrong byte (1: the program itself failed; 2: usage).
constexpr int kExitWrongBytes = 3;

struct Options {
  std::vector<double> rates = {5e-6, 1e-5, 2e-5, 4e-5, 8e-5};
  std::vector<int> retries = {0, 3};
  std::vector<int> verify = {0};
  int runs = 1000;
  std::size_t kilobytes = 64;
  int part = 0;
  int parts = 1;
  bool lines = false;  // the status lines of every run with retries that failed, to stderr
};

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    const std::string value = argv[i + 1];
    try {
      if (name == "--rates") {
        o.rates.clear();
        for (const std::string& r : bench::split(value)) {
          o.rates.push_back(std::stod(r));
        }
      } else if (name == "--retries") {
        o.retries.clear();
        for (const std::string& r : bench::split(value)) {
          o.retries.push_back(std::stoi(r));
        }
      } else if (name == "--verify") {
        o.verify.clear();
        for (const std::string& v : bench::split(value)) {
          o.verify.push_back(std::stoi(v));
        }
      } else if (name == "--runs") {
        o.runs = std::stoi(value);
      } else if (name == "--kb") {
        o.kilobytes = static_cast<std::size_t>(std::stoul(value));
      } else if (name == "--lines") {
        o.lines = value == "1";
      } else if (name == "--part") {
        const std::size_t slash = value.find('/');
        o.part = std::stoi(value.substr(0, slash));
        o.parts = std::stoi(value.substr(slash + 1));
      } else {
        return false;
      }
    } catch (const std::exception&) {
      return false;
    }
  }
  return (argc % 2) == 1 && o.runs > 0 && o.parts > 0 && o.part >= 0 && o.part < o.parts;
}

struct Run {
  bool programmed = false;
  int retries_used = 0;
  int read_back_retries = 0;
  double seconds = 0;
  std::string line;
  std::vector<std::string> lines;
  std::vector<std::uint8_t> flash;
  sim::VirtualDrive::Statistics drive;
};

Run program(const std::string& file, const std::string& faults, int retries, bool verify) {
  sim::Faults f;
  std::string error;
  if (!sim::parse_faults(faults, f, error)) {
    std::fprintf(stderr, "noise_runs: %s\n", error.c_str());
    std::exit(2);
  }
  const auto drive = std::make_shared<sim::VirtualDrive>(f);
  sim::map_sim_port(kPort, drive);
  cli::Arguments args;
  args.command = cli::Command::Program;
  args.file = file;
  args.port = std::to_string(kPort);
  args.ports = {args.port};
  args.retries = retries;
  args.verify = verify;
  // The line as it is: the run's own verdict, not the command line's comparison with the file,
  // which would turn a wrong byte into a failure; the whole flash is compared here instead.
  cli::PortChoice line;
  line.number = kPort;
  std::ostringstream out, err;
  const cli::Terminal term{out, err, false, 80};
  driveflash::platform::RunWaker waker;
  cli::RunReport report;
  Run r;
  r.programmed = cli::run_program(args, term, waker, report, &line) == cli::kExitOk;
  r.retries_used = report.outcome.retries_used;
  r.seconds = report.outcome.seconds;
  r.line = report.outcome.line;
  r.lines = report.lines;
  for (const std::string& l : r.lines) {
    r.read_back_retries += l.starts_with("重试 ") && l.find("（读回不符）") != std::string::npos;
  }
  r.drive = drive->statistics();
  r.flash = drive->read_flash(kFlashBase, kFlashSize);
  driveflash::platform::unmap_port(kPort);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: noise_runs [--rates R,...] [--retries N,...] [--verify V,...] [--runs N] "
                 "[--kb N] [--part I/K] [--lines 1]\n");
    return 2;
  }
  bench::WorkDir dir("noise-" + std::to_string(o.part));
  const std::string file = dir.write_firmware(o.kilobytes).string();
  const fs::path previous = fs::current_path();
  fs::current_path(dir.path());
  driveflash::platform::ScopedVirtualClock clock;

  std::printf(
      "rate\tretries\tseed\tprogrammed\twrong\tretries_used\tseconds\tstarted\tverify\twire\t"
      "read_back_retries\tline\n");
  const Run quiet = program(file, "", 0, false);
  if (!quiet.programmed) {
    std::fprintf(stderr, "noise_runs: the run on a quiet line failed: %s\n", quiet.line.c_str());
    return 1;
  }
  std::printf("0\t0\t0\t1\t0\t0\t%.3f\t1\t0\t0\t0\t\n", quiet.seconds);
  // What the read-back costs: on an instant line the reads take no time at all.
  if (std::ranges::find(o.verify, 1) != o.verify.end() && o.part == 0) {
    for (const bool verify : {false, true}) {
      const Run timed = program(file, "line-time", 0, verify);
      if (!timed.programmed || timed.flash != quiet.flash) {
        std::fprintf(stderr, "noise_runs: the run on a quiet timed line failed: %s\n",
                     timed.line.c_str());
        return 1;
      }
      std::printf("0\t0\t0\t1\t0\t0\t%.3f\t1\t%d\t1\t0\t\n", timed.seconds, verify ? 1 : 0);
    }
  }
  int wrong = 0;
  for (const double rate : o.rates) {
    for (const int retries : o.retries) {
      for (const int verify : o.verify) {
        int ok = 0;
        int done = 0;
        for (int seed = 1 + o.part; seed <= o.runs; seed += o.parts) {
          char faults[64];
          std::snprintf(faults, sizeof faults, "noise=%g,seed=%d", rate, seed);
          const Run r = program(file, faults, retries, verify != 0);
          const bool bad = r.programmed && r.flash != quiet.flash;
          wrong += bad ? 1 : 0;
          ok += r.programmed ? 1 : 0;
          ++done;
          std::printf("%g\t%d\t%d\t%d\t%d\t%d\t%.3f\t%d\t%d\t0\t%d\t%s\n", rate, retries, seed,
                      r.programmed ? 1 : 0, bad ? 1 : 0, r.retries_used, r.seconds,
                      r.drive.restarts > 0 ? 1 : 0, verify, r.read_back_retries, r.line.c_str());
          if (bad) {
            std::string where;
            std::size_t count = 0;
            for (std::size_t i = 0; i < r.flash.size(); ++i) {
              if (r.flash[i] != quiet.flash[i] && ++count <= 4) {
                char at[48];
                std::snprintf(at, sizeof at, " 0x%08zX (%02X, not %02X)", kFlashBase + i,
                              r.flash[i], quiet.flash[i]);
                where += at;
              }
            }
            std::fprintf(stderr, "noise_runs: %s%s programmed with %zu wrong bytes:%s\n", faults,
                         verify != 0 ? ", verify" : "", count, where.c_str());
          }
          if (o.lines && retries > 0 && (bad || !r.programmed)) {
            std::fprintf(stderr,
                         "noise_runs: %s, retries %d (the noise flipped %llu bits and lost %llu "
                         "bytes):\n",
                         faults, retries, static_cast<unsigned long long>(r.drive.bits_flipped),
                         static_cast<unsigned long long>(r.drive.bytes_lost));
            for (const std::string& l : r.lines) {
              std::fprintf(stderr, "  %s\n", l.c_str());
            }
          }
        }
        std::fprintf(stderr, "noise_runs: rate %g, retries %d, verify %d: %d of %d programmed\n",
                     rate, retries, verify, ok, done);
        std::fflush(stdout);
      }
    }
  }
  driveflash::platform::reset_panels();
  fs::current_path(previous);
  return wrong == 0 ? 0 : kExitWrongBytes;
}
