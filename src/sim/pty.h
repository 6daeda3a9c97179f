// The virtual drive on a pseudo-terminal, for programs that only know device paths.
//
//   std::string error;
//   auto pty = platform::PtyPair::open(error);         // slave in raw mode, e.g. "/dev/pts/5"
//   PtyServer server(std::move(*pty), std::make_shared<VirtualDrive>());
//   ... the host opens server.slave_path() like a serial device ...
//   server.stop();                            // or let the destructor do it
//
// The server holds no descriptor of the slave side. When the host closes the device the
// master reports a hang-up; the server then drops the replies still due and flushes what the
// host left unread in the slave's input, as closing a real port discards its queue. (Were a
// slave descriptor kept open to spare the master its EIO, the reset request's echo would
// outlive the close and greet the host when it reopens the device at the loader baud.)
// Baud rate and framing set by the host on the slave are ignored: the pair has no wire.
// A flooding drive (flood-from) keeps the slave's input full of garbage while the host has the
// device open; the kernel's buffer bounds what is on its way at any time.
// What the drive sends by itself (a power cycle's junk) goes out while the host has the device
// open, and is lost while it has not, as on a closed port.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/pty.h"
#include "sim/virtual_drive.h"

namespace driveflash::sim {

// Runs a virtual drive on the master side of a pair, in a thread of its own.
class PtyServer {
 public:
  PtyServer(platform::PtyPair pty, std::shared_ptr<VirtualDrive> drive);
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  const std::string& slave_path() const { return pty_.slave_path(); }
  VirtualDrive& drive() { return *drive_; }
  // Switches the drive off and on, and sends its power-cycle junk at once.
  void power_cycle();
  // Stops serving and waits for the thread; the pair stays open until destruction.
  void stop();
  // Whether a disconnect fault closed the master.
  bool disconnected() const { return disconnected_.load(); }
  // How often the host has closed the device so far.
  std::uint64_t hangups() const { return hangups_.load(); }
  // Why serving stopped early on a system error ("" if it did not).
  std::string failure() const;

 private:
  // Bytes on their way to the host, due at a time on the steady clock.
  struct DueReply {
    std::chrono::steady_clock::time_point due;
    // cppcheck-suppress unusedStructMember ; serve() writes it out through due.front().bytes
    std::vector<std::uint8_t> bytes;
  };

  void serve();
  // Queues what the drive sent by itself since the last look (or drops it while hung up).
  void take_unsolicited(bool hung_up, std::deque<DueReply>& due);

  platform::PtyPair pty_;
  std::shared_ptr<VirtualDrive> drive_;
  platform::PtyWait wait_;
  std::uint64_t unsolicited_seen_ = 0;  // the serving thread's
  std::atomic<bool> disconnected_{false};
  std::atomic<std::uint64_t> hangups_{0};
  mutable std::mutex failure_mutex_;
  std::string failure_;
  std::thread thread_;
};

}  // namespace driveflash::sim
