#include "app/callbacks.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "app/job.h"
#include "app/program_checks.h"
#include "app/programming_thread.h"
#include "platform/files.h"
#include "platform/panels.h"
#include "platform/threads.h"
#include "platform/timing.h"
#include "run/failures.h"
#include "run/run_context.h"

namespace {

constexpr const char* kFileTypeError = "文件类型错误！";
constexpr const char* kFileTypeTitle = "文件类型错误！ / Wrong file kind";
constexpr const char* kProgramTitle = "烧录 / Program";
std::string g_last_refusal;
driveflash::image::FirmwareFile g_firmware;
driveflash::app::WindowHooks g_hooks;
// The popup of a run stopped half-way stays up, showing so, until it is closed again.
bool g_held_after_stop = false;
std::function<void(const driveflash::run::Outcome&)> g_run_end_hook;
// Runs finished when the last one's end was reported: each run's end is reported once.
std::uint64_t g_runs_reported = 0;
std::string g_unit;

void report_run_end() {
  const std::uint64_t finished = driveflash::run::finished_runs();
  if (finished == g_runs_reported) {
    return;
  }
  g_runs_reported = finished;
  if (g_run_end_hook) {
    g_run_end_hook(driveflash::run::last_outcome());
  }
}

// Refuses a Program press with a message before anything touches the drive.
void refuse(const char* title, const std::string& message) {
  g_last_refusal = message;
  driveflash::run::publish_refusal(message);
  runflag = 0;
  report_run_end();
  MessagePopup(title, message.c_str());
}

// Whether the name fits the selected kind: the fourth character from the end is the "e"
// of ".ehex" or the "." of ".hex".
bool name_fits_kind(const char* name, int kind) {
  const std::size_t n = std::strlen(name);
  const char c = name[n - 4];
  return kind == kFileTypeEhex ? c != '.' : c != 'e';
}

// The file-kind refusal keeps its line first and says what did not fit, in both languages.
std::string file_kind_message(const char* name, int kind) {
  std::string why;
  if (std::strlen(name) < 4) {
    why = "文件名太短，看不出文件类型。\nThe file's name is too short to tell its kind.";
  } else if (kind == kFileTypeEhex) {
    why =
        "选择的类型是加密 HEX（*.ehex），文件名却是三个字母的扩展名：请选择 Intel HEX，"
        "或换一个 *.ehex 文件。\nThe kind chosen is encrypted hex (*.ehex), but the file's name "
        "has a three-letter extension: choose Intel HEX, or an *.ehex file.";
  } else {
    why =
        "选择的类型是 Intel HEX（*.hex），文件名却像 *.ehex：请选择加密 HEX，或换一个 *.hex "
        "文件。\nThe kind chosen is Intel HEX (*.hex), but the file's name looks like an *.ehex "
        "one: choose encrypted hex, or a *.hex file.";
  }
  return std::string(kFileTypeError) + "\n" + why + "\n" + name;
}

// A refusal that stands for a failure of the run's table gets that row's advice, and a title in
// both languages.
void refuse_with_advice(const driveflash::app::ProgramRefusal& refusal) {
  std::string text = refusal.message;
  if (const driveflash::run::Failure* f = driveflash::run::failure_of(refusal.cause)) {
    text += std::string("\n") + f->advice_zh + "\n" + f->advice_en;
  }
  const bool chinese = std::any_of(refusal.title.begin(), refusal.title.end(),
                                   [](char c) { return static_cast<unsigned char>(c) > 0x7F; });
  refuse(chinese ? refusal.title.c_str() : kProgramTitle, text);
}

}  // namespace

int panelCB(int /*panel*/, int event, void*, int, int) {
  if (event == EVENT_CLOSE) {
    QuitUserInterface(0);
  }
  return 0;
}

int Exit(int, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) {
    QuitUserInterface(0);
  }
  return 0;
}

int HelpCB(int, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT && g_hooks.help) {
    g_hooks.help();
  }
  return 0;
}

int ClrcounterCB(int panel, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) {
    // Operators clear to start a batch: the count starts again with the display.
    okcount = 0;
    SetCtrlAttribute(panel, MAINPANEL_COUNTER, ATTR_CTRL_VAL, 0);
  }
  return 0;
}

