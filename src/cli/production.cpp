#include "cli/production.h"

#include <QByteArray>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "app/run_log.h"
#include "bsl/flash_map.h"
#include "cli/json.h"
#include "cli/ports.h"
#include "cli/progress.h"
#include "cli/station.h"
#include "platform/files.h"

namespace driveflash::cli {
namespace {

constexpr std::string_view kUnitEvent = R"({"unit": )";
constexpr int kStopPollMs = 50;
constexpr int kStep = 10;

const char* log_result(const RunReport& r) {
  return run::result_name(r.outcome.result);
}

// The CSV record of the command's drives (--log), and the count of the successful ones.
class Recorder {
 public:
  explicit Recorder(const Arguments& args) : args_(args) {}

  // "" when rows can be written (or none are asked for), else why not.
  std::string open() {
    if (args_.log.empty()) {
      return "";
    }
    log_.emplace(platform::path_from_utf8(args_.log));
    sha256_ = app::file_sha256(args_.file);
    return log_->prepare();
  }

  void add(const RunReport& r, std::ostream& err) {
    if (r.succeeded()) {
      ++count_;
    }
    if (!log_) {
      return;
    }
    app::RunRecord row;
    row.port = r.port;
    row.file = args_.file;
    row.sha256 = r.outcome.sha256.empty() ? sha256_ : r.outcome.sha256;
    row.kind = r.kind.empty() ? kind_name(args_.kind.value_or(kind_from_name(args_.file))) : r.kind;
    row.result = log_result(r);
    row.status = r.download_status();
    row.message = r.message();
    row.seconds = r.outcome.seconds;
    if (r.outcome.result != run::Result::kRefused) {
      row.pages = r.outcome.pages;
      row.bytes = r.outcome.pages * kFlashPage;
    }
    row.count = count_;
    if (const std::string why = log_->append(row); !why.empty()) {
      err << "driveflash-cli: " << why << "; the row of the drive on " << r.port << " is lost\n";
    }
  }

 private:
  const Arguments& args_;
  std::optional<app::RunLog> log_;
  std::string sha256_;
  std::uint64_t count_ = 0;
};

// A run's report as a unit event, and a station's wait as an event.
void print_unit_event(std::ostream& out, const RunReport& r) {
  out << kUnitEvent << r.json(false) << "}\n" << std::flush;
}

void print_wait_event(std::ostream& out, const std::string& text) {
  out << JsonObject().add("wait", text).str(false) << '\n' << std::flush;
}

// Ends the run of a child process when its parent says "stop" or goes away: the input's end.
class StopOnInput {
 public:
  explicit StopOnInput(platform::RunWaker& waker) : state_(std::make_shared<State>()) {
    state_->waker = &waker;
    std::thread([state = state_] {
      std::string line;
      while (std::getline(std::cin, line) && line != "stop") {
      }
      std::lock_guard lock(state->mutex);
      if (state->waker != nullptr) {
        state->waker->request_stop();
      }
    }).detach();  // blocked in a read until the input ends; the process may end first
  }
  ~StopOnInput() {
    std::lock_guard lock(state_->mutex);
    state_->waker = nullptr;
  }
  StopOnInput(const StopOnInput&) = delete;
  StopOnInput& operator=(const StopOnInput&) = delete;

