// How late the window's event loop answers while a programming run goes on, for the performance
// report (scripts/perf_report.sh).
//
// usage: gui_latency [--size KB] [--kind hex|ehex] [--line instant|paced] [--interval MS]
//
// Starts the window as the program does (the Qt back end of the panels, the dialogs and the
// sound), puts a virtual drive behind the port list's virtual-drive entry, and plays the
// operator: file kind, port, file, Program, and OK once the run rests. Meanwhile a periodic timer
// on the GUI thread notes how much later than its interval each tick comes: everything the
// window does for the run (status lines, progress, dimming, the chime) happens on that thread,
// so a late tick is what the operator sees as a stuck window. One second of the idle window is
// measured first, for comparison. Prints "name<TAB>value" lines; exit status 0 when the run
// succeeded and the drive's flash holds the file.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QGuiApplication>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/callbacks.h"
#include "image/download.h"
#include "perf_support.h"
#include "platform/panels.h"
#include "platform/qt/qt_panels.h"
#include "platform/resources.h"
#include "platform/timing.h"
#include "run/run_context.h"

namespace {

namespace fs = std::filesystem;
namespace pf = driveflash::platform;
namespace bench = driveflash::bench;
using Clock = std::chrono::steady_clock;

constexpr int kVirtualDrivePort = 99;  // as the program offers it
constexpr auto kIdleSpan = std::chrono::seconds(1);
constexpr auto kLimit = std::chrono::minutes(5);

struct Options {
  std::size_t kilobytes = 200;
  bool encrypted = true;
  bool paced = true;
  int interval_ms = 5;
};

bool parse(const std::vector<std::string_view>& words, Options& o) {
  if (words.size() % 2 != 0) {
    return false;
  }
  for (std::size_t i = 0; i < words.size(); i += 2) {
    const std::string value(words[i + 1]);
    if (words[i] == "--size") {
      o.kilobytes = std::strtoul(value.c_str(), nullptr, 10);
    } else if (words[i] == "--kind" && (value == "hex" || value == "ehex")) {
      o.encrypted = value == "ehex";
    } else if (words[i] == "--line" && (value == "instant" || value == "paced")) {
      o.paced = value == "paced";
    } else if (words[i] == "--interval") {
      o.interval_ms = std::atoi(value.c_str());
    } else {
      return false;
    }
  }
  return o.kilobytes > 0 && o.interval_ms > 0;
}

// Lateness of each tick of a periodic timer, in milliseconds, while recording.
class TickProbe {
 public:
  explicit TickProbe(int interval_ms) : interval_ms_(interval_ms) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(interval_ms);
    QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
    timer_.start();
  }
  // Ticks from now on go into `into`; null stops recording.
  void record(std::vector<double>* into) {
    into_ = into;
    last_ = Clock::now();
  }

 private:
  void tick() {
    const Clock::time_point now = Clock::now();
    if (into_ != nullptr) {
      const std::chrono::duration<double, std::milli> gap = now - last_;
      into_->push_back(std::max(0.0, gap.count() - interval_ms_));
    }
    last_ = now;
  }

  QTimer timer_;
  int interval_ms_;
  std::vector<double>* into_ = nullptr;
  Clock::time_point last_ = Clock::now();
};

void press(int panel, const std::string& callback) {
  const std::optional<pf::PanelState> state = pf::panel_state(panel);
  if (!state) {
    return;
  }
  for (const auto& [number, control] : state->controls) {
    if (control.def.callback == callback) {
      if (auto* b = qobject_cast<QAbstractButton*>(pf::control_widget(panel, number))) {
        b->click();
      }
    }
  }
}

void print_figures(const char* name, std::vector<double>& ms) {
  std::printf("%s_samples\t%zu\n", name, ms.size());
  std::printf("%s_p50_ms\t%.2f\n", name, bench::percentile(ms, 50));
  std::printf("%s_p99_ms\t%.2f\n", name, bench::percentile(ms, 99));
  std::printf("%s_max_ms\t%.2f\n", name, ms.empty() ? 0.0 : ms.back());
}

// Steps of the operator, each taken once `ready` holds; polled on the GUI thread.
struct Step {
  std::function<bool()> ready;
  std::function<void()> act;
};

}  // namespace

