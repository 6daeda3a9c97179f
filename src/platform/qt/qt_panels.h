// The run-time services over Qt Widgets: panels in windows, dialogs, the event loop, sound.
//
// The panel model (panels.h) stays the single source of truth. The widget back end observes it
// and mirrors every change into the widgets on the GUI thread only: changes made by any thread
// are queued in the order they happen and applied when the GUI thread next turns its loop (or
// waits for the worker with events processed). The worker thread therefore never touches a
// widget and never waits for the GUI thread, so nothing can deadlock. Operator input goes into
// the model first and then runs the control's callback.
//
// Everything here, except post_to_gui, is called on the GUI thread with a QApplication in place.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/panels.h"
#include "platform/serial.h"

class QComboBox;
class QFileDialog;
class QWidget;

namespace driveflash::platform {

// Panels come from the panel resource file and get windows built from the same file; popups are
// window-modal; the close box of a window sends its panel the close event; RunUserInterface runs
// the application's event loop.
void install_qt_panels();
// Deletes every window and restores the headless services.
void uninstall_qt_panels();

// MessagePopup as a message box and FileSelectPopup as a file dialog over the topmost panel.
void install_qt_dialogs();
// sndPlaySoundA through Qt Multimedia, played once on the GUI thread; silent without a device.
void install_qt_sound();
void uninstall_qt_sound();

// Runs `task` on the GUI thread after every task posted before it. Any thread may call it; the
// caller never waits for the GUI thread. Tasks run when the GUI thread's loop turns (a timer
// there picks them up, so no other thread ever calls into Qt) or in process_events().
void post_to_gui(std::function<void()> task);
// Runs the tasks posted so far (GUI thread).
void run_posted_tasks();
// Makes the calling thread the GUI thread and starts picking up posted tasks; the install_*
// functions call it. stop_gui_tasks drops what is still queued.
void start_gui_tasks();
void stop_gui_tasks();

// The window of a panel and the widget of one of its controls; null when there is none.
QWidget* panel_window(int panel);
QWidget* control_widget(int panel, int control);
// The window dialogs belong to: the innermost popup, else the first panel displayed.
QWidget* top_panel_window();

// Building blocks of the widget back end (GUI thread).
//
// Shows a model value in a control's widget: text field, label, number display, progress bar,
// spin box, combo box, text box. Text the operator is still typing is left alone.
void show_in_widget(QWidget* widget, const CtrlValue& value);
// Inserts a line in a text box before line `index`, or appends it (index < 0 or past the end),
// and keeps the newest line in view; set_text_lines replaces every line.
void insert_text_line(QWidget* box, int index, const std::string& line);
void set_text_lines(QWidget* box, const std::vector<std::string>& lines);
// Feeds the operator's input on a control's widget into the model and runs its callback:
// buttons commit; combo boxes and spin boxes set their value; typed text is taken when the
// edit ends, or before any callback runs.
void connect_control(int panel, int control, QWidget* widget);
// The operator acted on a control (control 0: on the panel, e.g. its close box). Ignored while
// a callback is still running: it may be waiting for the worker with events processed, and the
// operator's second press would enter the callbacks a second time.
void operator_action(int panel, int control, int event);
// The port control is an editable combo box marked with the dynamic property "portPicker". Its
// list holds the port table, after the serial ports the system reports have been added to it
// (map_detected_ports), and is made anew whenever the operator opens it. Typed text may name a
// port by number, or a device, which then gets a number of its own (map_device).
bool is_port_control(const QComboBox* box);
void fill_port_list(QComboBox* box);

// Keeps a window's frame on the screen it is on: when it is taller than the screen's free area,
// `shrinkable` (a text box, say) gives up height first; then the window is moved inside.
void fit_on_screen(QWidget* window, QWidget* shrinkable = nullptr);
// Answers an open yes/no question with "no" (GUI thread): for a question whose matter has
// settled behind it, such as a stop asked of a run that has just ended.
void dismiss_question();

// Qt's own file dialog names its labels' keys with "&" but gives some of them no buddy, so the
// "&" would show as it is; this gives every label the field beside it.
void give_labels_buddies(QFileDialog& dialog);

// The folder the file dialog opens in when it is given no place of its own (GUI thread); it
// becomes the folder of every file the operator picks.
void set_file_dialog_folder(const std::string& folder);
std::string file_dialog_folder();

// Puts CJK-capable fonts behind the application font, so Chinese texts render everywhere.
void prefer_cjk_fonts();

}  // namespace driveflash::platform
