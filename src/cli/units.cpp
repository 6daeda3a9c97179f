#include "cli/units.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <array>
#include <cstdio>

#include "platform/files.h"

namespace driveflash::cli {

const char* log_result(const RunReport& r) {
  return run::result_name(r.outcome.result);
}

std::string Recorder::open() {
  if (args_.log.empty()) {
    return "";
  }
  log_.emplace(platform::path_from_utf8(args_.log));
  return log_->log().prepare();
}

void Recorder::add(const RunReport& r, std::ostream& err) {
  if (r.succeeded()) {
    ++count_;
  }
  if (!log_) {
    return;
  }
  app::RunRecord row;
  row.port = r.port;
  row.file = args_.file;
  row.kind = r.kind.empty() ? kind_name(args_.kind.value_or(kind_from_name(args_.file))) : r.kind;
  app::fill_from_outcome(row, r.outcome, r.message());
  row.unit = r.unit.empty() ? args_.unit : r.unit;
  row.count = count_;
  if (const std::string why = log_->append(row); !why.empty()) {
    err << "driveflash-cli: " << why << "; the row of the drive on " << r.port
        << " is kept: it goes in with the next row, or at the end into "
        << platform::utf8_of(log_->side_path()) << " if the log stays closed\n";
  }
}

void Recorder::finish(std::ostream& err) {
  if (!log_) {
    return;
  }
  if (const std::string what = log_->finish(); !what.empty()) {
    err << "driveflash-cli: " << what << '\n' << std::flush;
  }
}

void print_unit_event(std::ostream& out, const RunReport& r) {
  out << kUnitEvent << r.json(false) << "}\n" << std::flush;
}

void print_state_event(std::ostream& out, const std::string& state, const std::string& text) {
  out << JsonObject().add("state", state).add("text", text).str(false) << '\n' << std::flush;
}

std::string fixed(double value, int decimals) {
  std::array<char, 32> text{};
  // NOLINTNEXTLINE(cert-err33-c): one number in the 32-byte buffer
  std::snprintf(text.data(), text.size(), "%.*f", decimals, value);
  return text.data();
}

std::string unit_line(int number, const RunReport& r) {
  std::string text = "unit " + std::to_string(number) + ": " + log_result(r) + ", " +
                     fixed(r.outcome.seconds, 2) + " s";
  if (!r.succeeded()) {
    const std::string why = r.message();
    if (!why.empty()) {
      text += ": " + why;
    }
  }
  return text;
}

std::string padded(std::string text, std::size_t width) {
  if (text.size() < width) {
    text.append(width - text.size(), ' ');
  }
  return text;
}

std::string right(const std::string& text, std::size_t width) {
  return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

namespace {

std::string overall_result(int status) {
  switch (status) {
    case kExitOk:
      return "success";
    case kExitInterrupted:
      return "interrupted";
    case kExitUsage:
      return "refused";
    default:
      return "failed";
  }
}

}  // namespace

JsonObject summary_json(const Arguments& args, int status, int programmed, int failed) {
  JsonObject o;
  o.add("result", overall_result(status))
      .add("exit_status", status)
      .add("file", args.file)
      .add("kind", kind_name(args.kind.value_or(kind_from_name(args.file))))
      .add("ports", args.ports)
      .add("units_programmed", programmed)
      .add("units_failed", failed);
  return o;
}

bool read_report(const std::string& json, RunReport& out) {
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
  if (error.error != QJsonParseError::NoError || !doc.isObject()) {
    return false;
  }
  const QJsonObject o = doc.object();
  const auto text = [&o](const char* key) { return o.value(key).toString().toStdString(); };
  const auto lines = [&o](const char* key) {
    std::vector<std::string> list;
    for (const QJsonValue line : o.value(key).toArray()) {
      list.push_back(line.toString().toStdString());
    }
    return list;
  };
  out = RunReport{};
  run::Outcome& r = out.outcome;
  const std::string result = text("result");
  if (result == "success") {
    r.result = run::Result::kOk;
  } else if (result == "interrupted") {
    r.result = run::Result::kStopped;
  } else if (result == "failed") {
    r.result = run::Result::kFailed;
  } else if (result != "refused") {
    return false;
  }
  const std::string cause = text("cause");
  for (int c = 0; c < run::kCauseCount; ++c) {
    if (cause == run::cause_name(static_cast<run::Cause>(c))) {
      r.cause = static_cast<run::Cause>(c);
    }
  }
  r.status = o.value("status").toInt();
  r.line = text("reason");
  r.reason = text("reason_line");
  r.advice = lines("advice");
  const std::string left = text("drive_left");
  for (const run::DrivePlace place : {run::DrivePlace::kFirmware, run::DrivePlace::kRomLoader,
                                      run::DrivePlace::kSecondaryLoader}) {
    if (left == run::drive_place_name(place)) {
      r.drive_left = place;
    }
  }
  r.found_in_loader = o.value("rescued").toBool();
  r.timing = text("timing") == "fast" ? kTimingFast : kTimingStandard;
  r.retries_used = o.value("retries_used").toInt();
  const std::string read_back = text("read_back");
  for (const run::ReadBack b : {run::ReadBack::kOff, run::ReadBack::kVerified,
                                run::ReadBack::kDiffered, run::ReadBack::kIncomplete}) {
    if (read_back == run::read_back_name(b)) {
      r.read_back = b;
    }
  }
  r.read_back_words = static_cast<std::uint64_t>(o.value("read_back_words").toInteger());
  r.pages = static_cast<std::uint64_t>(o.value("pages_programmed").toInteger());
  r.bytes = static_cast<std::uint64_t>(o.value("firmware_bytes").toInteger());
  r.seconds = o.value("elapsed_seconds").toDouble();
  r.sha256 = text("sha256");
  r.drive_id = text("drive_id");
  out.exit_status = o.value("exit_status").toInt(kExitRunFailed);
  out.file = text("file");
  out.kind = text("kind");
  out.port = text("port");
  out.unit = text("unit");
  if (o.value("drive_baud").isDouble()) {
    out.drive_baud = o.value("drive_baud").toInteger();
  }
  if (o.value("loader_baud").isDouble()) {
    out.loader_baud = o.value("loader_baud").toInteger();
  }
  out.lines = lines("status_lines");
  if (o.value("verified").isBool()) {
    out.verified = o.value("verified").toBool();
  }
  out.stop_requested = o.value("stop_requested").toBool();
  return true;
}

}  // namespace driveflash::cli
