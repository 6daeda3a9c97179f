// The command line taken apart, the JSON writer and the progress lines.
#include "cli/arguments.h"

#include <gtest/gtest.h>

#include <sstream>

#include "cli/json.h"
#include "cli/progress.h"
#include "image/download.h"
#include "run/run_context.h"

namespace driveflash::cli {
namespace {

ParseResult parse(std::vector<std::string_view> words) {
  words.insert(words.begin(), "driveflash-cli");
  return parse_arguments(words);
}

// Every field of the result on one line; help and version show only their page.
std::string describe(const Arguments& a) {
  constexpr const char* kCommands[] = {"help",  "version", "program", "ports",
                                       "check", "encrypt", "decrypt"};
  constexpr const char* kTopics[] = {"main", "program", "ports", "check", "ehex"};
  std::string s = std::string(kCommands[static_cast<int>(a.command)]) +
                  " topic=" + kTopics[static_cast<int>(a.topic)];
  if (a.command == Command::Help || a.command == Command::Version) {
    return s;
  }
  const auto add = [&s](const char* name, const std::string& value) {
    if (!value.empty()) {
      s += std::string(" ") + name + value;
    }
  };
  add("file=", a.file);
  add("out=", a.output);
  add("port=", a.port);
  add("drive=", a.drive_baud ? std::to_string(*a.drive_baud) : "");
  add("loader=", a.loader_baud ? std::to_string(*a.loader_baud) : "");
  add("kind=", a.kind ? (*a.kind == kFileTypeEhex ? "ehex" : "hex") : "");
  add("timing=", a.timing ? (*a.timing == kTimingFast ? "fast" : "standard") : "");
  add("retries=", a.retries ? std::to_string(*a.retries) : "");
  add("", a.verify ? "verify" : "");
  add("", a.json ? "json" : "");
  add("", a.force ? "force" : "");
  add("", a.rescue ? "rescue" : "");
  add("wait=", a.rescue_wait ? std::to_string(*a.rescue_wait) : "");
  if (a.ports.size() > 1) {
    for (const std::string& p : a.ports) {
      s += " +" + p;
    }
  }
  add("log=", a.log);
  add("", a.repeat ? "repeat" : "");
  add("unit=", a.unit);
  add("boot=", a.boot_wait ? std::to_string(*a.boot_wait) : "");
  if (a.command == Command::Program) {
    s += " |";  // what each port's own run is started with
    for (const std::string& w : a.unit_words) {
      s += " " + w;
    }
  }
  return s;
}

TEST(Arguments, AcceptedCommandLines) {
  const std::vector<std::pair<std::vector<std::string_view>, std::string>> table = {
      {{"program", "fw.hex", "--port", "sim"},
       "program topic=program file=fw.hex port=sim | fw.hex"},
      {{"program", "--port=/dev/ttyUSB0", "--drive-baud", "19200", "--loader-baud=115200", "--kind",
        "ehex", "--json", "fw.bin"},
       "program topic=program file=fw.bin port=/dev/ttyUSB0 drive=19200 loader=115200 kind=ehex "
       "json | --drive-baud 19200 --loader-baud=115200 --kind ehex fw.bin"},
      {{"program", "fw.hex", "--port", "sim", "--timing", "fast"},
       "program topic=program file=fw.hex port=sim timing=fast | fw.hex --timing fast"},
      {{"program", "fw.hex", "--port", "sim", "--timing=standard", "--loader-baud", "921600"},
       "program topic=program file=fw.hex port=sim loader=921600 timing=standard | fw.hex "
       "--timing=standard --loader-baud 921600"},
      // Each port's own run retries as the command line says.
      {{"program", "fw.hex", "--retries", "3", "--port", "sim", "--port", "1", "--json"},
       "program topic=program file=fw.hex port=sim retries=3 json +sim +1 | fw.hex --retries 3"},
      {{"program", "fw.hex", "--port", "sim", "--retries=0", "--repeat"},
       "program topic=program file=fw.hex port=sim retries=0 repeat | fw.hex --retries=0 --repeat"},
      {{"program", "fw.hex", "--port", "sim", "--retries", "10"},
       "program topic=program file=fw.hex port=sim retries=10 | fw.hex --retries 10"},
      // ... and reads the flash back as it says.
      {{"program", "fw.hex", "--verify", "--port", "sim", "--port", "1", "--retries", "1"},
       "program topic=program file=fw.hex port=sim retries=1 verify +sim +1 | fw.hex --verify "
       "--retries 1"},
      {{"program", "--port", "sim:protect=1,slow=2ms", "--", "-odd name.hex"},
       "program topic=program file=-odd name.hex port=sim:protect=1,slow=2ms | -- -odd name.hex"},
      {{"program", "fw.hex", "--port", "/dev/ttyUSB0", "--log", "runs.csv", "--port=/dev/ttyUSB1",
        "--repeat", "--port", "sim", "--port", "sim", "--json", "--kind=hex"},
       "program topic=program file=fw.hex port=/dev/ttyUSB0 kind=hex json +/dev/ttyUSB0 "
       "+/dev/ttyUSB1 +sim +sim log=runs.csv repeat | fw.hex --repeat --kind=hex"},
      {{"program", "fw.hex", "--port", "3", "--rescue"},
       "program topic=program file=fw.hex port=3 rescue | fw.hex --rescue"},
      {{"program", "fw.hex", "--rescue-wait=3600", "--port", "3", "--rescue"},
       "program topic=program file=fw.hex port=3 rescue wait=3600 | fw.hex "
       "--rescue-wait=3600 --rescue"},
      // A job names the firmware and its settings (take_job fills them in); each port's own run
      // reads the job again.
      {{"program", "--job", "line3.job", "--port", "sim", "--repeat"},
       "program topic=program port=sim repeat | --job line3.job --repeat"},
      {{"program", "--job=line3.job", "--rescue"},
       "program topic=program rescue | --job=line3.job --rescue"},
      {{"program", "fw.hex", "--port", "3", "--unit", "SN-0042 A", "--log", "runs.csv"},
       "program topic=program file=fw.hex port=3 log=runs.csv unit=SN-0042 A | fw.hex --unit "
       "SN-0042 A"},
      {{"program", "fw.hex", "--port", "3", "--port", "4", "--repeat", "--boot-wait=0"},
       "program topic=program file=fw.hex port=3 +3 +4 repeat boot=0 | fw.hex --repeat "
       "--boot-wait=0"},
      {{"check", "fw.ehex", "--kind=hex"}, "check topic=check file=fw.ehex kind=hex"},
      {{"ports", "--json"}, "ports topic=ports json"},
      {{"ehex", "encrypt", "a.hex", "b.ehex"}, "encrypt topic=ehex file=a.hex out=b.ehex"},
      {{"ehex", "decrypt", "--force", "a.ehex", "b.hex"},
       "decrypt topic=ehex file=a.ehex out=b.hex force"},
      {{"--help"}, "help topic=main"},
      {{"help", "check"}, "help topic=check"},
      {{"program", "--help"}, "help topic=program"},
      {{"ehex", "-h"}, "help topic=ehex"},
      {{"ehex", "decrypt", "x", "--help"}, "help topic=ehex"},
      {{"--version"}, "version topic=main"},
  };
  for (const auto& [words, expected] : table) {
    const ParseResult r = parse(words);
    ASSERT_TRUE(r.ok()) << expected << ": " << r.error;
    EXPECT_EQ(describe(r.args), expected);
  }
}

TEST(Arguments, RefusedCommandLinesSayWhyAndWhereHelpIs) {
  const std::vector<std::pair<std::vector<std::string_view>, std::string>> table = {
      {{}, "no command given; see 'driveflash-cli --help'"},
      {{"flash"}, "no command 'flash'"},
      {{"--verbose"}, "unknown option '--verbose'"},
      {{"program", "fw.hex"}, "missing --port PORT"},
      {{"program", "--port", "sim"}, "missing FILE; see 'driveflash-cli program --help'"},
      {{"program", "a.hex", "b.hex", "--port", "sim"}, "unexpected argument 'b.hex'"},
      {{"program", "fw.hex", "--port"}, "option '--port' wants a value"},
      {{"program", "fw.hex", "--port", "1", "--port", "sim", "--port", "1"},
       "port '1' given twice"},
      {{"program", "fw.hex", "--port", "sim", "--log"}, "option '--log' wants a value"},
      {{"program", "fw.hex", "--port", "sim", "--log="}, "--log wants a file name"},
      {{"program", "fw.hex", "--port", "sim", "--repeat", "--repeat"},
       "option '--repeat' given twice"},
      {{"program", "fw.hex", "--port", "sim", "--drive-baud", "fast"},
       "--drive-baud wants a whole"},
      {{"program", "fw.hex", "--port", "sim", "--loader-baud", "0"}, "from 50 to 4000000"},
      {{"program", "fw.hex", "--port", "sim", "--loader-baud", "9600x"}, "not '9600x'"},
      {{"program", "fw.hex", "--port", "sim", "--kind", "bin"}, "--kind wants 'hex' or 'ehex'"},
      {{"program", "fw.hex", "--port", "sim", "--timing", "quick"},
       "--timing wants 'standard' or 'fast', not 'quick'"},
      {{"check", "fw.hex", "--timing", "fast"}, "unknown option '--timing'"},
      {{"program", "fw.hex", "--port", "sim", "--retries", "11"},
       "--retries wants a whole number from 0 to 10, not '11'"},
      {{"program", "fw.hex", "--port", "sim", "--retries=-1"}, "not '-1'"},
      {{"program", "fw.hex", "--port", "sim", "--retries", "3x"}, "not '3x'"},
      {{"program", "fw.hex", "--port", "sim", "--retries="}, "not ''"},
      {{"program", "fw.hex", "--port", "sim", "--retries", "1", "--retries", "2"},
       "option '--retries' given twice"},
      {{"check", "fw.hex", "--retries", "3"}, "unknown option '--retries'"},
      {{"program", "fw.hex", "--port", "sim", "--verify=on"}, "'--verify' takes no value"},
      {{"program", "fw.hex", "--port", "sim", "--verify", "--verify"},
       "option '--verify' given twice"},
      {{"check", "fw.hex", "--verify"}, "unknown option '--verify'"},
      {{"program", "fw.hex", "--port", "sim", "--json=yes"}, "'--json' takes no value"},
      {{"program", "fw.hex", "--port", "sim", "--force"}, "unknown option '--force'"},
      {{"program", "fw.hex", "--port", "sim", "--rescue-wait", "60"},
       "--rescue-wait goes with --rescue"},
      {{"program", "fw.hex", "--port", "sim", "--rescue", "--rescue-wait", "0"},
       "whole seconds from 1 to 3600, not '0'"},
      {{"program", "fw.hex", "--port", "sim", "--rescue", "--rescue-wait=2m"}, "not '2m'"},
      {{"program", "fw.hex", "--port", "sim", "--rescue=yes"}, "'--rescue' takes no value"},
      {{"check", "fw.hex", "--rescue"}, "unknown option '--rescue'"},
      {{"program", "--job", "j.job", "--timing", "fast"},
       "--timing is set by the job file; leave it out"},
      {{"program", "--job", "j.job", "--kind", "hex"}, "--kind is set by the job file"},
      {{"program", "--job", "j.job", "--retries", "1"}, "--retries is set by the job file"},
      {{"program", "--job", "j.job", "--verify"}, "--verify is set by the job file"},
      {{"program", "fw.hex", "--job", "j.job"}, "the job file names the firmware; leave FILE out"},
      {{"program", "--job=", "--port", "sim"}, "--job wants a job file"},
      {{"program", "fw.hex", "--port", "sim", "--boot-wait", "5"},
       "--boot-wait goes with --repeat"},
      {{"program", "fw.hex", "--port", "sim", "--repeat", "--boot-wait", "-1"},
       "whole seconds from 0 to 3600, not '-1'"},
      {{"program", "fw.hex", "--port", "sim", "--unit="}, "--unit wants the unit's serial"},
      {{"program", "fw.hex", "--port", "sim", "--unit", "SN1\nSN2"}, "without control characters"},
      {{"program", "fw.hex", "--port", "sim", "--unit", "SN1", "--repeat"},
       "--unit names one drive"},
      {{"program", "fw.hex", "--port", "sim", "--port", "sim", "--unit", "SN1"},
       "--unit names one drive"},
      {{"check"}, "missing FILE; see 'driveflash-cli check --help'"},
      {{"ports", "extra"}, "unexpected argument 'extra'"},
      {{"ehex"}, "'ehex' wants 'encrypt' or 'decrypt'"},
      {{"ehex", "rot13", "a", "b"}, "not 'rot13'"},
      {{"ehex", "encrypt", "a.hex"}, "missing IN OUT"},
      {{"help", "nothing"}, "no command 'nothing'"},
  };
  for (const auto& [words, expected] : table) {
    const ParseResult r = parse(words);
    EXPECT_FALSE(r.ok()) << expected;
    EXPECT_NE(r.error.find(expected), std::string::npos) << r.error;
  }
}

TEST(Arguments, KindFollowsTheExtension) {
  const std::vector<std::pair<std::string_view, int>> table = {
      {"fw.ehex", kFileTypeEhex}, {"FW.EHEX", kFileTypeEhex}, {"dir.ehex/fw.hex", kFileTypeHex},
      {"fw.hex", kFileTypeHex},   {"fw.bin", kFileTypeHex},   {"ehex", kFileTypeHex},
      {".ehex", kFileTypeEhex},   {"", kFileTypeHex},
  };
  for (const auto& [name, kind] : table) {
    EXPECT_EQ(kind_from_name(name), kind) << name;
  }
}

TEST(Json, StringsAreEscapedAndAlwaysValidUtf8) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"plain", "\"plain\""},
      {"驱动器连接成功!", "\"驱动器连接成功!\""},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"line\r\n\tend", R"("line\r\n\tend")"},
      {std::string("nul\0bell\x07", 9), R"("nul\u0000bell\u0007")"},
      {"\x7F", R"("\u007F")"},
      {"bad \xC3 byte", "\"bad \xEF\xBF\xBD byte\""},                // cut sequence
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                  // overlong '/'
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // surrogate
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},                  // 4-byte sequence
      {"gbk \xC7\xFD", "\"gbk \xEF\xBF\xBD\xEF\xBF\xBD\""},          // GBK bytes, not UTF-8
  };
  for (const auto& [text, json] : table) {
    EXPECT_EQ(json_string(text), json);
  }
}

