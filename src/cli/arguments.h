// The command line: what the operator asked for, taken apart and checked.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace driveflash::cli {

// Exit statuses of the program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRunFailed = 1;
inline constexpr int kExitUsage = 2;  // bad arguments, or a file refused before anything ran
inline constexpr int kExitInterrupted = 130;

enum class Command { Help, Version, Program, Ports, Check, EhexEncrypt, EhexDecrypt };

// Help pages: the overview and one per command (encrypt and decrypt share one).
enum class HelpTopic { Main, Program, Ports, Check, Ehex };

inline constexpr long kMinBaud = 50;
inline constexpr long kMaxBaud = 4000000;

struct Arguments {
  Command command = Command::Help;
  HelpTopic topic = HelpTopic::Main;  // for Command::Help
  std::string file;                   // program / check FILE, ehex IN
  std::string output;                 // ehex OUT
  std::string port;                   // the first --port
  std::vector<std::string> ports;     // program: every --port, in order
  std::optional<long> drive_baud;
  std::optional<long> loader_baud;
  std::optional<int> kind;     // kFileTypeHex or kFileTypeEhex
  std::optional<int> timing;   // kTimingStandard or kTimingFast
  std::optional<int> retries;  // retries per flash sector, 0 to kMaxRetries
  bool verify = false;         // read every programmed word back
  bool json = false;
  bool force = false;
  std::string log;      // program --log FILE
  bool repeat = false;  // program --repeat
  // Internal: print the run as events for the parent process of a run on several ports
  // (cli/production.h), not for people.
  bool events = false;
  // program: the words after the command without --port, --log, --json and their values, in
  // order: what each port's own run is started with.
  std::vector<std::string> unit_words;
  bool rescue = false;             // skip the firmware, wait for the ROM loader
  std::optional<int> rescue_wait;  // seconds, with --rescue
  // program --job FILE: the firmware and settings come from a job file (take_job fills them in),
  // and every unit's firmware is checked against the job's SHA-256.
  std::string job;
  std::string unit;              // program --unit: the unit's serial, for its row
  std::optional<int> boot_wait;  // seconds a station waits for new firmware to answer
};

inline constexpr int kMinRescueWait = 1;
inline constexpr int kMaxRescueWait = 3600;
inline constexpr int kDefaultBootWait = 10;
inline constexpr int kMaxBootWait = 3600;
inline constexpr std::size_t kMaxUnitBytes = 100;

struct ParseResult {
  Arguments args;
  std::string error;  // non-empty: bad arguments (exit 2); `args.topic` names the help page
  bool ok() const { return error.empty(); }
};

ParseResult parse_arguments(const std::vector<std::string_view>& argv);

// With --job: reads the job file, fills in what it settles (the file, its kind, both baud rates,
// the timing, the retries, the read-back, the rescue wait, and the ports when none was given),
// locks the process to it and
// checks the firmware's SHA-256 against it. Returns "" or why the job is refused (exit 2).
std::string take_job(Arguments& args);

// The help page for a topic, as --help prints it.
std::string_view usage_text(HelpTopic topic);
// The command's name as typed ("program", "ehex", ...), "" for the overview.
std::string_view topic_name(HelpTopic topic);
// The file kind a name suggests: encrypted hex for a name ending in ".ehex" (any case).
int kind_from_name(std::string_view name);
const char* kind_name(int kind);

}  // namespace driveflash::cli
