#include "cli/program.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "app/callbacks.h"
#include "bsl/frames.h"
#include "cli/ports.h"
#include "cli/progress.h"
#include "image/firmware_file.h"
#include "platform/files.h"
#include "platform/panels.h"
#include "platform/qt/uir_file.h"
#include "platform/resources.h"
#include "platform/serial.h"
#include "platform/threads.h"
#include "platform/timing.h"
#include "run/run_context.h"

namespace driveflash::cli {
namespace {

namespace pf = platform;

// How often the main thread looks at the run state when nothing wakes it.
constexpr std::chrono::milliseconds kPoll{100};
// How long the worker is given to come back once the program must end: most steps end within
// it; a download does not, and is left to the program's end.
constexpr std::chrono::milliseconds kEndGrace{500};

std::string loader_path() {
  return pf::native_path(std::string(kLoaderDirectory) + kLoaderFileName);
}

template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ~ScopeExit() { f_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F f_;
};

// Mirrors the programming popup while the worker runs: its status lines and its progress
// indicator, and whether the download began (the worker dims OK for it).
class PopupWatch {
 public:
  PopupWatch(RunPrinter& printer, platform::RunWaker& waker, int main_panel)
      : printer_(printer), waker_(waker), main_panel_(main_panel) {
    id_ = pf::add_observer([this](const pf::PanelEvent& e) { on_event(e); });
  }
  ~PopupWatch() { pf::remove_observer(id_); }
  PopupWatch(const PopupWatch&) = delete;
  PopupWatch& operator=(const PopupWatch&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  bool download_started() const {
    std::lock_guard lock(mutex_);
    return download_started_;
  }
  // From now on the worker's changes are not followed: once this returns, nothing is printed
  // for it. The worker may still call in, so the object must outlive it.
  void silence() {
    std::lock_guard gate(gate_);
    silent_ = true;
  }

 private:
  void on_event(const pf::PanelEvent& e) {
    std::lock_guard gate(gate_);
    if (e.panel == main_panel_ || silent_) {
      return;
    }
    using Kind = pf::PanelEvent::Kind;
    if (e.kind == Kind::LineAppended && e.control == PRGPANEL_STATUS) {
      const auto* text = std::get_if<std::string>(&e.value);
      const std::string line = text != nullptr ? *text : std::string();
      {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
      }
      printer_.line(line);
    } else if (e.kind == Kind::Value && e.control == PRGPANEL_PROGRESS) {
      if (const auto* percent = std::get_if<double>(&e.value)) {
        printer_.progress(*percent);
      }
    } else if (e.kind == Kind::Attribute) {
      const auto* value = std::get_if<int>(&e.value);
      const bool on = value != nullptr && *value != 0;
      if (e.control == PRGPANEL_PROGRESS && e.attribute == ATTR_VISIBLE) {
        printer_.shown(on);
      } else if (e.control == PRGPANEL_OK && e.attribute == ATTR_DIMMED && on) {
        std::lock_guard lock(mutex_);
        download_started_ = true;
      }
      // The resting state sets both attributes on every pass: time to look at the state.
      waker_.wake();
    }
  }

  RunPrinter& printer_;
  platform::RunWaker& waker_;
  int main_panel_;
  int id_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  bool download_started_ = false;
  std::mutex gate_;  // held for a whole event, so that silence() waits for one under way
  bool silent_ = false;
};

// The control that carries the Program button's callback; 0 when the panel has none.
int program_button(int panel) {
  const auto state = pf::panel_state(panel);
  if (state) {
    for (const auto& [number, control] : state->controls) {
      if (control.def.callback == "ProgCB") {
        return number;
      }
    }
  }
  return 0;
}

void print_lines(std::ostream& err, const std::string& text) {
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    err << "driveflash-cli: " << text.substr(start, end - start) << '\n';
    start = end + 1;
  }
}

struct Session {
  const Arguments& args;
  const Terminal& term;
  platform::RunWaker& waker;
  RunReport& r;
  int kind;
  const PortChoice& port;
  const image::FirmwareFile& firmware;

  int refuse(const std::string& why) {
    r.outcome.result = run::Result::kRefused;
    r.outcome.cause = run::Cause::kRefused;
    r.outcome.line = why;
    print_lines(term.err, why);
    return kExitUsage;
  }

