#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <system_error>
#include <vector>

#include "sim/pty.h"

namespace driveflash::sim {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How often a hung-up master is looked at for the host's return.
constexpr std::chrono::milliseconds kHangupPoll{10};
// Garbage bytes a flooding drive offers the line at a time.
constexpr std::size_t kFloodChunk = 256;

std::string system_error(const char* what) {
  return std::string(what) + ": " + std::generic_category().message(errno);
}

bool set_flags(int fd, int status_flags) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | status_flags) == 0 &&
         ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
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

PtyServer::PtyServer(PtyPair pty, std::shared_ptr<VirtualDrive> drive)
    : pty_(std::move(pty)),
      drive_(std::move(drive)),
      unsolicited_seen_(drive_->unsolicited_count()) {
  const auto make_pipe = [this](UniqueFd& read_end, UniqueFd& write_end) {
    std::array<int, 2> fds{};
    if (::pipe(fds.data()) != 0) {
      failure_ = system_error("pipe");
      return false;
    }
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    return set_flags(fds[0], O_NONBLOCK) && set_flags(fds[1], O_NONBLOCK);
  };
  if (!make_pipe(stop_read_, stop_write_) || !make_pipe(wake_read_, wake_write_)) {
    if (failure_.empty()) failure_ = system_error("fcntl");
    return;
  }
  thread_ = std::thread([this] { serve(); });
}

PtyServer::~PtyServer() {
  stop();
}

void PtyServer::stop() {
  if (!thread_.joinable()) return;
  const char byte = 1;
  // Nothing to do if the pipe is full: a stop is already on its way.
  [[maybe_unused]] const auto written = ::write(stop_write_.get(), &byte, 1);
  thread_.join();
}

void PtyServer::power_cycle() {
  drive_->power_cycle();
  const char byte = 1;
  // Nothing to do if the pipe is full: the server is woken already.
  [[maybe_unused]] const auto written = ::write(wake_write_.get(), &byte, 1);
}

void PtyServer::take_unsolicited(bool hung_up, std::deque<DueReply>& due) {
  for (VirtualDrive::Unsolicited& u : drive_->unsolicited(unsolicited_seen_)) {
    unsolicited_seen_ = u.number;
    if (!hung_up) due.push_back({SteadyClock::now(), std::move(u.bytes)});
  }
}

std::string PtyServer::failure() const {
  std::lock_guard lock(failure_mutex_);
  return failure_;
}

bool PtyServer::wait_for_stop(std::chrono::milliseconds timeout) const {
  pollfd fd{stop_read_.get(), POLLIN, 0};
  return ::poll(&fd, 1, static_cast<int>(timeout.count())) > 0;
}

void PtyServer::flush_slave_input() const {
  const UniqueFd slave(
      ::open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (slave) ::tcflush(slave.get(), TCIFLUSH);
}

void PtyServer::serve() {
  const int master = pty_.master();
  std::deque<DueReply> due;
  // The pair starts out hung up: its slave was opened once, for raw mode, and closed.
  bool hung_up = true;
  std::array<std::uint8_t, 4096> buffer{};
  std::array<std::uint8_t, kFloodChunk> flood{};
  std::uint64_t flood_sent = 0;
  const auto fail = [this](std::string why) {
    std::lock_guard lock(failure_mutex_);
    failure_ = std::move(why);
  };

  for (;;) {
    // A reply that is due, or a flood, waits for POLLOUT; a reply still to come sets the
    // time-out.
    const bool flooding = drive_->flooding();
    const bool ready_to_send = flooding || (!due.empty() && due.front().due <= SteadyClock::now());
    int timeout_ms = -1;
    if (hung_up) {
      if (wait_for_stop(kHangupPoll)) return;
      timeout_ms = 0;
    } else if (!due.empty() && !ready_to_send) {
      const auto wait =
          std::chrono::ceil<std::chrono::milliseconds>(due.front().due - SteadyClock::now());
      timeout_ms = static_cast<int>(std::max<std::int64_t>(wait.count(), 1));
    }
    std::array<pollfd, 3> fds{
        {{master, static_cast<short>(POLLIN | (ready_to_send ? POLLOUT : 0)), 0},
         {stop_read_.get(), POLLIN, 0},
         {wake_read_.get(), POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), timeout_ms) < 0) {
      if (errno == EINTR) continue;
      fail(system_error("poll"));
      return;
    }
    if ((fds[1].revents & POLLIN) != 0) return;
    if ((fds[2].revents & POLLIN) != 0) {
      std::array<char, 16> drain{};
      while (::read(wake_read_.get(), drain.data(), drain.size()) > 0) {
      }
    }

    bool gone = (fds[0].revents & (POLLHUP | POLLERR)) != 0;
    if ((fds[0].revents & POLLIN) != 0) {
      for (;;) {
        const ssize_t n = ::read(master, buffer.data(), buffer.size());
        if (n <= 0) {
          // EIO: the host closed the slave after what it wrote was read.
          if (n < 0 && errno == EIO) gone = true;
          if (n < 0 && errno != EAGAIN && errno != EIO && errno != EINTR) {
            fail(system_error("read"));
            return;
          }
          break;
        }
        // Bytes mean the host was there, even if it has closed again since the last look.
        hung_up = false;
        const auto now = SteadyClock::now();
        std::vector<VirtualDrive::Output> outputs =
            drive_->feed(std::span(buffer.data(), static_cast<std::size_t>(n)));
        // A power cycle the feed set off came before the replies to it.
        take_unsolicited(hung_up, due);
        for (VirtualDrive::Output& out : outputs) {
          if (out.disconnect) {
            disconnected_.store(true);  // before the host can see the hang-up
            pty_.close_master();
            return;
          }
          due.push_back({now + out.delay, std::move(out.bytes)});
        }
      }
    }
    if (gone) {
      take_unsolicited(true, due);
      if (!hung_up) {
        due.clear();
        flush_slave_input();
        ++hangups_;
      }
      hung_up = true;
      continue;
    }
    hung_up = false;
    take_unsolicited(false, due);

    while (!due.empty() && due.front().due <= SteadyClock::now()) {
      std::vector<std::uint8_t>& bytes = due.front().bytes;
      const ssize_t n = bytes.empty() ? 0 : ::write(master, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno != EAGAIN && errno != EINTR && errno != EIO) {
          fail(system_error("write"));
          return;
        }
        break;  // the host reads slowly, or is gone: poll tells which
      }
      bytes.erase(bytes.begin(), bytes.begin() + n);
      if (!bytes.empty()) break;
      due.pop_front();
    }
    if (drive_->flooding()) {
      // The drive answers nothing more; the host gets garbage for as long as it reads.
      due.clear();
      for (std::size_t i = 0; i < kFloodChunk; ++i) flood[i] = flood_byte(flood_sent + i);
      const ssize_t n = ::write(master, flood.data(), kFloodChunk);
      if (n > 0) {
        flood_sent += static_cast<std::uint64_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
        fail(system_error("write"));
        return;
      }
    }
  }
}

}  // namespace driveflash::sim
