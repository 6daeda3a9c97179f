// Either end of a pseudo-terminal pair, driven by hand: the tests play the peer of the device
// under test, or the host of the virtual drive's server.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

namespace driveflash::test {

// Sends everything (waits while the other side's input is full). False when the pair is gone.
inline bool send_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

// Collects up to `count` bytes, giving up after `limit` or when the line ends.
inline std::vector<std::uint8_t> receive(int fd, std::size_t count,
                                         std::chrono::milliseconds limit) {
  using Steady = std::chrono::steady_clock;
  std::vector<std::uint8_t> out;
  const auto until = Steady::now() + limit;
  std::array<std::uint8_t, 4096> chunk{};
  while (out.size() < count && fd >= 0) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Steady::now()).count();
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (p.revents & POLLIN) == 0) break;
    const ssize_t n = ::read(fd, chunk.data(), std::min(chunk.size(), count - out.size()));
    if (n <= 0) break;
    out.insert(out.end(), chunk.begin(), chunk.begin() + n);
  }
  return out;
}

}  // namespace driveflash::test
