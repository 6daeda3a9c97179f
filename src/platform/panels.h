// Panels, controls and dialogs.
//
// The panel model below is the single source of truth for every panel: control values,
// attributes and text-box lines live here, behind one lock, so the worker thread may read
// and change them while the user-interface thread waits for it. A front end (the Qt
// widgets, or nothing at all for the command line and the tests) observes the model and
// mirrors it; user input flows back into the model before a callback runs.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

inline constexpr int EVENT_COMMIT = 1;
inline constexpr int EVENT_CLOSE = 11;
inline constexpr int ATTR_DIMMED = 500;
inline constexpr int ATTR_VISIBLE = 530;
inline constexpr int ATTR_CTRL_VAL = 630;
inline constexpr int VAL_EXISTING_FILE_SELECTED = 1;
inline constexpr int VAL_NO_FILE_SELECTED = 0;
inline constexpr int VAL_SELECT_BUTTON = 2;

using CtrlCallbackPtr = int (*)(int panel, int control, int event, void* callbackData,
                                int eventData1, int eventData2);
using PanelCallbackPtr = int (*)(int panel, int event, void* callbackData, int eventData1,
                                 int eventData2);

// Returns a panel handle (> 0), or a negative value when the file or the panel is missing.
int LoadPanel(int parent, const char* file, int panelResourceId);
int DisplayPanel(int panel);
int InstallPopup(int panel);
// Takes down the topmost popup, or every popup when removeAllPopups is non-zero.
int RemovePopup(int removeAllPopups);
int DiscardPanel(int panel);
int RunUserInterface();
int QuitUserInterface(int returnCode);

int GetCtrlVal(int panel, int control, int* value);
int GetCtrlVal(int panel, int control, double* value);
// Copies a text value with its terminating zero; `value` must hold 260 bytes.
int GetCtrlVal(int panel, int control, char* value);
int SetCtrlVal(int panel, int control, int value);
int SetCtrlVal(int panel, int control, double value);
int SetCtrlVal(int panel, int control, const char* value);
int SetCtrlAttribute(int panel, int control, int attribute, int value);
int InsertTextBoxLine(int panel, int control, int index, const char* text);
int ResetTextBox(int panel, int control, const char* text);

int MessagePopup(const char* title, const char* message);
// Asks a yes/no question; 1 for yes, 0 for no. Without a front end to ask, the answer is yes.
int ConfirmPopup(const char* title, const char* message);
// `pathBuffer` must hold 260 bytes. Returns VAL_EXISTING_FILE_SELECTED or VAL_NO_FILE_SELECTED.
int FileSelectPopup(const char* defaultDirectory, const char* defaultFileSpec,
                    const char* fileTypeList, const char* title, int buttonLabel,
                    int restrictDirectory, int restrictExtension, int allowCancel,
                    int allowMakeDirectory, char* pathBuffer);

namespace driveflash::platform {

inline constexpr int kPathBufferSize = 260;

using CtrlValue = std::variant<int, double, std::string>;

enum class ControlKind { Text, Int, Double, Button, TextBox, Ring, Picture };

// One control as the panel resource file describes it.
struct ControlDef {
  int number = 0;
  ControlKind kind = ControlKind::Int;
  std::string name;      // object name in the resource file
  std::string label;     // what the operator reads
  std::string callback;  // callback name, "" for none
  CtrlValue value = 0;   // default value
  double minimum = 0;
  double maximum = 0;
  std::vector<std::pair<std::string, CtrlValue>> items;  // ring choices
};

struct PanelDef {
  int number = 0;
  std::string title;
  std::string callback;
  std::vector<ControlDef> controls;
};

// Finds panel `number` in resource file `file`; nullopt when either is missing.
using PanelSource = std::function<std::optional<PanelDef>(const std::string& file, int number)>;
void set_panel_source(PanelSource source);

// Callbacks are named in the resource file and bound by name at load time.
void register_callback(const std::string& name, CtrlCallbackPtr fn);
void register_callback(const std::string& name, PanelCallbackPtr fn);

struct ControlState {
  ControlDef def;
  CtrlValue value = 0;
  bool dimmed = false;
  bool visible = true;
  std::vector<std::string> lines;  // text boxes
};

struct PanelState {
  int handle = 0;
  PanelDef def;
  bool displayed = false;
  bool popup = false;
  std::map<int, ControlState> controls;
};

// What changed, in the order it changed. Observers run on the thread that made the change,
// with the model unlocked; they must not block on the user-interface thread.
struct PanelEvent {
  enum class Kind {
    Loaded,
    Displayed,
    PopupInstalled,
    PopupRemoved,
    Discarded,
    Value,
    Attribute,
    LineAppended,
    TextBoxReset,
    Quit
  };
  Kind kind = Kind::Value;
  int panel = 0;
  int control = 0;
  int attribute = 0;
  CtrlValue value = 0;
};
using PanelObserver = std::function<void(const PanelEvent&)>;
// Returns an id for remove_observer.
int add_observer(PanelObserver observer);
void remove_observer(int id);

// A copy of a panel's state, for front ends and tests.
std::optional<PanelState> panel_state(int panel);
// Creates a panel from a definition without a resource file (tests).
int create_panel(const PanelDef& def);

// Sets a value as the operator would (no callback runs).
void operator_set_value(int panel, int control, CtrlValue value);
// Runs the callback of a control (or, with control 0, of the panel) for `event`, on the
// calling thread, as the user-interface thread does when the operator acts.
int fire_event(int panel, int control, int event);

// How modal dialogs are answered. The headless default answers MessagePopup at once and
// FileSelectPopup with "no file"; tests and front ends install their own.
struct DialogHooks {
  std::function<void(const std::string& title, const std::string& message)> message;
  std::function<std::optional<std::string>(const std::string& directory,
                                           const std::string& file_spec, const std::string& title)>
      file_select;
  // ConfirmPopup; none: yes.
  std::function<bool(const std::string& title, const std::string& message)> confirm;
};
void set_dialog_hooks(DialogHooks hooks);

// The user-interface loop. The headless default runs posted tasks until quit; the Qt front
// end installs its own.
struct EventLoop {
  std::function<int()> run;              // RunUserInterface
  std::function<void(int code)> quit;    // QuitUserInterface
  std::function<void()> process_events;  // one pass, used while waiting for the worker
};
void set_event_loop(EventLoop loop);
void process_events();

// Forgets every panel, observer and hook (tests).
void reset_panels();

}  // namespace driveflash::platform
