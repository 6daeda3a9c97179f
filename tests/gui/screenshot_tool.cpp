// Takes the README's screenshots of the operator's window: the main panel, the programming
// popup in the middle of a run on the virtual drive, in real time, its verdict after a success
// and after a failure, the station view on four virtual drives, and the window locked to a job.
// scripts/screenshots.sh runs it under a virtual X server, so the pictures show what the X server
// drew.
//
// usage: driveflash_screenshots OUTPUT_DIR
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/callbacks.h"
#include "app/job.h"
#include "app/job_window.h"
#include "app/operator_window.h"
#include "app/station_view.h"
#include "platform/panels.h"
#include "platform/qt/qt_panels.h"
#include "run/run_context.h"
#include "sim/sim_line.h"

namespace {

namespace fs = std::filesystem;
namespace pf = driveflash::platform;

constexpr int kVirtualDrivePort = 99;  // as the program offers it
constexpr int kSilentPort = 98;        // a drive that does not answer

fs::path g_out;
int g_failures = 0;

// Grabs `window_area` with a margin around it.
void grab(const QRect& window_area, const char* name) {
  const QRect area = window_area.adjusted(-12, -12, 12, 12);
  const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(),
                                                                    area.width(), area.height());
  const fs::path file = g_out / name;
  if (!shot.save(QString::fromStdString(file.string()))) {
    std::fprintf(stderr, "screenshots: cannot write %s\n", file.c_str());
    ++g_failures;
    return;
  }
  std::printf("%s\n", file.c_str());
}

// Steps of the script, each run once `ready` holds; polled on the GUI thread.
struct Step {
  std::function<bool()> ready;
  std::function<void()> act;
};

void press(int panel, const std::string& callback) {
  const std::optional<pf::PanelState> state = pf::panel_state(panel);
  for (const auto& [number, control] : state->controls) {
    if (control.def.callback == callback) {
      if (auto* b = qobject_cast<QAbstractButton*>(pf::control_widget(panel, number))) {
        b->click();
      }
    }
  }
}

// Runs the main panel's loop while `steps` go one after the other; returns whether all ran.
bool run_script(const std::vector<Step>& steps) {
  std::size_t next = 0;
  QTimer script;
  QObject::connect(&script, &QTimer::timeout, [&] {
    pf::process_events();
    if (next < steps.size() && steps[next].ready()) {
      steps[next++].act();
    }
  });
  script.start(30);
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, [] {
    std::fprintf(stderr, "screenshots: the script did not finish in time\n");
    QuitUserInterface(0);
  });
  limit.start(90000);
  driveflash::app::run_main_panel();
  return next == steps.size();
}

