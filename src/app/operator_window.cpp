#include "app/operator_window.h"

#include <QApplication>
#include <QBoxLayout>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLibraryInfo>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QShortcut>
#include <QStyle>
#include <QTextBrowser>
#include <QTimer>
#include <QTranslator>
#include <QUrl>
#include <array>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#include "app/callbacks.h"
#include "app/run_log.h"
#include "bsl/frames.h"
#include "build_config.h"
#include "image/firmware_scan.h"
#include "platform/panels.h"
#include "platform/qt/qt_panels.h"
#include "platform/qt/qt_serial.h"
#include "platform/serial.h"
#include "run/run_context.h"

namespace driveflash::app {
namespace {

namespace pf = platform;

// Main panel controls whose values are remembered as they are; one more key is one more row.
struct RememberedControl {
  const char* key;
  int control;
};
constexpr std::array kRememberedControls{
    RememberedControl{"fileKind", MAINPANEL_FILETYPE},
    RememberedControl{"driveBaud", MAINPANEL_DRIVE_BAUD},
    RememberedControl{"loaderBaud", MAINPANEL_LOADER_BAUD},
    RememberedControl{"timing", MAINPANEL_TIMING},
};

constexpr int kTickMs = 100;
constexpr int kHashDigits = 12;

// A visible focus on every control the keyboard reaches.
constexpr const char* kFocusStyle =
    "QPushButton:focus, QComboBox:focus, QLineEdit:focus, QPlainTextEdit:focus "
    "{ border: 2px solid #1565c0; border-radius: 3px; padding: 3px 8px; }";

enum class Verdict { Running, Stopping, Programmed, Failed, Stopped };

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
  QPointer<QLabel> icon;
  QPointer<QLabel> batch;
  QPointer<QLabel> elapsed;
  QPointer<QTimer> timer;
};

struct State {
  WindowOptions options;
  std::unique_ptr<QSettings> settings;
  std::unique_ptr<QTranslator> qt_texts;
  int main = 0;
  QPointer<QDialog> help;
  RunView run;
};
State* g_state = nullptr;

QString seconds(qint64 ms) {
  return QStringLiteral("%1 s").arg(static_cast<double>(ms) / 1000.0, 0, 'f', 1);
}

QString kind_text(int kind) {
  return kind == kFileTypeEhex ? QStringLiteral("加密 HEX / Encrypted hex (*.ehex)")
                               : QStringLiteral("Intel HEX (*.hex)");
}

int ctrl_int(int panel, int control) {
  int value = 0;
  GetCtrlVal(panel, control, &value);
  return value;
}

QString file_hash(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    return {};
  }
  QCryptographicHash hash(QCryptographicHash::Sha256);
  hash.addData(&file);
  return QString::fromLatin1(hash.result().toHex().left(kHashDigits));
}

Header take_header() {
  Header h;
  h.path = QFile::decodeName(filename);
  h.kind = filetype;
  const QFileInfo info(h.path);
  h.bytes = info.exists() ? info.size() : -1;
  h.hash = file_hash(h.path);
  const image::FirmwareReport scan = image::scan_firmware(filename, filetype);
  if (!scan.refused()) {
    h.pages = scan.data_frames;
  }
  h.port = ctrl_int(mainpanel, MAINPANEL_COMPORT);
  pf::PortEntry entry;
  if (pf::find_port(h.port, entry)) {
    h.port_name = QString::fromStdString(entry.name);
  }
  h.drive_baud = ctrl_int(mainpanel, MAINPANEL_DRIVE_BAUD);
  h.loader_baud = ctrl_int(mainpanel, MAINPANEL_LOADER_BAUD);
  return h;
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
  if (run.window != nullptr && verdict != Verdict::Running) {
    run.window->setWindowTitle(QString::fromUtf8(look.text));
  }
}

// The run came to rest (or the worker returned after a stop): its outcome says whether the
// drive was programmed, and if not, which line says what went wrong.
void conclude(RunView& run) {
  run.end_ms = run.clock.elapsed();
  const run::Outcome outcome = run::last_outcome();
  if (outcome.programmed()) {
    show_verdict(run, Verdict::Programmed, seconds(run.end_ms));
  } else {
    show_verdict(run, Verdict::Failed, QString::fromStdString(outcome.line));
  }
}

