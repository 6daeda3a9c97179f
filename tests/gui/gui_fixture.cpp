#include "gui/gui_fixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLCDNumber>
#include <QLabel>
#include <QPlainTextEdit>
#include <QWidget>
#include <filesystem>
#include <thread>

#include "app/callbacks.h"
#include "app/operator_window.h"
#include "platform/panels.h"
#include "platform/qt/qt_panels.h"
#include "run/run_context.h"
#include "sim/faults.h"
#include "sim/sim_line.h"
#include "support/hex_records.h"

namespace driveflash::test {
namespace pf = platform;

void GuiTest::SetUp() {
  pf::reset_panels();
  pf::clear_port_table();
  runflag = 0;
  runstate = 0;
  okcount = 0;
  filename[0] = '\0';
  filetype = 0;
  mainpanel = prgpanel = threadid = 0;
  namespace fs = std::filesystem;
  fs::copy_file(fs::path(DRIVEFLASH_RESOURCES) / "Brenfold.uir", dir_.path() / "Brenfold.uir");
  fs::create_directories(dir_.path() / "XMC1300");
  fs::copy_file(fs::path(DRIVEFLASH_RESOURCES) / "XMC1300" / "XMC1x_ASCLoader.hex",
                dir_.path() / "XMC1300" / "XMC1x_ASCLoader.hex");
  cwd_ = std::make_unique<ScopedCwd>(dir_.path());
  pf::install_qt_panels();
  app::register_callbacks();
  app::install_operator_window(window_options());
  pf::DialogHooks hooks;
  hooks.message = [this](const std::string& title, const std::string& message) {
    messages_.emplace_back(title, message);
  };
  hooks.file_select = [this](const std::string& directory, const std::string& file_spec,
                             const std::string& title) -> std::optional<std::string> {
    asks_.push_back({directory, file_spec, title});
    if (answers_.empty()) {
      return std::nullopt;
    }
    std::optional<std::string> answer = answers_.front();
    answers_.pop_front();
    return answer;
  };
  hooks.confirm = [this](const std::string& title, const std::string& message) {
    questions_.emplace_back(title, message);
    if (confirm_answers_.empty()) {
      return true;
    }
    const bool yes = confirm_answers_.front();
    confirm_answers_.pop_front();
    return yes;
  };
  pf::set_dialog_hooks(std::move(hooks));
}

app::WindowOptions GuiTest::window_options() {
  app::WindowOptions options;
  options.settings_file = QString::fromStdString((dir_.path() / "settings.ini").string());
  options.open_folder = [this](const QString& folder) {
    opened_folders_ << folder;
    return folder_opens_;
  };
  options.run_log = QString::fromStdString((dir_.path() / "runs.csv").string());
  options.cli_program = QStringLiteral(DRIVEFLASH_CLI);
  options.ask_job_file = [this](const QString&) { return job_file_; };
  return options;
}

void GuiTest::TearDown() {
  for (int close = 0; close < 2 && prgpanel > 0; ++close) {
    panelprgCB(prgpanel, EVENT_CLOSE, nullptr, 0, 0);
  }
  pump();
  app::uninstall_operator_window();
  pf::set_file_dialog_folder({});
  pf::uninstall_qt_panels();
  pf::reset_panels();
  pf::clear_port_table();
  cwd_.reset();
}

void GuiTest::pump() {
  for (int i = 0; i < 4; ++i) {
    pf::process_events();
  }
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool GuiTest::pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    pf::process_events();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  pump();
  return true;
}

void GuiTest::open_main_panel() {
  mainpanel = LoadPanel(0, "Brenfold.uir", 1);
  ASSERT_GT(mainpanel, 0);
  app::attach_main_panel(mainpanel);
  DisplayPanel(mainpanel);
  pump();
  ASSERT_NE(pf::panel_window(mainpanel), nullptr);
}

QWidget* GuiTest::widget(int panel, int control) {
  return pf::control_widget(panel, control);
}

QAbstractButton* GuiTest::button(int panel, int control) {
  return qobject_cast<QAbstractButton*>(widget(panel, control));
}

QComboBox* GuiTest::combo(int panel, int control) {
  return qobject_cast<QComboBox*>(widget(panel, control));
}

void GuiTest::click(int panel, int control) {
  QAbstractButton* b = button(panel, control);
  ASSERT_NE(b, nullptr) << "control " << control;
  b->click();
  pump();
}

void GuiTest::press(const std::string& callback) {
  const std::optional<pf::PanelState> state = pf::panel_state(mainpanel);
  ASSERT_TRUE(state);
  for (const auto& [number, control] : state->controls) {
    if (control.def.callback == callback) {
      click(mainpanel, number);
      return;
    }
  }
  FAIL() << "no button calls " << callback;
}

void GuiTest::set_kind(int kind) {
  combo(mainpanel, 15)->setCurrentIndex(kind);
  pump();
}

void GuiTest::pick_port(int number) {
  QComboBox* box = combo(mainpanel, 6);
  ASSERT_NE(box, nullptr);
  pf::fill_port_list(box);
  const int index = box->findData(number);
  ASSERT_GE(index, 0) << "port " << number << " is not listed";
  box->setCurrentIndex(index);
  Q_EMIT box->activated(index);
  pump();
}

void GuiTest::choose_file(std::optional<std::string> path) {
  answers_.push_back(std::move(path));
  press("Selctfile");
}

QStringList GuiTest::popup_lines() {
  auto* box = qobject_cast<QPlainTextEdit*>(widget(prgpanel, 2));
  if (box == nullptr || box->toPlainText().isEmpty()) {
    return {};
  }
  return box->toPlainText().split(u'\n');
}

int GuiTest::counter_shown() {
  auto* lcd = qobject_cast<QLCDNumber*>(widget(mainpanel, 9));
  return lcd != nullptr ? lcd->intValue() : -1;
}

std::shared_ptr<sim::VirtualDrive> GuiTest::map_drive(int port, sim::Faults faults) {
  auto drive = std::make_shared<sim::VirtualDrive>(faults);
  sim::map_sim_port(port, drive);
  return drive;
}

std::string GuiTest::write_firmware(const std::string& name, int pages) {
  const std::string text = ext_linear(0x1000) + "\n" +
                           data_lines(0x1000, pattern(static_cast<std::size_t>(pages) * 256)) +
                           ":00000001FF\n";
  return dir_.write(name, text);
}

void WindowRunTest::prepare(const std::string& faults, int pages) {
  sim::Faults f;
  std::string error;
  ASSERT_TRUE(sim::parse_faults(faults, f, error)) << error;
  prepare(f, pages);
}

void WindowRunTest::prepare(const sim::Faults& faults, int pages) {
  drive_ = map_drive(kRunPort, faults);
  open_main_panel();
  pick_port(kRunPort);
  file_ = write_firmware("fw.hex", pages);
  choose_file(file_);
  watch_ = std::make_unique<WorkerWatch>(std::this_thread::get_id());
}

void WindowRunTest::TearDown() {
  if (watch_) {
    watch_->release();  // a failed test may have left the worker held
  }
  VirtualTimeGuiTest::TearDown();
  watch_.reset();  // once no worker can be inside it any more
}

QWidget* WindowRunTest::popup() {
  return platform::panel_window(prgpanel);
}

QLabel* WindowRunTest::label(const char* name) {
  return popup() != nullptr ? popup()->findChild<QLabel*>(QString::fromLatin1(name)) : nullptr;
}

QString WindowRunTest::verdict() {
  QLabel* v = label("verdict");
  return v != nullptr ? v->property("verdict").toString() : QString();
}

}  // namespace driveflash::test
