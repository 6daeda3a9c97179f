#include "cli/arguments.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <utility>

#include "app/job.h"
#include "cli/ports.h"
#include "image/download.h"
#include "image/firmware_file.h"
#include "platform/files.h"
#include "run/retry_policy.h"
#include "run/run_context.h"

namespace driveflash::cli {
namespace {

constexpr std::array<std::pair<std::string_view, HelpTopic>, 5> kTopics = {{
    {"", HelpTopic::Main},
    {"program", HelpTopic::Program},
    {"ports", HelpTopic::Ports},
    {"check", HelpTopic::Check},
    {"ehex", HelpTopic::Ehex},
}};

std::optional<HelpTopic> find_topic(std::string_view name) {
  for (const auto& [n, t] : kTopics) {
    if (!n.empty() && n == name) {
      return t;
    }
  }
  return std::nullopt;
}

// Which options a command takes; the ones with a value are listed in `with_value`.
struct OptionSet {
  std::vector<std::string_view> flags;
  std::vector<std::string_view> with_value;
  std::size_t positionals = 0;
  std::string_view positional_names;  // for messages: "FILE", "IN OUT"
};

OptionSet options_of(Command c) {
  switch (c) {
    case Command::Program:
      return {{"--json", "--rescue", "--repeat", "--events", "--verify"},
              {"--port", "--drive-baud", "--loader-baud", "--kind", "--rescue-wait", "--timing",
               "--retries", "--log", "--job", "--unit", "--boot-wait"},
              1,
              "FILE"};
    case Command::Ports:
      return {{"--json"}, {}, 0, ""};
    case Command::Check:
      return {{"--json"}, {"--kind"}, 1, "FILE"};
    case Command::EhexEncrypt:
    case Command::EhexDecrypt:
      return {{"--force"}, {}, 2, "IN OUT"};
    default:
      return {};
  }
}

bool contains(const std::vector<std::string_view>& list, std::string_view item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

bool contains_text(const std::vector<std::string>& list, std::string_view item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// Options that the parent of a run on several ports handles itself, not each port's run.
bool parent_only(std::string_view name) {
  return name == "--port" || name == "--log" || name == "--json" || name == "--events";
}

bool parse_baud(std::string_view text, long& out) {
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
    return false;
  }
  if (value < kMinBaud || value > kMaxBaud) {
    return false;
  }
  out = value;
  return true;
}

// Applies one option with its value to `args`; returns an error text or "".
std::string apply(Arguments& args, std::string_view name, std::string_view value) {
  const auto baud = [&](std::optional<long>& slot) -> std::string {
    long b = 0;
    if (!parse_baud(value, b)) {
      return std::string(name) + " wants a whole number from " + std::to_string(kMinBaud) + " to " +
             std::to_string(kMaxBaud) + ", not '" + std::string(value) + "'";
    }
    slot = b;
    return "";
  };
  if (name == "--port") {
    if (value.empty()) {
      return "--port wants a device path, a port number or 'sim'";
    }
    // Each virtual drive is a drive of its own; a device or number twice would be two runs
    // fighting over one line.
    if (!value.starts_with(kSimPort) && contains_text(args.ports, value)) {
      return "port '" + std::string(value) + "' given twice";
    }
    if (args.ports.empty()) {
      args.port = value;
    }
    args.ports.emplace_back(value);
  } else if (name == "--log") {
    if (value.empty()) {
      return "--log wants a file name";
    }
    args.log = value;
  } else if (name == "--repeat") {
    args.repeat = true;
  } else if (name == "--events") {
    args.events = true;
  } else if (name == "--drive-baud") {
    return baud(args.drive_baud);
  } else if (name == "--loader-baud") {
    return baud(args.loader_baud);
  } else if (name == "--kind") {
    if (value == "hex") {
      args.kind = kFileTypeHex;
    } else if (value == "ehex") {
      args.kind = kFileTypeEhex;
    } else {
      return "--kind wants 'hex' or 'ehex', not '" + std::string(value) + "'";
    }
  } else if (name == "--timing") {
    if (value == "standard") {
      args.timing = kTimingStandard;
    } else if (value == "fast") {
      args.timing = kTimingFast;
    } else {
      return "--timing wants 'standard' or 'fast', not '" + std::string(value) + "'";
    }
  } else if (name == "--retries") {
    int retries = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), retries);
    if (value.empty() || ec != std::errc() || end != value.data() + value.size() || retries < 0 ||
        retries > kMaxRetries) {
      return "--retries wants a whole number from 0 to " + std::to_string(kMaxRetries) + ", not '" +
             std::string(value) + "'";
    }
    args.retries = retries;
  } else if (name == "--rescue-wait") {
    int seconds = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (value.empty() || ec != std::errc() || end != value.data() + value.size() ||
        seconds < kMinRescueWait || seconds > kMaxRescueWait) {
      return "--rescue-wait wants whole seconds from " + std::to_string(kMinRescueWait) + " to " +
             std::to_string(kMaxRescueWait) + ", not '" + std::string(value) + "'";
    }
    args.rescue_wait = seconds;
  } else if (name == "--boot-wait") {
    int seconds = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (value.empty() || ec != std::errc() || end != value.data() + value.size() || seconds < 0 ||
        seconds > kMaxBootWait) {
      return "--boot-wait wants whole seconds from 0 to " + std::to_string(kMaxBootWait) +
             ", not '" + std::string(value) + "'";
    }
    args.boot_wait = seconds;
  } else if (name == "--unit") {
    // A scanner's or a person's text for one cell of the record: no line ends or other control
    // characters, which would only be flattened there.
    if (value.empty() || value.size() > kMaxUnitBytes ||
        std::any_of(value.begin(), value.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
      return "--unit wants the unit's serial: 1 to " + std::to_string(kMaxUnitBytes) +
             " bytes without control characters";
    }
    args.unit = value;
  } else if (name == "--rescue") {
    args.rescue = true;
  } else if (name == "--verify") {
    args.verify = true;
  } else if (name == "--job") {
    if (value.empty()) {
      return "--job wants a job file";
    }
    args.job = value;
  } else if (name == "--json") {
    args.json = true;
  } else if (name == "--force") {
    args.force = true;
  }
  return "";
}

std::string see_help(HelpTopic topic) {
  const std::string_view name = topic_name(topic);
  return name.empty() ? "see 'driveflash-cli --help'"
                      : "see 'driveflash-cli " + std::string(name) + " --help'";
}

// Parses the arguments after the command word(s).
ParseResult parse_command(Command command, HelpTopic topic,
                          const std::vector<std::string_view>& rest) {
  ParseResult r;
  r.args.command = command;
  r.args.topic = topic;
  const OptionSet set = options_of(command);
  const auto fail = [&](const std::string& why) {
    r.error = why + "; " + see_help(topic);
    return r;
  };
  std::vector<std::string_view> seen;
  std::vector<std::string_view> positionals;
  bool options_done = false;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    const std::string_view arg = rest[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      positionals.push_back(arg);
      r.args.unit_words.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      r.args.unit_words.emplace_back(arg);
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      r.args.command = Command::Help;
      return r;
    }
    const std::size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    const bool takes_value = contains(set.with_value, name);
    if (!takes_value && !contains(set.flags, name)) {
      return fail("unknown option '" + std::string(name) + "'");
    }
    if (contains(seen, name) && name != "--port") {
      return fail("option '" + std::string(name) + "' given twice");
    }
    seen.push_back(name);
    std::string_view value;
    const bool for_units = !parent_only(name);
    if (for_units) {
      r.args.unit_words.emplace_back(arg);
    }
    if (takes_value) {
      if (eq != std::string_view::npos) {
        value = arg.substr(eq + 1);
      } else if (i + 1 < rest.size()) {
        value = rest[++i];
        if (for_units) {
          r.args.unit_words.emplace_back(value);
        }
      } else {
        return fail("option '" + std::string(name) + "' wants a value");
      }
    } else if (eq != std::string_view::npos) {
      return fail("option '" + std::string(name) + "' takes no value");
    }
    if (std::string why = apply(r.args, name, value); !why.empty()) {
      return fail(why);
    }
  }
  // A job names the firmware and settles the settings itself.
  if (!r.args.job.empty()) {
    for (const std::string_view fixed : {"--kind", "--drive-baud", "--loader-baud", "--timing",
                                         "--retries", "--verify", "--rescue-wait"}) {
      if (contains(seen, fixed)) {
        return fail(std::string(fixed) + " is set by the job file; leave it out");
      }
    }
    if (!positionals.empty()) {
      return fail("the job file names the firmware; leave FILE out");
    }
    return r;
  }
  if (positionals.size() != set.positionals) {
    if (positionals.size() < set.positionals) {
      return fail("missing " + std::string(set.positional_names));
    }
    return fail("unexpected argument '" + std::string(positionals[set.positionals]) + "'");
  }
  if (set.positionals >= 1) {
    r.args.file = positionals[0];
  }
  if (set.positionals >= 2) {
    r.args.output = positionals[1];
  }
  if (command == Command::Program && r.args.port.empty()) {
    return fail("missing --port PORT (a device path, a port number or 'sim')");
  }
  if (r.args.rescue_wait && !r.args.rescue) {
    return fail("--rescue-wait goes with --rescue");
  }
  if (r.args.boot_wait && !r.args.repeat) {
    return fail("--boot-wait goes with --repeat");
  }
  // One serial names one unit: a station's or several ports' drives are each another unit.
  if (!r.args.unit.empty() && (r.args.repeat || r.args.ports.size() > 1)) {
    return fail("--unit names one drive: it goes with one --port and without --repeat");
  }
  return r;
}

}  // namespace