int Selctfile(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) {
    return 0;
  }
  GetCtrlVal(panel, MAINPANEL_FILETYPE, &filetype);
  const char* file_spec = filetype == kFileTypeEhex ? "*.ehex" : "*.hex";
  if (FileSelectPopup(filename, file_spec, file_spec, "选择固件 / Select firmware",
                      VAL_SELECT_BUTTON, 0, 0, 1, 0, filename) == VAL_EXISTING_FILE_SELECTED) {
    SetCtrlVal(panel, MAINPANEL_FILEPATH, filename);
  }
  return 0;
}

int ProgCB(int /*panel*/, int, int event, void*, int, int) {
  // A stopped run's popup may still be up, with the run flag already cleared.
  if (event != EVENT_COMMIT || runflag.load() != 0 || prgpanel > 0) {
    return 0;
  }
  g_last_refusal.clear();
  if (g_hooks.program_blocked) {
    if (const std::string why = g_hooks.program_blocked(); !why.empty()) {
      refuse(kProgramTitle, why);
      return 0;
    }
  }
  // A locked job's settings hold whatever the panel says, in either front end.
  const std::optional<driveflash::app::Job> job = driveflash::app::locked_job();
  if (job) {
    driveflash::app::apply_job(mainpanel, *job);
    if (job->firmware.size() >= sizeof filename) {
      refuse(kProgramTitle, "作业的固件路径太长 / The job's firmware path is too long (at most " +
                                std::to_string(sizeof filename - 1) + " bytes):\n" + job->firmware);
      return 0;
    }
    std::memcpy(filename, job->firmware.c_str(), job->firmware.size() + 1);
  }
  g_runs_reported = driveflash::run::finished_runs();
  // The serial belongs to the unit on the fixture now; a scanner may type the next one while
  // this run goes on.
  std::array<char, driveflash::platform::kPathBufferSize> unit{};
  g_unit = GetCtrlVal(mainpanel, MAINPANEL_UNIT, unit.data()) == 0 ? unit.data() : "";
  g_unit.erase(0, g_unit.find_first_not_of(" \t"));
  g_unit.erase(g_unit.find_last_not_of(" \t") + 1);
  GetCtrlVal(mainpanel, MAINPANEL_FILETYPE, &filetype);
  filename[sizeof filename - 1] = '\0';
  if (filename[0] == '\0') {
    refuse(kProgramTitle, "请先选择固件文件！\nChoose a firmware file first.");
    return 0;
  }
  if (std::strlen(filename) < 4 || !name_fits_kind(filename, filetype)) {
    refuse(kFileTypeTitle, file_kind_message(filename, filetype));
    return 0;
  }
  // The file is read once here: the checks, the window's header and its record of the run
  // all take these bytes; the download reads the file again itself.
  g_firmware = driveflash::image::read_firmware(filename, filetype);
  if (!g_firmware.read()) {
    refuse(kProgramTitle, std::string("无法打开固件文件！\nCannot open the firmware file (it ") +
                              g_firmware.error + "):\n" + filename);
    return 0;
  }
  if (const std::string why = driveflash::app::job_refusal(g_firmware); !why.empty()) {
    refuse("作业不符 / Not the job's firmware", why);
    return 0;
  }
  int port = 0;
  if (const auto refusal = driveflash::app::check_port(mainpanel, MAINPANEL_COMPORT, port);
      !refusal.title.empty()) {
    refuse(refusal.title.c_str(), refusal.message);
    return 0;
  }
  if (const auto refusal = driveflash::app::check_before_program(g_firmware, port);
      !refusal.title.empty()) {
    refuse_with_advice(refusal);
    return 0;
  }
  runflag = 1;
  prgpanel = LoadPanel(0, kPanelFile, kProgramPanelId);
  if (prgpanel < 0) {
    refuse(kProgramTitle,
           std::string("无法载入烧录面板 / Cannot load the programming panel from ") + kPanelFile);
    return 0;
  }
  SetCtrlAttribute(prgpanel, PRGPANEL_PROGRESS, ATTR_VISIBLE, 1);
  SetCtrlVal(prgpanel, PRGPANEL_PROGRESS, 0.0);
  InstallPopup(prgpanel);
  runstate = kStateOpen;
  if (CmtScheduleThreadPoolFunction(DEFAULT_THREAD_POOL_HANDLE, ProgrammingThread, nullptr,
                                    &threadid) != 0) {
    RemovePopup(0);
    DiscardPanel(prgpanel);
    prgpanel = 0;
    refuse(kProgramTitle, "无法启动烧录线程 / Cannot start the programming thread.");
    return 0;
  }
  if (g_hooks.run_started) {
    g_hooks.run_started();
  }
  return 0;
}

