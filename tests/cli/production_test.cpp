// 'program' on several ports at once and as stations, as child processes on the built-in
// virtual drive in real time: each port's run in a process of its own, whatever the others do.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <set>

#include "cli/cli_support.h"

namespace driveflash::test {
namespace {

std::vector<std::map<std::string, std::string>> log_rows(const std::filesystem::path& path) {
  return csv_rows(read_text(path));
}

class Production : public ::testing::Test {
 protected:
  Production() {
    stage_run_directory(dir_.path());
    firmware_ = dir_.write("fw.hex", hex_text(0x10001000, filler(700, 5)));  // 3 pages
  }
  TempDir dir_;
  std::string firmware_;
};

TEST_F(Production, EachPortsRunIsItsOwnWhateverTheOthersDo) {
  bool stopped = false;
  const ProcessResult r = run_cli(
      {"program", firmware_, "--port", "sim", "--port", "sim:silent", "--port",
       "sim:reply:data@2=FA", "--port", "sim:slow=1ms", "--port", "sim", "--log", "runs.csv"},
      dir_.path(), [&stopped](const std::string& line, pid_t pid) {
        // Ctrl-C for one drive's run alone.
        if (!stopped && line == "[sim:slow=1ms] 驱动器连接成功!") {
          stopped = ::kill(child_with(pid, "sim:slow=1ms"), SIGINT) == 0;
        }
      });
  EXPECT_TRUE(stopped);
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  for (const char* row : {"\nsim                  ok ", "\nsim:silent           failed ",
                          "\nsim:reply:data@2=FA  failed ", "\nsim:slow=1ms         stopped ",
                          "\nsim#2                ok "}) {
    EXPECT_NE(r.out.find(row), std::string::npos) << row << " in\n" << r.out;
  }
  EXPECT_NE(r.out.find("failed      "), std::string::npos) << r.out;
  // Every byte in place on the drives that were left alone.
  for (const char* port : {"[sim] ", "[sim#2] "}) {
    EXPECT_NE(r.err.find(std::string(port) + "the virtual drive's flash equals"), std::string::npos)
        << port << r.err;
    EXPECT_NE(r.out.find(std::string(port) + "Bootload success!\n"), std::string::npos);
  }
  EXPECT_NE(r.err.find("[sim:slow=1ms] stopping"), std::string::npos) << r.err;
  const std::string table = r.out.substr(r.out.find("port  "));
  for (std::size_t at = 0; at < r.out.size() - table.size();) {
    const std::size_t end = r.out.find('\n', at);
    EXPECT_EQ(r.out[at], '[') << r.out.substr(at, end - at);
    at = end + 1;
  }

  const auto rows = log_rows(dir_.path() / "runs.csv");
  ASSERT_EQ(rows.size(), 5u) << read_text(dir_.path() / "runs.csv");
  std::multiset<std::string> results;
  for (const auto& row : rows) {
    results.insert(row.at("port") + " " + row.at("result"));
    EXPECT_EQ(row.at("sha256"), rows[0].at("sha256"));
    EXPECT_EQ(row.at("sha256").size(), 64u);
    EXPECT_EQ(row.at("file"), firmware_);
    EXPECT_EQ(row.at("kind"), "hex");
    if (row.at("port") == "sim:reply:data@2=FA") {
      EXPECT_NE(row.at("status"), "");  // the download's own failure
      EXPECT_NE(row.at("status"), "0");
    }
    if (row.at("result") == "ok") {
      EXPECT_EQ(row.at("pages"), "3");
      EXPECT_EQ(row.at("bytes"), "768");
      EXPECT_EQ(row.at("status"), "0");
    }
  }
  EXPECT_EQ(results,
            (std::multiset<std::string>{"sim ok", "sim ok", "sim:silent failed",
                                        "sim:reply:data@2=FA failed", "sim:slow=1ms stopped"}));
  EXPECT_EQ(rows.back().at("count"), "2");
}

// --retries and --verify go to each port's own run, and each reports the retries it used and
// what it read back.
TEST_F(Production, RetriesReachEveryPortsRun) {
  const ProcessResult r =
      run_cli({"program", firmware_, "--port", "sim:lose-reply:data@2", "--port",
               "sim:reply:data@3=FD", "--retries", "2", "--verify", "--json"},
              dir_.path());
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  std::size_t reports = 0;
  for (std::size_t at = r.out.find(R"("retries_used": 1)"); at != std::string::npos;
       at = r.out.find(R"("retries_used": 1)", at + 1)) {
    ++reports;
  }
  EXPECT_EQ(reports, 2u) << r.out;
  std::size_t read_back = 0;
  for (std::size_t at = r.out.find(R"("read_back": "verified")"); at != std::string::npos;
       at = r.out.find(R"("read_back": "verified")", at + 1)) {
    ++read_back;
  }
  EXPECT_EQ(read_back, 2u) << r.out;
  for (const char* port : {"[sim:lose-reply:data@2] ", "[sim:reply:data@3=FD] "}) {
    EXPECT_NE(r.err.find(std::string(port) + "the virtual drive's flash equals"), std::string::npos)
        << port << r.err;
  }
}

TEST_F(Production, CtrlCStopsEveryRunAndExits130) {
  bool sent = false;
  const ProcessResult r = run_cli({"program", firmware_, "--port", "sim", "--port", "sim"},
                                  dir_.path(), [&sent](const std::string& line, pid_t pid) {
                                    if (!sent && line == "[sim] 驱动器连接成功!") {
                                      sent = ::kill(pid, SIGINT) == 0;
                                    }
                                  });
  EXPECT_TRUE(sent);
  EXPECT_EQ(r.exit_status, 130) << r.out << r.err;
  EXPECT_NE(r.err.find("stopping every run"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("\nsim    stopped "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nsim#2  stopped "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Bootload success!"), std::string::npos) << r.out;
}

TEST_F(Production, StationsOnTwoPortsEndOnCtrlCWithTheirSummary) {
  std::set<std::string> waiting;
  const ProcessResult r = run_cli(
      {"program", firmware_, "--port", "sim", "--port", "sim:silent", "--repeat", "--log",
       "runs.csv"},
      dir_.path(), {}, [&waiting](const std::string& line, pid_t pid) {
        // The good drive stays on its fixture; nothing is ever put on the other one.
        if ((line.starts_with("[sim] ") && line.ends_with("take the drive away (gone once "
                                                          "it has not answered for 2 s)")) ||
            line == "[sim:silent] 等待驱动器 / waiting for a drive") {
          waiting.insert(line);
          if (waiting.size() == 2) {
            ::kill(pid, SIGINT);
          }
        }
      });
  EXPECT_EQ(waiting.size(), 2u) << r.err;
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_NE(r.err.find("[sim] 烧录中 / programming"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("[sim] 等待驱动器启动 / waiting for the drive to start"), std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("[sim] unit 1: ok, "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("[sim:silent] unit"), std::string::npos) << "an empty fixture is no unit";
  EXPECT_NE(r.out.find("\nsim             1           1       0 "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nsim:silent      0           0       0 "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nall             1           1       0 "), std::string::npos) << r.out;
  EXPECT_EQ(log_rows(dir_.path() / "runs.csv").size(), 1u);
}

// The log cannot be opened for writing when the first drive's run ends (a spreadsheet that
// holds it without sharing); it can again when the second's ends: both rows are there, in the
// order the runs ended, and nothing went to the side file.
TEST_F(Production, ARowThatCannotBeWrittenAtOnceArrivesInOrderLater) {
  namespace fs = std::filesystem;
  const fs::path log = dir_.path() / "runs.csv";
  bool taken = false;
  bool given_back = false;
  const ProcessResult r = run_cli(
      {"program", firmware_, "--port", "sim", "--port", "sim:page-time=500", "--log", "runs.csv"},
      dir_.path(),
      [&](const std::string& line, pid_t) {
        if (!taken && line == "[sim] Bootload success!") {
          fs::rename(log, dir_.path() / "held.csv");
          fs::create_directory(log);  // what cannot be opened for appending
          taken = true;
        }
      },
      [&](const std::string& line, pid_t) {
        if (taken && !given_back && line.find("is kept") != std::string::npos) {
          fs::remove(log);
          fs::rename(dir_.path() / "held.csv", log);
          given_back = true;
        }
      });
  EXPECT_TRUE(given_back) << r.err;
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_NE(r.err.find("cannot open the run log"), std::string::npos) << r.err;
  const auto rows = log_rows(log);
  ASSERT_EQ(rows.size(), 2u) << read_text(log);
  EXPECT_EQ(rows[0].at("port"), "sim");
  EXPECT_EQ(rows[1].at("port"), "sim:page-time=500");
  EXPECT_EQ(rows[0].at("count"), "1");
  EXPECT_EQ(rows[1].at("count"), "2");
  EXPECT_LE(rows[0].at("time"), rows[1].at("time"));
  EXPECT_FALSE(fs::exists(dir_.path() / "runs.unsaved.csv"));
}

// A log that never comes back: the row goes to the side file at the end, and the command says
// where.
TEST_F(Production, ARowTheLogNeverTakesGoesToTheSideFile) {
  namespace fs = std::filesystem;
  const fs::path log = dir_.path() / "runs.csv";
  const ProcessResult r =
      run_cli({"program", firmware_, "--port", "sim", "--log", "runs.csv", "--unit", "=SN 7"},
              dir_.path(), [&](const std::string& line, pid_t) {
                if (line == "Bootload success!") {
                  fs::remove(log);
                  fs::create_directory(log);
                }
              });
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  const fs::path side = dir_.path() / "runs.unsaved.csv";
  EXPECT_NE(r.err.find("1 row went to runs.unsaved.csv"), std::string::npos) << r.err;
  const auto rows = log_rows(side);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].at("result"), "ok");
  EXPECT_EQ(rows[0].at("unit"), "'=SN 7");
  EXPECT_EQ(rows[0].at("drive_id").substr(0, 2), "0x");
  EXPECT_EQ(rows[0].at("retries"), "0");
}

}  // namespace
}  // namespace driveflash::test