  void set_controls() {
    pf::operator_set_value(mainpanel, MAINPANEL_COMPORT, port.number);
    if (args.drive_baud) {
      pf::operator_set_value(mainpanel, MAINPANEL_DRIVE_BAUD, static_cast<int>(*args.drive_baud));
    }
    if (args.loader_baud) {
      pf::operator_set_value(mainpanel, MAINPANEL_LOADER_BAUD, static_cast<int>(*args.loader_baud));
    }
    if (args.timing) {
      pf::operator_set_value(mainpanel, MAINPANEL_TIMING, *args.timing);
    }
    if (args.retries) {
      pf::operator_set_value(mainpanel, MAINPANEL_RETRIES, *args.retries);
    }
    pf::operator_set_value(mainpanel, MAINPANEL_VERIFY, args.verify ? 1 : 0);
    pf::operator_set_value(mainpanel, MAINPANEL_FILETYPE, kind);
    pf::operator_set_value(mainpanel, MAINPANEL_RESCUE, args.rescue ? 1 : 0);
    if (args.rescue_wait) {
      pf::operator_set_value(mainpanel, MAINPANEL_RESCUE_WAIT, *args.rescue_wait);
    }
    pf::operator_set_value(mainpanel, MAINPANEL_FILEPATH, args.file);
    std::memset(filename, 0, sizeof filename);
    std::memcpy(filename, args.file.data(), args.file.size());
    int baud = 0;
    if (GetCtrlVal(mainpanel, MAINPANEL_DRIVE_BAUD, &baud) == 0) {
      r.drive_baud = baud;
    }
    if (GetCtrlVal(mainpanel, MAINPANEL_LOADER_BAUD, &baud) == 0) {
      r.loader_baud = baud;
    }
    // The run reads the profile the same way; a panel file without the choice runs standard.
    int timing = kTimingStandard;
    GetCtrlVal(mainpanel, MAINPANEL_TIMING, &timing);
    r.outcome.timing = timing == kTimingFast ? kTimingFast : kTimingStandard;
  }

  // Presses Program; returns whether the run started.
  static bool press_program() {
    const int button = program_button(mainpanel);
    if (button > 0) {
      pf::fire_event(mainpanel, button, EVENT_COMMIT);
    } else {
      ProgCB(mainpanel, 0, EVENT_COMMIT, nullptr, 0, 0);
    }
    return runflag.load() != 0;
  }

  // Waits for the resting state, or for a stop request; returns whether a stop came first.
  bool wait_for_rest() {
    while (runstate.load() != kStateFinished) {
      if (waker.wait(kPoll)) {
        return runstate.load() != kStateFinished;
      }
    }
    return false;
  }

  // After a stop: waits for the worker to return. Returns false when the program must end and
  // the worker has not returned within kEndGrace of that.
  bool wait_for_worker() const {
    std::optional<std::chrono::steady_clock::time_point> end_by;
    while (!pf::thread_function_done(threadid)) {
      waker.wait(kPoll);
      if (waker.end_requested()) {
        const auto now = std::chrono::steady_clock::now();
        if (!end_by) {
          end_by = now + kEndGrace;
        } else if (now >= *end_by) {
          return false;
        }
      }
    }
    return true;
  }

  // The program ends while the worker is still in a step: the run's record as it stands, with
  // where the drive is left. Nothing the worker uses is taken down; the program's end is near.
  int abandon(RunPrinter& printer, std::unique_ptr<PopupWatch> watch) {
    watch->silence();
    printer.finish();
    r.lines = watch->lines();
    // Kept for the worker, which may still call it until the program ends.
    static std::vector<std::unique_ptr<PopupWatch>> left_to_the_worker;
    left_to_the_worker.push_back(std::move(watch));
    const int timing = r.outcome.timing;
    const std::string checked = r.outcome.sha256;
    r.outcome = run::outcome_so_far(run::Result::kStopped);
    r.outcome.timing = timing;
    if (r.outcome.sha256.empty()) {
      r.outcome.sha256 = checked;
    }
    r.abandoned = true;
    term.err << "driveflash-cli: stopped at once, in the middle of a step\n";
    if (const char* where = left_in_loader_line(driveplace.load()); *where != '\0') {
      term.err << "driveflash-cli: " << where << '\n';
    }
    return kExitInterrupted;
  }

