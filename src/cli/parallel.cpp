// Several ports at once: one child process per port, its lines and bars on one console (the
// board), its unit reports gathered into one table, one log and one exit status.
#include "cli/parallel.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <vector>

#include "cli/board.h"
#include "cli/ports.h"
#include "cli/station.h"
#include "cli/units.h"
#include "platform/device.h"
#include "platform/lifetime.h"

namespace driveflash::cli {
namespace {

constexpr int kStopPollMs = 50;
// When the program must end: how long the children have to stop on their own once their input
// is closed (they take at most about a second), and how long one that had to be killed may
// take to go.
constexpr int kEndWaitMs = 3000;
constexpr int kKillWaitMs = 1000;

struct Unit : BoardRow {
  std::string port;
  std::unique_ptr<QProcess> process;
  QByteArray out;  // what came of the standard streams, not yet a whole line
  QByteArray err;
  std::vector<RunReport> reports;
  std::vector<std::string> objects;  // the reports as the child sent them
  // A drive's run has begun and its report has not come yet: always, for a port's one run; for
  // a station, from its "programming" state to the unit's report.
  bool under_way = false;
  StationTally tally;
  bool done = false;
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
    std::vector<BoardRow*> rows;
    for (Unit& u : units_) {
      rows.push_back(&u);
    }
    Board board(term_, args_.json, rows);
    board_ = &board;
    QEventLoop loop;
    running_ = units_.size();
    for (Unit& u : units_) {
      start(u, loop);
    }
    QTimer stop_poll;
    QObject::connect(&stop_poll, &QTimer::timeout, [this, &loop] { pass_on_stop(loop); });
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
    // Each port reduced to its device: one drive under two names would be two runs fighting
    // over one line (virtual drives are each a drive of their own).
    std::vector<std::pair<std::string, std::string>> devices;  // the device, the port as given
    for (const std::string& port : args_.ports) {
      PortChoice choice;
      if (!choose_port(port, choice, why)) {
        return refuse(why, true);
      }
      release_port(choice);
      if (choice.drive != nullptr || choice.device.empty()) {
        continue;
      }
      const std::string device = platform::device_identity(choice.device);
      for (const auto& [seen, given] : devices) {
        if (seen == device) {
          std::string same = "ports '";
          same.append(given).append("' and '").append(port).append("' are the same device (");
          same.append(device).append("): each drive needs a port of its own");
          return refuse(same, true);
        }
      }
      devices.emplace_back(device, port);
    }
    std::string hint;
    why = files_refusal(args_, args_.kind.value_or(kind_from_name(args_.file)), checked_, hint);
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
      r.outcome.sha256 = checked_.sha256;
      if (log_rows) {
        recorder_.add(r, term_.err);
      }
      objects.push_back(r.json(false));
    }
    recorder_.finish(term_.err);
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
    u.under_way = !args_.repeat;
    QProcess* p = u.process.get();
    p->setProgram(QString::fromStdString(self_));
    p->setArguments(words);
    QObject::connect(p, &QProcess::started, [p] { platform::tie_child(p->processId()); });
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
    } else if (e.contains("state")) {
      u.under_way = e.value("state").toString() == QLatin1String("programming");
      board_->note(u, e.value("text").toString().toStdString());
    } else if (!text.empty()) {
      board_->note(u, text);
    }
  }

  void unit(Unit& u, const RunReport& r, const std::string& object) {
    u.under_way = false;
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
    if (u.under_way) {
      // No report from a drive's run: the program's end cut it short, or its process died.
      RunReport r;
      r.port = u.port;
      r.file = args_.file;
      r.kind = kind_name(args_.kind.value_or(kind_from_name(args_.file)));
      r.exit_status = code;
      r.outcome.sha256 = checked_.sha256;
      if (stopping_) {
        r.outcome.result = run::Result::kStopped;
        r.outcome.cause = run::Cause::kStopped;
        r.exit_status = kExitInterrupted;
        board_->note(u, "stopped before the run could report");
      } else {
        r.outcome.result = run::Result::kFailed;
        r.outcome.line = code < 0 ? "the run's process ended abnormally"
                                  : "the run's process ended without a report (exit status " +
                                        std::to_string(code) + ")";
        board_->note(u, r.outcome.line);
      }
      unit(u, r, r.json(false));
    }
    if (--running_ == 0) {
      loop.quit();
    }
  }

  // Every poll: a stop is passed on to each run; an end closes each child's input (the child
  // then ends within about a second, reporting its run cut short) and, should one not go in
  // time, kills it; the event loop ends once every child has gone, or been given up on.
  void pass_on_stop(QEventLoop& loop) {
    if (waker_.stop_requested() && !stopping_) {
      stopping_ = true;
      if (!waker_.end_requested()) {
        term_.err << "driveflash-cli: stopping every run: the step under way ends first (Ctrl-C "
                     "again ends them at once)\n"
                  << std::flush;
      }
      for (Unit& u : units_) {
        // An end closes the input below instead: the child's own words then say so.
        if (!u.done && u.process->state() != QProcess::NotRunning && !waker_.end_requested()) {
          u.process->write("stop\n");
        }
      }
    }
    if (waker_.end_requested() && !ending_) {
      ending_ = true;
      end_clock_.start();
      term_.err << "driveflash-cli: ending every run now, each drive left where its run is\n"
                << std::flush;
      for (Unit& u : units_) {
        if (!u.done && u.process->state() != QProcess::NotRunning) {
          u.process->closeWriteChannel();
        }
      }
    }
    if (!ending_) {
      return;
    }
    if (!killed_ && end_clock_.elapsed() >= kEndWaitMs) {
      killed_ = true;
      for (Unit& u : units_) {
        if (!u.done && u.process->state() != QProcess::NotRunning) {
          board_->note(u, "the run's process did not end: killed");
          u.process->kill();
        }
      }
    }
    if (killed_ && end_clock_.elapsed() >= kEndWaitMs + kKillWaitMs) {
      for (Unit& u : units_) {
        if (!u.done) {
          ended(u, -1, loop);
        }
      }
      loop.quit();
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
    // 130 only when this program's interrupt cut a run short, not when every run had ended
    // anyway; a run that something else stopped is a drive not programmed.
    if (stopping_ && all.stopped > 0) {
      return kExitInterrupted;
    }
    return all.ok == all.units ? kExitOk : kExitRunFailed;
  }

  int finish() {
    recorder_.finish(term_.err);
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
  bool ending_ = false;
  bool killed_ = false;
  QElapsedTimer end_clock_;
  image::FirmwareFile checked_;  // FILE as the checks read it
};

}  // namespace

int run_parallel(const Arguments& args, const Terminal& term, platform::RunWaker& waker,
                 const std::string& self) {
  return Parallel(args, term, waker, self).run();
}

}  // namespace driveflash::cli
