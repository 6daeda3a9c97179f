// 'program' on the in-process virtual drive, in virtual time: the same run as the window's,
// its lines, exit status and JSON report, refusals and faults (Ctrl-C in each state:
// matrix/cli_stop_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "bsl/frames.h"
#include "cli/arguments.h"
#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/program.h"
#include "platform/panels.h"
#include "platform/timing.h"
#include "run/run_context.h"
#include "sim/sim_line.h"

namespace driveflash::cli {
namespace {

const std::vector<std::string> kBootLines = {"初始化中...",
                                             "驱动器连接成功!",
                                             "ASC BSL initialization OK!",
                                             "Send application length OK!",
                                             "Sending XMC1x_ASCLoader...",
                                             "Bootload success!"};

struct Outcome {
  int status;
  std::string out;
  std::string err;
  RunReport report;
};

class ProgramOnSim : public ::testing::Test {
 protected:
  ProgramOnSim() : cwd_(dir_.path()) { test::stage_run_directory(dir_.path()); }
  ~ProgramOnSim() override { platform::reset_panels(); }

  std::string firmware(const std::string& name, std::size_t bytes = 1000) {
    return dir_.write(name, test::hex_text(0x10001000, test::filler(bytes, 11)));
  }

  std::string encrypted(const std::string& plain) {
    const Arguments a{.command = Command::EhexEncrypt,
                      .file = plain,
                      .output = plain.substr(0, plain.size() - 4) + ".ehex"};
    std::ostringstream out, err;
    EXPECT_EQ(run_ehex(a, out, err), kExitOk) << err.str();
    return a.output;
  }

  // Runs 'program' with `words` after the command.
  Outcome program(std::vector<std::string_view> words) {
    words.insert(words.begin(), {"driveflash-cli", "program"});
    const ParseResult parsed = parse_arguments(words);
    EXPECT_TRUE(parsed.ok()) << parsed.error;
    std::ostringstream out, err;
    const Terminal term{out, err, false, 80};
    platform::RunWaker waker;
    Outcome o;
    o.status = run_program(parsed.args, term, waker, o.report);
    o.out = out.str();
    o.err = err.str();
    return o;
  }

