#include "pty/pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace driveflash::test {
namespace {

using Steady = std::chrono::steady_clock;

int ms_left(Steady::time_point until) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Steady::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

PtyPeer::PtyPeer() {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) {
    error_ = std::string("posix_openpt: ") + std::strerror(errno);
    return;
  }
  std::array<char, 128> name{};
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
      ::ptsname_r(master, name.data(), name.size()) != 0) {
    error_ = std::string("grantpt/unlockpt/ptsname: ") + std::strerror(errno);
    ::close(master);
    return;
  }
  // The settings stay with the pair after this descriptor closes: the device under test finds
  // a raw line, as the program's own port set-up leaves it.
  const int slave = ::open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios attributes{};
  if (slave < 0 || ::tcgetattr(slave, &attributes) != 0) {
    error_ = std::string("opening ") + name.data() + ": " + std::strerror(errno);
    if (slave >= 0) ::close(slave);
    ::close(master);
    return;
  }
  ::cfmakeraw(&attributes);
  ::tcsetattr(slave, TCSANOW, &attributes);
  ::close(slave);
  master_ = master;
  slave_path_ = name.data();
}

PtyPeer::~PtyPeer() {
  close();
}

void PtyPeer::close() {
  if (master_ >= 0) {
    ::close(master_);
    master_ = -1;
  }
}

bool PtyPeer::send(const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::vector<std::uint8_t> PtyPeer::receive(std::size_t count, std::chrono::milliseconds limit) {
  std::vector<std::uint8_t> out;
  const auto until = Steady::now() + limit;
  std::array<std::uint8_t, 4096> chunk{};
  while (out.size() < count && master_ >= 0) {
    pollfd fd{master_, POLLIN, 0};
    const int ready = ::poll(&fd, 1, ms_left(until));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (fd.revents & POLLIN) == 0) break;
    const ssize_t n = ::read(master_, chunk.data(), std::min(chunk.size(), count - out.size()));
    if (n <= 0) break;
    out.insert(out.end(), chunk.begin(), chunk.begin() + n);
  }
  return out;
}

}  // namespace driveflash::test
