#include <fcntl.h>
#include <poll.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): POSIX sigwait is declared here
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "platform/pty.h"

namespace driveflash::platform {
namespace {

std::string system_error(const char* what) {
  return std::string(what) + ": " + std::generic_category().message(errno);
}

bool set_flags(int fd, int status_flags) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | status_flags) == 0 &&
         ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

bool make_pipe(UniqueFd& read_end, UniqueFd& write_end, std::string& error) {
  std::array<int, 2> fds{};
  if (::pipe(fds.data()) != 0) {
    error = system_error("pipe");
    return false;
  }
  read_end.reset(fds[0]);
  write_end.reset(fds[1]);
  if (!set_flags(fds[0], O_NONBLOCK) || !set_flags(fds[1], O_NONBLOCK)) {
    error = system_error("fcntl");
    return false;
  }
  return true;
}

void signal_pipe(const UniqueFd& write_end) {
  const char byte = 1;
  // Nothing to do if the pipe is full: the signal is on its way already.
  [[maybe_unused]] const auto written = ::write(write_end.get(), &byte, 1);
}

sigset_t process_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR1);
  return set;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::optional<PtyPair> PtyPair::open(std::string& error) {
  PtyPair pair;
  pair.master_.reset(::posix_openpt(O_RDWR | O_NOCTTY));
  if (!pair.master_) {
    error = system_error("posix_openpt");
    return std::nullopt;
  }
  if (::grantpt(pair.master()) != 0 || ::unlockpt(pair.master()) != 0) {
    error = system_error("grantpt/unlockpt");
    return std::nullopt;
  }
  std::array<char, 128> name{};
  if (::ptsname_r(pair.master(), name.data(), name.size()) != 0) {
    error = system_error("ptsname");
    return std::nullopt;
  }
  pair.slave_path_ = name.data();
  if (!set_flags(pair.master(), O_NONBLOCK)) {
    error = system_error("fcntl");
    return std::nullopt;
  }
  // The slave's settings live as long as the master, so raw mode set now is what the host
  // finds when it opens the device.
  const UniqueFd slave(::open(pair.slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios attributes{};
  if (!slave || ::tcgetattr(slave.get(), &attributes) != 0) {
    error = system_error(("opening " + pair.slave_path_).c_str());
    return std::nullopt;
  }
  ::cfmakeraw(&attributes);
  if (::tcsetattr(slave.get(), TCSANOW, &attributes) != 0) {
    error = system_error("tcsetattr");
    return std::nullopt;
  }
  return pair;
}

PtyIo read_master(int master, std::span<std::uint8_t> buffer) {
  PtyIo r;
  const ssize_t n = ::read(master, buffer.data(), buffer.size());
  if (n > 0) {
    r.bytes = static_cast<std::size_t>(n);
  } else if (n < 0 && errno == EIO) {
    r.gone = true;  // the host closed the slave after what it wrote was read
  } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
    r.error = system_error("read");
  }
  return r;
}

PtyIo write_master(int master, std::span<const std::uint8_t> bytes) {
  PtyIo r;
  if (bytes.empty()) {
    return r;
  }
  const ssize_t n = ::write(master, bytes.data(), bytes.size());
  if (n > 0) {
    r.bytes = static_cast<std::size_t>(n);
  } else if (n < 0 && errno == EIO) {
    r.gone = true;
  } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
    r.error = system_error("write");
  }
  return r;
}

void flush_slave_input(const std::string& slave_path) {
  const UniqueFd slave(::open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (slave) ::tcflush(slave.get(), TCIFLUSH);
}

PtyWait::PtyWait() {
  if (make_pipe(stop_read_, stop_write_, error_)) {
    make_pipe(wake_read_, wake_write_, error_);
  }
}

void PtyWait::request_stop() const {
  signal_pipe(stop_write_);
}

void PtyWait::wake() const {
  signal_pipe(wake_write_);
}

PtyWait::Ready PtyWait::wait(int master, bool want_out,
                             std::optional<std::chrono::milliseconds> timeout) const {
  Ready r;
  std::array<pollfd, 3> fds{{{master, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0},
                             {stop_read_.get(), POLLIN, 0},
                             {wake_read_.get(), POLLIN, 0}}};
  const int timeout_ms = timeout ? static_cast<int>(timeout->count()) : -1;
  if (::poll(fds.data(), fds.size(), timeout_ms) < 0) {
    if (errno == EINTR) {
      r.interrupted = true;
    } else {
      r.error = system_error("poll");
    }
    return r;
  }
  r.stop = (fds[1].revents & POLLIN) != 0;
  if ((fds[2].revents & POLLIN) != 0) {
    std::array<char, 16> drain{};
    while (::read(wake_read_.get(), drain.data(), drain.size()) > 0) {
    }
  }
  r.in = (fds[0].revents & POLLIN) != 0;
  r.out = (fds[0].revents & POLLOUT) != 0;
  r.gone = (fds[0].revents & (POLLHUP | POLLERR)) != 0;
  return r;
}

bool PtyWait::wait_for_stop(std::chrono::milliseconds timeout) const {
  pollfd fd{stop_read_.get(), POLLIN, 0};
  return ::poll(&fd, 1, static_cast<int>(timeout.count())) > 0;
}

ProcessSignals::ProcessSignals() {
  const sigset_t set = process_signal_set();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// A member although it reads no field: it waits only for the signals this object blocked, and
// without one alive sigwait would race each signal's default action.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static): needs the blocking object
ProcessSignals::Signal ProcessSignals::next() const {
  const sigset_t set = process_signal_set();
  int number = 0;
  if (sigwait(&set, &number) != 0) {
    return Signal::kStop;  // a set it cannot wait on: nothing would ever arrive
  }
  return number == SIGUSR1 ? Signal::kUser : Signal::kStop;
}

void ProcessSignals::send_user() {
  ::kill(::getpid(), SIGUSR1);
}

}  // namespace driveflash::platform
