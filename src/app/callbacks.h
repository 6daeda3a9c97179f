// The operator's callbacks on the main panel and the programming popup, and the body of the
// program's start-up. They use only the run-time services, so the window and the command
// line drive the very same code.
#pragma once

#include <functional>
#include <string>

#include "image/firmware_file.h"
#include "run/outcome.h"

int panelCB(int panel, int event, void* callbackData, int eventData1, int eventData2);
int Exit(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int HelpCB(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int ClrcounterCB(int panel, int control, int event, void* callbackData, int eventData1,
                 int eventData2);
int Selctfile(int panel, int control, int event, void* callbackData, int eventData1,
              int eventData2);
int ProgCB(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int progOK(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int panelprgCB(int panel, int event, void* callbackData, int eventData1, int eventData2);

namespace driveflash::app {

// Binds the callbacks above to their names in the panel resource file.
void register_callbacks();
// After the run-time services are up: load and show the main panel, run the user-interface
// loop until quit, discard the panel. Returns 0, or -1 when the panel cannot be loaded.
int run_main_panel();
// What a window adds to the course of a run; every member may be empty, and each is called
// on the user-interface thread.
struct WindowHooks {
  std::function<void(int panel)> main_panel_loaded;   // before it is first shown
  std::function<void(int panel)> main_panel_closing;  // the loop has ended; still there
  std::function<void()> help;                         // Help was pressed
  std::function<void()> run_started;                  // the popup is up and the worker scheduled
  // Asked before Program starts a run: "" to go on, else why not (Program's refusal then).
  std::function<std::string()> program_blocked;
  // A stop was asked while the run was under way; called once the run flag is cleared and
  // before the wait for the worker.
  std::function<void()> stopping;
  // The worker has returned after such a stop. Set, the popup then stays up until it is
  // closed again; unset, it goes at once as it does at rest.
  std::function<void()> stopped;
};
void set_window_hooks(WindowHooks hooks);
// Stops a run under way without asking (the program is ending).
void stop_programming();
// Why Program refused to start ("" when it did start); for front ends without dialogs.
const char* last_refusal();
// The firmware file as Program last read it (once, for its checks): what the window shows
// and records of the run it started.
const image::FirmwareFile& program_firmware();

// How each run ended, for the window's record of runs: called once a run, on the interface
// thread, when Program refused, or when the window noticed the run's rest (notice_run_end), or
// else when the worker returned after the popup's closing (the popup still exists then).
void set_run_end_hook(std::function<void(const run::Outcome&)> hook);
// The run has come to rest: its end is reported now, unless it was already.
void notice_run_end();
// The unit's serial (main panel control 26, "" without one) as Program read it for its run.
const std::string& program_unit();

}  // namespace driveflash::app