  void verify_on_virtual_drive() {
    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> data;
    for (const image::DataChunk& chunk : firmware.report.runs) {
      data.emplace_back(chunk.address, chunk.bytes);
    }
    std::string mismatch;
    r.verified = port.drive->flash_matches(data, &mismatch);
    if (*r.verified) {
      term.err << "driveflash-cli: the virtual drive's flash equals " << args.file << " ("
               << firmware.report.data_bytes << " bytes)\n";
    } else {
      r.outcome.result = run::Result::kFailed;
      r.outcome.cause = run::Cause::kFlashDiffers;
      r.outcome.line = "the virtual drive's flash differs from the file: " + mismatch;
      term.err << "driveflash-cli: " << r.outcome.line << '\n';
    }
  }

  int run() {
    pf::set_panel_source(pf::uir_panel_source());
    app::register_callbacks();
    std::string refusal;
    pf::set_dialog_hooks(
        {[&refusal](const std::string&, const std::string& message) { refusal = message; },
         nullptr});
    ScopeExit hooks([] { pf::set_dialog_hooks({}); });
    mainpanel = LoadPanel(0, kPanelFile, kMainPanelId);
    if (mainpanel < 0) {
      return refuse(std::string("cannot load the main panel from ") + kPanelFile +
                    " (looked in the current directory and the program's resource directories)");
    }
    ScopeExit discard([this] {
      if (!r.abandoned) {
        DiscardPanel(mainpanel);
        mainpanel = 0;
      }
    });
    set_controls();
    if (waker.stop_requested()) {
      r.outcome.result = run::Result::kStopped;
      r.outcome.cause = run::Cause::kStopped;
      return kExitInterrupted;
    }
    const std::uint64_t runs_before = run::finished_runs();
    RunPrinter printer(args.json ? term.err : term.out, term.err, term.progress_bar, term.width);
    if (term.events) {
      printer.print_events();
    }
    auto watch = std::make_unique<PopupWatch>(printer, waker, mainpanel);
    if (!press_program()) {
      const std::string why = refusal.empty() ? std::string(app::last_refusal()) : refusal;
      const int status = refuse(why.empty() ? "the Program button refused to start" : why);
      if (kind != kind_from_name(args.file)) {
        term.err << "driveflash-cli: --kind " << kind_name(kind) << " does not fit the name "
                 << args.file << '\n';
      }
      return status;
    }
    const bool stopping = wait_for_rest();
    if (stopping) {
      r.stop_requested = true;
      if (!waker.end_requested()) {
        printer.note(
            "driveflash-cli: stopping: the step under way ends first (Ctrl-C again leaves at "
            "once)");
      }
      // What the popup's closing does first; the wait for the worker is this program's own, so
      // that an end request does not wait for a whole download.
      runflag = 0;
      if (!wait_for_worker()) {
        return abandon(printer, std::move(watch));
      }
    }
    r.lines = watch->lines();
    pf::fire_event(prgpanel, 0, EVENT_CLOSE);  // as the popup's close box: stop, wait, take down
    printer.finish();
    if (stopping) {
      r.lines = watch->lines();  // the step under way may have said more
    }
    // The worker has returned: its record is final. A run that never read the file keeps the
    // digest of the bytes read for its checks.
    const int timing = r.outcome.timing;
    const std::string checked = r.outcome.sha256;
    if (run::finished_runs() > runs_before) {
      r.outcome = run::last_outcome();
    } else {
      r.outcome.result = run::Result::kStopped;
    }
    r.outcome.timing = timing;
    if (r.outcome.sha256.empty()) {
      r.outcome.sha256 = checked;
    }
    run::Outcome& out = r.outcome;
    if (out.programmed()) {
      if (port.drive) {
        verify_on_virtual_drive();
        if (!*r.verified) {
          return kExitRunFailed;
        }
      }
      return kExitOk;
    }
    if (stopping) {
      out.result = run::Result::kStopped;
      if (out.cause == run::Cause::kNone) {
        out.cause = run::Cause::kStopped;
      }
      term.err << "driveflash-cli: stopped\n";
      return kExitInterrupted;
    }
    term.err << "driveflash-cli: the run failed: " << out.line << '\n';
    if (out.timing == kTimingFast &&
        std::ranges::find(out.advice, std::string(kTryStandardLine)) != out.advice.end()) {
      term.err << "driveflash-cli: this run used --timing fast; try --timing standard\n";
    }
    if (out.drive_left != run::DrivePlace::kFirmware) {
      term.err << "driveflash-cli: the drive waits in its bootstrap loader: "
               << (out.drive_left == run::DrivePlace::kRomLoader
                       ? "run 'program' again and it is found"
                       : "run 'program' again with --rescue and switch the drive off and on")
               << '\n';
    }
    if (const std::string why = pf::last_open_error(port.number); !why.empty()) {
      term.err << "driveflash-cli: " << port.device << ": " << why << '\n';
      if (out.cause == run::Cause::kLoaderBaud && r.loader_baud) {
        term.err << "driveflash-cli: the port refused the loader baud rate " << *r.loader_baud
                 << "; choose a lower --loader-baud\n";
      }
    }
    return kExitRunFailed;
  }
};

}  // namespace

std::string files_refusal(const Arguments& args, int kind, image::FirmwareFile& firmware,
                          std::string& hint) {
  hint.clear();
  std::error_code ec;
  if (!std::filesystem::is_regular_file(loader_path(), ec)) {
    if (const std::string found = pf::find_resource(loader_path()); !found.empty()) {
      hint = "a stand-in loader for the virtual drive is in " +
             pf::utf8_of(pf::path_from_utf8(found).parent_path().parent_path()) +
             "; run from there";
    }
    return "the secondary loader " + loader_path() + " is not in the current directory (" +
           pf::utf8_of(std::filesystem::current_path(ec)) + ")";
  }
  firmware = image::read_firmware(args.file, kind);
  if (!firmware.read()) {
    return args.file + " is refused: the file " + firmware.error;
  }
  // A kind that does not fit the name is for the Program button's own check to report.
  if (firmware.report.refused() && kind == kind_from_name(args.file)) {
    hint = "nothing was sent; 'driveflash-cli check " + args.file + "' tells more";
    return args.file + " is refused: " + firmware.report.problem();
  }
  return "";
}

int run_program(const Arguments& args, const Terminal& term, platform::RunWaker& waker,
                RunReport& report, const PortChoice* chosen) {
  report = RunReport{};
  RunReport& r = report;
  r.file = args.file;
  r.port = args.port;
  r.unit = args.unit;
  const int kind = args.kind.value_or(kind_from_name(args.file));
  r.kind = kind_name(kind);
  const auto finish = [&](int status) {
    r.exit_status = status;
    if (args.json) {
      term.out << r.json() << '\n' << std::flush;
    }
    return status;
  };
  const auto refuse = [&](const std::string& why, const std::string& hint = {}) {
    r.outcome.cause = run::Cause::kRefused;
    r.outcome.line = why;
    print_lines(term.err, why);
    if (!hint.empty()) {
      print_lines(term.err, hint);
    }
    return finish(kExitUsage);
  };
  if (args.file.empty() || args.file.size() >= sizeof filename) {
    return refuse("the file name must have 1 to " + std::to_string(sizeof filename - 1) + " bytes");
  }
  PortChoice own;
  std::string error;
  if (chosen == nullptr && !choose_port(args.port, own, error)) {
    return refuse(error);
  }
  ScopeExit release([&own, &r, chosen] {
    if (chosen == nullptr && !r.abandoned) {
      release_port(own);
    }
  });
  const PortChoice& port = chosen != nullptr ? *chosen : own;
  image::FirmwareFile firmware;
  std::string hint;
  const std::string why = files_refusal(args, kind, firmware, hint);
  r.outcome.bytes = firmware.report.data_bytes;
  r.outcome.sha256 = firmware.sha256;
  if (!why.empty()) {
    return refuse(why, hint);
  }
  Session session{args, term, waker, r, kind, port, firmware};
  return finish(session.run());
}

}  // namespace driveflash::cli
