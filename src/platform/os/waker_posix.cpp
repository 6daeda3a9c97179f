#include <fcntl.h>
#include <poll.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): POSIX sigaction is declared here
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string_view>

#include "platform/waker.h"

namespace driveflash::platform {
namespace {

std::atomic<RunWaker*> g_waker{nullptr};
std::atomic<int> g_signals{0};

constexpr char kStopByte = 's';
constexpr char kWakeByte = 'w';

std::atomic<bool> g_end_asked{false};

void on_signal(int number) {
  const int saved_errno = errno;
  const bool ends = number != SIGINT || g_signals.fetch_add(1) >= 1;
  if (ends && g_end_asked.exchange(true)) {
    constexpr std::string_view kText = "\ndriveflash-cli: stopped at once\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kText.data(), kText.size());
    ::_exit(128 + SIGINT);
  }
  if (RunWaker* w = g_waker.load(); w != nullptr) {
    if (ends) {
      w->request_end();
    } else {
      w->request_stop();
    }
  }
  errno = saved_errno;
}

void set_handler(int number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(number, &action, nullptr);
}

}  // namespace

RunWaker::RunWaker() {
  std::array<int, 2> fds = {-1, -1};
  if (::pipe2(fds.data(), O_CLOEXEC | O_NONBLOCK) == 0) {
    channel_ = {fds[0], fds[1]};
  }
}

RunWaker::~RunWaker() {
  if (g_waker.load() == this) {
    install_signal_handlers(nullptr);
  }
  for (const std::intptr_t fd : channel_) {
    if (fd >= 0) {
      ::close(static_cast<int>(fd));
    }
  }
}

namespace {
int read_fd(const std::array<std::intptr_t, 2>& channel) {
  return static_cast<int>(channel[0]);
}
int write_fd(const std::array<std::intptr_t, 2>& channel) {
  return static_cast<int>(channel[1]);
}
}  // namespace

bool RunWaker::wait(std::chrono::milliseconds timeout) {
  if (read_fd(channel_) < 0) {
    // No pipe: poll the flag at the same pace.
    ::poll(nullptr, 0, static_cast<int>(timeout.count()));
    return stop_.load();
  }
  pollfd p{read_fd(channel_), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) > 0) {
    std::array<char, 64> drain{};
    while (::read(read_fd(channel_), drain.data(), drain.size()) > 0) {
    }
  }
  return stop_.load();
}

void RunWaker::wake() const {
  if (write_fd(channel_) >= 0) {
    // A full pipe already holds a wake-up: nothing is lost when this write fails.
    [[maybe_unused]] const ssize_t n = ::write(write_fd(channel_), &kWakeByte, 1);
  }
}

void RunWaker::request_stop() {
  stop_.store(true);
  if (write_fd(channel_) >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(write_fd(channel_), &kStopByte, 1);
  }
}

void RunWaker::request_end() {
  end_.store(true);
  request_stop();
}

void RunWaker::reset() {
  stop_.store(false);
  end_.store(false);
  g_signals.store(0);
  g_end_asked.store(false);
}

void RunWaker::install_signal_handlers(RunWaker* waker) {
  g_waker.store(waker);
  g_signals.store(0);
  g_end_asked.store(false);
  for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
    set_handler(number, waker != nullptr ? on_signal : SIG_DFL);
  }
  if (waker != nullptr) {
    set_handler(SIGPIPE, SIG_IGN);
  }
}

void RunWaker::ended() {}

}  // namespace driveflash::platform
