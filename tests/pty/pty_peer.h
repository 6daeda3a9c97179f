// The far end of a pseudo-terminal pair, driven by hand: the tests open the slave as a serial
// device and play the peer on the master.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace driveflash::test {

class PtyPeer {
 public:
  // Opens a pair with the slave in raw mode; ok() says whether that worked, error() why not.
  PtyPeer();
  ~PtyPeer();
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  bool ok() const { return master_ >= 0; }
  const std::string& error() const { return error_; }
  const std::string& slave_path() const { return slave_path_; }
  // The master's descriptor (-1 once closed); terminal settings read here are the slave's.
  int master() const { return master_; }

  // Sends everything (waits while the slave's input is full). False when the pair is gone.
  bool send(const std::vector<std::uint8_t>& bytes);
  // Collects up to `count` bytes, giving up after `limit`.
  std::vector<std::uint8_t> receive(std::size_t count, std::chrono::milliseconds limit);
  // Closes the master: the slave side hangs up, as an unplugged adapter does.
  void close();

 private:
  int master_ = -1;
  std::string slave_path_;
  std::string error_;
};

}  // namespace driveflash::test
