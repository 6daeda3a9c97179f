// The fault matrix, in virtual time: every exchange of a run that waits for a reply, times
// every reply it can get (each of the 256 byte values, silence, a short or long reply where
// replies are longer than a byte, the line dropping). Each run goes as the operator's does:
// Program schedules the worker on a pool thread, the run rests in state 6 with the status line
// the reply tables give, the port closed and the counter counting only successes, and closing
// the popup ends the worker.
#include <gtest/gtest.h>

#include "matrix/reply_table.h"
#include "matrix/twisted_drive.h"
#include "platform/serial.h"
#include "run/run_context.h"
#include "support/hex_records.h"
#include "support/run_harness.h"

namespace driveflash::test {
namespace {

using Lines = std::vector<std::string>;
constexpr auto kCaseLimit = std::chrono::seconds(30);
constexpr auto kRestLimit = std::chrono::milliseconds(10'000);

// Three regions inside the eight sectors the erase clears, so that a download that starts over
// finds its pages erased again: 600 bytes from a page start (two pages, then 88 bytes that go
// out padded when the next region begins), 300 bytes 64 bytes into a page, and one exact page.
// Frames: header, 3 data, eot; header, 2 data, eot; header, 1 data, eot.
const Chunks kFirmware = {
    {0x10001000, pattern(600, 1)}, {0x10003040, pattern(300, 2)}, {0x10005000, pattern(256, 3)}};

struct Position {
  std::string name;
  ExchangeAt at;
};

std::vector<Position> positions() {
  std::vector<Position> out;
  // Every data frame: the first, the padded last page of a region (3, 5), the middle, the last.
  const std::pair<Exchange, int> kinds[] = {
      {Exchange::kIdentity, 2}, {Exchange::kReset, 1},  {Exchange::kEntryByte, 1},
      {Exchange::kEntry, 1},    {Exchange::kLength, 1}, {Exchange::kLoader, 1},
      {Exchange::kErase, 8},    {Exchange::kHeader, 3}, {Exchange::kData, 6},
      {Exchange::kEot, 3},      {Exchange::kClose, 1}};
  for (const auto& [kind, count] : kinds) {
    for (int i = 1; i <= count; ++i) {
      out.push_back({std::string(exchange_name(kind)) + "_" + std::to_string(i), {kind, i}});
    }
  }
  return out;
}

void PrintTo(const Position& p, std::ostream* out) {
  *out << p.name;
}

std::vector<Twist> twists_for(Exchange kind) {
  std::vector<Twist> out;
  switch (kind) {
    case Exchange::kIdentity:
      for (std::size_t keep = 0; keep < 7; ++keep) {
        out.push_back(Twist::cut(keep));
      }
      out.push_back(Twist::reply(hex_bytes("01 83 02 C0 F1")));  // a Modbus exception reply
      out.push_back(Twist::reply(Bytes(7, 0x00)));               // any 7 bytes count
      out.push_back(Twist::reply(Bytes(7, 0xFF)));
      out.push_back(Twist::extra({0x00}));
      break;
    case Exchange::kReset:
      out = {Twist::byte(0x00), Twist::cut(3), Twist::extra({0x5D})};
      break;
    case Exchange::kEntryByte:
      // Nothing answers the first byte of the entry; only the line can drop there.
      return {Twist::disconnect()};
    default:
      for (int b = 0; b < 256; ++b) {
        out.push_back(Twist::byte(static_cast<std::uint8_t>(b)));
      }
      break;
  }
  out.push_back(Twist::silence());
  out.push_back(Twist::disconnect());
  return out;
}

// The lines of a run that ends with the drive out of its firmware, and of a line where nothing
// answers.
constexpr const char* kLeft = kLeftPastLoaderEntryLine;
constexpr const char* kNoAnswer =
    "端口 4 (twisted) 无应答（驱动器 19200 波特，引导程序 115200 "
    "波特）：检查接线、驱动器电源、串口和驱动器波特率；上次运行未完成时，请试试救援 / No answer on "
    "port 4 (twisted), neither from the drive at 19200 "
    "baud nor from its bootstrap loader at 115200 baud: check the cable, the drive's power, the "
    "port and the drive's baud rate; after a run that did not finish, try rescue.";

struct Expected {
  bool success = false;
  Lines tail;             // the last lines of the status box: the failing line, then one advice
  bool repeated = false;  // the download started over once
  ExchangeAt last;        // the last exchange the host began
  run::Cause cause = run::Cause::kNone;
  run::DrivePlace left = run::DrivePlace::kFirmware;
};

// What the run must come to, from the reply tables alone.
Expected expected(const Position& p, const Twist& t) {
  // The first byte the host hears, and how many: the drive's reply is 7 bytes at the identity.
  const bool bytes = t.kind == Twist::Kind::kBytes && !t.bytes.empty();
  const std::optional<std::uint8_t> first =
      bytes ? std::optional<std::uint8_t>(t.bytes.front()) : std::nullopt;
  const std::size_t length = t.kind == Twist::Kind::kBytes   ? t.bytes.size()
                             : t.kind == Twist::Kind::kCut   ? t.keep
                             : t.kind == Twist::Kind::kExtra ? 8
                                                             : 0;
  const bool gone = t.kind == Twist::Kind::kDisconnect;
  const auto fail = [&](Lines tail, run::Cause cause, run::DrivePlace left) {
    return Expected{false, std::move(tail), false, p.at, cause, left};
  };
  using C = run::Cause;
  using D = run::DrivePlace;
  const Expected success{true, {"Done!"}, false, {Exchange::kClose, 1}};
  Expected repeated = success;
  repeated.repeated = true;
  const auto by_code = [&](int code, Lines before) {
    if (code == 0) {
      return success;
    }
    if (code == 248) {
      return repeated;
    }
    before.push_back(status_text(code));
    before.emplace_back(kLeft);
    return fail(std::move(before), C::kDownload, D::kSecondaryLoader);
  };
  switch (p.at.kind) {
    case Exchange::kIdentity: {
      // The first answer is read only to clear it; a line that died stays dead.
      if (!gone && (p.at.index == 1 || length >= 7)) {
        return success;
      }
      // No drive answered: one loader handshake at the loader baud rate, which the firmware
      // ignores, and the line that says what to look at. A line that died cannot be reopened.
      Expected e = fail({"未知型号的驱动器!", kNoAnswer}, C::kNoAnswer, D::kFirmware);
      e.last = gone ? ExchangeAt{Exchange::kOpen, 2} : ExchangeAt{Exchange::kOther, 2};
      return e;
    }
    case Exchange::kReset:
      // Nothing is read after the reset request; a drive that is gone cannot be reopened.
      if (gone) {
        Expected e = fail({"驱动器连接成功!", "新波特率设置失败！", kLeftInRomLoaderLine},
                          C::kLoaderBaud, D::kRomLoader);
        e.last = {Exchange::kOpen, 2};
        return e;
      }
      return success;
    case Exchange::kEntryByte:
    case Exchange::kEntry:
      return first == 0x5D ? success
                           : fail({"ERROR: ASC BSL initialization failed!", kLeftInRomLoaderLine},
                                  C::kHandshake, D::kRomLoader);
    case Exchange::kLength:
      return first == 0x01 ? success
                           : fail({"ASC BSL initialization OK!",
                                   "ERROR: Send application length failed!", kLeft},
                                  C::kLength, D::kSecondaryLoader);
    case Exchange::kLoader:
      return first == 0x01 ? success
                           : fail({"Sending XMC1x_ASCLoader...",
                                   "ERROR: Installing ASCLoader failed  - quitting...", kLeft},
                                  C::kLoaderUpload, D::kSecondaryLoader);
    case Exchange::kErase:
      return by_code(
          judged(FrameColumn::kHeader, first),
          {"Erasing sector " + std::to_string(p.at.index - 1) + ", This may take a few seconds...",
           "Erase Flash failed!"});
    case Exchange::kHeader:
      return by_code(judged(FrameColumn::kHeader, first), {"Done!"});
    case Exchange::kData:
      return by_code(judged(FrameColumn::kData, first), {"Done!"});
    case Exchange::kEot:
      return by_code(judged(FrameColumn::kEot, first), {"Done!"});
    case Exchange::kClose:
      // The closing header's reply is never read, and the run has counted by then.
      return success;
    default:
      break;
  }
  return {};
}

int failures_so_far() {
  return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

class ReplyMatrix : public ::testing::TestWithParam<Position> {
 protected:
  static void SetUpTestSuite() {
    run_ = std::make_unique<RunHarness>();
    run_->set_firmware("three_regions.hex", make_hex(kFirmware));
  }
  static void TearDownTestSuite() { run_.reset(); }

  // One run with `t` at `p`; checks it against `want`.
  static void run_case(const Position& p, const Twist& t, const Expected& want) {
    Watchdog dog("fault matrix, " + p.name + ", " + describe(t), kCaseLimit);
    const auto drive = TwistedDrive::make();
    drive->twist(p.at, t);
    drive->map(RunHarness::kPort);
    const int before = okcount.load();
    const int shown_before = run_->counter_display();
    ASSERT_TRUE(run_->press_program());
    EXPECT_TRUE(run_->wait_for_rest(kRestLimit)) << "the run did not come to rest";
    EXPECT_EQ(FlushInQ(RunHarness::kPort), kComPortNotOpen) << "the port is open at rest";
    EXPECT_TRUE(run_->close_popup()) << "the popup stayed";
    EXPECT_EQ(runflag.load(), 0);
    EXPECT_EQ(FlushInQ(RunHarness::kPort), kComPortNotOpen);

    const Lines lines = run_->lines();
    ASSERT_GE(lines.size(), want.tail.size());
    EXPECT_EQ(Lines(lines.end() - static_cast<std::ptrdiff_t>(want.tail.size()), lines.end()),
              want.tail);
    EXPECT_EQ(okcount.load(), before + (want.success ? 1 : 0));
    // What every front end reports comes from the run's record, which must say the same.
    const run::Outcome out = run::last_outcome();
    EXPECT_EQ(out.programmed(), want.success);
    EXPECT_EQ(out.cause, want.cause);
    EXPECT_EQ(out.drive_left, want.left);
    if (!want.success) {
      EXPECT_EQ(out.line, want.tail.end()[-2]);
      EXPECT_EQ(out.advice, Lines{want.tail.back()});
    }
    EXPECT_EQ(run_->counter_display(), want.success ? okcount.load() : shown_before);
    const auto log = drive->log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(exchange_name(log.back().kind), exchange_name(want.last.kind))
        << "nothing may be sent after the step that failed";
    EXPECT_EQ(log.back().index, want.last.index);
    if (want.success) {
      const auto erases = std::count(lines.begin(), lines.end(),
                                     "Erasing sector 0, This may take a few seconds...");
      EXPECT_EQ(erases, want.repeated ? 2 : 1) << "a 248 starts the download over, once";
      std::string mismatch;
      EXPECT_TRUE(drive->drive().flash_matches(kFirmware, &mismatch)) << mismatch;
    }
  }

  static inline std::unique_ptr<RunHarness> run_;
};

TEST_P(ReplyMatrix, EveryReplyEndsTheRunAsTheTablesSay) {
  const Position& p = GetParam();
  int failing = 0;
  for (const Twist& t : twists_for(p.at.kind)) {
    SCOPED_TRACE(p.name + ": " + describe(t));
    const int before = failures_so_far();
    run_case(p, t, expected(p, t));
    if (failures_so_far() != before && ++failing == 5) {
      ADD_FAILURE() << "five replies failed at " << p.name << "; the rest is not tried";
      break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Positions, ReplyMatrix, ::testing::ValuesIn(positions()),
                         [](const auto& row) { return row.param.name; });

// The healthy run behind every row: the exchanges in the order the protocol gives them.
TEST_F(ReplyMatrix, AHealthyRunGoesThroughTheExchangesInOrder) {
  const auto drive = TwistedDrive::make();
  drive->map(RunHarness::kPort);
  ASSERT_TRUE(run_->press_program());
  ASSERT_TRUE(run_->wait_for_rest(kRestLimit));
  EXPECT_TRUE(run_->close_popup());
  std::string names;
  for (const ExchangeAt& at : drive->log()) {
    names += std::string(exchange_name(at.kind)) + " ";
  }
  std::string erases;
  for (int i = 0; i < 8; ++i) {
    erases += "erase ";
  }
  EXPECT_EQ(names, "open identity identity reset open entry_byte entry length loader " + erases +
                       "header data data data eot header data data eot header data eot close ");
}

}  // namespace
}  // namespace driveflash::test
