#include "app/operator_window.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QSettings>
#include <QShortcut>
#include <QTranslator>
#include <QUrl>
#include <QWidget>
#include <array>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#include "app/callbacks.h"
#include "app/help_window.h"
#include "app/job_window.h"
#include "app/run_popup.h"
#include "app/station_view.h"
#include "app/window_parts.h"
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
    RememberedControl{"retries", MAINPANEL_RETRIES},
    RememberedControl{"verify", MAINPANEL_VERIFY},
};

struct State {
  WindowOptions options;
  std::unique_ptr<QSettings> settings;
  std::unique_ptr<QTranslator> qt_texts;
  int main = 0;
};
State* g_state = nullptr;

constexpr const char* kJobTitle = "作业 / Job";

StationOptions station_options() {
  StationOptions o;
  o.cli_program = g_state->options.cli_program;
  o.run_log = g_state->options.run_log.isEmpty() ? run_log_path() : g_state->options.run_log;
  o.job_file = g_state->options.job ? g_state->options.job_file : QString();
  o.settings = g_state->settings.get();
  return o;
}

int StationCB(int, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT && g_state != nullptr) {
    show_station_view(station_options());
    if (g_state->options.job && !g_state->options.job->ports.empty()) {
      QStringList ports;
      for (const std::string& port : g_state->options.job->ports) {
        ports << QString::fromStdString(port);
      }
      set_station_ports(ports);
    }
  }
  return 0;
}

// Saves the main panel's settings, its firmware and the station's ports as a job file.
int SaveJobCB(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT || g_state == nullptr || g_state->options.job) {
    return 0;
  }
  const QStringList ports =
      station_view() != nullptr
          ? station_ports()
          : g_state->settings->value(QStringLiteral("station/ports")).toStringList();
  QString error;
  const std::optional<Job> job = job_of_panel(panel, ports, error);
  if (!job) {
    MessagePopup(kJobTitle, error.toStdString().c_str());
    return 0;
  }
  const QString suggested =
      QFileInfo(QFile::decodeName(filename)).completeBaseName() + QStringLiteral(".job");
  const QString file = g_state->options.ask_job_file
                           ? g_state->options.ask_job_file(suggested)
                           : ask_job_file(pf::panel_window(panel), suggested);
  if (file.isEmpty()) {
    return 0;
  }
  const std::string why = write_job(std::filesystem::path(file.toStdU16String()), *job);
  const std::string message =
      why.empty() ? "作业已保存 / The job is saved:\n" + file.toStdString() +
                        "\n操作员这样打开 / Operators open it with: driveflash --job FILE"
                  : "无法保存作业 / The job cannot be saved: " + why + "\n" + file.toStdString();
  MessagePopup(kJobTitle, message.c_str());
  return 0;
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
      // Before the first run there is no log, and no folder yet.
      return QDir().mkpath(folder) && QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
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
  hooks.help = [] { show_help(g_state->options.open_folder); };
  hooks.run_started = [] {
    popup_run_started();
    save_settings();
  };
  hooks.stopping = [] { popup_stopping(); };
  hooks.stopped = [] { popup_stopped(); };
  hooks.program_blocked = []() -> std::string {
    return station_running() ? "工位视图正在烧录：先全部停止 / The station view is programming: "
                               "stop every port first."
                             : "";
  };
  set_window_hooks(std::move(hooks));
  pf::register_callback("StationCB", &StationCB);
  pf::register_callback("SaveJobCB", &SaveJobCB);
  lock_job(options.job);
}

void uninstall_operator_window() {
  if (g_state == nullptr) {
    return;
  }
  close_station_view();
  set_window_hooks({});
  save_settings();
  lock_job(std::nullopt);
  if (g_state->qt_texts) {
    QCoreApplication::removeTranslator(g_state->qt_texts.get());
  }
  close_help();
  popup_forget();
  delete g_state;
  g_state = nullptr;
}

void attach_main_panel(int panel) {
  if (g_state == nullptr) {
    return;
  }
  g_state->main = panel;
  restore_settings(panel);
  if (g_state->options.job) {
    show_locked_job(panel, *g_state->options.job);
  }
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
    QObject::connect(help, &QShortcut::activated, [] {
      if (g_state != nullptr) {
        show_help(g_state->options.open_folder);
      }
    });
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
  // A job's settings are the job's: what the operator set before stays remembered.
  const bool own_settings = !g_state->options.job;
  for (const RememberedControl& r : kRememberedControls) {
    if (own_settings) {
      s.setValue(QString::fromLatin1(r.key), ctrl_int(panel, r.control));
    }
  }
  const int port = ctrl_int(panel, MAINPANEL_COMPORT);
  pf::PortEntry entry;
  s.setValue(QStringLiteral("port/number"), port);
  s.setValue(QStringLiteral("port/name"),
             pf::find_port(port, entry) ? QString::fromStdString(entry.name) : QString());
  if (own_settings && filename[0] != '\0') {
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

}  // namespace driveflash::app
