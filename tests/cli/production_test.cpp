// 'program' on several ports at once and as stations, as child processes on the built-in
// virtual drive in real time: each port's run in a process of its own, whatever the others do.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <set>

#include "cli/cli_support.h"

namespace driveflash::test {
namespace {

// The log's rows, each split into its fields (no field of these runs needs quotes).
std::vector<std::map<std::string, std::string>> log_rows(const std::filesystem::path& path) {
  const std::string text = read_text(path);
  std::vector<std::vector<std::string>> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find("\r\n", at);
    std::vector<std::string> fields;
    const std::string line = text.substr(at, end - at);
    for (std::size_t f = 0; f <= line.size();) {
      const std::size_t comma = std::min(line.find(',', f), line.size());
      fields.push_back(line.substr(f, comma - f));
      f = comma + 1;
    }
    lines.push_back(fields);
    at = end == std::string::npos ? text.size() : end + 2;
  }
  std::vector<std::map<std::string, std::string>> rows;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::map<std::string, std::string> row;
    for (std::size_t f = 0; f < lines[0].size() && f < lines[i].size(); ++f) {
      row[lines[0][f]] = lines[i][f];
    }
    rows.push_back(row);
  }
  return rows;
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

// --retries goes to each port's own run, and each reports the retries it used.
TEST_F(Production, RetriesReachEveryPortsRun) {
  const ProcessResult r = run_cli({"program", firmware_, "--port", "sim:lose-reply:data@2",
                                   "--port", "sim:reply:data@3=FD", "--retries", "2", "--json"},
                                  dir_.path());
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  std::size_t reports = 0;
  for (std::size_t at = r.out.find(R"("retries_used": 1)"); at != std::string::npos;
       at = r.out.find(R"("retries_used": 1)", at + 1)) {
    ++reports;
  }
  EXPECT_EQ(reports, 2u) << r.out;
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
  const ProcessResult r =
      run_cli({"program", firmware_, "--port", "sim", "--port", "sim:silent", "--repeat", "--log",
               "runs.csv"},
              dir_.path(), {}, [&waiting](const std::string& line, pid_t pid) {
                // The good drive stays connected, and nothing answers on the other line.
                if (line == "[sim] waiting for the drive to be taken away (no answer for 2 s)" ||
                    line == "[sim:silent] waiting for the next drive to answer") {
                  waiting.insert(line);
                  if (waiting.size() == 2) {
                    ::kill(pid, SIGINT);
                  }
                }
              });
  EXPECT_EQ(waiting.size(), 2u) << r.err;
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("[sim] unit 1: ok, "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("[sim:silent] unit 1: failed, "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nsim             1           1       0 "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nall             2           1       1 "), std::string::npos) << r.out;
  EXPECT_EQ(log_rows(dir_.path() / "runs.csv").size(), 2u);
}

}  // namespace
}  // namespace driveflash::test