// The station view's tiles that have come to a unit's end, or found no drive, and wait for the
// next one.
int settled_tiles() {
  QWidget* view = driveflash::app::station_view();
  int settled = 0;
  for (int i = 0; view != nullptr; ++i) {
    QWidget* tile = view->findChild<QWidget*>(QStringLiteral("tile%1").arg(i));
    if (tile == nullptr) {
      break;
    }
    const QString state =
        tile->findChild<QLabel*>(QStringLiteral("tileState"))->property("state").toString();
    const bool waits = !tile->findChild<QLabel*>(QStringLiteral("tileLine"))->text().isEmpty();
    // An empty fixture (the silent drive) never ends a unit: its tile waits for a drive.
    settled += (state == QStringLiteral("programmed") || state == QStringLiteral("failed") ||
                state == QStringLiteral("idle")) &&
               waits;
  }
  return settled;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: driveflash_screenshots OUTPUT_DIR\n");
    return 2;
  }
  g_out = fs::absolute(argv[1]);
  fs::create_directories(g_out);
  const fs::path work = fs::temp_directory_path() / "driveflash-demo";
  fs::remove_all(work);
  fs::create_directories(work / "XMC1300");
  fs::create_directories(work / "firmware");
  const fs::path resources(DRIVEFLASH_RESOURCES);
  fs::copy_file(resources / "Brenfold.uir", work / "Brenfold.uir");
  fs::copy_file(resources / "XMC1300" / "XMC1x_ASCLoader.hex",
                work / "XMC1300" / "XMC1x_ASCLoader.hex");
  const fs::path firmware = work / "firmware" / "sample.hex";
  fs::copy_file(fs::path(DRIVEFLASH_SAMPLES) / "sample.hex", firmware);
  fs::current_path(work);

  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  pf::prefer_cjk_fonts();
  pf::install_qt_panels();
  pf::install_qt_dialogs();
  pf::DialogHooks hooks;  // the file dialog answers with the sample
  hooks.file_select = [&](const std::string&, const std::string&, const std::string&) {
    return std::optional<std::string>(firmware.string());
  };
  pf::set_dialog_hooks(hooks);
  // The virtual drive as the program offers it, with the line's own pace, so the run takes
  // the time a real one would.
  driveflash::sim::Faults paced;
  paced.line_time = true;
  driveflash::sim::map_sim_port(kVirtualDrivePort,
                                std::make_shared<driveflash::sim::VirtualDrive>(paced));
  pf::PortEntry entry;
  pf::find_port(kVirtualDrivePort, entry);
  entry.description = "虚拟驱动器 / built-in virtual drive";
  pf::map_port(entry);

  driveflash::sim::Faults silent;
  silent.silent = true;
  driveflash::sim::map_sim_port(kSilentPort,
                                std::make_shared<driveflash::sim::VirtualDrive>(silent));
  const fs::path settings = work / "settings.ini";
  driveflash::app::WindowOptions options;
  options.settings_file = QString::fromStdString(settings.string());
  options.run_log = QString::fromStdString((work / "runs.csv").string());
  options.cli_program = QStringLiteral(DRIVEFLASH_CLI);
  driveflash::app::install_operator_window(options);
  const fs::path job_file = work / "line 3.job";

  const auto window = [](int panel) { return pf::panel_window(panel); };
  const auto verdict = [] {
    QWidget* popup = pf::panel_window(prgpanel);
    const QLabel* v =
        popup != nullptr ? popup->findChild<QLabel*>(QStringLiteral("verdict")) : nullptr;
    return v != nullptr ? v->property("verdict").toString().toStdString() : std::string();
  };
  const auto ok_enabled = [] {
    QWidget* ok = pf::control_widget(prgpanel, PRGPANEL_OK);
    return ok != nullptr && ok->isEnabled();
  };
  const auto progress = [] {
    auto* bar = qobject_cast<QProgressBar*>(pf::control_widget(prgpanel, PRGPANEL_PROGRESS));
    return bar != nullptr && bar->isVisible() ? bar->value() : -1;
  };
  std::vector<Step> steps = {
      {[&] { return window(mainpanel) != nullptr && window(mainpanel)->isVisible(); },
       [&] {
         window(mainpanel)->move(40, 40);
         auto* port = qobject_cast<QComboBox*>(pf::control_widget(mainpanel, MAINPANEL_COMPORT));
         pf::fill_port_list(port);
         port->setCurrentIndex(port->findData(kVirtualDrivePort));
         Q_EMIT port->activated(port->currentIndex());
         press(mainpanel, "Selctfile");
         press(mainpanel, "ProgCB");
       }},
      {[&] { return window(prgpanel) != nullptr && window(prgpanel)->isVisible(); },
       [&] {
         // Without a window manager there are no title bars: set the popup off its parent so
         // both show.
         window(prgpanel)->move(window(mainpanel)->pos() + QPoint(150, 110));
       }},
      {[&] { return progress() >= 45; },
       [&] {
         grab(window(mainpanel)->frameGeometry().united(window(prgpanel)->frameGeometry()),
              "popup-running.png");
       }},
      {[&] { return verdict() == "programmed" && ok_enabled(); },
       [&] {
         grab(window(mainpanel)->frameGeometry().united(window(prgpanel)->frameGeometry()),
              "popup-programmed.png");
         press(prgpanel, "progOK");
       }},
      {[&] { return prgpanel == 0; },
       [&] {
         grab(window(mainpanel)->frameGeometry(), "main-panel.png");
         // The second run goes to a drive that does not answer.
         auto* port = qobject_cast<QComboBox*>(pf::control_widget(mainpanel, MAINPANEL_COMPORT));
         pf::fill_port_list(port);
         port->setCurrentIndex(port->findData(kSilentPort));
         Q_EMIT port->activated(port->currentIndex());
         press(mainpanel, "ProgCB");
       }},
      {[&] { return window(prgpanel) != nullptr && window(prgpanel)->isVisible(); },
       [&] { window(prgpanel)->move(window(mainpanel)->pos() + QPoint(150, 110)); }},
      {[&] { return verdict() == "failed" && ok_enabled(); },
       [&] {
         grab(window(mainpanel)->frameGeometry().united(window(prgpanel)->frameGeometry()),
              "popup-failed.png");
         press(prgpanel, "progOK");
       }},
      {[&] { return prgpanel == 0; },
       [&] {
         // Four ports at once: two drives programmed, one silent, one failing at its second page.
         SetCtrlVal(mainpanel, MAINPANEL_TIMING, kTimingFast);
         press(mainpanel, "StationCB");
         QWidget* view = driveflash::app::station_view();
         view->move(40, 40);
         view->resize(800, 600);
         driveflash::app::set_station_ports({QStringLiteral("sim"), QStringLiteral("sim:silent"),
                                             QStringLiteral("sim:reply:data@2=FA"),
                                             QStringLiteral("sim")});
         view->findChild<QAbstractButton*>(QStringLiteral("stationStart"))->click();
       }},
      {[&] { return settled_tiles() == 4; },
       [&] {
         grab(driveflash::app::station_view()->frameGeometry(), "station-view.png");
         // The settings of this window as a job, with the station's ports.
         QString error;
         const auto job =
             driveflash::app::job_of_panel(mainpanel, driveflash::app::station_ports(), error);
         if (!job || !driveflash::app::write_job(job_file, *job).empty()) {
           std::fprintf(stderr, "screenshots: no job: %s\n", error.toStdString().c_str());
           ++g_failures;
         }
         driveflash::app::close_station_view();
         press(mainpanel, "Exit");
       }},
  };
  const bool first = run_script(steps);
  driveflash::app::uninstall_operator_window();

  // The window opened with the job: its settings locked, its name and hash shown.
  std::string error;
  options.job = driveflash::app::read_job(job_file, error);
  options.job_file = QString::fromStdString(job_file.string());
  bool second = false;
  if (options.job) {
    driveflash::app::install_operator_window(options);
    second = run_script({
        {[&] { return window(mainpanel) != nullptr && window(mainpanel)->isVisible(); },
         [&] {
           window(mainpanel)->move(40, 40);
           window(mainpanel)->activateWindow();
         }},
        {[] { return true; },
         [&] {
           grab(window(mainpanel)->frameGeometry(), "main-panel-job.png");
           press(mainpanel, "Exit");
         }},
    });
    driveflash::app::uninstall_operator_window();
  }
  pf::uninstall_qt_panels();
  fs::current_path(fs::temp_directory_path());
  fs::remove_all(work);
  return first && second && g_failures == 0 ? 0 : 1;
}