std::string_view topic_name(HelpTopic topic) {
  for (const auto& [n, t] : kTopics) {
    if (t == topic) {
      return n;
    }
  }
  return "";
}

int kind_from_name(std::string_view name) {
  constexpr std::string_view kExt = ".ehex";
  if (name.size() < kExt.size()) {
    return kFileTypeHex;
  }
  const std::string_view tail = name.substr(name.size() - kExt.size());
  const bool ehex = std::equal(tail.begin(), tail.end(), kExt.begin(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == b;
  });
  return ehex ? kFileTypeEhex : kFileTypeHex;
}

const char* kind_name(int kind) {
  return kind == kFileTypeEhex ? "ehex" : "hex";
}

std::string take_job(Arguments& args) {
  if (args.job.empty()) {
    return "";
  }
  std::string error;
  const std::optional<app::Job> job = app::read_job(platform::path_from_utf8(args.job), error);
  if (!job) {
    return args.job + ": " + error;
  }
  if (args.ports.empty()) {
    if (job->ports.empty()) {
      return args.job + " names no port; give --port PORT";
    }
    args.ports = job->ports;
    args.port = job->ports.front();
  }
  args.file = job->firmware;
  args.kind = job->kind;
  args.drive_baud = job->drive_baud;
  args.loader_baud = job->loader_baud;
  args.timing = job->timing;
  args.retries = retry_limit_of(job->retries);
  args.verify = job->verify;
  args.rescue_wait = job->rescue_wait;
  // Before anything else, and again before every unit (Program checks the locked job).
  const image::FirmwareFile firmware = image::read_firmware(args.file, job->kind);
  if (!firmware.read()) {
    return "the job's firmware " + args.file + " " + firmware.error + "; no drive was touched";
  }
  if (firmware.sha256 != job->sha256) {
    return "the firmware " + args.file + " is not the job's (SHA-256 " + firmware.sha256 +
           ", the job's " + job->sha256 + "); no drive was touched";
  }
  app::lock_job(job);
  return "";
}

