#include "app/job.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <mutex>
#include <span>

#include "platform/files.h"
#include "platform/panels.h"
#include "platform/replace_file.h"

namespace driveflash::app {
namespace {

constexpr std::size_t kSha256Digits = 64;

std::mutex g_mutex;
std::optional<Job> g_locked;

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kBlank = " \t\r";
  const std::size_t first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

bool whole_number(std::string_view text, long low, long high, long& out) {
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low ||
      value > high) {
    return false;
  }
  out = value;
  return true;
}

std::string range(long low, long high) {
  return "a whole number from " + std::to_string(low) + " to " + std::to_string(high);
}

// One "key = value" line applied to `job`; "" or why it is refused.
std::string take(Job& job, std::string_view key, std::string_view value) {
  long number = 0;
  const auto in_range = [&](long low, long high, int& slot) -> std::string {
    if (!whole_number(value, low, high, number)) {
      return std::string(key) + " wants " + range(low, high) + ", not '" + std::string(value) + "'";
    }
    slot = static_cast<int>(number);
    return "";
  };
  if (value.empty()) {
    return std::string(key) + " has no value";
  }
  if (key == "name") {
    job.name = value;
  } else if (key == "firmware") {
    job.firmware = value;
  } else if (key == "sha256") {
    std::string digest(value);
    std::ranges::transform(digest, digest.begin(), [](char c) {
      return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    if (digest.size() != kSha256Digits || !std::ranges::all_of(digest, [](char c) {
          return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        })) {
      return "sha256 wants 64 hex digits, not '" + std::string(value) + "'";
    }
    job.sha256 = digest;
  } else if (key == "kind") {
    if (value != "hex" && value != "ehex") {
      return "kind wants 'hex' or 'ehex', not '" + std::string(value) + "'";
    }
    job.kind = value == "ehex" ? kFileTypeEhex : kFileTypeHex;
  } else if (key == "timing") {
    if (value != "standard" && value != "fast") {
      return "timing wants 'standard' or 'fast', not '" + std::string(value) + "'";
    }
    job.timing = value == "fast" ? kTimingFast : kTimingStandard;
  } else if (key == "drive_baud") {
    return in_range(kJobMinBaud, kJobMaxBaud, job.drive_baud);
  } else if (key == "loader_baud") {
    return in_range(kJobMinBaud, kJobMaxBaud, job.loader_baud);
  } else if (key == "retries") {
    return in_range(0, kJobMaxRetries, job.retries);
  } else if (key == "verify") {
    if (value != "on" && value != "off") {
      return "verify wants 'on' or 'off', not '" + std::string(value) + "'";
    }
    job.verify = value == "on";
  } else if (key == "rescue_wait") {
    return in_range(1, kJobMaxRescueWait, job.rescue_wait);
  } else if (key == "port") {
    job.ports.emplace_back(value);
  } else {
    return "unknown key '" + std::string(key) + "'";
  }
  return "";
}

}  // namespace

std::string job_text(const Job& job) {
  std::string text =
      "# driveflash job: opened with 'driveflash --job FILE' or 'driveflash-cli program --job "
      "FILE'.\n# The firmware must keep the SHA-256 below, or every drive is refused.\n[job]\n";
  const auto line = [&text](const char* key, const std::string& value) {
    text += std::string(key) + " = " + value + "\n";
  };
  if (!job.name.empty()) {
    line("name", job.name);
  }
  line("firmware", job.firmware);
  line("sha256", job.sha256);
  line("kind", job.kind == kFileTypeEhex ? "ehex" : "hex");
  line("drive_baud", std::to_string(job.drive_baud));
  line("loader_baud", std::to_string(job.loader_baud));
  line("timing", job.timing == kTimingFast ? "fast" : "standard");
  line("retries", std::to_string(job.retries));
  line("verify", job.verify ? "on" : "off");
  line("rescue_wait", std::to_string(job.rescue_wait));
  for (const std::string& port : job.ports) {
    line("port", port);
  }
  return text;
}

std::optional<Job> parse_job(std::string_view text, const std::filesystem::path& folder,
                             std::string& error) {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.starts_with(kBom)) {
    text.remove_prefix(kBom.size());
  }
  Job job;
  std::vector<std::string> seen;
  int number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = trimmed(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    const auto fail = [&](const std::string& why) {
      error = "line " + std::to_string(number) + ": " + why;
      return std::nullopt;
    };
    if (line.empty() || line.front() == '#' || line.front() == ';') {
      continue;
    }
    if (line.front() == '[') {
      if (line != "[job]") {
        return fail("unknown section " + std::string(line) + " (a job file has one: [job])");
      }
      continue;
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      return fail("not 'key = value'");
    }
    const std::string key(trimmed(line.substr(0, eq)));
    if (key != "port" && std::ranges::find(seen, key) != seen.end()) {
      return fail(key + " given twice");
    }
    seen.push_back(key);
    if (const std::string why = take(job, key, trimmed(line.substr(eq + 1))); !why.empty()) {
      return fail(why);
    }
  }
  for (const char* key : {"firmware", "sha256", "kind"}) {
    if (std::ranges::find(seen, key) == seen.end()) {
      error = std::string("no ") + key + " line";
      return std::nullopt;
    }
  }
  const std::filesystem::path firmware = platform::path_from_utf8(job.firmware);
  if (firmware.is_relative()) {
    job.firmware = platform::utf8_of((folder / firmware).lexically_normal());
  }
  return job;
}

std::optional<Job> read_job(const std::filesystem::path& file, std::string& error) {
  const platform::ReadWhole whole =
      platform::read_whole_file(platform::utf8_of(file), kMaxJobFileBytes);
  if (!whole.bytes) {
    error = whole.error.starts_with("is larger")
                ? "the job file is larger than " + std::to_string(kMaxJobFileBytes / 1024) +
                      " KB: no job file is that large"
                : "the job file " + whole.error;
    return std::nullopt;
  }
  std::optional<Job> job = parse_job(std::string_view(whole.bytes->data(), whole.bytes->size()),
                                     file.parent_path(), error);
  if (job && job->name.empty()) {
    job->name = platform::utf8_of(file.stem());
  }
  return job;
}

std::string write_job(const std::filesystem::path& file, const Job& job) {
  // A firmware beside the job (or below it) is named relative to it, so that the two can be
  // copied to another folder or machine together.
  Job saved = job;
  std::error_code ec;
  const std::filesystem::path firmware =
      std::filesystem::absolute(platform::path_from_utf8(job.firmware), ec);
  const std::filesystem::path relative =
      firmware.lexically_relative(std::filesystem::absolute(file, ec).parent_path());
  if (!ec && !relative.empty() && *relative.begin() != "..") {
    saved.firmware = platform::utf8_of(relative);
  }
  const std::string text = job_text(saved);
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::string error;
  const std::filesystem::path temp =
      platform::write_beside(file, std::span(bytes, text.size()), error);
  if (temp.empty()) {
    return error;
  }
  if (platform::place_file(temp, file, true, error) != platform::Placement::kPlaced) {
    return error;
  }
  return "";
}

void lock_job(std::optional<Job> job) {
  std::lock_guard lock(g_mutex);
  g_locked = std::move(job);
}

std::optional<Job> locked_job() {
  std::lock_guard lock(g_mutex);
  return g_locked;
}

std::string job_refusal(const image::FirmwareFile& firmware) {
  const std::optional<Job> job = locked_job();
  if (!job || firmware.sha256 == job->sha256) {
    return "";
  }
  return "固件文件与作业不符，没有接触任何驱动器。\nThe firmware file is not the job's: its bytes "
         "have changed since the job was saved. No drive was touched.\n作业 / Job: " +
         job->name + "\n文件 / File: " + firmware.path +
         "\n作业的 / The job's SHA-256: " + job->sha256 +
         "\n文件的 / The file's SHA-256: " + firmware.sha256;
}

void apply_job(int panel, const Job& job) {
  SetCtrlVal(panel, MAINPANEL_FILETYPE, job.kind);
  SetCtrlVal(panel, MAINPANEL_DRIVE_BAUD, job.drive_baud);
  SetCtrlVal(panel, MAINPANEL_LOADER_BAUD, job.loader_baud);
  SetCtrlVal(panel, MAINPANEL_TIMING, job.timing);
  SetCtrlVal(panel, MAINPANEL_RETRIES, job.retries);  // a panel without the choice ignores it
  SetCtrlVal(panel, MAINPANEL_VERIFY, job.verify ? 1 : 0);
  SetCtrlVal(panel, MAINPANEL_RESCUE_WAIT, job.rescue_wait);
  SetCtrlVal(panel, MAINPANEL_FILEPATH, job.firmware.c_str());
}

}  // namespace driveflash::app