namespace {

void take_popup_down() {
  ResetTextBox(prgpanel, PRGPANEL_STATUS, "");
  RemovePopup(0);
  DiscardPanel(prgpanel);
  prgpanel = 0;
  g_held_after_stop = false;
}

// Closing the popup: stop the worker, wait for it while the interface keeps going, then
// take the popup down, so the worker never writes to a panel that is gone. A window that
// asks for it keeps the popup of a run cut short up, so the operator sees that it stopped.
void stop_run() {
  if (prgpanel <= 0) {
    return;
  }
  if (g_held_after_stop) {
    take_popup_down();
    return;
  }
  const bool under_way = runstate.load() != kStateFinished;
  runflag = 0;
  if (under_way && g_hooks.stopping) {
    g_hooks.stopping();
  }
  CmtWaitForThreadPoolFunctionCompletion(DEFAULT_THREAD_POOL_HANDLE, threadid,
                                         OPT_TP_PROCESS_EVENTS_WHILE_WAITING);
  CmtReleaseThreadPoolFunctionID(DEFAULT_THREAD_POOL_HANDLE, threadid);
  report_run_end();
  if (under_way && g_hooks.stopped) {
    g_held_after_stop = true;
    g_hooks.stopped();
    return;
  }
  take_popup_down();
}

// A run under way after the drive's reset leaves the drive in its bootstrap loader when it
// stops: the operator says so before it happens.
bool operator_agrees_to_stop() {
  const int place = driveplace.load();
  if (runflag.load() == 0 || runstate.load() == kStateFinished || place == kDriveInApplication) {
    return true;
  }
  const std::string message =
      std::string(
          "驱动器已重启进入引导模式，现在停止会让它停在那里。\nThe drive has restarted "
          "into its bootstrap loader; stopping now leaves it there.\n\n") +
      left_in_loader_line(place) + "\n\n停止？ / Stop now?";
  return ConfirmPopup("停止烧录？ / Stop programming?", message.c_str()) != 0;
}

}  // namespace

int progOK(int, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT && operator_agrees_to_stop()) {
    stop_run();
  }
  return 0;
}

int panelprgCB(int, int event, void*, int, int) {
  if (event == EVENT_CLOSE && operator_agrees_to_stop()) {
    stop_run();
  }
  return 0;
}

namespace driveflash::app {

void register_callbacks() {
  platform::register_callback("panelCB", &panelCB);
  platform::register_callback("panelprgCB", &panelprgCB);
  platform::register_callback("Exit", &Exit);
  platform::register_callback("HelpCB", &HelpCB);
  platform::register_callback("ClrcounterCB", &ClrcounterCB);
  platform::register_callback("Selctfile", &Selctfile);
  platform::register_callback("ProgCB", &ProgCB);
  platform::register_callback("progOK", &progOK);
}

int run_main_panel() {
  register_callbacks();
  mainpanel = LoadPanel(0, kPanelFile, kMainPanelId);
  if (mainpanel < 0) {
    return -1;
  }
  if (g_hooks.main_panel_loaded) {
    g_hooks.main_panel_loaded(mainpanel);
  }
  DisplayPanel(mainpanel);
  RunUserInterface();
  if (g_hooks.main_panel_closing) {
    g_hooks.main_panel_closing(mainpanel);
  }
  DiscardPanel(mainpanel);
  return 0;
}

void set_window_hooks(WindowHooks hooks) {
  g_hooks = std::move(hooks);
}

const char* last_refusal() {
  return g_last_refusal.c_str();
}

const image::FirmwareFile& program_firmware() {
  return g_firmware;
}

void stop_programming() {
  stop_run();
  if (g_held_after_stop) {
    take_popup_down();
  }
}

void set_run_end_hook(std::function<void(const run::Outcome&)> hook) {
  g_run_end_hook = std::move(hook);
}

void notice_run_end() {
  report_run_end();
}

const std::string& program_unit() {
  return g_unit;
}

}  // namespace driveflash::app