 private:
  struct State {
    std::mutex mutex;
    platform::RunWaker* waker = nullptr;
  };
  std::shared_ptr<State> state_;
};

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

// The fields a station's and several ports' summaries open with: what ran, where, how it ended.
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

// One port, in-process: a plain run with its log row, a child's run, or a station.
int run_here(const Arguments& args, const Terminal& term, platform::RunWaker& waker) {
  Recorder recorder(args);
  if (const std::string why = recorder.open(); !why.empty()) {
    term.err << "driveflash-cli: " << why << "; nothing was run\n";
    return kExitUsage;
  }
  std::optional<StopOnInput> stop_on_input;
  if (args.events) {
    stop_on_input.emplace(waker);
  }
  if (!args.repeat) {
    RunReport r;
    const int status = run_program(args, term, waker, r);
    if (args.events) {
      print_unit_event(term.out, r);
    }
    recorder.add(r, term.err);
    return status;
  }
  // A station's runs print no object each; the one at the end holds them all.
  Arguments each = args;
  each.json = false;
  const Terminal lines{args.json ? term.err : term.out, term.err, term.progress_bar, term.width,
                       term.events};
  StationTally tally;
  std::vector<std::string> units;
  StationHooks hooks;
  hooks.waiting = [&](StationWait, const std::string& text, PortChoice&) {
    if (args.events) {
      print_wait_event(term.out, text);
    } else {
      term.err << "driveflash-cli: " << text << '\n' << std::flush;
    }
  };
  hooks.unit = [&](const RunReport& r) {
    recorder.add(r, term.err);
    units.push_back(r.json(false));
    if (args.events) {
      print_unit_event(term.out, r);
    } else {
      term.err << "driveflash-cli: " << unit_line(static_cast<int>(units.size()), r) << '\n'
               << std::flush;
    }
  };
  const int status = run_station(each, lines, waker, hooks, tally);
  if (!args.events) {
    term.err << "driveflash-cli: station on " << args.port << " ended: " << tally.summary() << '\n';
  }
  if (args.json) {
    term.out << summary_json(args, status, tally.ok, tally.failed + tally.stopped)
                    .add("mean_seconds", tally.units > 0 ? tally.seconds / tally.units : 0.0, 3)
                    .add_raw("units", json_array(units, true))
                    .str()
             << '\n'
             << std::flush;
  }
  return status;
}

// ---- Several ports: one child process each ----

struct Unit {
  std::string port;
  std::string label;  // the port, numbered when the same text is given twice ("sim#2")
  std::unique_ptr<QProcess> process;
  QByteArray out;  // what came of the standard streams, not yet a whole line
  QByteArray err;
  std::vector<RunReport> reports;
  std::vector<std::string> objects;  // the reports as the child sent them
  StationTally tally;
  double percent = 0;
  bool downloading = false;
  int next_step = kStep;
  bool done = false;
};

// The console of a run on several ports: every line prefixed with its port, and a live bar per
// port at the bottom of a terminal (else a line at every 10 %).
class Board {
 public:
  Board(const Terminal& term, bool json, std::vector<Unit>& units)
      : lines_(json ? term.err : term.out),
        err_(term.err),
        bars_(term.progress_bar),
        width_(term.width),
        units_(units) {
    for (const Unit& u : units_) {
      label_width_ = std::max(label_width_, u.label.size() + 2);
    }
    // A bar line that wrapped would throw the redrawing off by a line: long ports are cut.
    label_width_ = std::min(label_width_, static_cast<std::size_t>(std::max(width_ / 2, 8)));
  }

  void line(const Unit& u, const std::string& text) { print(lines_, u, text); }
  void note(const Unit& u, const std::string& text) { print(err_, u, text); }

  void shown(Unit& u, bool visible) {
    if (visible && !u.downloading) {
      u.percent = 0;
      u.next_step = kStep;
    }
    u.downloading = visible;
    redraw();
  }

  void progress(Unit& u, double percent) {
    if (percent < u.percent) {
      u.next_step = kStep;
    }
    u.percent = percent;
    if (bars_) {
      redraw();
      return;
    }
    while (u.next_step <= 100 && percent + 1e-9 >= u.next_step) {
      err_ << '[' << u.label << "] progress: " << u.next_step << " %\n" << std::flush;
      u.next_step += kStep;
    }
  }

  void finish() {
    erase();
    bars_ = false;
  }

 private:
  void print(std::ostream& stream, const Unit& u, const std::string& text) {
    erase();
    stream << '[' << u.label << "] " << text << '\n' << std::flush;
    draw();
  }

  void erase() {
    if (drawn_ > 0) {
      err_ << "\x1b[" << drawn_ << "F\x1b[J" << std::flush;  // up to the first bar, clear below
      drawn_ = 0;
      shown_.clear();
    }
  }

  void redraw() {
    if (!bars_) {
      return;
    }
    std::string text = bars_text();
    if (text == shown_) {
      return;
    }
    erase();
    draw();
  }

