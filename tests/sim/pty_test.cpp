#include "sim/pty.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "pty/pty_peer.h"
#include "sim_test_util.h"

namespace driveflash::sim {
namespace {

using namespace driveflash::sim::test;
using SteadyClock = std::chrono::steady_clock;

// Only keeps a broken server from hanging the test; no test depends on how fast it answers.
constexpr auto kPatience = std::chrono::seconds(10);

Bytes read_some(const platform::UniqueFd& fd, std::size_t count) {
  return driveflash::test::receive(fd.get(), count, kPatience);
}

void write_all(const platform::UniqueFd& fd, const Bytes& bytes) {
  ASSERT_TRUE(driveflash::test::send_all(fd.get(), bytes));
}

class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    auto pair = platform::PtyPair::open(error);
    ASSERT_TRUE(pair) << error;
    drive_ = std::make_shared<VirtualDrive>(faults_);
    server_ = std::make_unique<PtyServer>(std::move(*pair), drive_);
    ASSERT_EQ(server_->failure(), "");
  }

  platform::UniqueFd open_slave() const {
    platform::UniqueFd fd(::open(server_->slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    EXPECT_TRUE(fd) << server_->slave_path();
    return fd;
  }

  void wait_for_hangups(std::uint64_t n) const {
    const auto give_up = SteadyClock::now() + kPatience;
    while (server_->hangups() < n && SteadyClock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_GE(server_->hangups(), n);
  }

  Faults faults_;
  std::shared_ptr<VirtualDrive> drive_;
  std::unique_ptr<PtyServer> server_;
};

TEST_F(PtyTest, ReplyLeftUnreadIsGoneAfterTheHostReopens) {
  {
    const platform::UniqueFd fd = open_slave();
    write_all(fd, kReset);
    // The echo is on its way or waiting in the slave's input when the host closes.
    const auto give_up = SteadyClock::now() + kPatience;
    while (drive_->stage() == VirtualDrive::Stage::kApplication && SteadyClock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  wait_for_hangups(1);
  const platform::UniqueFd fd = open_slave();
  write_all(fd, {0x00});
  write_all(fd, {0x6C});
  EXPECT_EQ(to_hex(read_some(fd, 1)), "5D");
  server_->stop();
  EXPECT_EQ(server_->failure(), "");
}

// driveflash-sim itself: the device on its first line, a run's page in the flash dump, the
// power-cycle junk on SIGUSR1 and the ROM loader after it, exit 0 on SIGTERM.
TEST(DriveflashSimProgram, ServesUntilSigtermAndDumpsTheFlash) {
  driveflash::test::TempDir dir;
  const std::string dump = (dir.path() / "flash.bin").string();
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::execl(DRIVEFLASH_SIM_PROGRAM, DRIVEFLASH_SIM_PROGRAM, "--flash-dump", dump.c_str(),
            "--power-cycle-junk", "00FF", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // A failed assertion must not leave the program running.
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
      }
    }
  } reaper{pid};
  ::close(out[1]);
  const platform::UniqueFd stdout_pipe(out[0]);
  std::string first_line;
  const auto give_up = SteadyClock::now() + kPatience;
  while (!first_line.ends_with('\n') && SteadyClock::now() < give_up) {
    pollfd p{stdout_pipe.get(), POLLIN, 0};
    char c = 0;
    if (::poll(&p, 1, 100) > 0 && ::read(stdout_pipe.get(), &c, 1) == 1) first_line += c;
  }
  ASSERT_TRUE(first_line.starts_with("/dev/pts/")) << first_line;
  first_line.pop_back();

  {
    const platform::UniqueFd fd(::open(first_line.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(fd) << first_line;
    Bytes frames;
    for (const Bytes& chunk : into_loader()) frames = frames + chunk;
    write_all(fd, frames);
    ASSERT_EQ(read_some(fd, kIntoLoaderReplySize).size(), kIntoLoaderReplySize);
    write_all(fd, program(0x10001000) + data(0x40) + eot());
    EXPECT_EQ(to_hex(read_some(fd, 3)), "55 55 55");
    // Switched off and on with the device open: the junk at once, then the ROM loader.
    ASSERT_EQ(::kill(pid, SIGUSR1), 0);
    EXPECT_EQ(to_hex(read_some(fd, 2)), "00 FF");
    write_all(fd, {0x00});
    write_all(fd, {0x6C});
    EXPECT_EQ(to_hex(read_some(fd, 1)), "5D");
  }

  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  reaper.pid = 0;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::ifstream file(dump, std::ios::binary);
  const Bytes flash((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_EQ(flash.size(), 200u * 1024u);
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 256), page_of(0x40));
  EXPECT_EQ(flash[256], 0x00);
}

// Options it cannot keep, or does not know, are refused before a device is made.
TEST(DriveflashSimProgram, RefusesWhatAPseudoTerminalCannotDo) {
  for (const std::string args : {"--faults modbus-gap=on", "--power-cycle-junk 0",
                                 "--faults power-cycle-junk=00 --power-cycle-junk 00"}) {
    SCOPED_TRACE(args);
    const int status =
        std::system((std::string(DRIVEFLASH_SIM_PROGRAM) + " " + args + " 2>/dev/null").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
  }
}

}  // namespace
}  // namespace driveflash::sim