TEST(Json, ObjectsKeepTheirOrderAndNulls) {
  const std::string one_line = JsonObject()
                                   .add("result", "failed")
                                   .add("exit_status", 1)
                                   .add("lines", std::vector<std::string>{"a", "b"})
                                   .add_null("download_status")
                                   .add("elapsed_seconds", 1.23456, 3)
                                   .add_optional("pages", std::optional<std::uint64_t>{})
                                   .add("ok", false)
                                   .str(false);
  EXPECT_EQ(one_line,
            R"({"result": "failed", "exit_status": 1, "lines": ["a", "b"], )"
            R"("download_status": null, "elapsed_seconds": 1.235, "pages": null, "ok": false})");
  EXPECT_EQ(JsonObject().add("lines", std::vector<std::string>{"x"}).str(true),
            "{\n  \"lines\": [\n    \"x\"\n  ]\n}");
  EXPECT_EQ(JsonObject().str(), "{}");
}

TEST(Progress, WithoutATerminalALineAtEveryTenPercentAndAgainAfterARestart) {
  std::ostringstream lines;
  std::ostringstream progress;
  RunPrinter printer(lines, progress, false, 80);
  printer.shown(true);
  for (const double p : {0.0, 4.0, 10.0, 10.5, 35.0, 99.9}) {
    printer.progress(p);
  }
  printer.line("Erase Flash ...");
  printer.progress(0.0);  // the download starts over
  printer.progress(12.0);
  printer.progress(100.0);
  printer.finish();
  EXPECT_EQ(progress.str(),
            "progress: 10 %\nprogress: 20 %\nprogress: 30 %\nprogress: 40 %\nprogress: 50 %\n"
            "progress: 60 %\nprogress: 70 %\nprogress: 80 %\nprogress: 90 %\n"
            "progress: 10 %\nprogress: 20 %\nprogress: 30 %\nprogress: 40 %\nprogress: 50 %\n"
            "progress: 60 %\nprogress: 70 %\nprogress: 80 %\nprogress: 90 %\nprogress: 100 %\n");
  EXPECT_EQ(lines.str(), "Erase Flash ...\n");
}

TEST(Progress, OnATerminalTheBarIsRedrawnUnderEachLine) {
  EXPECT_EQ(RunPrinter::bar_text(0, 29), "[....................]   0 %");
  EXPECT_EQ(RunPrinter::bar_text(50, 29), "[##########..........]  50 %");
  EXPECT_EQ(RunPrinter::bar_text(100, 29), "[####################] 100 %");
  EXPECT_EQ(RunPrinter::bar_text(250, 29), RunPrinter::bar_text(100, 29));
  EXPECT_EQ(RunPrinter::bar_text(-3, 29), RunPrinter::bar_text(0, 29));
  EXPECT_EQ(RunPrinter::bar_text(50, 5).size(), RunPrinter::bar_text(50, 20).size());

  std::ostringstream screen;
  RunPrinter printer(screen, screen, true, 29);
  printer.shown(true);
  printer.progress(50);
  printer.line("Done!");
  printer.finish();
  EXPECT_EQ(screen.str(),
            "\r[....................]   0 %"
            "\r[##########..........]  50 %"
            "\r\x1b[KDone!\n\r[##########..........]  50 %"
            "\r\x1b[K");
}

}  // namespace
}  // namespace driveflash::cli
