// The operator's callbacks on the main panel and the programming popup, and the body of the
// program's start-up. They use only the run-time services, so the window and the command
// line drive the very same code.
#pragma once

#include <functional>

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
// Stops a run under way without asking (the program is ending).
void stop_programming();
// Why Program refused to start ("" when it did start); for front ends without dialogs.
const char* last_refusal();

// How a run that the popup's closing ended came out, for the window's record of runs. The
// hook runs on the interface thread while the popup, with its status lines, still exists.
struct RunEnd {
  bool success = false;  // the run counted a programmed drive
  bool stopped = false;  // the popup was closed before the run came to rest
  double seconds = 0;    // from Program to the popup's closing
};
void set_run_end_hook(std::function<void(const RunEnd&)> hook);

}  // namespace driveflash::app
