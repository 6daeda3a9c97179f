// The stop signal on Windows: the console calls its control handler on a thread of its own,
// where ordinary calls are allowed; the handler and the wake-ups set one auto-reset event.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "platform/waker.h"

namespace driveflash::platform {
namespace {

std::atomic<RunWaker*> g_waker{nullptr};
std::atomic<int> g_events{0};
std::atomic<bool> g_end_asked{false};
// Set by ended(): the handler of a closing console returns, and the system takes the process.
HANDLE g_ended = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
// The system gives a closing console's process about 5 s before it ends it anyway.
constexpr DWORD kHoldOffMs = 4500;

HANDLE event_of(const std::array<std::intptr_t, 2>& channel) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the channel holds the event's handle
  return reinterpret_cast<HANDLE>(channel[0]);
}

BOOL WINAPI on_console_event(DWORD type) {
  const bool interrupt = type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT;
  const bool closing =
      type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
  if (!interrupt && !closing) {
    return FALSE;
  }
  const bool ends = closing || g_events.fetch_add(1) >= 1;
  if (ends && g_end_asked.exchange(true) && !closing) {
    std::fputs("\ndriveflash-cli: stopped at once\n", stderr);
    std::fflush(stderr);
    std::_Exit(130);
  }
  if (RunWaker* w = g_waker.load(); w != nullptr) {
    if (ends) {
      w->request_end();
    } else {
      w->request_stop();
    }
  }
  if (closing) {
    // This handler's thread is the process's last chance: returning lets the system end it,
    // so it waits until the main thread has stopped the runs and written their rows.
    ::WaitForSingleObject(g_ended, kHoldOffMs);
  }
  return TRUE;
}

}  // namespace

RunWaker::RunWaker() {
  channel_[0] = reinterpret_cast<std::intptr_t>(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
}

RunWaker::~RunWaker() {
  if (g_waker.load() == this) {
    install_signal_handlers(nullptr);
  }
  if (HANDLE event = event_of(channel_); event != nullptr) {
    ::CloseHandle(event);
  }
}

bool RunWaker::wait(std::chrono::milliseconds timeout) {
  const auto ms = static_cast<DWORD>(timeout.count() < 0 ? 0 : timeout.count());
  if (HANDLE event = event_of(channel_); event != nullptr) {
    ::WaitForSingleObject(event, ms);
  } else {
    // No event: look at the flag at the same pace.
    ::Sleep(ms);
  }
  return stop_.load();
}

void RunWaker::wake() const {
  if (HANDLE event = event_of(channel_); event != nullptr) {
    ::SetEvent(event);
  }
}

void RunWaker::request_stop() {
  stop_.store(true);
  wake();
}

void RunWaker::request_end() {
  end_.store(true);
  request_stop();
}

void RunWaker::reset() {
  stop_.store(false);
  end_.store(false);
  g_events.store(0);
  g_end_asked.store(false);
}

void RunWaker::install_signal_handlers(RunWaker* waker) {
  g_waker.store(waker);
  g_events.store(0);
  g_end_asked.store(false);
  if (waker != nullptr && g_ended != nullptr) {
    ::ResetEvent(g_ended);
  }
  ::SetConsoleCtrlHandler(on_console_event, waker != nullptr ? TRUE : FALSE);
}

void RunWaker::ended() {
  if (g_ended != nullptr) {
    ::SetEvent(g_ended);
  }
}

}  // namespace driveflash::platform
