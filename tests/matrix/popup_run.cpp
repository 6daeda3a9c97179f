#include "matrix/popup_run.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/callbacks.h"
#include "app/run_context.h"
#include "platform/panels.h"
#include "platform/serial.h"
#include "platform/uir_file.h"
#include "support/run_panels.h"

namespace driveflash::test {
namespace {

namespace pf = platform;
namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

}  // namespace

Watchdog::Watchdog(std::string what, std::chrono::seconds limit)
    : thread_([this, what = std::move(what), limit] {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
          std::fprintf(stderr, "\n%s: still not over after %lld s; ending the test program\n",
                       what.c_str(), static_cast<long long>(limit.count()));
          std::fflush(stderr);
          std::abort();
        }
      }) {}

Watchdog::~Watchdog() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

PopupRun::PopupRun(Panels panels) {
  pf::reset_panels();
  pf::clear_port_table();
  const fs::path resources = DRIVEFLASH_RESOURCES;
  fs::create_directories(dir_.path() / "XMC1300");
  fs::copy_file(resources / "XMC1300" / "XMC1x_ASCLoader.hex",
                dir_.path() / "XMC1300" / "XMC1x_ASCLoader.hex");
  cwd_ = std::make_unique<ScopedCwd>(dir_.path());
  app::register_callbacks();
  if (panels == Panels::kPanelFile) {
    fs::copy_file(resources / kPanelFile, dir_.path() / kPanelFile);
    pf::set_panel_source(pf::uir_panel_source());
  } else {
    pf::set_panel_source([](const std::string&, int number) -> std::optional<pf::PanelDef> {
      if (number == kMainPanelId) {
        return test::run_main_panel();
      }
      if (number == kProgramPanelId) {
        return test::run_popup_panel();
      }
      return std::nullopt;
    });
  }
  mainpanel = LoadPanel(0, kPanelFile, kMainPanelId);
  SetCtrlVal(mainpanel, MAINPANEL_COMPORT, kPort);
  SetCtrlVal(mainpanel, MAINPANEL_DRIVE_BAUD, 19200);
  SetCtrlVal(mainpanel, MAINPANEL_LOADER_BAUD, 115200);
  const int main_handle = mainpanel;
  // The worker appends and sets attributes from its own thread.
  observer_ = pf::add_observer([this, main_handle](const pf::PanelEvent& e) {
    if (e.panel == main_handle) {
      return;
    }
    std::lock_guard lock(mutex_);
    if (e.kind == pf::PanelEvent::Kind::LineAppended) {
      lines_.push_back(std::get<std::string>(e.value));
    } else if (e.kind == pf::PanelEvent::Kind::Attribute && e.control == PRGPANEL_OK &&
               e.attribute == ATTR_DIMMED && std::get<int>(e.value) == 0 &&
               runstate.load() == kStateFinished) {
      rested_ = true;
      rest_cv_.notify_all();
    }
  });
}

PopupRun::~PopupRun() {
  if (prgpanel > 0) {
    close_popup();
  }
  runflag = 0;
  pf::remove_observer(observer_);
  DiscardPanel(mainpanel);
  mainpanel = 0;
  pf::reset_panels();
  pf::clear_port_table();
}

void PopupRun::set_firmware(const std::string& name, const std::string& content, int kind) {
  const std::string path = dir_.write(name, content);
  std::snprintf(filename, sizeof filename, "%s", path.c_str());
  SetCtrlVal(mainpanel, MAINPANEL_FILEPATH, filename);
  SetCtrlVal(mainpanel, MAINPANEL_FILETYPE, kind);
}

bool PopupRun::press_program() {
  {
    std::lock_guard lock(mutex_);
    lines_.clear();
    rested_ = false;
  }
  ProgCB(mainpanel, 0, EVENT_COMMIT, nullptr, 0, 0);
  return runflag.load() != 0 && prgpanel > 0;
}

bool PopupRun::wait_for_rest(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return rest_cv_.wait_for(lock, limit, [this] { return rested_; });
}

bool PopupRun::stop_through(int control, int event) {
  const auto start = Steady::now();
  pf::fire_event(prgpanel, control, event);
  close_time_ = std::chrono::duration_cast<std::chrono::microseconds>(Steady::now() - start);
  return prgpanel == 0;
}

bool PopupRun::close_popup() {
  return stop_through(0, EVENT_CLOSE);
}

bool PopupRun::press_ok() {
  return stop_through(PRGPANEL_OK, EVENT_COMMIT);
}

std::vector<std::string> PopupRun::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

int PopupRun::counter_display() const {
  int value = -1;
  GetCtrlVal(mainpanel, MAINPANEL_COUNTER, &value);
  return value;
}

}  // namespace driveflash::test