  platform::ScopedVirtualClock clock_;
  test::TempDir dir_;
  test::ScopedCwd cwd_;
};

TEST_F(ProgramOnSim, PlainAndEncryptedFilesProgramTheSameFlash) {
  const std::string plain = firmware("fw.hex");
  const std::string cipher = encrypted(plain);
  for (const std::string& file : {plain, cipher}) {
    SCOPED_TRACE(file);
    const Outcome o = program({file, "--port", "sim", "--drive-baud", "19200", "--json"});
    ASSERT_EQ(o.status, kExitOk) << o.err;
    const RunReport& r = o.report;
    EXPECT_EQ(r.result(), "success");
    ASSERT_GE(r.lines.size(), kBootLines.size());
    EXPECT_EQ(std::vector<std::string>(r.lines.begin(), r.lines.begin() + 6), kBootLines);
    EXPECT_EQ(r.download_status(), 0);
    EXPECT_EQ(r.outcome.pages, 4u);  // 1000 bytes from a page start
    EXPECT_EQ(r.outcome.bytes, 1000u);
    EXPECT_EQ(r.verified, true);
    EXPECT_EQ(r.drive_baud, 19200);
    EXPECT_EQ(r.outcome.timing, kTimingStandard);
    EXPECT_GT(r.outcome.seconds, 2.0);  // the run's fixed waits, in virtual time
    // Standard output holds the JSON object alone; the lines went to standard error.
    EXPECT_EQ(o.out, r.json() + "\n");
    for (const char* member :
         {R"("result": "success")", R"("exit_status": 0)", R"("download_status": 0)",
          R"("pages_programmed": 4)", R"("bytes_programmed": 1024)", R"("verified": true)",
          R"(    "初始化中...",)"}) {
      EXPECT_NE(o.out.find(member), std::string::npos) << member << " in\n" << o.out;
    }
    EXPECT_NE(o.err.find("Bootload success!\n"), std::string::npos);
    EXPECT_NE(o.err.find("progress: 100 %\n"), std::string::npos);
  }
}

TEST_F(ProgramOnSim, StatusLinesGoToStandardOutputOnePerLine) {
  const Outcome o = program({firmware("fw.hex", 16), "--port", "sim"});
  ASSERT_EQ(o.status, kExitOk) << o.err;
  std::string expected;
  for (const std::string& line : o.report.lines) {
    expected += line + "\n";
  }
  EXPECT_EQ(o.out, expected);
  EXPECT_NE(o.err.find("the virtual drive's flash equals"), std::string::npos) << o.err;
}

TEST_F(ProgramOnSim, AFailedRunExitsOneWithItsLastLine) {
  const std::string file = firmware("fw.hex", 600);
  // The cause, and the line after it: what to check, or where the drive was left; whether a
  // reply was missing or made no sense (rather than a loader's own error byte).
  const std::vector<std::tuple<const char*, std::string, std::optional<int>, std::string, bool>>
      table = {
          {"sim:silent", "未知型号的驱动器!", std::nullopt, "No answer on port", true},
          {"sim:handshake=00", "ERROR: ASC BSL initialization failed!", std::nullopt,
           kLeftInRomLoaderLine, true},
          {"sim:silent-from:data@2", error_message(kStatusUnknown), kStatusUnknown,
           kLeftPastLoaderEntryLine, true},
          {"sim:reply:data@2=F9", error_message(kStatusVerification), kStatusVerification,
           kLeftPastLoaderEntryLine, false},
          {"sim:reply:header@1=FC", error_message(kStatusInvalidAddress), kStatusInvalidAddress,
           kLeftPastLoaderEntryLine, false},
      };
  // In the fast profile a missing reply is followed by the advice to try the standard one; a
  // loader's own error byte is not. Its drive is a fresh one (a port string of its own), where
  // the chip takes its time for a page.
  for (const auto& [port, cause, download, advice, missing_reply] : table) {
    for (const std::string timing : {"standard", "fast"}) {
      SCOPED_TRACE(std::string(port) + " " + timing);
      const std::string line = timing == "fast" ? std::string(port) + ",page-time=4" : port;
      const Outcome o = program({file, "--port", line, "--timing", timing, "--json"});
      EXPECT_EQ(o.status, kExitRunFailed);
      EXPECT_EQ(o.report.result(), "failed");
      EXPECT_EQ(o.report.outcome.timing == kTimingFast ? "fast" : "standard", timing);
      EXPECT_NE(o.out.find(R"("timing": ")" + timing + "\""), std::string::npos);
      std::vector<std::string> lines = o.report.lines;
      const bool try_standard = timing == "fast" && missing_reply;
      if (try_standard) {
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), kTryStandardLine);
        lines.pop_back();
      }
      ASSERT_GE(lines.size(), 2u);
      EXPECT_EQ(lines.end()[-2], cause);
      EXPECT_NE(lines.back().find(advice), std::string::npos) << lines.back();
      EXPECT_EQ(o.report.outcome.line, cause);
      EXPECT_EQ(o.report.download_status(), download);
      EXPECT_NE(o.out.find(R"("exit_status": 1)"), std::string::npos);
      const bool left = std::string_view(port) != "sim:silent";
      EXPECT_NE(o.out.find(std::string(R"("drive_left_in_loader": )") + (left ? "true" : "false")),
                std::string::npos);
      EXPECT_NE(o.out.find(R"("rescued": false)"), std::string::npos);
      EXPECT_NE(o.err.find("the run failed: " + cause), std::string::npos) << o.err;
      EXPECT_EQ(o.err.find("try --timing standard") != std::string::npos, try_standard);
    }
  }
}

// The bytes' time on the wire and the operating system's buffer: the panel's loader rates.
TEST_F(ProgramOnSim, LineTimeAtTheLoaderRatesThePanelOffers) {
  const std::string file = firmware("fw.hex", 5000);
  for (const char* baud : {"19200", "38400"}) {
    SCOPED_TRACE(baud);
    const Outcome o = program({file, "--port", "sim:line-time", "--loader-baud", baud});
    EXPECT_EQ(o.status, kExitOk) << o.err;
    EXPECT_EQ(o.report.verified, true);
  }
}

