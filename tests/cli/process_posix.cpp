// The built programs as child processes (POSIX: fork, pipes, signals).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "cli/cli_support.h"

namespace driveflash::test {

ProcessResult run_process(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
                          const LineWatch& on_out_line, const LineWatch& on_err_line) {
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    return {};
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out_pipe[1], STDOUT_FILENO);
    ::dup2(err_pipe[1], STDERR_FILENO);
    if (::chdir(cwd.c_str()) != 0) {
      ::_exit(127);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) {
      args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  ProcessResult r;
  std::string pending[2];
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_fds = 2;
  while (open_fds > 0) {
    if (::poll(fds, 2, -1) < 0) {
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
        continue;
      }
      (i == 0 ? r.out : r.err).append(buffer, static_cast<std::size_t>(n));
      const LineWatch& watch = i == 0 ? on_out_line : on_err_line;
      if (watch) {
        pending[i].append(buffer, static_cast<std::size_t>(n));
        for (std::size_t nl; (nl = pending[i].find('\n')) != std::string::npos;) {
          watch(pending[i].substr(0, nl), pid);
          pending[i].erase(0, nl + 1);
        }
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

ProcessResult run_cli(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                      const LineWatch& on_out_line, const LineWatch& on_err_line) {
  std::vector<std::string> argv{DRIVEFLASH_CLI};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, cwd, on_out_line, on_err_line);
}

pid_t child_with(pid_t parent, const std::string& text) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    // "pid (comm) state ppid ...": the parent follows the last ')'.
    const std::string stat = read_text(entry.path() / "stat");
    const std::size_t paren = stat.rfind(')');
    if (paren == std::string::npos) {
      continue;
    }
    std::istringstream fields(stat.substr(paren + 1));
    std::string state;
    pid_t ppid = -1;
    fields >> state >> ppid;
    if (ppid != parent) {
      continue;
    }
    std::string cmdline = read_text(entry.path() / "cmdline");
    for (char& c : cmdline) {
      if (c == '\0') {
        c = '\n';
      }
    }
    if (("\n" + cmdline).find("\n" + text + "\n") != std::string::npos) {
      return static_cast<pid_t>(std::stol(name));
    }
  }
  return -1;
}

}  // namespace driveflash::test