  std::string bars_text() const {
    std::string text;
    const int bar_width = std::max(20, width_ - static_cast<int>(label_width_) - 1);
    for (const Unit& u : units_) {
      std::string label = '[' + u.label + ']';
      if (label.size() > label_width_) {
        label = "[..." + u.label.substr(u.label.size() + 5 - label_width_) + "]";
      }
      text += padded(label, label_width_) + ' ' + RunPrinter::bar_text(u.percent, bar_width) + '\n';
    }
    return text;
  }

  void draw() {
    if (!bars_) {
      return;
    }
    shown_ = bars_text();
    err_ << shown_ << std::flush;
    drawn_ = static_cast<int>(units_.size());
  }

  std::ostream& lines_;
  std::ostream& err_;
  bool bars_;
  int width_;
  std::vector<Unit>& units_;
  std::size_t label_width_ = 0;
  int drawn_ = 0;  // bar lines on the screen, above the cursor
  std::string shown_;
};

class Parallel {
 public:
  Parallel(const Arguments& args, const Terminal& term, platform::RunWaker& waker, std::string self)
      : args_(args), term_(term), waker_(waker), self_(std::move(self)), recorder_(args) {}

  int run() {
    for (std::size_t i = 0; i < args_.ports.size(); ++i) {
      Unit u;
      u.port = args_.ports[i];
      const auto same = std::count(args_.ports.begin(),
                                   args_.ports.begin() + static_cast<std::ptrdiff_t>(i), u.port);
      u.label = same > 0 ? u.port + "#" + std::to_string(same + 1) : u.port;
      units_.push_back(std::move(u));
    }
    if (const int status = refused_before(); status != kExitOk) {
      return status;
    }
    Board board(term_, args_.json, units_);
    board_ = &board;
    QEventLoop loop;
    running_ = units_.size();
    for (Unit& u : units_) {
      start(u, loop);
    }
    QTimer stop_poll;
    QObject::connect(&stop_poll, &QTimer::timeout, [this] { pass_on_stop(); });
    stop_poll.start(kStopPollMs);
    if (running_ > 0) {
      loop.exec();
    }
    board.finish();
    board_ = nullptr;
    return finish();
  }

 private:
  // The checks of a single run, made once before any drive is touched.
  int refused_before() {
    std::string why = recorder_.open();
    if (!why.empty()) {
      return refuse(why + "; no drive was touched", false);
    }
    if (args_.file.empty() || args_.file.size() >= 260) {
      return refuse("the file name must have 1 to 259 bytes", true);
    }
    for (const std::string& port : args_.ports) {
      PortChoice choice;
      if (!choose_port(port, choice, why)) {
        return refuse(why, true);
      }
      release_port(choice);
    }
    image::FirmwareReport scan;
    std::string hint;
    why = files_refusal(args_, args_.kind.value_or(kind_from_name(args_.file)), scan, hint);
    if (!why.empty()) {
      return refuse(why + (hint.empty() ? "" : "\n" + hint), true);
    }
    return kExitOk;
  }

  int refuse(const std::string& why, bool log_rows) {
    std::size_t from = 0;
    while (from <= why.size()) {
      const std::size_t end = std::min(why.find('\n', from), why.size());
      term_.err << "driveflash-cli: " << why.substr(from, end - from) << '\n';
      from = end + 1;
    }
    std::vector<std::string> objects;
    for (const Unit& u : units_) {
      RunReport r;
      r.port = u.port;
      r.file = args_.file;
      r.kind = kind_name(args_.kind.value_or(kind_from_name(args_.file)));
      r.outcome.cause = run::Cause::kRefused;
      r.outcome.line = why.substr(0, why.find('\n'));
      if (log_rows) {
        recorder_.add(r, term_.err);
      }
      objects.push_back(r.json(false));
    }
    if (args_.json) {
      print_json(kExitUsage, objects);
    }
    return kExitUsage;
  }