int main(int argc, char* argv[]) {
  Options options;
  if (!parse(std::vector<std::string_view>(argv + 1, argv + argc), options)) {
    std::fprintf(stderr,
                 "usage: gui_latency [--size KB] [--kind hex|ehex] [--line instant|paced] "
                 "[--interval MS]\n");
    return 2;
  }
  bench::WorkDir work("gui-latency");
  const fs::path hex = work.write_firmware(options.kilobytes);
  const std::string file =
      options.encrypted ? fs::path(hex).replace_extension(".ehex").string() : hex.string();
  fs::current_path(work.path());

  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  pf::set_program_path(argv[0]);
  pf::prefer_cjk_fonts();
  pf::install_qt_panels();
  pf::install_qt_dialogs();
  pf::install_qt_sound();
  std::vector<std::string> messages;
  pf::DialogHooks hooks;  // the operator picks the file; any message is a failure to report
  hooks.file_select = [&](const std::string&, const std::string&, const std::string&) {
    return std::optional<std::string>(file);
  };
  hooks.message = [&](const std::string& title, const std::string& text) {
    messages.push_back(title + ": " + text);
  };
  pf::set_dialog_hooks(hooks);
  driveflash::sim::Faults faults;
  faults.line_time = options.paced;
  auto drive = std::make_shared<driveflash::sim::VirtualDrive>(faults);
  bench::map_counted_drive(kVirtualDrivePort, drive, std::make_shared<bench::LineTally>());

  TickProbe probe(options.interval_ms);
  std::vector<double> idle;
  std::vector<double> during;
  Clock::time_point idle_start;
  Clock::time_point run_start;
  double run_seconds = 0;
  bool finished = false;
  const auto window = [](int panel) { return pf::panel_window(panel); };
  std::vector<Step> steps = {
      {[&] { return window(mainpanel) != nullptr && window(mainpanel)->isVisible(); },
       [&] {
         idle_start = Clock::now();
         probe.record(&idle);
       }},
      {[&] { return Clock::now() - idle_start >= kIdleSpan; },
       [&] {
         probe.record(nullptr);
         auto* kind = qobject_cast<QComboBox*>(pf::control_widget(mainpanel, MAINPANEL_FILETYPE));
         kind->setCurrentIndex(options.encrypted ? kFileTypeEhex : kFileTypeHex);
         auto* port = qobject_cast<QComboBox*>(pf::control_widget(mainpanel, MAINPANEL_COMPORT));
         pf::fill_port_list(port);
         port->setCurrentIndex(port->findData(kVirtualDrivePort));
         Q_EMIT port->activated(port->currentIndex());
         press(mainpanel, "Selctfile");
         pf::reset_requested_waits();
         run_start = Clock::now();
         probe.record(&during);
         press(mainpanel, "ProgCB");
       }},
      {[&] {
         QWidget* ok = prgpanel > 0 ? pf::control_widget(prgpanel, PRGPANEL_OK) : nullptr;
         return runstate.load() == kStateFinished && ok != nullptr && ok->isEnabled();
       },
       [&] {
         probe.record(nullptr);
         run_seconds = std::chrono::duration<double>(Clock::now() - run_start).count();
         finished = true;
         press(prgpanel, "progOK");
       }},
      {[&] { return prgpanel == 0; }, [&] { press(mainpanel, "Exit"); }},
  };
  std::size_t next = 0;
  QTimer script;
  QObject::connect(&script, &QTimer::timeout, [&] {
    if (next < steps.size() && steps[next].ready()) {
      steps[next++].act();
    }
  });
  script.start(20);
  QTimer::singleShot(kLimit, [] {
    std::fprintf(stderr, "gui_latency: the run did not finish in time\n");
    if (prgpanel > 0) {
      panelprgCB(prgpanel, EVENT_CLOSE, nullptr, 0, 0);
    }
    QuitUserInterface(0);
  });

  driveflash::app::run_main_panel();
  const double waits = static_cast<double>(pf::requested_waits().count()) / 1e6;
  pf::uninstall_qt_sound();
  pf::uninstall_qt_panels();
  fs::current_path(fs::temp_directory_path());

  std::string why;
  const bool verified =
      finished &&
      bench::flash_holds(*drive, file, options.encrypted ? kFileTypeEhex : kFileTypeHex, why);
  for (const std::string& m : messages) {
    std::fprintf(stderr, "gui_latency: message: %s\n", m.c_str());
  }
  if (!verified) {
    std::fprintf(stderr, "gui_latency: the run failed%s%s\n", why.empty() ? "" : ": ", why.c_str());
  }
  std::printf("platform\t%s\n", QGuiApplication::platformName().toUtf8().constData());
  std::printf("firmware_kb\t%zu\nkind\t%s\nline\t%s\ninterval_ms\t%d\n", options.kilobytes,
              options.encrypted ? "ehex" : "hex", options.paced ? "paced" : "instant",
              options.interval_ms);
  print_figures("idle", idle);
  print_figures("run", during);
  std::printf("run_wall_s\t%.3f\nwaits_s\t%.3f\npages\t%llu\nresult\t%s\n", run_seconds, waits,
              static_cast<unsigned long long>(drive->statistics().pages_programmed),
              verified ? "ok" : "FAILED");
  return verified ? 0 : 1;
}
