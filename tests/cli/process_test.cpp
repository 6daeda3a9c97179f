// The built driveflash-cli as a child process: exit statuses of the commands that need no
// drive, the usage text against docs/cli-usage.md, and the bundled samples' reproducibility.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cli/cli_support.h"

namespace driveflash::test {
namespace {

namespace fs = std::filesystem;

struct Expect {
  std::vector<std::string> args;
  int status;
  std::string in_out;  // expected in standard output ("" for nothing in particular)
  std::string in_err;
};

TEST(CliProcess, ExitStatusOfEveryCommand) {
  TempDir dir;
  stage_run_directory(dir.path());
  const std::string good = dir.write("fw.hex", hex_text(0x10001000, filler(100, 1)));
  const std::string bad = dir.write("bad.hex", "not hex\n");
  const std::vector<Expect> table = {
      {{"--help"}, 0, "usage: driveflash-cli COMMAND", ""},
      {{"help", "ports"}, 0, "usage: driveflash-cli ports", ""},
      {{"--version"}, 0, "driveflash-cli ", ""},
      {{}, 2, "", "no command given"},
      {{"frobnicate"}, 2, "", "no command 'frobnicate'"},
      {{"program", good}, 2, "", "missing --port"},
      {{"program", good, "--port", "sim", "--kind", "ehex"}, 2, "", "文件类型错误！"},
      // Several ports, a log: refused once, before any drive is touched.
      {{"program", bad, "--port", "sim", "--port", "sim", "--json"},
       2,
       R"("units": [)",
       "is refused"},
      {{"program", good, "--port", "sim", "--port", "/dev/no-such-tty"}, 2, "", "no device"},
      {{"program", good, "--port", "sim", "--port", "sim", "--log", "no-dir/runs.csv"},
       2,
       "",
       "cannot write the run log no-dir/runs.csv: there is no folder no-dir"},
      {{"program", good, "--port", "sim", "--repeat", "--log", "no-dir/runs.csv"},
       2,
       "",
       "cannot write the run log"},
      {{"ports"}, 0, "sim ", ""},
      {{"ports", "--json"}, 0, R"("port": "sim")", ""},
      {{"check", good}, 0, "would program", ""},
      {{"check", bad}, 2, "refused: record 1", "is refused"},
      {{"check", good, "--kind", "ehex"}, 2, "refused", ""},
      {{"ehex", "encrypt", good, "fw.ehex"}, 0, "fw.ehex: 9 records, 100 data bytes", ""},
      {{"ehex", "encrypt", good, "fw.ehex"}, 2, "", "fw.ehex exists; --force replaces it"},
      {{"ehex", "decrypt", "fw.ehex", "back.hex"}, 0, "back.hex: 9 records", ""},
      {{"ehex", "decrypt", good, "other.hex"}, 2, "", "is refused"},
  };
  for (const Expect& e : table) {
    std::string line;
    for (const std::string& a : e.args) {
      line += a + " ";
    }
    SCOPED_TRACE(line);
    const ProcessResult r = run_cli(e.args, dir.path());
    EXPECT_EQ(r.exit_status, e.status) << r.out << r.err;
    EXPECT_NE(r.out.find(e.in_out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(e.in_err), std::string::npos) << r.err;
  }
  EXPECT_EQ(read_text(dir.path() / "back.hex"), read_text(good));
}

// The README's usage section and docs/cli-usage.md: every help page, each in a text block.
TEST(CliProcess, UsageTextEqualsTheHelpPages) {
  std::string expected =
      "# driveflash-cli usage\n\n"
      "The text that `driveflash-cli --help` and each command's `--help` print.\n"
      "A test keeps this file equal to them.\n";
  for (const std::string command : {"", "program", "ports", "check", "ehex"}) {
    std::vector<std::string> args;
    if (!command.empty()) {
      args.push_back(command);
    }
    args.push_back("--help");
    const ProcessResult r = run_cli(args, fs::current_path());
    ASSERT_EQ(r.exit_status, 0) << command;
    expected += "\n## driveflash-cli " + (command.empty() ? "" : command + " ") + "--help\n\n";
    expected += "```text\n" + r.out + "```\n";
  }
  // The README shows the top-level page between its markers.
  const std::string readme = read_text(fs::path(DRIVEFLASH_SOURCE_DIR) / "README.md");
  const std::string open = "<!-- cli-usage: kept equal to `driveflash-cli --help` by a test -->\n";
  const std::size_t from = readme.find(open);
  const std::size_t to = readme.find("<!-- /cli-usage -->");
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  const ProcessResult top = run_cli({"--help"}, fs::current_path());
  EXPECT_EQ(readme.substr(from + open.size(), to - from - open.size()),
            "```text\n" + top.out + "```\n");

  const fs::path doc = fs::path(DRIVEFLASH_SOURCE_DIR) / "docs" / "cli-usage.md";
  if (read_text(doc) != expected) {
    const fs::path fresh = fs::current_path() / "cli-usage.md";
    std::ofstream(fresh, std::ios::binary) << expected;
    ADD_FAILURE() << doc << " differs from the help pages; the current text is in " << fresh;
  }
}

TEST(CliProcess, TheSampleScriptRemakesTheBundledSamples) {
  TempDir dir;
  const fs::path source = DRIVEFLASH_SOURCE_DIR;
  const ProcessResult version = run_cli({"--version"}, dir.path());
  if (version.out.find("development key") == std::string::npos) {
    GTEST_SKIP() << "the samples are enciphered under the development key";
  }
  const ProcessResult r =
      run_process({"/bin/bash", (source / "scripts" / "make_samples.sh").string(), "--cli",
                   DRIVEFLASH_CLI, "--out", dir.path().string()},
                  dir.path());
  ASSERT_EQ(r.exit_status, 0) << r.err;
  int compared = 0;
  for (const auto& entry : fs::directory_iterator(source / "samples")) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".hex" && ext != ".ehex") {
      continue;
    }
    EXPECT_EQ(read_text(dir.path() / entry.path().filename()), read_text(entry.path()))
        << entry.path();
    ++compared;
  }
  EXPECT_EQ(compared, 4);
}

}  // namespace
}  // namespace driveflash::test
