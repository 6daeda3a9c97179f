// The programming popup of the window: its header, clock and verdict, beside the popup's own
// status box and progress bar. GUI thread only.
#pragma once

namespace driveflash::app {

// Program started a run: take what is being programmed, and decorate the popup once its
// window exists.
void popup_run_started();
// A stop was asked while the run was under way, and the worker has returned after it.
void popup_stopping();
void popup_stopped();
// The window goes: forget the run shown.
void popup_forget();

}  // namespace driveflash::app
