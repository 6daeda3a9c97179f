// The record of runs (runs.csv): RFC 4180 fields, the columns, the firmware's digest, and rows
// appended by two processes at once.
#include "app/run_log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "cli/cli_support.h"

namespace driveflash::app {
namespace {

using test::read_text;
using test::TempDir;

TEST(RunLog, FieldsAreQuotedAsRfc4180AndStayUtf8) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"plain", "plain"},
      {"", ""},
      {"fw, v2.hex", "\"fw, v2.hex\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\r\nlines", "\"two\r\nlines\""},
      {"驱动器连接成功!", "驱动器连接成功!"},
      {"bad \xFF byte", "bad \xEF\xBF\xBD byte"},
  };
  for (const auto& [text, field] : table) {
    EXPECT_EQ(csv_field(text), field) << text;
  }
}

RunRecord sample_record() {
  RunRecord r;
  r.time = "2026-12-07T11:19:28Z";
  r.host = "line-3";
  r.port = "/dev/ttyUSB0";
  r.file = "fw, \"v2\".hex";
  r.sha256 = "ab01";
  r.kind = "hex";
  r.result = "failed";
  r.status = 250;
  r.message = "Program error";
  r.seconds = 4.5;
  r.pages = 3;
  r.bytes = 768;
  r.count = 7;
  return r;
}

TEST(RunLog, ANewLogGetsTheHeaderThenOneRowPerAppend) {
  TempDir dir;
  const RunLog log(dir.path() / "runs.csv");
  ASSERT_EQ(log.prepare(), "");
  ASSERT_EQ(log.append(sample_record()), "");
  RunRecord ok = sample_record();
  ok.result = "ok";
  ok.status = 0;
  ok.pages.reset();
  ok.bytes.reset();
  ok.time.clear();  // filled in with now
  ASSERT_EQ(log.append(ok), "");
  const std::string text = read_text(log.path());
  const std::string first =
      "time,host,port,file,sha256,kind,result,status,message,seconds,pages,bytes,count\r\n"
      "2026-12-07T11:19:28Z,line-3,/dev/ttyUSB0,\"fw, \"\"v2\"\".hex\",ab01,hex,failed,250,"
      "Program error,4.500,3,768,7\r\n";
  ASSERT_EQ(text.substr(0, first.size()), first);
  const std::string second = text.substr(first.size());
  EXPECT_EQ(second.find("Z,line-3,/dev/ttyUSB0,"), 19u) << second;  // ISO 8601 UTC, seconds
  EXPECT_TRUE(second.ends_with(",ok,0,Program error,4.500,,,7\r\n")) << second;
  // A second prepare (another command on the same file) adds no second header.
  ASSERT_EQ(log.prepare(), "");
  EXPECT_EQ(read_text(log.path()), text);
}

TEST(RunLog, ARowCutShortIsNotJoinedByTheNext) {
  TempDir dir;
  const std::string path = dir.write("runs.csv", std::string(kRunLogHeader) + "\r\n2026,half");
  ASSERT_EQ(RunLog(path).append(sample_record()), "");
  EXPECT_EQ(read_text(path),
            std::string(kRunLogHeader) + "\r\n2026,half\r\n" + csv_row(sample_record()));
}

TEST(RunLog, ALogThatCannotBeWrittenSaysWhy) {
  TempDir dir;
  const RunLog log(dir.path() / "no-such-dir" / "runs.csv");
  const std::string why = log.prepare();
  EXPECT_NE(why.find("there is no folder"), std::string::npos) << why;
  EXPECT_NE(why.find("no-such-dir"), std::string::npos) << why;
  // A folder where the file should be: no lock problem, the file itself cannot be opened.
  std::filesystem::create_directory(dir.path() / "taken.csv");
  const std::string taken = RunLog(dir.path() / "taken.csv").prepare();
  EXPECT_NE(taken.find("cannot open the run log"), std::string::npos) << taken;
  EXPECT_NE(log.append(sample_record()), "");
}

TEST(RunLog, Sha256OfTheFirmwareBytes) {
  TempDir dir;
  EXPECT_EQ(file_sha256(dir.write("abc.hex", "abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(file_sha256(dir.write("empty.hex", "")),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(file_sha256((dir.path() / "absent.hex").string()), "");
}

TEST(RunLog, TwoProcessesAppendingAtOnceLoseNoRowAndMixNone) {
  TempDir dir;
  const std::filesystem::path path = dir.path() / "runs.csv";
  constexpr int kRows = 100;
  const auto record = [](int writer, int n) {
    RunRecord r = sample_record();
    r.port = "writer-" + std::to_string(writer);
    r.message = std::string(300, static_cast<char>('a' + writer)) + ", row " + std::to_string(n);
    r.count = static_cast<std::uint64_t>(n);
    return r;
  };
  std::vector<pid_t> writers;
  for (int w = 0; w < 2; ++w) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      const RunLog log(path);
      for (int n = 0; n < kRows; ++n) {
        if (!log.append(record(w, n)).empty()) {
          ::_exit(1);
        }
      }
      ::_exit(0);
    }
    writers.push_back(pid);
  }
  for (const pid_t pid : writers) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::multiset<std::string> expected;
  for (int w = 0; w < 2; ++w) {
    for (int n = 0; n < kRows; ++n) {
      expected.insert(csv_row(record(w, n)));
    }
  }
  const std::string text = read_text(path);
  ASSERT_TRUE(text.starts_with(std::string(kRunLogHeader) + "\r\n"));
  std::multiset<std::string> rows;
  for (std::size_t at = kRunLogHeader.size() + 2; at < text.size();) {
    const std::size_t end = text.find("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    rows.insert(text.substr(at, end + 2 - at));
    at = end + 2;
  }
  EXPECT_EQ(rows, expected);
}

}  // namespace
}  // namespace driveflash::app
