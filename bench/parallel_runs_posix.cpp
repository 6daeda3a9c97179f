// Several drives at once: 'driveflash-cli program FILE --port A --port B ...' against virtual
// drives on pseudo-terminals (served by this program, one thread each), for 1, 2, 4 and 8
// drives. Prints a Markdown table: wall time, wall time over one drive's, and the command's CPU
// time (the parent and every port's process) per drive; and whether every flash holds the file.
//
// usage: parallel_runs [--kb N] [--drives 1,2,4,8] [--kind hex|ehex]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "image/download.h"
#include "perf_support.h"
#include "run/run_context.h"
#include "sim/pty.h"

namespace {

using driveflash::bench::WorkDir;
namespace sim = driveflash::sim;

struct Result {
  int drives = 0;
  double wall = 0;
  double cpu = 0;
  int exit_status = -1;
  int programmed = 0;  // drives whose flash holds the file
};

std::vector<int> parse_list(const std::string& text) {
  std::vector<int> out;
  std::stringstream s(text);
  for (std::string item; std::getline(s, item, ',');) {
    out.push_back(std::stoi(item));
  }
  return out;
}

Result run(int drives, const std::filesystem::path& dir, const std::string& file, int kind) {
  Result r;
  r.drives = drives;
  std::vector<std::unique_ptr<sim::PtyServer>> servers;
  std::vector<std::string> argv = {DRIVEFLASH_CLI, "program", file};
  for (int i = 0; i < drives; ++i) {
    std::string error;
    auto pty = driveflash::platform::PtyPair::open(error);
    if (!pty) {
      std::cerr << "parallel_runs: no pseudo-terminal: " << error << '\n';
      return r;
    }
    servers.push_back(
        std::make_unique<sim::PtyServer>(std::move(*pty), std::make_shared<sim::VirtualDrive>()));
    argv.push_back("--port");
    argv.push_back(servers.back()->slave_path());
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    if (::chdir(dir.c_str()) != 0) {
      ::_exit(127);
    }
    std::vector<char*> args;
    for (std::string& a : argv) {
      args.push_back(a.data());
    }
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);  // the command with the port processes it waited for
  r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.cpu = driveflash::bench::cpu_seconds(usage);
  r.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  for (auto& server : servers) {
    server->stop();
    std::string why;
    if (driveflash::bench::flash_holds(server->drive(), file, kind, why)) {
      ++r.programmed;
    } else {
      std::cerr << "parallel_runs: " << server->slave_path() << ": " << why << '\n';
    }
  }
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t kb = 8;
  std::vector<int> counts = {1, 2, 4, 8};
  std::string kind_name = "hex";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--kb") {
      kb = std::stoul(argv[i + 1]);
    } else if (name == "--drives") {
      counts = parse_list(argv[i + 1]);
    } else if (name == "--kind") {
      kind_name = argv[i + 1];
    }
  }
  WorkDir dir("parallel");
  std::filesystem::path file = dir.write_firmware(kb);
  const int kind = kind_name == "ehex" ? kFileTypeEhex : kFileTypeHex;
  if (kind == kFileTypeEhex) {
    file.replace_extension(".ehex");
  }
  std::vector<Result> results;
  for (const int n : counts) {
    std::cerr << "parallel_runs: " << n << " drive(s)\n";
    results.push_back(run(n, dir.path(), file.string(), kind));
  }
  double one = 0;  // one drive's wall time
  for (const Result& r : results) {
    if (r.drives == 1) {
      one = r.wall;
    }
  }
  std::cout << "| drives | wall (s) | wall ÷ one drive's | CPU per drive (s) | exit status | "
               "flash holds the file |\n|--:|--:|--:|--:|--:|--:|\n";
  for (const Result& r : results) {
    std::printf("| %d | %.2f | %.3f | %.3f | %d | %d of %d |\n", r.drives, r.wall,
                one > 0 ? r.wall / one : 0.0, r.drives > 0 ? r.cpu / r.drives : 0.0, r.exit_status,
                r.programmed, r.drives);
  }
  return 0;
}