  void start(Unit& u, QEventLoop& loop) {
    QStringList words{"program"};
    for (const std::string& w : args_.unit_words) {
      words << QString::fromStdString(w);
    }
    words << "--port" << QString::fromStdString(u.port) << "--events";
    u.process = std::make_unique<QProcess>();
    QProcess* p = u.process.get();
    p->setProgram(QString::fromStdString(self_));
    p->setArguments(words);
    QObject::connect(p, &QProcess::readyReadStandardOutput, [this, &u] { read(u, false); });
    QObject::connect(p, &QProcess::readyReadStandardError, [this, &u] { read(u, true); });
    QObject::connect(p, &QProcess::finished, [this, &u, &loop](int code, QProcess::ExitStatus how) {
      ended(u, how == QProcess::NormalExit ? code : -1, loop);
    });
    QObject::connect(p, &QProcess::errorOccurred, [this, &u, &loop](QProcess::ProcessError e) {
      if (e == QProcess::FailedToStart) {
        board_->note(u, "cannot start " + self_ + ": " + u.process->errorString().toStdString());
        ended(u, -1, loop);
      }
    });
    p->start();
  }

  void read(Unit& u, bool err) {
    QByteArray& buffer = err ? u.err : u.out;
    buffer += err ? u.process->readAllStandardError() : u.process->readAllStandardOutput();
    for (qsizetype nl = buffer.indexOf('\n'); nl >= 0; nl = buffer.indexOf('\n')) {
      std::string text = buffer.left(nl).toStdString();
      buffer.remove(0, nl + 1);
      if (!text.empty() && text.back() == '\r') {
        text.pop_back();
      }
      if (err) {
        // The child's own notes: its port says whose they are.
        constexpr std::string_view kName = "driveflash-cli: ";
        board_->note(u, text.starts_with(kName) ? text.substr(kName.size()) : text);
      } else {
        event(u, text);
      }
    }
  }

  void event(Unit& u, const std::string& text) {
    if (text.starts_with(kUnitEvent) && text.ends_with('}')) {
      const std::string object =
          text.substr(kUnitEvent.size(), text.size() - kUnitEvent.size() - 1);
      RunReport r;
      if (read_report(object, r)) {
        unit(u, r, object);
        return;
      }
    }
    const QJsonObject e = QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
    if (e.contains("line")) {
      board_->line(u, e.value("line").toString().toStdString());
    } else if (e.contains("progress")) {
      board_->progress(u, e.value("progress").toDouble());
    } else if (e.contains("shown")) {
      board_->shown(u, e.value("shown").toBool());
    } else if (e.contains("wait")) {
      board_->note(u, e.value("wait").toString().toStdString());
    } else if (!text.empty()) {
      board_->note(u, text);
    }
  }

  void unit(Unit& u, const RunReport& r, const std::string& object) {
    u.reports.push_back(r);
    u.objects.push_back(object);
    objects_.push_back(object);
    if (r.outcome.result != run::Result::kRefused) {
      u.tally.add(r);
    }
    recorder_.add(r, term_.err);
    if (args_.repeat) {
      board_->line(u, unit_line(static_cast<int>(u.reports.size()), r));
    }
  }

  void ended(Unit& u, int code, QEventLoop& loop) {
    if (u.done) {
      return;
    }
    u.done = true;
    read(u, false);
    read(u, true);
    if (u.reports.empty()) {
      RunReport r;
      r.outcome.result = run::Result::kFailed;
      r.port = u.port;
      r.file = args_.file;
      r.kind = kind_name(args_.kind.value_or(kind_from_name(args_.file)));
      r.exit_status = code;
      r.outcome.line = code < 0 ? "the run's process ended abnormally"
                                : "the run's process ended without a report (exit status " +
                                      std::to_string(code) + ")";
      board_->note(u, r.outcome.line);
      unit(u, r, r.json(false));
    }
    if (--running_ == 0) {
      loop.quit();
    }
  }

  void pass_on_stop() {
    if (stopping_ || !waker_.stop_requested()) {
      return;
    }
    stopping_ = true;
    term_.err << "driveflash-cli: stopping every run: the step under way ends first (Ctrl-C "
                 "again leaves at once)\n"
              << std::flush;
    for (Unit& u : units_) {
      if (!u.done && u.process->state() != QProcess::NotRunning) {
        u.process->write("stop\n");
        u.process->closeWriteChannel();
      }
    }
  }

