// The command line's 'check' on any file, in text and in JSON.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "fuzz_support.h"

namespace df = driveflash::fuzz;
namespace cli = driveflash::cli;

namespace {

// A JSON text carries no raw control character inside a string: the writer escapes whatever
// the file gave. Line ends between members are allowed (the report may be pretty-printed).
void check_json(const std::string& text) {
  if (text.size() < 3 || text.front() != '{' || text.substr(text.size() - 2) != "}\n") {
    df::fail("the JSON report is not one object and a line end");
  }
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (in_string && c < 0x20) {
      df::fail("a raw control character in a JSON string");
    }
    if (in_string && c == '\\') {
      ++i;
    } else if (c == '"') {
      in_string = !in_string;
    }
  }
  if (in_string) {
    df::fail("an unterminated JSON string");
  }
}

}  // namespace

// First input byte: bits 0-1 choose the file kind as firmware_input() does, bit 2 JSON.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static df::InputFile file;
  const df::FirmwareInput in = df::firmware_input(data, size);
  cli::Arguments args;
  args.command = cli::Command::Check;
  args.file = file.write(in.file);
  args.kind = in.filetype;
  args.json = (in.flags & 4) != 0;

  std::ostringstream out;
  std::ostringstream err;
  const int status = cli::run_check(args, out, err);
  if (status != cli::kExitOk && status != cli::kExitUsage) {
    df::fail("check exited with another status", std::to_string(status));
  }
  if ((status == cli::kExitUsage) == err.str().empty()) {
    df::fail("a refusal without a message, or a message without a refusal");
  }
  if (args.json) {
    check_json(out.str());
  }
  return 0;
}
