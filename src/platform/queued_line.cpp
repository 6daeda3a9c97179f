#include <algorithm>

#include "platform/serial.h"

namespace driveflash::platform {

int QueuedLine::write(std::span<const std::uint8_t> bytes) {
  if (disconnected_) {
    return kComIoError;
  }
  on_host_write(bytes, clock().now());
  return static_cast<int>(bytes.size());
}

int QueuedLine::read(std::span<std::uint8_t> buffer, Micros deadline) {
  before_host_io();
  std::size_t got = 0;
  Clock& c = clock();
  while (got < buffer.size()) {
    Micros next_arrival = deadline;
    bool have_next = false;
    {
      std::lock_guard lock(mutex_);
      const Micros now = c.now();
      while (got < buffer.size() && !input_.empty() && input_.front().arrival <= now) {
        buffer[got++] = input_.front().value;
        input_.pop_front();
      }
      if (got == buffer.size()) {
        break;
      }
      if (disconnected_) {
        return got > 0 ? static_cast<int>(got) : kComIoError;
      }
      if (!input_.empty()) {
        next_arrival = std::min(input_.front().arrival, deadline);
        have_next = input_.front().arrival <= deadline;
      }
      if (now >= deadline) {
        break;
      }
    }
    c.sleep_until(have_next ? next_arrival : deadline);
    if (!have_next && c.now() >= deadline) {
      // Take whatever arrived exactly at the deadline before giving up.
      std::lock_guard lock(mutex_);
      while (got < buffer.size() && !input_.empty() && input_.front().arrival <= c.now()) {
        buffer[got++] = input_.front().value;
        input_.pop_front();
      }
      break;
    }
  }
  return static_cast<int>(got);
}

void QueuedLine::flush_input() {
  before_host_io();
  std::lock_guard lock(mutex_);
  const Micros now = clock().now();
  // Bytes still on their way are not in the queue yet, so a flush does not catch them.
  while (!input_.empty() && input_.front().arrival <= now) {
    input_.pop_front();
  }
}

std::size_t QueuedLine::pending_input() {
  std::lock_guard lock(mutex_);
  return input_.size();
}

void QueuedLine::send_to_host(std::span<const std::uint8_t> bytes, Micros arrival) {
  std::lock_guard lock(mutex_);
  // A byte cannot overtake the one sent before it.
  if (!input_.empty()) {
    arrival = std::max(arrival, input_.back().arrival);
  }
  for (const std::uint8_t b : bytes) {
    input_.push_back({b, arrival});
  }
}

void QueuedLine::disconnect() {
  disconnected_.store(true);
}

void ScriptedLine::on_host_write(std::span<const std::uint8_t> bytes, Micros now) {
  writes_.emplace_back(bytes.begin(), bytes.end());
  if (next_ < steps_.size()) {
    const Step& step = steps_[next_++];
    send_to_host(step.reply, now + step.delay);
  } else if (!rest_.empty()) {
    send_to_host(rest_, now);
  }
}

}  // namespace driveflash::platform