  int exit_status() const {
    StationTally all;
    bool any_run = false;
    for (const Unit& u : units_) {
      for (const RunReport& r : u.reports) {
        any_run = any_run || r.outcome.result != run::Result::kRefused;
        all.add(r);
      }
    }
    if (!any_run) {
      return kExitUsage;
    }
    if (args_.repeat) {
      return all.exit_status();
    }
    if (stopping_) {
      return kExitInterrupted;
    }
    return all.ok == all.units ? kExitOk : kExitRunFailed;
  }

  int finish() {
    const int status = exit_status();
    std::ostream& out = args_.json ? term_.err : term_.out;
    std::size_t width = 4;
    for (const Unit& u : units_) {
      width = std::max(width, u.label.size());
    }
    if (args_.repeat) {
      out << padded("port", width) << "  units  programmed  failed  mean s\n";
      StationTally all;
      for (const Unit& u : units_) {
        print_tally(out, padded(u.label, width), u.tally);
        for (const RunReport& r : u.reports) {
          if (r.outcome.result != run::Result::kRefused) {
            all.add(r);
          }
        }
      }
      print_tally(out, padded("all", width), all);
    } else {
      out << padded("port", width) << "  result   seconds   pages  last line\n";
      for (const Unit& u : units_) {
        const RunReport& r = u.reports.back();
        const bool ran = r.outcome.result != run::Result::kRefused;
        out << padded(u.label, width) << "  " << padded(log_result(r), 7)
            << right(fixed(r.outcome.seconds, 2), 9)
            << right(ran ? std::to_string(r.outcome.pages) : "-", 8);
        if (!r.succeeded()) {
          out << "  " << r.message();
        }
        out << '\n';
      }
    }
    out << std::flush;
    if (args_.json) {
      // A station's units in the order they came; else one per port, in the order given.
      std::vector<std::string> objects = objects_;
      if (!args_.repeat) {
        objects.clear();
        for (const Unit& u : units_) {
          objects.insert(objects.end(), u.objects.begin(), u.objects.end());
        }
      }
      print_json(status, objects);
    }
    return status;
  }

  static void print_tally(std::ostream& out, const std::string& label, const StationTally& t) {
    out << label << right(std::to_string(t.units), 7) << right(std::to_string(t.ok), 12)
        << right(std::to_string(t.failed + t.stopped), 8)
        << right(t.units > 0 ? fixed(t.seconds / t.units, 2) : "-", 8) << '\n';
  }

  void print_json(int status, const std::vector<std::string>& objects) const {
    int ok = 0;
    int failed = 0;
    for (const Unit& u : units_) {
      for (const RunReport& r : u.reports) {
        (r.succeeded() ? ok : failed) += 1;
      }
    }
    term_.out
        << summary_json(args_, status, ok, failed).add_raw("units", json_array(objects, true)).str()
        << '\n'
        << std::flush;
  }

  const Arguments& args_;
  const Terminal& term_;
  platform::RunWaker& waker_;
  std::string self_;
  Recorder recorder_;
  std::vector<Unit> units_;
  std::vector<std::string> objects_;  // every unit's report, in the order they came
  Board* board_ = nullptr;
  std::size_t running_ = 0;
  bool stopping_ = false;
};

}  // namespace

bool production_run(const Arguments& args) {
  return args.ports.size() > 1 || args.repeat || args.events || !args.log.empty();
}

int run_production(const Arguments& args, const Terminal& term, platform::RunWaker& waker,
                   const std::string& self) {
  if (args.ports.size() <= 1) {
    Terminal here = term;
    here.events = args.events;
    return run_here(args, here, waker);
  }
  return Parallel(args, term, waker, self).run();
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
    std::vector<std::string> out;
    for (const QJsonValue line : o.value(key).toArray()) {
      out.push_back(line.toString().toStdString());
    }
    return out;
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
  r.pages = static_cast<std::uint64_t>(o.value("pages_programmed").toInteger());
  r.bytes = static_cast<std::uint64_t>(o.value("firmware_bytes").toInteger());
  r.seconds = o.value("elapsed_seconds").toDouble();
  r.sha256 = text("sha256");
  out.exit_status = o.value("exit_status").toInt(kExitRunFailed);
  out.file = text("file");
  out.kind = text("kind");
  out.port = text("port");
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