// A drive an earlier run left in its bootstrap loader: found by itself where the ROM loader
// waits, with --rescue and a power cycle where the secondary loader runs; the same drive stays
// in the process for the next run, as it stays on its line.
TEST_F(ProgramOnSim, ADriveLeftInItsLoaderIsFoundOrRescued) {
  const std::string file = firmware("fw.hex", 600);
  struct Row {
    std::vector<std::string_view> options;
    int status;
    bool rescued;
    std::string second_line;  // the line after "初始化中..."
  };
  const std::vector<Row> table = {
      {{"--port", "sim:start=rom-loader"}, kExitOk, true, kFoundInLoaderLine},
      {{"--port", "sim:start=stuck-loader"}, kExitRunFailed, false, "未知型号的驱动器!"},
      {{"--port", "sim:start=stuck-loader,power-cycle-after=20", "--rescue", "--rescue-wait", "60"},
       kExitOk,
       true,
       std::string(kPowerCycleLine) + " (0 s / 60 s)"},
      {{"--port", "sim:start=stuck-loader", "--rescue", "--rescue-wait", "5"},
       kExitRunFailed,
       false,
       std::string(kPowerCycleLine) + " (0 s / 5 s)"},
  };
  for (const Row& row : table) {
    std::vector<std::string_view> words{file};
    words.insert(words.end(), row.options.begin(), row.options.end());
    words.push_back("--json");
    SCOPED_TRACE(row.options[1]);
    const Outcome o = program(words);
    EXPECT_EQ(o.status, row.status) << o.err;
    ASSERT_GE(o.report.lines.size(), 2u);
    EXPECT_EQ(o.report.lines[1], row.second_line);
    EXPECT_EQ(o.report.outcome.found_in_loader, row.rescued);
    EXPECT_FALSE((o.report.outcome.drive_left != run::DrivePlace::kFirmware));
    EXPECT_NE(o.out.find(std::string(R"("rescued": )") + (row.rescued ? "true" : "false")),
              std::string::npos);
    if (row.status == kExitOk) {
      EXPECT_EQ(o.report.verified, true);
    }
  }
  // The drive of the rom-loader row was programmed: it answers as firmware now.
  const Outcome again = program({file, "--port", "sim:start=rom-loader"});
  EXPECT_EQ(again.status, kExitOk) << again.err;
  EXPECT_EQ(again.report.lines.at(1), "驱动器连接成功!");
  EXPECT_FALSE(again.report.outcome.found_in_loader);
}