bool concluded(const RunView& run) {
  return run.verdict != Verdict::Running && run.verdict != Verdict::Stopping;
}

void tick() {
  if (g_state == nullptr) {
    return;
  }
  RunView& run = g_state->run;
  if (run.window == nullptr) {
    if (run.timer != nullptr) {
      run.timer->stop();
    }
    return;
  }
  if (run.batch != nullptr) {
    run.batch->setText(QStringLiteral("本批 / This batch: %1").arg(okcount.load()));
  }
  if (!concluded(run) && run.verdict != Verdict::Stopping && runflag.load() != 0 &&
      runstate.load() == kStateFinished) {
    conclude(run);
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
  RunView& run = g_state->run;
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

  run.batch = new QLabel;
  run.batch->setObjectName(QStringLiteral("batch"));

  layout->insertWidget(0, header);
  layout->insertWidget(1, verdict_row);
  layout->insertWidget(2, run.batch);
  show_verdict(run, run.verdict, {});
  window->adjustSize();

  run.timer = new QTimer(window);
  run.timer->setInterval(kTickMs);
  QObject::connect(run.timer, &QTimer::timeout, [] { tick(); });
  run.timer->start();
  tick();
}

void on_run_started() {
  RunView& run = g_state->run;
  run = RunView{};
  run.popup = prgpanel;
  run.start_count = okcount.load();
  run.clock.start();
  run.header = take_header();
  save_settings();
  const int popup = prgpanel;
  // After the popup's window has been built from the changes queued before.
  pf::post_to_gui([popup] {
    if (g_state != nullptr) {
      decorate_popup(popup);
    }
  });
}

void on_stopping() {
  RunView& run = g_state->run;
  pf::run_posted_tasks();  // the popup's window, if it has not been built yet
  show_verdict(run, Verdict::Stopping, {});
}

void on_stopped() {
  RunView& run = g_state->run;
  pf::run_posted_tasks();
  // The worker may have reached its rest while the stop was on its way.
  if (runstate.load() == kStateFinished) {
    conclude(run);
  } else {
    run.end_ms = run.clock.elapsed();
    show_verdict(run, Verdict::Stopped, seconds(run.end_ms));
  }
  tick();
}

QString help_html() {
  QString failures;
  const auto row = [&failures](const QString& line, const QString& meaning) {
    failures += QStringLiteral("<tr><td><code>%1</code></td><td>%2</td></tr>")
                    .arg(line.toHtmlEscaped(), meaning);
  };
  row(QStringLiteral("ERROR: COM Port initialization failed!"),
      QStringLiteral("串口打不开；下一行说明原因。换一个串口，检查适配器，关闭占用串口的程序。<br>"
                     "The port cannot be opened; the next line says why. Pick another port, "
                     "check the adapter, close any program holding the port."));
  row(QStringLiteral("未知型号的驱动器!"),
      QStringLiteral("驱动器没有应答：检查电源、接线、串口和驱动器波特率。<br>"
                     "No drive answered: check power, cable, port and the drive baud rate."));
  row(QStringLiteral("新波特率设置失败！"),
      QStringLiteral("串口不接受引导波特率：选一个较低的引导波特率。<br>"
                     "The port refuses the loader baud rate: choose a lower one."));
  row(QStringLiteral("ERROR: ASC BSL initialization failed!"),
      QStringLiteral("芯片没有进入引导程序：给驱动器断电重启后再试，或降低引导波特率。<br>"
                     "The chip did not enter its bootstrap loader: power-cycle the drive and "
                     "try again, or lower the loader baud rate."));
  row(QStringLiteral("ERROR: Send application length failed!"),
      QStringLiteral("线路受干扰：重试，或降低引导波特率。<br>"
                     "The line was disturbed: try again, or lower the loader baud rate."));
  row(QStringLiteral("ERROR: Opening 'XMC1x_ASCLoader.hex' failed!"),
      QStringLiteral("程序旁的 XMC1300 文件夹里缺少引导文件。<br>"
                     "The loader file is missing from the XMC1300 folder beside the program."));
  row(QStringLiteral("ERROR: Installing ASCLoader failed  - quitting..."),
      QStringLiteral("引导文件没有被接受：断电重启驱动器后重试。<br>"
                     "The loader was not accepted: power-cycle the drive and try again."));
  for (const int code : {kStatusInvalidHexfile, kStatusHexDownload, kStatusErase, kStatusProgram,
                         kStatusVerification, kStatusChecksum, kStatusInvalidAddress,
                         kStatusBootcode, kStatusUnknown}) {
    row(QString::fromLatin1(error_message(code)),
        QStringLiteral(
            "烧录固件时出错（代码 %1）：驱动器没有可用的固件。检查文件和类型，断电重启后重试。<br>"
            "Programming the firmware failed (code %1): the drive has no usable "
            "firmware now. Check the file and its kind, power-cycle, try again.")
            .arg(code));
  }
  return QStringLiteral(
             "<h3>烧录步骤 / The steps of a run</h3><ol>"
             "<li>选择文件类型和固件文件 / Choose the file kind and the firmware file.</li>"
             "<li>选择串口和两个波特率 / Choose the port and both baud rates.</li>"
             "<li>按“烧录” / Press Program: the drive is asked who it is and restarted into "
             "its bootstrap loader, the loader is sent, the flash erased and programmed page "
             "by page.</li>"
             "<li>结果显示在弹出窗口顶部：绿色成功，红色失败并附原因 / The result shows at the "
             "top of the popup: green for programmed, red for failed with the reason.</li>"
             "<li>按“OK”或 Esc 关闭弹出窗口 / Close the popup with OK or Escape.</li></ol>"
             "<p>救援 / Rescue: "
             "运行在驱动器重启之后中断时，驱动器停在引导模式，状态框最后一行会说明。"
             "打开“救援”，按“烧录”，再给驱动器断电重启。 / When a run ended after the drive's "
             "reset, the drive waits in its bootstrap loader (the last status line says so): "
             "switch Rescue on, press Program, then switch the drive off and on.</p>"
             "<h3>失败信息 / Failure lines</h3><table border=1 cellpadding=3>%1</table>"
             "<h3>快捷键 / Keyboard</h3><ul>"
             "<li>Ctrl+P, F5: 烧录 / Program</li><li>F1: 帮助 / Help</li>"
             "<li>Esc: 关闭弹出窗口 / close the popup (during the download: stop after the "
             "step under way)</li>"
             "<li>Tab, Shift+Tab: 切换控件 / move between controls; Alt+下划线字母 / "
             "Alt+underlined letter: press that button; Space: press the focused button</li>"
             "</ul>"
             "<h3>运行记录 / Run log</h3><p><code>%2</code></p>"
             "<h3>虚拟驱动器 / Virtual drive</h3><p>串口 99 是内置的虚拟驱动器，可用来练习，"
             "不连接任何硬件。 / Port 99 is the built-in virtual drive, for practice without "
             "any hardware.</p>"
             "<p>driveflash %3</p>")
      .arg(failures, run_log_path().toHtmlEscaped(), QString::fromLatin1(DRIVEFLASH_VERSION));
}

void show_help() {
  if (g_state->help != nullptr) {
    g_state->help->show();
    g_state->help->raise();
    g_state->help->activateWindow();
    return;
  }
  auto* dialog = new QDialog(pf::top_panel_window());
  dialog->setObjectName(QStringLiteral("helpWindow"));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(
      QStringLiteral("帮助 / Help — driveflash %1").arg(QString::fromLatin1(DRIVEFLASH_VERSION)));
  auto* layout = new QVBoxLayout(dialog);
  auto* text = new QTextBrowser;
  text->setObjectName(QStringLiteral("helpText"));
  text->setHtml(help_html());
  text->setMinimumSize(640, 480);
  layout->addWidget(text);
  auto* buttons = new QDialogButtonBox;
  auto* folder = buttons->addButton(QStringLiteral("打开日志文件夹 / Open the &log folder"),
                                    QDialogButtonBox::ActionRole);
  folder->setObjectName(QStringLiteral("openLogFolder"));
  auto* close = buttons->addButton(QStringLiteral("关闭 / &Close"), QDialogButtonBox::RejectRole);
  close->setObjectName(QStringLiteral("closeHelp"));
  QObject::connect(folder, &QPushButton::clicked, [] {
    const QString dir = QFileInfo(run_log_path()).absolutePath();
    if (g_state != nullptr && g_state->options.open_folder) {
      g_state->options.open_folder(dir);
    }
  });
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::close);
  layout->addWidget(buttons);
  g_state->help = dialog;
  dialog->show();
  close->setFocus();
}

