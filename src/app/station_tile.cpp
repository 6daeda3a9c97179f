#include "app/station_tile.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

namespace driveflash::app {
namespace {

constexpr QStringView kUnitPrefix = u"{\"unit\": ";

// A unit's report: the object --json prints for one run.
void take_unit(TileState& tile, const QJsonObject& report) {
  TileUnit unit;
  unit.result = report.value(QStringLiteral("result")).toString().toStdString();
  unit.seconds = report.value(QStringLiteral("elapsed_seconds")).toDouble();
  unit.verified = report.value(QStringLiteral("verified")).toBool();
  if (unit.result != "success") {
    unit.line = report.value(QStringLiteral("reason")).toString();
    if (unit.line.isEmpty()) {
      unit.line = tile.note;
    }
  }
  if (unit.result == "success") {
    tile.phase = TilePhase::kProgrammed;
    tile.failure.clear();
  } else if (unit.result == "interrupted") {
    tile.phase = TilePhase::kStopped;
    tile.failure = unit.line;
  } else {
    tile.phase = TilePhase::kFailed;
    // The first line says what went wrong; a refusal's reasons may follow it.
    tile.failure = unit.line.section(u'\n', 0, 0);
  }
  tile.progress_shown = false;
  tile.units.push_back(std::move(unit));
}

// The first line of a run after a unit (or at the start): the next unit has begun.
void unit_begins(TileState& tile) {
  if (tile.phase != TilePhase::kProgramming) {
    tile.phase = TilePhase::kProgramming;
    tile.failure.clear();
    tile.wait.clear();
    tile.percent = 0;
    tile.progress_shown = false;
  }
}

}  // namespace

int TileState::programmed() const {
  return static_cast<int>(
      std::ranges::count_if(units, [](const TileUnit& u) { return u.result == "success"; }));
}

int TileState::failed() const {
  return static_cast<int>(units.size()) - programmed();
}

bool apply_event(TileState& tile, const QByteArray& line) {
  const QString text = QString::fromUtf8(line).trimmed();
  // The report is the child's own JSON object inside {"unit": ...}: parsed as a whole.
  const QJsonObject event = QJsonDocument::fromJson(text.toUtf8()).object();
  if (text.startsWith(kUnitPrefix) && event.value(QStringLiteral("unit")).isObject()) {
    take_unit(tile, event.value(QStringLiteral("unit")).toObject());
    return true;
  }
  if (event.contains(QStringLiteral("line"))) {
    unit_begins(tile);
    tile.last_line = event.value(QStringLiteral("line")).toString();
  } else if (event.contains(QStringLiteral("progress"))) {
    tile.percent = std::clamp(event.value(QStringLiteral("progress")).toDouble(), 0.0, 100.0);
  } else if (event.contains(QStringLiteral("shown"))) {
    tile.progress_shown = event.value(QStringLiteral("shown")).toBool();
  } else if (event.contains(QStringLiteral("state"))) {
    // The station says which state it is in, by name, and what that means, in both languages.
    const QString state = event.value(QStringLiteral("state")).toString();
    if (state == QLatin1String("programming")) {
      unit_begins(tile);
    } else {
      tile.wait = event.value(QStringLiteral("text")).toString();
    }
  } else if (!text.isEmpty()) {
    tile.note = text;
  }
  return false;
}

void process_started(TileState& tile) {
  tile.running = true;
  tile.stopping = false;
  tile.exit_code = 0;
  tile.note.clear();
  tile.wait.clear();
}

void process_ended(TileState& tile, int code) {
  tile.running = false;
  tile.exit_code = code;
  tile.wait.clear();
  tile.progress_shown = false;
  // A run cut off without its report: the process itself went wrong.
  if (tile.phase == TilePhase::kProgramming || (tile.units.empty() && !tile.stopping)) {
    TileUnit unit;
    unit.result = "failed";
    unit.line = code < 0
                    ? QStringLiteral("端口的进程意外结束 / The port's process ended abnormally")
                    : QStringLiteral(
                          "端口的进程结束，没有报告 / The port's process ended "
                          "without a report (exit status %1)")
                          .arg(code);
    if (!tile.note.isEmpty()) {
      unit.line += QStringLiteral(": ") + tile.note;
    }
    tile.phase = TilePhase::kFailed;
    tile.failure = unit.line;
    tile.units.push_back(std::move(unit));
  }
}

QString phase_words(const TileState& tile) {
  if (tile.stopping && tile.running) {
    return QStringLiteral("■ 正在停止… / Stopping…");
  }
  switch (tile.phase) {
    case TilePhase::kProgramming:
      return QStringLiteral("… 烧录中 / Programming");
    case TilePhase::kProgrammed:
      return QStringLiteral("✔ 成功 / Programmed");
    case TilePhase::kFailed:
      return QStringLiteral("✘ 失败 / Failed — ") + tile.failure;
    case TilePhase::kStopped:
      return QStringLiteral("■ 已停止 / Stopped");
    case TilePhase::kIdle:
    default:
      return tile.running ? QStringLiteral("等待驱动器 / Waiting for a drive")
                          : QStringLiteral("未开始 / Not started");
  }
}

const char* phase_name(TilePhase phase) {
  switch (phase) {
    case TilePhase::kProgramming:
      return "programming";
    case TilePhase::kProgrammed:
      return "programmed";
    case TilePhase::kFailed:
      return "failed";
    case TilePhase::kStopped:
      return "stopped";
    case TilePhase::kIdle:
    default:
      return "idle";
  }
}

}  // namespace driveflash::app
