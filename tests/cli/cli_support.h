// Helpers of the command-line tests: firmware files, the built programs as child processes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace driveflash::test {

// Intel HEX text (CR LF line ends) for `data` at `address` in records of `per_record` bytes,
// an extended linear address record wherever the upper half changes, and an end-of-file record.
std::string hex_text(std::uint32_t address, const Bytes& data, int per_record = 16);
// `count` bytes that look like code, the same for the same seed.
Bytes filler(std::size_t count, unsigned seed);
// One record's text: ":" count address type data checksum, checksum computed unless given.
std::string record(int type, std::uint16_t address, const Bytes& data, int checksum = -1);

// A directory that a run can start in: XMC1300/ with the stand-in loader, and the panel file.
void stage_run_directory(const std::filesystem::path& dir);

std::string read_text(const std::filesystem::path& path);

// A child process with its standard output and error captured.
struct ProcessResult {
  int exit_status = -1;  // 128 + N when ended by signal N
  std::string out;
  std::string err;
};

using LineWatch = std::function<void(const std::string&, pid_t)>;

// Runs `argv` in `cwd`. `on_out_line` (if given) sees each line of standard output as it
// arrives, with the child's pid, and may signal the child; `on_err_line` the same for standard
// error.
ProcessResult run_process(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
                          const LineWatch& on_out_line = {}, const LineWatch& on_err_line = {});

// driveflash-cli with `args`.
ProcessResult run_cli(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                      const LineWatch& on_out_line = {}, const LineWatch& on_err_line = {});

// The child of `parent` whose command line holds `text` (a word of it); -1 when none does.
pid_t child_with(pid_t parent, const std::string& text);

}  // namespace driveflash::test