ParseResult parse_arguments(const std::vector<std::string_view>& argv) {
  ParseResult r;
  if (argv.size() < 2) {
    r.error = "no command given; " + see_help(HelpTopic::Main);
    return r;
  }
  const std::string_view word = argv[1];
  const std::vector<std::string_view> rest(argv.begin() + 2, argv.end());
  if (word == "-h" || word == "--help") {
    return r;  // the overview
  }
  if (word == "--version" || word == "-V") {
    r.args.command = Command::Version;
    return r;
  }
  if (word == "help") {
    if (rest.size() > 1) {
      r.error = "'help' takes at most one command name; " + see_help(HelpTopic::Main);
    } else if (!rest.empty()) {
      const auto topic = find_topic(rest[0]);
      if (topic) {
        r.args.topic = *topic;
      } else {
        r.error = "no command '" + std::string(rest[0]) + "'; " + see_help(HelpTopic::Main);
      }
    }
    return r;
  }
  if (word == "program") {
    return parse_command(Command::Program, HelpTopic::Program, rest);
  }
  if (word == "ports") {
    return parse_command(Command::Ports, HelpTopic::Ports, rest);
  }
  if (word == "check") {
    return parse_command(Command::Check, HelpTopic::Check, rest);
  }
  if (word == "ehex") {
    r.args.topic = HelpTopic::Ehex;
    if (rest.empty()) {
      r.error = "'ehex' wants 'encrypt' or 'decrypt'; " + see_help(HelpTopic::Ehex);
      return r;
    }
    const std::vector<std::string_view> tail(rest.begin() + 1, rest.end());
    if (rest[0] == "encrypt") {
      return parse_command(Command::EhexEncrypt, HelpTopic::Ehex, tail);
    }
    if (rest[0] == "decrypt") {
      return parse_command(Command::EhexDecrypt, HelpTopic::Ehex, tail);
    }
    if (rest[0] == "-h" || rest[0] == "--help") {
      return r;
    }
    r.error = "'ehex' wants 'encrypt' or 'decrypt', not '" + std::string(rest[0]) + "'; " +
              see_help(HelpTopic::Ehex);
    return r;
  }
  r.error = word.starts_with('-') ? "unknown option '" + std::string(word) + "'"
                                  : "no command '" + std::string(word) + "'";
  r.error += "; " + see_help(HelpTopic::Main);
  return r;
}

}  // namespace driveflash::cli