int program_control(int panel) {
  const std::optional<pf::PanelState> state = pf::panel_state(panel);
  if (state) {
    for (const auto& [number, control] : state->controls) {
      if (control.def.callback == "ProgCB") {
        return number;
      }
    }
  }
  return 0;
}

// The port to start on: the one used last if it is still there, else the first detected one.
std::optional<int> starting_port(const QSettings& s) {
  pf::map_detected_ports();
  const std::string name = s.value(QStringLiteral("port/name")).toString().toStdString();
  const int number = s.value(QStringLiteral("port/number"), 0).toInt();
  const std::vector<pf::PortEntry> table = pf::port_table();
  if (!name.empty()) {
    for (const pf::PortEntry& e : table) {
      if (e.number == number && e.name == name) {
        return e.number;
      }
    }
    for (const pf::PortEntry& e : table) {
      if (e.name == name) {
        return e.number;
      }
    }
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::path(name), ec)) {
      return pf::map_device(name);
    }
  }
  std::optional<int> first;
  for (const pf::PortEntry& e : table) {
    if (e.is_real && (!first || e.number < *first)) {
      first = e.number;
    }
  }
  return first;
}

void restore_settings(int panel) {
  QSettings& s = *g_state->settings;
  const std::optional<pf::PanelState> state = pf::panel_state(panel);
  if (!state) {
    return;
  }
  for (const RememberedControl& r : kRememberedControls) {
    const QVariant v = s.value(QString::fromLatin1(r.key));
    bool good = false;
    const int value = v.toInt(&good);
    if (!v.isValid() || !good || !state->controls.contains(r.control)) {
      continue;
    }
    const pf::ControlDef& def = state->controls.at(r.control).def;
    const bool fits = def.kind == pf::ControlKind::Ring
                          ? value >= 0 && value < static_cast<int>(def.items.size())
                          : value > 0;
    if (fits) {
      SetCtrlVal(panel, r.control, value);
    }
  }
  if (const std::optional<int> port = starting_port(s)) {
    SetCtrlVal(panel, MAINPANEL_COMPORT, *port);
  }
  const QString folder = s.value(QStringLiteral("folder")).toString();
  if (!folder.isEmpty() && QFileInfo(folder).isDir()) {
    pf::set_file_dialog_folder(QFile::encodeName(folder).toStdString());
  }
  // A file that is gone is not brought back: Program would only refuse it.
  const QByteArray file = QFile::encodeName(s.value(QStringLiteral("file")).toString());
  if (!file.isEmpty() && QFileInfo(QFile::decodeName(file)).isFile() &&
      file.size() < static_cast<qsizetype>(sizeof filename)) {
    std::memcpy(filename, file.constData(), static_cast<std::size_t>(file.size()));
    filename[file.size()] = '\0';
    SetCtrlVal(panel, MAINPANEL_FILEPATH, filename);
  }
}

}  // namespace

