#include <algorithm>
#include <array>
#include <deque>
#include <vector>

#include "sim/pty.h"

namespace driveflash::sim {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How often a hung-up master is looked at for the host's return.
constexpr std::chrono::milliseconds kHangupPoll{10};
// Garbage bytes a flooding drive offers the line at a time.
constexpr std::size_t kFloodChunk = 256;

}  // namespace

PtyServer::PtyServer(platform::PtyPair pty, std::shared_ptr<VirtualDrive> drive)
    : pty_(std::move(pty)),
      drive_(std::move(drive)),
      unsolicited_seen_(drive_->unsolicited_count()) {
  if (!wait_.ok()) {
    failure_ = wait_.error();
    return;
  }
  thread_ = std::thread([this] { serve(); });
}

PtyServer::~PtyServer() {
  stop();
}

void PtyServer::stop() {
  if (!thread_.joinable()) return;
  wait_.request_stop();
  thread_.join();
}

void PtyServer::power_cycle() {
  drive_->power_cycle();
  wait_.wake();
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
    // A reply that is due, or a flood, waits for room; a reply still to come sets the time-out.
    const bool flooding = drive_->flooding();
    const bool ready_to_send = flooding || (!due.empty() && due.front().due <= SteadyClock::now());
    std::optional<std::chrono::milliseconds> timeout;
    if (hung_up) {
      if (wait_.wait_for_stop(kHangupPoll)) return;
      timeout = std::chrono::milliseconds(0);
    } else if (!due.empty() && !ready_to_send) {
      const auto wait =
          std::chrono::ceil<std::chrono::milliseconds>(due.front().due - SteadyClock::now());
      timeout = std::chrono::milliseconds(std::max<std::int64_t>(wait.count(), 1));
    }
    const platform::PtyWait::Ready ready = wait_.wait(master, ready_to_send, timeout);
    if (!ready.error.empty()) {
      fail(ready.error);
      return;
    }
    if (ready.stop) return;
    if (ready.interrupted) continue;

    bool gone = ready.gone;
    if (ready.in) {
      for (;;) {
        const platform::PtyIo got = platform::read_master(master, buffer);
        if (!got.error.empty()) {
          fail(got.error);
          return;
        }
        gone = gone || got.gone;
        if (got.bytes == 0) break;
        // Bytes mean the host was there, even if it has closed again since the last look.
        hung_up = false;
        const auto now = SteadyClock::now();
        std::vector<VirtualDrive::Output> outputs =
            drive_->feed(std::span(buffer.data(), got.bytes));
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
        platform::flush_slave_input(pty_.slave_path());
        ++hangups_;
      }
      hung_up = true;
      continue;
    }
    hung_up = false;
    take_unsolicited(false, due);

    while (!due.empty() && due.front().due <= SteadyClock::now()) {
      std::vector<std::uint8_t>& bytes = due.front().bytes;
      const platform::PtyIo sent = platform::write_master(master, bytes);
      if (!sent.error.empty()) {
        fail(sent.error);
        return;
      }
      bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(sent.bytes));
      if (!bytes.empty()) break;  // the host reads slowly, or is gone: the wait tells which
      due.pop_front();
    }
    if (drive_->flooding()) {
      // The drive answers nothing more; the host gets garbage for as long as it reads.
      due.clear();
      for (std::size_t i = 0; i < kFloodChunk; ++i) flood[i] = flood_byte(flood_sent + i);
      const platform::PtyIo sent = platform::write_master(master, flood);
      if (!sent.error.empty()) {
        fail(sent.error);
        return;
      }
      flood_sent += sent.bytes;
    }
  }
}

}  // namespace driveflash::sim