// A port that cannot run at the chosen loader baud rate: the run's own line, then a plain word
// naming the rate; no timing advice, since no reply failed.
TEST_F(ProgramOnSim, ALoaderBaudThePortRefusesIsNamed) {
  constexpr int kPort = 77;
  auto drive = std::make_shared<sim::VirtualDrive>();
  platform::PortEntry entry;
  entry.number = kPort;
  entry.name = "/dev/ttyTEST";
  entry.open = [drive](const platform::LineSettings& s,
                       std::string& error) -> std::unique_ptr<platform::SerialLine> {
    if (s.baud == 921600) {
      error = "the adapter does not do 921600 baud";
      return nullptr;
    }
    return std::make_unique<sim::SimLine>(drive, s);
  };
  platform::map_port(entry);
  const Outcome o =
      program({firmware("fw.hex"), "--port", "77", "--loader-baud", "921600", "--timing", "fast"});
  platform::unmap_port(kPort);
  EXPECT_EQ(o.status, kExitRunFailed);
  EXPECT_EQ(o.report.outcome.line, "新波特率设置失败！");
  EXPECT_EQ(o.report.loader_baud, 921600);
  EXPECT_NE(o.err.find("the adapter does not do 921600 baud"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("the port refused the loader baud rate 921600"), std::string::npos) << o.err;
  EXPECT_EQ(o.err.find("try --timing standard"), std::string::npos) << o.err;
}

// --retries reaches the run: a reply lost after its page was programmed costs one retry, in the
// status lines and the JSON; without it the same drive fails.
TEST_F(ProgramOnSim, RetriesRideOutALostReply) {
  const std::string file = firmware("fw.hex", 700);
  // A drive of its own for each (frames are counted over a drive's life).
  for (const auto& [retries, port] :
       {std::pair{"0", "sim:lose-reply:data@1"}, std::pair{"2", "sim:lose-reply:data@3"}}) {
    SCOPED_TRACE(retries);
    const Outcome o = program({file, "--port", port, "--retries", retries, "--json"});
    const bool retried = std::string_view(retries) != "0";
    EXPECT_EQ(o.status, retried ? kExitOk : kExitRunFailed) << o.err;
    EXPECT_EQ(o.report.outcome.retries_used, retried ? 1 : 0);
    EXPECT_NE(o.out.find(std::string(R"("retries_used": )") + (retried ? "1" : "0")),
              std::string::npos)
        << o.out;
    const auto line =
        std::find_if(o.report.lines.begin(), o.report.lines.end(),
                     [](const std::string& l) { return l.starts_with("重试 1/2："); });
    EXPECT_EQ(line != o.report.lines.end(), retried);
    if (retried) {
      EXPECT_EQ(o.report.verified, true);
    }
  }
}

// --verify reads the flash back: a page the loader acknowledged with a bit wrong is programmed
// again within --retries, or ends the run with 249; without it only the virtual drive's own
// comparison sees the wrong byte.
TEST_F(ProgramOnSim, VerifyFindsWhatTheChecksumLetThrough) {
  const std::string file = firmware("fw.hex", 700);
  struct Row {
    const char* port;
    std::vector<std::string_view> options;
    int status;
    run::Cause cause;
    const char* read_back;
    int retries_used;
  };
  // A drive of its own for each (frames are counted over a drive's life).
  const Row rows[] = {
      {"sim", {"--verify"}, kExitOk, run::Cause::kNone, "verified", 0},
      {"sim:corrupt-page:data@1",
       {"--verify", "--retries", "1"},
       kExitOk,
       run::Cause::kNone,
       "verified",
       1},
      {"sim:corrupt-page:data@2",
       {"--verify"},
       kExitRunFailed,
       run::Cause::kDownload,
       "differed",
       0},
      {"sim:corrupt-page:data@3", {}, kExitRunFailed, run::Cause::kFlashDiffers, "off", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.port) + (row.options.empty() ? "" : " --verify"));
    std::vector<std::string_view> words = {file, "--port", row.port, "--json"};
    words.insert(words.end(), row.options.begin(), row.options.end());
    const Outcome o = program(words);
    EXPECT_EQ(o.status, row.status) << o.err;
    EXPECT_EQ(o.report.outcome.cause, row.cause);
    EXPECT_EQ(o.report.outcome.retries_used, row.retries_used);
    EXPECT_NE(o.out.find(std::string(R"("read_back": ")") + row.read_back + "\""),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find(R"("read_back_words": )" +
                         std::to_string(row.read_back == std::string_view("verified") ? 192 : 0)),
              std::string::npos)
        << o.out;
    if (row.cause == run::Cause::kDownload) {
      EXPECT_EQ(o.report.download_status(), kStatusVerification);
      EXPECT_TRUE(o.report.message().starts_with("Verification error — 读回不符：地址 0x10001180"))
          << o.report.message();
      EXPECT_EQ(o.report.outcome.drive_left, run::DrivePlace::kSecondaryLoader);
    }
  }
}

// The download starts over after 0xF8, five passes at most: a chip that keeps refusing ends
// the run (a station goes on to the next drive), with where the drive waits.
TEST_F(ProgramOnSim, AProtectedDriveIsProgrammedAfterTheDownloadStartsOver) {
  const Outcome o = program({firmware("fw.hex", 300), "--port", "sim:protect=4"});
  EXPECT_EQ(o.status, kExitOk) << o.err;
  EXPECT_EQ(o.report.download_status(), 0);
  EXPECT_EQ(o.report.verified, true);

  const Outcome refused = program({firmware("fw.hex", 300), "--port", "sim:protect=5"});
  EXPECT_EQ(refused.status, kExitRunFailed) << refused.err;
  EXPECT_EQ(refused.report.outcome.line, "Protection error");
  EXPECT_EQ(refused.report.download_status(), kStatusProtection);
  EXPECT_EQ(refused.report.outcome.drive_left, run::DrivePlace::kSecondaryLoader);
  const auto& lines = refused.report.lines;
  EXPECT_EQ(
      std::count(lines.begin(), lines.end(), "Erasing sector 0, This may take a few seconds..."),
      5);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), kLeftPastLoaderEntryLine);
  EXPECT_NE(refused.err.find("the run failed: Protection error"), std::string::npos);
  EXPECT_NE(refused.err.find("--rescue"), std::string::npos) << refused.err;
}

