// The programming popup as the window shows it: what is being programmed (the header), the
// clock, and the verdict once the run has come to rest.
#include "app/run_popup.h"

#include <QBoxLayout>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <optional>

#include "app/callbacks.h"
#include "app/window_log.h"
#include "app/window_parts.h"
#include "image/firmware_file.h"
#include "platform/panels.h"
#include "platform/qt/qt_panels.h"
#include "platform/serial.h"
#include "platform/timing.h"
#include "run/rescue_status.h"
#include "run/run_context.h"

namespace driveflash::app {
namespace {

namespace pf = platform;

constexpr int kTickMs = 100;
constexpr int kHashDigits = 12;
constexpr int kMaxRescueWaitSeconds = 3600;

enum class Verdict { Running, Rescue, Stopping, Programmed, Failed, Stopped };

struct Look {
  const char* name;  // the widget's "verdict" property, for tests and accessibility
  const char* mark;  // readable without colour
  const char* text;
  const char* style;
  QStyle::StandardPixmap icon;
};

Look look_of(Verdict v) {
  switch (v) {
    case Verdict::Programmed:
      return {"programmed", "✔", "成功 / Programmed", "background:#1b7f2a; color:white;",
              QStyle::SP_DialogApplyButton};
    case Verdict::Failed:
      return {"failed", "✘", "失败 / Failed", "background:#c62828; color:white;",
              QStyle::SP_MessageBoxCritical};
    case Verdict::Stopping:
      return {"stopping", "■", "正在停止… / Stopping after the step under way…",
              "background:#f9a825; color:black;", QStyle::SP_MessageBoxWarning};
    case Verdict::Stopped:
      return {"stopped", "■", "已停止 / Stopped", "background:#f9a825; color:black;",
              QStyle::SP_MessageBoxWarning};
    case Verdict::Rescue:
      return {"rescue", "↻", kPowerCycleLine, "background:#ef6c00; color:white;",
              QStyle::SP_MessageBoxWarning};
    case Verdict::Running:
    default:
      return {"running", "…", "烧录中… / Programming…", "", QStyle::SP_BrowserReload};
  }
}

// What is being programmed, taken when Program starts the run.
struct Header {
  QString path;
  int kind = 0;
  qint64 bytes = -1;
  std::optional<std::uint32_t> pages;
  QString hash;
  int port = 0;
  QString port_name;
  int drive_baud = 0;
  int loader_baud = 0;
  int timing = kTimingStandard;
  int retries = 0;
  bool verify = false;
  bool rescue = false;
  int rescue_wait = kDefaultRescueWait;
};

struct RunView {
  int popup = 0;
  Header header;
  int start_count = 0;
  QElapsedTimer clock;
  qint64 end_ms = -1;
  Verdict verdict = Verdict::Running;
  bool focused = false;
  QPointer<QWidget> window;
  QPointer<QLabel> verdict_label;
  QPointer<QLabel> log_note;  // what became of the run's row, when it is not in the log
  QPointer<QLabel> icon;
  QPointer<QLabel> batch;
  QPointer<QLabel> elapsed;
  QPointer<QTimer> timer;
};

std::unique_ptr<RunView> g_run;

QString seconds(qint64 ms) {
  return QStringLiteral("%1 s").arg(static_cast<double>(ms) / 1000.0, 0, 'f', 1);
}

QString kind_text(int kind) {
  return kind == kFileTypeEhex ? QStringLiteral("加密 HEX / Encrypted hex (*.ehex)")
                               : QStringLiteral("明文 HEX / Intel HEX (*.hex)");
}

Header take_header() {
  Header h;
  h.path = QFile::decodeName(filename);
  h.kind = filetype;
  // What Program read and checked, not the file again.
  const image::FirmwareFile& firmware = program_firmware();
  if (firmware.read() && firmware.path == filename) {
    h.bytes = static_cast<qint64>(firmware.size);
    h.hash = QString::fromStdString(firmware.sha256.substr(0, kHashDigits));
    if (!firmware.report.refused()) {
      h.pages = firmware.report.data_frames;
    }
  }
  h.port = ctrl_int(mainpanel, MAINPANEL_COMPORT);
  pf::PortEntry entry;
  if (pf::find_port(h.port, entry)) {
    h.port_name = QString::fromStdString(entry.name);
  }
  h.drive_baud = ctrl_int(mainpanel, MAINPANEL_DRIVE_BAUD);
  h.loader_baud = ctrl_int(mainpanel, MAINPANEL_LOADER_BAUD);
  h.timing = ctrl_int(mainpanel, MAINPANEL_TIMING) == kTimingFast ? kTimingFast : kTimingStandard;
  h.retries = ctrl_int(mainpanel, MAINPANEL_RETRIES);  // 0 where the panel has no such choice
  h.verify = ctrl_int(mainpanel, MAINPANEL_VERIFY) != 0;
  h.rescue = ctrl_int(mainpanel, MAINPANEL_RESCUE) != 0;
  // As the run reads it: a panel without the setting waits the default, and never longer
  // than an hour.
  if (const int wait = ctrl_int(mainpanel, MAINPANEL_RESCUE_WAIT); wait > 0) {
    h.rescue_wait = std::min(wait, kMaxRescueWaitSeconds);
  }
  return h;
}

QString timing_text(const Header& h) {
  return QStringLiteral("%1, 重试 / retries %2, 校验 / verify %3")
      .arg(h.timing == kTimingFast ? QStringLiteral("快速 / fast")
                                   : QStringLiteral("标准 / standard"))
      .arg(h.retries)
      .arg(h.verify ? QStringLiteral("开：逐字读回 / on: every word read back")
                    : QStringLiteral("关 / off"));
}

QString rescue_text(const Header& h) {
  return h.rescue ? QStringLiteral("开 / Rescue on: 最多等待 / waits up to %1 s").arg(h.rescue_wait)
                  : QStringLiteral("关 / off");
}

// "(6 s / 120 s)": how long the rescue has waited for the loader, as the worker counts it; and
// when the adapter went away with the drive's power, that it is being opened again.
QString rescue_count(const RunView& run) {
  const run::RescueStatus status = run::rescue_status();
  const int limit = status.limit_seconds > 0 ? status.limit_seconds : run.header.rescue_wait;
  QString text = QStringLiteral("(%1 s / %2 s)")
                     .arg(std::clamp<qint64>(static_cast<qint64>(status.waited_seconds), 0, limit))
                     .arg(limit);
  if (status.port_lost) {
    text += QStringLiteral(" 串口断开，正在重新打开 / the port went away, opening it again");
  }
  return text;
}

QLabel* header_row(QFormLayout* form, const char* name, const QString& label,
                   const QString& value) {
  auto* v = new QLabel(value);
  v->setObjectName(QString::fromLatin1(name));
  v->setTextInteractionFlags(Qt::TextSelectableByMouse);
  form->addRow(label, v);
  return v;
}

void show_verdict(RunView& run, Verdict verdict, const QString& detail) {
  run.verdict = verdict;
  if (run.verdict_label == nullptr) {
    return;
  }
  const Look look = look_of(verdict);
  QString text =
      QStringLiteral("%1 %2").arg(QString::fromUtf8(look.mark), QString::fromUtf8(look.text));
  if (!detail.isEmpty()) {
    text += QStringLiteral(" — ") + detail;
  }
  run.verdict_label->setText(text);
  run.verdict_label->setProperty("verdict", QString::fromLatin1(look.name));
  run.verdict_label->setStyleSheet(
      QStringLiteral("QLabel { %1 padding: 6px; }").arg(QString::fromLatin1(look.style)));
  run.verdict_label->setAccessibleName(text);
  if (run.icon != nullptr) {
    const int size = run.icon->fontMetrics().height() * 2;
    run.icon->setPixmap(run.icon->style()->standardIcon(look.icon).pixmap(size, size));
  }
  // A long reason wraps into more lines: the popup must still fit the screen it is on.
  if (run.window != nullptr) {
    pf::fit_on_screen(run.window, pf::control_widget(run.popup, PRGPANEL_STATUS));
  }
  if (run.window != nullptr && verdict == Verdict::Rescue) {
    run.window->setWindowTitle(QStringLiteral("救援中 / Rescue"));
  } else if (run.window != nullptr && verdict != Verdict::Running) {
    run.window->setWindowTitle(QString::fromUtf8(look.text));
  }
}

// Under the verdict, in the operator's sight: a row the run log could not take now.
void show_log_note(RunView& run) {
  if (run.log_note == nullptr) {
    return;
  }
  const QString note = QString::fromStdString(window_log_note());
  run.log_note->setText(note);
  run.log_note->setAccessibleName(note);
  run.log_note->setVisible(!note.isEmpty());
}

// The run came to rest (or the worker returned after a stop): its outcome says whether the
// drive was programmed, and if not, which line says what went wrong. Its row goes into the run
// log now, while the verdict is up.
void conclude(RunView& run) {
  run.end_ms = run.clock.elapsed();
  notice_run_end();
  show_log_note(run);
  const run::Outcome outcome = run::last_outcome();
  if (outcome.programmed()) {
    show_verdict(run, Verdict::Programmed, seconds(run.end_ms));
  } else {
    show_verdict(run, Verdict::Failed, QString::fromStdString(outcome.line));
  }
}

bool concluded(const RunView& run) {
  return run.verdict != Verdict::Running && run.verdict != Verdict::Rescue &&
         run.verdict != Verdict::Stopping;
}

// While a rescue waits for the loader the verdict line tells the operator what to do and how
// long it has waited; once the loader answers, the run is programming again.
void follow_rescue(RunView& run) {
  const bool waiting = runstate.load() == kStateRescue;
  if (waiting) {
    show_verdict(run, Verdict::Rescue, rescue_count(run));
  } else if (run.verdict == Verdict::Rescue) {
    show_verdict(run, Verdict::Running, {});
    if (run.window != nullptr) {
      run.window->setWindowTitle(QStringLiteral("烧录中 / Programming"));
    }
  }
}

void tick() {
  if (g_run == nullptr) {
    return;
  }
  RunView& run = *g_run;
  if (run.window == nullptr) {
    if (run.timer != nullptr) {
      run.timer->stop();
    }
    return;
  }
  if (run.batch != nullptr) {
    run.batch->setText(QStringLiteral("本批 / This batch: %1").arg(okcount.load()));
  }
  if (!concluded(run) && run.verdict != Verdict::Stopping && runflag.load() != 0) {
    if (runstate.load() == kStateFinished) {
      conclude(run);
      // A stop question still open has nothing left to stop.
      pf::dismiss_question();
    } else {
      follow_rescue(run);
    }
  }
  if (run.elapsed != nullptr) {
    run.elapsed->setText(seconds(run.end_ms >= 0 ? run.end_ms : run.clock.elapsed()));
  }
  // The keyboard's way out: OK takes the focus once the worker has undimmed it.
  if (concluded(run) && !run.focused) {
    if (QWidget* ok = pf::control_widget(run.popup, PRGPANEL_OK);
        ok != nullptr && ok->isEnabled()) {
      ok->setFocus();
      run.focused = true;
    }
  }
}

void decorate_popup(int popup) {
  RunView& run = *g_run;
  if (run.popup != popup) {
    return;
  }
  QWidget* window = pf::panel_window(popup);
  QWidget* status = pf::control_widget(popup, PRGPANEL_STATUS);
  auto* layout = status != nullptr && status->parentWidget() != nullptr
                     ? qobject_cast<QBoxLayout*>(status->parentWidget()->layout())
                     : nullptr;
  if (window == nullptr || layout == nullptr) {
    return;
  }
  run.window = window;
  window->setStyleSheet(QString::fromLatin1(kFocusStyle));
  // Enter closes the popup as OK does, from wherever the focus is.
  if (auto* ok = qobject_cast<QPushButton*>(pf::control_widget(popup, PRGPANEL_OK))) {
    ok->setDefault(true);
  }
  const Header& h = run.header;

  auto* header = new QWidget;
  header->setObjectName(QStringLiteral("runHeader"));
  auto* form = new QFormLayout(header);
  form->setContentsMargins(0, 0, 0, 0);
  QLabel* file =
      header_row(form, "headerFile", QStringLiteral("文件 / File:"), QFileInfo(h.path).fileName());
  file->setToolTip(h.path);
  header_row(form, "headerKind", QStringLiteral("类型 / Kind:"), kind_text(h.kind));
  header_row(form, "headerSize", QStringLiteral("大小 / Size:"),
             QStringLiteral("%1 字节 / bytes, %2 页 / pages")
                 .arg(h.bytes >= 0 ? QString::number(h.bytes) : QStringLiteral("?"),
                      h.pages ? QString::number(*h.pages) : QStringLiteral("?")));
  header_row(form, "headerHash", QStringLiteral("SHA-256:"),
             h.hash.isEmpty() ? QStringLiteral("?") : h.hash);
  header_row(form, "headerPort", QStringLiteral("串口 / Port:"),
             h.port_name.isEmpty() ? QString::number(h.port)
                                   : QStringLiteral("%1: %2").arg(h.port).arg(h.port_name));
  header_row(
      form, "headerBaud", QStringLiteral("波特率 / Baud rates:"),
      QStringLiteral("驱动器 / drive %1, 引导 / loader %2").arg(h.drive_baud).arg(h.loader_baud));
  header_row(form, "headerTiming", QStringLiteral("时序 / Timing:"), timing_text(h));
  QLabel* rescue =
      header_row(form, "headerRescue", QStringLiteral("救援 / Rescue:"), rescue_text(h));
  if (h.rescue) {
    rescue->setStyleSheet(QStringLiteral("QLabel { color: #ef6c00; font-weight: bold; }"));
  }
  run.elapsed = header_row(form, "headerElapsed", QStringLiteral("用时 / Elapsed:"), seconds(0));

  auto* verdict_row = new QWidget;
  auto* row = new QHBoxLayout(verdict_row);
  row->setContentsMargins(0, 0, 0, 0);
  run.icon = new QLabel;
  run.icon->setObjectName(QStringLiteral("verdictIcon"));
  run.verdict_label = new QLabel;
  run.verdict_label->setObjectName(QStringLiteral("verdict"));
  run.verdict_label->setWordWrap(true);
  QFont big = run.verdict_label->font();
  big.setPointSizeF(big.pointSizeF() * 1.6);
  big.setBold(true);
  run.verdict_label->setFont(big);
  row->addWidget(run.icon);
  row->addWidget(run.verdict_label, 1);

  run.log_note = new QLabel;
  run.log_note->setObjectName(QStringLiteral("logNote"));
  run.log_note->setWordWrap(true);
  run.log_note->setTextInteractionFlags(Qt::TextSelectableByMouse);
  run.log_note->setStyleSheet(QStringLiteral("QLabel { color: #c62828; }"));
  run.log_note->hide();

  run.batch = new QLabel;
  run.batch->setObjectName(QStringLiteral("batch"));

  layout->insertWidget(0, header);
  layout->insertWidget(1, verdict_row);
  layout->insertWidget(2, run.log_note);
  layout->insertWidget(3, run.batch);
  // Shown now, not when the loop next turns, so that the sizes below count them.
  for (QWidget* w : {header, verdict_row, static_cast<QWidget*>(run.batch)}) {
    w->show();
  }
  show_verdict(run, run.verdict, {});
  window->adjustSize();
  pf::fit_on_screen(window, status);

  run.timer = new QTimer(window);
  run.timer->setInterval(kTickMs);
  QObject::connect(run.timer, &QTimer::timeout, [] { tick(); });
  run.timer->start();
  tick();
}

}  // namespace

void popup_run_started() {
  if (g_run == nullptr) {
    g_run = std::make_unique<RunView>();
  }
  RunView& run = *g_run;
  run = RunView{};
  run.popup = prgpanel;
  run.start_count = okcount.load();
  run.clock.start();
  run.header = take_header();
  const int popup = prgpanel;
  // After the popup's window has been built from the changes queued before.
  pf::post_to_gui([popup] {
    if (g_run != nullptr) {
      decorate_popup(popup);
    }
  });
}

void popup_stopping() {
  if (g_run == nullptr) {
    return;
  }
  RunView& run = *g_run;
  pf::run_posted_tasks();  // the popup's window, if it has not been built yet
  show_verdict(run, Verdict::Stopping, {});
}

void popup_stopped() {
  if (g_run == nullptr) {
    return;
  }
  RunView& run = *g_run;
  pf::run_posted_tasks();
  // The worker has returned: nothing dims OK any more, whatever step the stop cut short.
  SetCtrlAttribute(run.popup, PRGPANEL_OK, ATTR_DIMMED, 0);
  SetCtrlAttribute(run.popup, PRGPANEL_PROGRESS, ATTR_VISIBLE, 0);
  // The worker may have reached its rest while the stop was on its way.
  if (runstate.load() == kStateFinished) {
    conclude(run);
  } else {
    run.end_ms = run.clock.elapsed();
    show_log_note(run);
    show_verdict(run, Verdict::Stopped, seconds(run.end_ms));
  }
  tick();
}

void popup_forget() {
  g_run.reset();
}

}  // namespace driveflash::app
