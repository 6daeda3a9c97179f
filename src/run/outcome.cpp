#include "run/outcome.h"

#include <array>
#include <mutex>
#include <utility>

#include "platform/timing.h"

std::atomic<int> driveplace{kDriveInApplication};
std::atomic<int> foundinloader{0};

const char* left_in_loader_line(int place) {
  switch (place) {
    case kDriveInRomLoader:
      return kLeftInRomLoaderLine;
    case kDrivePastLoaderEntry:
      return kLeftPastLoaderEntryLine;
    default:
      return "";
  }
}

std::string no_answer_line(const std::string& port, int drive_baud, int loader_baud) {
  const std::string drive = std::to_string(drive_baud);
  const std::string loader = std::to_string(loader_baud);
  return "端口 " + port + " 无应答（驱动器 " + drive + " 波特，引导程序 " + loader +
         " 波特）：检查接线、驱动器电源、串口和驱动器波特率；上次运行未完成时，请试试救援 / "
         "No answer on port " +
         port + ", neither from the drive at " + drive + " baud nor from its bootstrap loader at " +
         loader +
         " baud: check the cable, the drive's power, the port and the drive's baud rate; after a "
         "run that did not finish, try rescue.";
}

namespace driveflash::run {
namespace {

constexpr std::array<const char*, kCauseCount> kCauseNames{
    "none",           "port-open",   "no-answer",       "loader-baud",   "handshake",
    "length",         "loader-file", "stand-in-loader", "loader-upload", "download",
    "rescue-timeout", "stopped",     "refused",         "flash-differs", "closing-header",
};

struct Record {
  std::mutex mutex;
  Outcome current;
  Outcome last;
  platform::Micros start{0};
  std::uint64_t finished = 0;
};

Record& record() {
  static Record r;
  return r;
}

}  // namespace

const char* result_name(Result result) {
  switch (result) {
    case Result::kOk:
      return "ok";
    case Result::kFailed:
      return "failed";
    case Result::kStopped:
      return "stopped";
    case Result::kRefused:
    default:
      return "refused";
  }
}

const char* drive_place_name(DrivePlace place) {
  switch (place) {
    case DrivePlace::kRomLoader:
      return "rom-loader";
    case DrivePlace::kSecondaryLoader:
      return "secondary-loader";
    case DrivePlace::kFirmware:
    default:
      return "firmware";
  }
}

const char* cause_name(Cause cause) {
  const auto i = static_cast<std::size_t>(cause);
  if (i >= kCauseNames.size()) {
    return "none";
  }
  return kCauseNames.at(i);
}

const char* read_back_name(ReadBack read_back) {
  switch (read_back) {
    case ReadBack::kVerified:
      return "verified";
    case ReadBack::kDiffered:
      return "differed";
    case ReadBack::kIncomplete:
      return "incomplete";
    case ReadBack::kOff:
    default:
      return "off";
  }
}

DrivePlace drive_place_of(int place) {
  switch (place) {
    case kDriveInRomLoader:
      return DrivePlace::kRomLoader;
    case kDrivePastLoaderEntry:
      return DrivePlace::kSecondaryLoader;
    default:
      return DrivePlace::kFirmware;
  }
}

void begin(int timing) {
  Record& r = record();
  std::lock_guard lock(r.mutex);
  r.current = Outcome{};
  r.current.result = Result::kFailed;
  r.current.timing = timing;
  r.start = platform::clock().now();
}

void fail(Cause cause, int status, std::string line) {
  Record& r = record();
  std::lock_guard lock(r.mutex);
  // The first failure is what went wrong; a later one (a stop's) follows from it.
  if (r.current.cause == Cause::kNone) {
    r.current.cause = cause;
    r.current.status = status;
    r.current.line = std::move(line);
  }
}

void set_reason(std::string line) {
  Record& r = record();
  std::lock_guard lock(r.mutex);
  r.current.reason = std::move(line);
}

void add_advice(std::string line) {
  Record& r = record();
  std::lock_guard lock(r.mutex);
  r.current.advice.push_back(std::move(line));
}

void note_firmware(std::uint64_t bytes, std::string sha256) {
  Record& r = record();
  std::lock_guard lock(r.mutex);
  r.current.bytes = bytes;
  r.current.sha256 = std::move(sha256);
}

void note_drive_id(std::string id) {
  Record& r = record();
  std::lock_guard lock(r.mutex);
  r.current.drive_id = std::move(id);
}

void count_page() {
  Record& r = record();
  std::lock_guard lock(r.mutex);
  ++r.current.pages;
}

void count_retry() {
  Record& r = record();
  std::lock_guard lock(r.mutex);
  ++r.current.retries_used;
}

void note_read_back(ReadBack read_back, std::uint64_t words) {
  Record& r = record();
  std::lock_guard lock(r.mutex);
  r.current.read_back = read_back;
  r.current.read_back_words = words;
}

namespace {

void stamp(Outcome& o, Result result, platform::Micros start) {
  o.result = result;
  if (result == Result::kOk) {
    o.cause = Cause::kNone;
    o.status = 0;
    o.line.clear();
  } else if (result == Result::kStopped && o.cause == Cause::kNone) {
    o.cause = Cause::kStopped;
  }
  o.drive_left = drive_place_of(driveplace.load());
  o.found_in_loader = foundinloader.load() != 0;
  o.seconds = static_cast<double>((platform::clock().now() - start).count()) / 1e6;
}

}  // namespace

void finish(Result result) {
  Record& r = record();
  std::lock_guard lock(r.mutex);
  stamp(r.current, result, r.start);
  r.last = r.current;
  ++r.finished;
}

Outcome outcome_so_far(Result result) {
  Record& r = record();
  std::lock_guard lock(r.mutex);
  Outcome o = r.current;
  stamp(o, result, r.start);
  return o;
}

Outcome last_outcome() {
  Record& r = record();
  std::lock_guard lock(r.mutex);
  return r.last;
}

std::uint64_t finished_runs() {
  Record& r = record();
  std::lock_guard lock(r.mutex);
  return r.finished;
}

void publish_refusal(std::string why) {
  Record& r = record();
  std::lock_guard lock(r.mutex);
  r.current = Outcome{};
  r.current.result = Result::kRefused;
  r.current.cause = Cause::kRefused;
  r.current.line = std::move(why);
  r.current.timing = timingprofile.load();
  r.last = r.current;
  ++r.finished;
}

std::string ending_text(const Outcome& o) {
  if (o.result == Result::kOk) {
    return "";
  }
  std::string text;
  if (o.cause == Cause::kStopped || (o.result == Result::kStopped && o.line.empty())) {
    text = kStoppedText;
    if (o.drive_left != DrivePlace::kFirmware) {
      text += std::string(" — ") + left_in_loader_line(o.drive_left == DrivePlace::kRomLoader
                                                           ? kDriveInRomLoader
                                                           : kDrivePastLoaderEntry);
    }
    return text;
  }
  text = o.line;
  if (!o.reason.empty()) {
    text += (text.empty() ? "" : " — ") + o.reason;
  }
  return text;
}

}  // namespace driveflash::run
