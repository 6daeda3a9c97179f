// The record of runs (runs.csv): RFC 4180 fields, the columns, the firmware's digest, rows
// appended by two processes at once, and rows kept while the log cannot be written.
#include "app/run_log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QLockFile>
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

// What a row's fields become: one line each, and nothing a spreadsheet would run.
TEST(RunLog, CellsStayOnOneLineAndAreNeverAFormula) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
      {"+1", "'+1"},
      {"-2", "'-2"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"a=b-c", "a=b-c"},
      {"two\r\nlines", "two | lines"},
      {"a\nb\rc\r\n", "a | b | c | "},
      {"\n=x", " | =x"},
      {"=a,b", "\"'=a,b\""},
      {"", ""},
  };
  for (const auto& [text, cell] : table) {
    EXPECT_EQ(csv_cell(text), cell) << text;
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
  r.drive_id = "0x1300";
  r.unit = "A17";
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
      "time,host,port,file,sha256,kind,result,status,message,seconds,pages,bytes,count,drive_id,"
      "unit,retries\r\n"
      "2026-12-07T11:19:28Z,line-3,/dev/ttyUSB0,\"fw, \"\"v2\"\".hex\",ab01,hex,failed,250,"
      "Program error,4.500,3,768,7,0x1300,A17,0\r\n";
  ASSERT_EQ(text.substr(0, first.size()), first);
  const std::string second = text.substr(first.size());
  EXPECT_EQ(second.find("Z,line-3,/dev/ttyUSB0,"), 19u) << second;  // ISO 8601 UTC, seconds
  EXPECT_TRUE(second.ends_with(",ok,0,Program error,4.500,,,7,0x1300,A17,0\r\n")) << second;
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

// Holds `path`'s lock from another process, as another program appending would, until
// release().
class LockHolder {
 public:
  explicit LockHolder(const std::filesystem::path& path) {
    int held[2];
    int go[2];
    if (::pipe(held) != 0 || ::pipe(go) != 0) {
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(held[0]);
      ::close(go[1]);  // else its read below would never see the end
      QLockFile lock(QString::fromStdString(path.string() + ".lock"));
      const char c = lock.lock() ? 'y' : 'n';
      [[maybe_unused]] const auto n = ::write(held[1], &c, 1);
      char end = 0;
      [[maybe_unused]] const auto m = ::read(go[0], &end, 1);
      ::_exit(0);
    }
    ::close(held[1]);
    ::close(go[0]);
    release_fd_ = go[1];
    char c = 0;
    locked_ = ::read(held[0], &c, 1) == 1 && c == 'y';
    ::close(held[0]);
  }
  ~LockHolder() { release(); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  bool locked() const { return locked_; }
  void release() {
    if (pid_ > 0) {
      ::close(release_fd_);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
  int release_fd_ = -1;
  bool locked_ = false;
};

RunRecord numbered(int n) {
  RunRecord r = sample_record();
  r.message = "unit " + std::to_string(n);
  r.time.clear();  // stamped when the unit's row is first tried
  return r;
}

TEST(RunLog, RowsEndingWhileTheLogIsLockedArriveInOrderOnceItIsFree) {
  TempDir dir;
  KeptLog log(dir.path() / "runs.csv");
  log.log().set_lock_wait(200);
  ASSERT_EQ(log.append(numbered(1)), "");
  {
    LockHolder holder(log.log().path());
    ASSERT_TRUE(holder.locked());
    const std::string why = log.append(numbered(2));
    EXPECT_NE(why.find("another program has held its lock for 0.200 s"), std::string::npos) << why;
    EXPECT_NE(log.append(numbered(3)), "");
    EXPECT_EQ(log.kept(), 2u);
  }
  ASSERT_EQ(log.append(numbered(4)), "");
  EXPECT_EQ(log.kept(), 0u);
  EXPECT_EQ(log.finish(), "");
  const std::string text = read_text(log.log().path());
  std::size_t at = 0;
  for (int n = 1; n <= 4; ++n) {
    const std::size_t found = text.find(",unit " + std::to_string(n) + ",", at);
    ASSERT_NE(found, std::string::npos) << "unit " << n << " in order in\n" << text;
    at = found;
  }
  EXPECT_FALSE(std::filesystem::exists(log.side_path()));
}

TEST(RunLog, RowsTheLogNeverTakesGoToTheSideFileAndSaySo) {
  TempDir dir;
  KeptLog log(dir.path() / "runs.csv");
  log.log().set_lock_wait(100);
  EXPECT_EQ(log.side_path(), dir.path() / "runs.unsaved.csv");
  LockHolder holder(log.log().path());
  ASSERT_TRUE(holder.locked());
  EXPECT_NE(log.append(numbered(1)), "");
  EXPECT_NE(log.append(numbered(2)), "");
  const std::string what = log.finish();
  EXPECT_NE(what.find("2 rows went to " + log.side_path().string()), std::string::npos) << what;
  EXPECT_NE(what.find("另存到"), std::string::npos) << what;
  const std::string side = read_text(log.side_path());
  EXPECT_TRUE(side.starts_with(std::string(kRunLogHeader) + "\r\n")) << side;
  EXPECT_LT(side.find(",unit 1,"), side.find(",unit 2,")) << side;
  EXPECT_EQ(log.kept(), 0u);
  EXPECT_EQ(log.finish(), "");
}

// The columns a run's outcome fills, for each way a run can end.
TEST(RunLog, EachEndingFillsItsRow) {
  run::Outcome ok;
  ok.result = run::Result::kOk;
  ok.pages = 3;
  ok.sha256 = "ab";
  ok.drive_id = "0x1300";
  run::Outcome port = ok;
  port.result = run::Result::kFailed;
  port.cause = run::Cause::kPortOpen;
  port.line = "ERROR: COM Port initialization failed!";
  port.reason = "端口 / Port 100: permission denied";
  port.pages = 0;
  run::Outcome download = port;
  download.cause = run::Cause::kDownload;
  download.status = 250;
  download.line = "Program error";
  download.reason.clear();
  download.pages = 2;
  run::Outcome stopped = download;
  stopped.result = run::Result::kStopped;
  stopped.cause = run::Cause::kStopped;
  stopped.line.clear();
  stopped.drive_left = run::DrivePlace::kSecondaryLoader;
  run::Outcome refused;
  refused.result = run::Result::kRefused;
  refused.cause = run::Cause::kRefused;
  refused.line = "fw.hex is refused: the file holds no data record\nnothing was sent";
  struct Case {
    const char* name;
    run::Outcome outcome;
    std::string fields;  // result, status, message, seconds, pages, bytes
  };
  const std::vector<Case> table = {
      {"ok", ok, "ok,0,Done!,0.000,3,768"},
      {"port", port,
       "failed,,ERROR: COM Port initialization failed! — 端口 / Port 100: permission denied,"
       "0.000,0,0"},
      {"download", download, "failed,250,Program error,0.000,2,512"},
      {"stopped", stopped,
       "stopped,,\"已停止 / Stopped — " + std::string(kLeftPastLoaderEntryLine) + "\",0.000,2,512"},
      {"refused", refused,
       "refused,,fw.hex is refused: the file holds no data record | nothing was sent,0.000,,"},
  };
  for (const Case& c : table) {
    RunRecord row;
    fill_from_outcome(row, c.outcome, "Done!");
    const std::string text = csv_row(row);
    EXPECT_NE(text.find("," + c.fields + ","), std::string::npos) << c.name << ": " << text;
  }
}

}  // namespace
}  // namespace driveflash::app