TEST_F(ProgramOnSim, RefusalsExitTwoBeforeAnythingIsSent) {
  const std::string plain = firmware("fw.hex");
  const std::string named_ehex = dir_.write("plain-inside.ehex", test::read_text(plain));
  const std::string bad = dir_.write("bad.hex", "garbage\n");
  const std::string upper = test::record(4, 0, {0x10, 0x00});
  const std::string checksum =
      dir_.write("sum.hex", upper + "\n" + test::record(0, 0x1000, {1, 2, 3}, 0x42) + "\n");
  const std::string letter = dir_.write("letter.hex", upper + "\n:0310000001G203E6\n");
  const std::string nodata = dir_.write("nodata.hex", ":00000001FF\n\n");
  const std::string outside =
      dir_.write("outside.hex", test::hex_text(0x10001000, test::filler(16, 1)) +
                                    test::hex_text(0x20000000, test::filler(16, 2)));
  const std::vector<std::pair<std::vector<std::string_view>, std::string>> table = {
      {{plain, "--port", "sim", "--kind", "ehex"}, "文件类型错误！"},
      {{named_ehex, "--port", "sim", "--kind", "hex"}, "文件类型错误！"},
      {{bad, "--port", "sim"}, "bad.hex is refused: record 1: not an Intel HEX record"},
      {{checksum, "--port", "sim"}, "sum.hex is refused: record 2: checksum error"},
      {{letter, "--port", "sim"}, "letter.hex is refused: record 2: character that is not a hex"},
      {{nodata, "--port", "sim"}, "nodata.hex is refused: the file holds no data record"},
      {{named_ehex, "--port", "sim"}, "is refused: record 1"},
      {{plain, "--port", "sim:fast"}, "bad virtual drive options 'fast'"},
      {{plain, "--port", "77"}, "no serial port numbered 77"},
      {{plain, "--port", "/dev/no-such-tty"}, "no device '/dev/no-such-tty'"},
      {{"absent.hex", "--port", "sim"}, "absent.hex is refused: the file cannot be opened"},
      {{outside, "--port", "sim"},
       "outside.hex is refused: record 5, address 0x20000000: data outside the flash"},
  };
  for (const auto& [words, reason] : table) {
    SCOPED_TRACE(reason);
    std::vector<std::string_view> with_json = words;
    with_json.push_back("--json");
    const Outcome o = program(with_json);
    EXPECT_EQ(o.status, kExitUsage);
    EXPECT_EQ(o.report.result(), "refused");
    EXPECT_NE(o.report.outcome.line.find(reason), std::string::npos) << o.report.outcome.line;
    EXPECT_TRUE(o.report.lines.empty());
    EXPECT_NE(o.out.find(R"("exit_status": 2)"), std::string::npos) << o.out;
  }
  // A loader file that is there but no loader is found at Program, before any reset.
  for (const std::string& content : {std::string(":00000001FF\n"), std::string("garbage\n")}) {
    dir_.write("XMC1300/XMC1x_ASCLoader.hex", content);
    const Outcome refused = program({plain, "--port", "sim"});
    EXPECT_EQ(refused.status, kExitUsage);
    EXPECT_TRUE(refused.report.lines.empty());
    EXPECT_NE(refused.err.find("ERROR: Opening 'XMC1x_ASCLoader.hex' failed!"), std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("not a loader"), std::string::npos) << refused.err;
  }
  std::filesystem::remove_all(dir_.path() / "XMC1300");
  const Outcome o = program({plain, "--port", "sim"});
  EXPECT_EQ(o.status, kExitUsage);
  EXPECT_NE(o.err.find("the secondary loader XMC1300/XMC1x_ASCLoader.hex is not in the current "
                       "directory"),
            std::string::npos)
      << o.err;
}

}  // namespace
}  // namespace driveflash::cli