void install_operator_window(const WindowOptions& options) {
  if (g_state != nullptr) {
    return;
  }
  g_state = new State;
  g_state->options = options;
  if (!g_state->options.open_folder) {
    g_state->options.open_folder = [](const QString& folder) {
      QDir().mkpath(folder);  // before the first run there is no log, and no folder yet
      QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    };
  }
  g_state->settings =
      options.settings_file.isEmpty()
          ? std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                        QStringLiteral("driveflash"), QStringLiteral("driveflash"))
          : std::make_unique<QSettings>(options.settings_file, QSettings::IniFormat);
  // Qt's own words in its dialogs (context menus, the file dialog's details) in Chinese,
  // where Debian's translations are installed; ours carry both languages already.
  auto texts = std::make_unique<QTranslator>();
  if (texts->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                  QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QCoreApplication::installTranslator(texts.get());
    g_state->qt_texts = std::move(texts);
  }
  WindowHooks hooks;
  hooks.main_panel_loaded = attach_main_panel;
  hooks.main_panel_closing = detach_main_panel;
  hooks.help = [] { show_help(); };
  hooks.run_started = [] { on_run_started(); };
  hooks.stopping = [] { on_stopping(); };
  hooks.stopped = [] { on_stopped(); };
  set_window_hooks(std::move(hooks));
}

