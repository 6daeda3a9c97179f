// The run's states in virtual time: every state's way to success and to failure, with the
// exact status lines, the exact waits, and what is left open afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "link/drive_link.h"
#include "platform/serial.h"
#include "platform/sound.h"
#include "run/failures.h"
#include "run/run_context.h"
#include "support/run_harness.h"

namespace driveflash::test {
namespace {

namespace pf = platform;
using Lines = std::vector<std::string>;
using pf::Micros;

constexpr Micros ms(std::int64_t v) {
  return Micros(v * 1000);
}

// Waits of each state on the way to the download: 0.1 | 0.9 + 0.2 + 0.5 + 0.2 | 0.4 + 0.2 |
// 0.1 + 0.2 | 0.2 + 0.1.
constexpr Micros kWaitsToDownload = ms(100 + 1800 + 600 + 300 + 300);
constexpr Micros kRest = ms(200);

TEST(RunStates, SuccessfulRunReportsCountsAndRests) {
  RunHarness h;
  // Two pages of firmware.
  h.set_firmware("fw.hex", make_hex(0x10001000, Bytes(300, 0xA5)));
  const auto line = willing_drive();
  h.use_line(line);
  okcount = 0;
  const Micros waits = h.run();
  EXPECT_EQ(h.lines(), programmed_lines());
  // Erase 8 × 0.2 s, two data frames × 0.05 s.
  EXPECT_EQ(waits, kWaitsToDownload + ms(1600 + 100) + kRest);
  EXPECT_EQ(okcount.load(), 1);
  EXPECT_EQ(h.counter_display(), 1);
  EXPECT_EQ(h.attributes(), (Lines{"dim=1", "show=1", "dim=0", "show=0"}));
  EXPECT_DOUBLE_EQ(h.progress().back(), 100.0);
  EXPECT_EQ(FlushInQ(RunHarness::kPort), kComPortNotOpen) << "port left open";
  EXPECT_EQ(pf::sounds_requested().back(), "msg.wav");
  // The last frame is the closing header: mode 1, word 0xF8C1.
  EXPECT_EQ(line->writes().back(), hex_bytes("00 01 00 00 F8 C1 00 00 00 00 00 00 00 00 00 38"));
  // A second run counts on.
  const auto again = willing_drive();
  h.use_line(again);
  h.run();
  EXPECT_EQ(h.counter_display(), 2);
}

// The Modbus silence before the second identity request and before the reset request, which
// every profile keeps: on a line that answers at once, from the end of the request before on
// the wire (8 bytes at 19200 baud), 3.5 characters of 11 bits.
const Micros kFastGap = pf::wire_time(8, 19200) + modbus_silence(19200);
// The secondary loader's start-up before its first frame.
constexpr Micros kLoaderStartup = ms(20);
// Waits the fast profile keeps on the way: the silences, after the reset and around the port's
// reopening | the handshake's two pauses | the loader's start-up.
const Micros kFastToHandshake = 2 * kFastGap + ms(500 + 200);
const Micros kFastToLoader = kFastToHandshake + ms(400);
const Micros kFastToDownload = kFastToLoader + kLoaderStartup;

// One failing step per state: the replies up to it, the lines, the waits in either profile.
// The fast profile shows the same lines and then its advice.
struct FailCase {
  const char* name;
  std::vector<Bytes> replies;  // to the writes in order; the rest silence
  Lines lines;
  Micros waits;
  Micros fast_waits;
};

class RunFailures : public ::testing::TestWithParam<FailCase> {};

TEST_P(RunFailures, EndInTheFinalStateWithTheirLine) {
  const FailCase& c = GetParam();
  std::vector<Bytes> writes[2];
  for (const int profile : {kTimingStandard, kTimingFast}) {
    SCOPED_TRACE(profile);
    RunHarness h;
    h.set_timing(profile);
    h.set_firmware("fw.hex", make_hex(0x10001000, Bytes(16, 1)));
    auto line = std::make_shared<pf::ScriptedLine>();
    for (const Bytes& r : c.replies) {
      line->then(r);
    }
    h.use_line(line);
    const int before = okcount.load();
    Lines lines = c.lines;
    if (profile == kTimingFast) {
      lines.emplace_back(kTryStandardLine);
    }
    EXPECT_EQ(h.run(), (profile == kTimingFast ? c.fast_waits : c.waits) + kRest);
    EXPECT_EQ(h.lines(), lines);
    EXPECT_EQ(okcount.load(), before);
    EXPECT_EQ(FlushInQ(RunHarness::kPort), kComPortNotOpen);
    writes[profile] = line->writes();
  }
  EXPECT_EQ(writes[kTimingStandard], writes[kTimingFast]);
}

const Bytes kId = hex_bytes("01 03 02 00 2A 38 5B");
// No drive answered: the loader handshake at the loader baud rate found nothing either.
const std::string kNoAnswer =
    "端口 4 (test) 无应答（驱动器 19200 波特，引导程序 115200 "
    "波特）：检查接线、驱动器电源、串口和驱动器波特率；上次运行未完成时，请试试救援 / No answer on "
    "port 4 (test), neither from the drive at 19200 baud nor "
    "from its bootstrap loader at 115200 baud: check the cable, the drive's power, the port and "
    "the drive's baud rate; after a run that did not finish, try rescue.";
// Close, 0.2 s, reopen at the loader baud rate, the handshake's 0.4 s, the line's 0.2 s.
constexpr Micros kProbe = ms(200 + 400 + 200);
// The fast profile keeps the probe's reopening and handshake, not the line's pause.
constexpr Micros kFastProbe = ms(200 + 400);

INSTANTIATE_TEST_SUITE_P(
    EachState, RunFailures,
    ::testing::Values(
        FailCase{"silent_drive",
                 {},
                 {"初始化中...", "未知型号的驱动器!", kNoAnswer},
                 ms(100 + 900) + kProbe,
                 kFastProbe},
        // The first answer came: the second request keeps the silence after it.
        FailCase{"answers_only_first",
                 {kId},
                 {"初始化中...", "未知型号的驱动器!", kNoAnswer},
                 ms(100 + 900) + kProbe,
                 kFastGap + kFastProbe},
        FailCase{"short_identity",
                 {kId, hex_bytes("01 83 02 C0 F1")},
                 {"初始化中...", "未知型号的驱动器!", kNoAnswer},
                 ms(100 + 900) + kProbe,
                 kFastGap + kFastProbe},
        // Found waiting in the loader, but it refuses the length: it is past the handshake now.
        FailCase{"found_in_loader_then_refused",
                 {{}, {}, {}, {0x5D}, {0xFF}},
                 {"初始化中...", kFoundInLoaderLine, "ERROR: Send application length failed!",
                  kLeftPastLoaderEntryLine},
                 ms(100 + 900 + 200 + 400 + 200 + 100 + 200),
                 kFastProbe},
        FailCase{"handshake_echo",
                 {kId, kId, {}, {}, {0x6C}},
                 {"初始化中...", "驱动器连接成功!", "ERROR: ASC BSL initialization failed!",
                  kLeftInRomLoaderLine},
                 ms(100 + 1800 + 400 + 200),
                 kFastToLoader},
        FailCase{"length_refused",
                 {kId, kId, {}, {}, {0x5D}, {0x5D}},
                 {"初始化中...", "驱动器连接成功!", "ASC BSL initialization OK!",
                  "ERROR: Send application length failed!", kLeftPastLoaderEntryLine},
                 ms(100 + 1800 + 600 + 100 + 200),
                 kFastToLoader},
        FailCase{"loader_refused",
                 {kId, kId, {}, {}, {0x5D}, {0x01}, {0x00}},
                 {"初始化中...", "驱动器连接成功!", "ASC BSL initialization OK!",
                  "Send application length OK!", "Sending XMC1x_ASCLoader...",
                  "ERROR: Installing ASCLoader failed  - quitting...", kLeftPastLoaderEntryLine},
                 ms(100 + 1800 + 600 + 300 + 200 + 500),
                 kFastToLoader},
        FailCase{
            "silent_loader_during_erase",
            {kId, kId, {}, {}, {0x5D}, {0x01}, {0x01}},
            lines_to_download({"Erasing sector 0, This may take a few seconds...",
                               "Erase Flash failed!", "Unknown error", kLeftPastLoaderEntryLine}),
            kWaitsToDownload,
            kFastToDownload}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(RunStates, PortThatCannotOpen) {
  RunHarness h;
  h.set_firmware("fw.hex", make_hex(0x10001000, Bytes(16, 1)));
  // Nothing mapped to the port number.
  EXPECT_EQ(h.run(), ms(100 + 200) + kRest);
  EXPECT_EQ(h.lines(), (Lines{"初始化中...", "ERROR: COM Port initialization failed!",
                              "端口 / Port " + std::to_string(RunHarness::kPort) +
                                  ": no serial port is mapped to number " +
                                  std::to_string(RunHarness::kPort)}));
  EXPECT_EQ(h.attributes(), (Lines{"dim=0", "show=0"})) << "OK never dimmed";
}

// Failures that no reply caused: a fast run gives no timing advice.
TEST(RunStates, FastAdvisesOnlyAfterAReply) {
  const auto no_port = [](RunHarness&) {};
  const auto bad_file = [](RunHarness& h) {
    h.set_firmware("fw.hex", ":10100000AABB\n");
    h.use_line(willing_drive());
  };
  const auto no_loader = [](RunHarness& h) {
    h.remove_loader();
    h.use_line(willing_drive());
  };
  for (const auto& set_up : {+no_port, +bad_file, +no_loader}) {
    RunHarness h;
    h.set_timing(kTimingFast);
    h.set_firmware("fw.hex", make_hex(0x10001000, Bytes(16, 1)));
    set_up(h);
    h.run();
    ASSERT_FALSE(h.lines().empty());
    EXPECT_NE(h.lines().back(), kTryStandardLine);
  }
}

TEST(RunStates, LoaderBaudThatCannotBeSet) {
  RunHarness h;
  h.set_firmware("fw.hex", make_hex(0x10001000, Bytes(16, 1)));
  const auto line = willing_drive();
  pf::PortEntry entry;
  entry.number = RunHarness::kPort;
  entry.name = "test";
  entry.open = [&](const pf::LineSettings& s,
                   std::string& error) -> std::unique_ptr<pf::SerialLine> {
    if (s.baud == 115200) {
      error = "baud rate not supported";
      return nullptr;
    }
    return forward_to(line);
  };
  pf::map_port(entry);
  EXPECT_EQ(h.run(), ms(100 + 1800 + 200) + kRest);
  EXPECT_EQ(h.lines(),
            (Lines{"初始化中...", "驱动器连接成功!", "新波特率设置失败！", kLeftInRomLoaderLine}));
  EXPECT_EQ(line->writes().size(), 3u) << "two identity requests and the reset request";
}

TEST(RunStates, MissingLoaderFileIsReportedAfterTheLength) {
  RunHarness h;
  h.set_firmware("fw.hex", make_hex(0x10001000, Bytes(16, 1)));
  h.remove_loader();
  h.use_line(willing_drive());
  EXPECT_EQ(h.run(), ms(100 + 1800 + 600 + 300 + 200) + kRest);
  EXPECT_EQ(h.lines(),
            (Lines{"初始化中...", "驱动器连接成功!", "ASC BSL initialization OK!",
                   "Send application length OK!", "ERROR: Opening 'XMC1x_ASCLoader.hex' failed!",
                   kLeftPastLoaderEntryLine}));
}

TEST(RunStates, StandInLoaderGoesToVirtualDrivesOnly) {
  // The loader in the harness's directory is the stand-in shipped for the virtual drive.
  for (const bool real : {false, true}) {
    RunHarness h;
    h.set_firmware("fw.hex", make_hex(0x10001000, Bytes(16, 1)));
    const auto line = willing_drive();
    h.use_line(line, real);
    h.run();
    if (real) {
      ASSERT_EQ(h.lines().size(), 6u);
      EXPECT_NE(h.lines()[4].find("stand-in"), std::string::npos);
      EXPECT_EQ(h.lines().back(), kLeftPastLoaderEntryLine);
      EXPECT_EQ(line->writes().size(), 6u) << "the loader itself never went out";
    } else {
      EXPECT_EQ(h.lines().back(), "Done!");
    }
  }
}

// Every page is in, but the closing header did not wholly leave the port: the drive still waits
// in its loader, so the run is no success, says so, and counts nothing.
TEST(RunStates, AClosingHeaderThatDidNotLeaveFailsTheRun) {
  class ShortClosingHeader final : public pf::SerialLine {
   public:
    explicit ShortClosingHeader(std::shared_ptr<pf::SerialLine> line) : line_(std::move(line)) {}
    int write(std::span<const std::uint8_t> bytes) override {
      const int written = line_->write(bytes);
      const bool closing = bytes.size() == 16 && bytes[0] == 0x00 && bytes[1] == 0x01;
      return closing ? written - 3 : written;
    }
    int read(std::span<std::uint8_t> buffer, Micros deadline) override {
      return line_->read(buffer, deadline);
    }
    void flush_input() override { line_->flush_input(); }
    void flush_output() override { line_->flush_output(); }
    bool paced() const override { return false; }

   private:
    std::shared_ptr<pf::SerialLine> line_;
  };
  RunHarness h;
  h.set_firmware("fw.hex", make_hex(0x10001000, Bytes(300, 0xA5)));
  const auto line = willing_drive();
  pf::PortEntry entry;
  entry.number = RunHarness::kPort;
  entry.name = "test";
  entry.open = [line](const pf::LineSettings&, std::string&) {
    return std::make_unique<ShortClosingHeader>(line);
  };
  pf::map_port(entry);
  const std::size_t sounds = pf::sounds_requested().size();
  const int before = okcount.load();
  h.run();
  Lines expected = programmed_lines();
  expected.insert(expected.end(),
                  {run::failure_line(run::Cause::kClosingHeader), kLeftPastLoaderEntryLine});
  EXPECT_EQ(h.lines(), expected);
  EXPECT_EQ(okcount.load(), before);
  EXPECT_EQ(pf::sounds_requested().size(), sounds);
  const run::Outcome out = run::last_outcome();
  EXPECT_EQ(out.result, run::Result::kFailed);
  EXPECT_EQ(out.cause, run::Cause::kClosingHeader);
  EXPECT_EQ(out.drive_left, run::DrivePlace::kSecondaryLoader);
  EXPECT_EQ(FlushInQ(RunHarness::kPort), kComPortNotOpen);
}

TEST(RunStates, DownloadFailureShowsItsCodeWithoutWait) {
  RunHarness h;
  // A firmware file that the download refuses before erasing: a record cut short.
  h.set_firmware("fw.hex", ":10100000AABB\n");
  h.use_line(willing_drive());
  const Micros waits = h.run();
  EXPECT_EQ(waits, kWaitsToDownload + kRest);
  ASSERT_GE(h.lines().size(), 8u);
  EXPECT_EQ(h.lines().end()[-2], "Invalid hexfile");
  EXPECT_EQ(h.lines().back(), kLeftPastLoaderEntryLine);
}

// Help lists the failure table, and the run takes its lines from it: every way a run ends
// without a programmed drive has a row there, with advice in both languages.
TEST(FailureTable, EveryWayARunEndsHasItsRowAndAdviceInBothLanguages) {
  using run::Cause;
  for (const Cause cause :
       {Cause::kRefused, Cause::kPortOpen, Cause::kNoAnswer, Cause::kLoaderBaud, Cause::kHandshake,
        Cause::kLength, Cause::kLoaderFile, Cause::kStandInLoader, Cause::kLoaderUpload,
        Cause::kClosingHeader, Cause::kRescueTimeout}) {
    SCOPED_TRACE(run::cause_name(cause));
    ASSERT_NE(run::failure_of(cause), nullptr);
    EXPECT_STRNE(run::failure_line(cause), "");
  }
  // Every status a download can end on: the file's check, silence, and the loader's bytes.
  for (const int status : {240, 241, 248, 249, 250, 251, 252, 253, 254, 255}) {
    SCOPED_TRACE(status);
    ASSERT_NE(run::failure_of(Cause::kDownload, status), nullptr);
  }
  for (const run::Failure& f : run::failure_table()) {
    SCOPED_TRACE(run::cause_name(f.cause));
    EXPECT_GT(std::string_view(f.advice_zh).size(), std::strlen(f.advice_en) / 4);
    const std::string_view zh = f.advice_zh;
    EXPECT_TRUE(std::ranges::any_of(zh, [](char c) {
      return static_cast<unsigned char>(c) > 0x7F;
    })) << "not Chinese";
    EXPECT_GT(std::strlen(f.advice_en), 20u);
  }
}

}  // namespace
}  // namespace driveflash::test