void uninstall_operator_window() {
  if (g_state == nullptr) {
    return;
  }
  set_window_hooks({});
  save_settings();
  if (g_state->qt_texts) {
    QCoreApplication::removeTranslator(g_state->qt_texts.get());
  }
  delete g_state->help.data();
  delete g_state;
  g_state = nullptr;
}

void attach_main_panel(int panel) {
  if (g_state == nullptr) {
    return;
  }
  g_state->main = panel;
  restore_settings(panel);
  // Once the window exists: its place, the shortcuts, the focus frame.
  pf::post_to_gui([panel] {
    QWidget* window = pf::panel_window(panel);
    if (g_state == nullptr || window == nullptr) {
      return;
    }
    window->restoreGeometry(
        g_state->settings->value(QStringLiteral("window/geometry")).toByteArray());
    window->setStyleSheet(QString::fromLatin1(kFocusStyle));
    const int program = program_control(panel);
    for (const QKeySequence& keys :
         {QKeySequence(Qt::CTRL | Qt::Key_P), QKeySequence(Qt::Key_F5)}) {
      auto* shortcut = new QShortcut(keys, window);
      QObject::connect(shortcut, &QShortcut::activated, [panel, program] {
        if (program > 0) {
          pf::operator_action(panel, program, EVENT_COMMIT);
        }
      });
    }
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), window);
    QObject::connect(help, &QShortcut::activated, [] { show_help(); });
  });
}

void detach_main_panel(int panel) {
  if (g_state == nullptr || g_state->main != panel) {
    return;
  }
  save_settings();
  g_state->main = 0;
}

void save_settings() {
  if (g_state == nullptr || g_state->main <= 0 || !pf::panel_state(g_state->main)) {
    return;
  }
  const int panel = g_state->main;
  QSettings& s = *g_state->settings;
  for (const RememberedControl& r : kRememberedControls) {
    s.setValue(QString::fromLatin1(r.key), ctrl_int(panel, r.control));
  }
  const int port = ctrl_int(panel, MAINPANEL_COMPORT);
  pf::PortEntry entry;
  s.setValue(QStringLiteral("port/number"), port);
  s.setValue(QStringLiteral("port/name"),
             pf::find_port(port, entry) ? QString::fromStdString(entry.name) : QString());
  if (filename[0] != '\0') {
    s.setValue(QStringLiteral("file"), QFile::decodeName(filename));
  }
  const std::string folder = pf::file_dialog_folder();
  if (!folder.empty()) {
    s.setValue(QStringLiteral("folder"), QFile::decodeName(QByteArray::fromStdString(folder)));
  } else if (filename[0] != '\0') {
    s.setValue(QStringLiteral("folder"), QFileInfo(QFile::decodeName(filename)).absolutePath());
  }
  if (QWidget* window = pf::panel_window(panel)) {
    s.setValue(QStringLiteral("window/geometry"), window->saveGeometry());
  }
  s.sync();
}

QWidget* help_window() {
  return g_state != nullptr ? g_state->help.data() : nullptr;
}

QString run_log_path() {
  return QString::fromStdU16String(user_run_log_path().u16string());
}

}  // namespace driveflash::app
