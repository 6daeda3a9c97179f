#include "platform/panels.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace driveflash::platform {
namespace {

inline constexpr int kErrPanel = -42;    // not a valid panel handle
inline constexpr int kErrControl = -13;  // not a control of the panel
inline constexpr int kErrFile = -1;      // resource file or panel missing
inline constexpr int kErrType = -55;     // value of the wrong kind for the call

struct Model {
  std::mutex mutex;
  std::map<int, PanelState> panels;
  std::vector<int> popups;  // modal popups, innermost last
  int next_handle = 1;
  PanelSource source;
  std::map<std::string, CtrlCallbackPtr> control_callbacks;
  std::map<std::string, PanelCallbackPtr> panel_callbacks;
  std::map<int, PanelObserver> observers;
  int next_observer = 1;
  DialogHooks dialogs;
  EventLoop loop;
  // Headless event loop.
  std::condition_variable quit_cv;
  bool quit_requested = false;
  int quit_code = 0;
};

Model& model() {
  static Model m;
  return m;
}

void notify(const PanelEvent& event) {
  std::vector<PanelObserver> observers;
  {
    std::lock_guard lock(model().mutex);
    for (const auto& [id, observer] : model().observers) {
      observers.push_back(observer);
    }
  }
  for (const auto& observer : observers) {
    observer(event);
  }
}

// Runs `change` on a control under the lock; returns its result or a lookup error.
template <typename F>
int with_control(int panel, int control, F&& change) {
  std::lock_guard lock(model().mutex);
  const auto p = model().panels.find(panel);
  if (p == model().panels.end()) {
    return kErrPanel;
  }
  const auto c = p->second.controls.find(control);
  if (c == p->second.controls.end()) {
    return kErrControl;
  }
  return change(c->second);
}

template <typename F>
int with_panel(int panel, F&& change) {
  std::lock_guard lock(model().mutex);
  const auto p = model().panels.find(panel);
  if (p == model().panels.end()) {
    return kErrPanel;
  }
  return change(p->second);
}

int add_panel(const PanelDef& def) {
  int handle = 0;
  {
    std::lock_guard lock(model().mutex);
    handle = model().next_handle++;
    PanelState state;
    state.handle = handle;
    state.def = def;
    for (const ControlDef& c : def.controls) {
      ControlState cs;
      cs.def = c;
      cs.value = c.value;
      state.controls.emplace(c.number, std::move(cs));
    }
    model().panels.emplace(handle, std::move(state));
  }
  notify({PanelEvent::Kind::Loaded, handle});
  return handle;
}

int set_value(int panel, int control, CtrlValue value) {
  const int rc = with_control(panel, control, [&](ControlState& c) {
    c.value = value;
    return 0;
  });
  if (rc == 0) {
    notify({PanelEvent::Kind::Value, panel, control, ATTR_CTRL_VAL, std::move(value)});
  }
  return rc;
}

template <typename T>
int get_number(int panel, int control, T* out) {
  if (out == nullptr) {
    return kErrType;
  }
  return with_control(panel, control, [&](ControlState& c) {
    if (const int* i = std::get_if<int>(&c.value)) {
      *out = static_cast<T>(*i);
      return 0;
    }
    if (const double* d = std::get_if<double>(&c.value)) {
      *out = static_cast<T>(*d);
      return 0;
    }
    return kErrType;
  });
}

}  // namespace

void set_panel_source(PanelSource source) {
  std::lock_guard lock(model().mutex);
  model().source = std::move(source);
}

void register_callback(const std::string& name, CtrlCallbackPtr fn) {
  std::lock_guard lock(model().mutex);
  model().control_callbacks[name] = fn;
}

void register_callback(const std::string& name, PanelCallbackPtr fn) {
  std::lock_guard lock(model().mutex);
  model().panel_callbacks[name] = fn;
}

int add_observer(PanelObserver observer) {
  std::lock_guard lock(model().mutex);
  const int id = model().next_observer++;
  model().observers.emplace(id, std::move(observer));
  return id;
}

void remove_observer(int id) {
  std::lock_guard lock(model().mutex);
  model().observers.erase(id);
}

std::optional<PanelState> panel_state(int panel) {
  std::lock_guard lock(model().mutex);
  const auto p = model().panels.find(panel);
  if (p == model().panels.end()) {
    return std::nullopt;
  }
  return p->second;
}

int create_panel(const PanelDef& def) {
  return add_panel(def);
}

void operator_set_value(int panel, int control, CtrlValue value) {
  set_value(panel, control, std::move(value));
}

int fire_event(int panel, int control, int event) {
  CtrlCallbackPtr control_fn = nullptr;
  PanelCallbackPtr panel_fn = nullptr;
  {
    std::lock_guard lock(model().mutex);
    const auto p = model().panels.find(panel);
    if (p == model().panels.end()) {
      return kErrPanel;
    }
    if (control == 0) {
      const auto f = model().panel_callbacks.find(p->second.def.callback);
      panel_fn = f == model().panel_callbacks.end() ? nullptr : f->second;
    } else {
      const auto c = p->second.controls.find(control);
      if (c == p->second.controls.end()) {
        return kErrControl;
      }
      if (c->second.dimmed) {
        return 0;  // a dimmed control takes no input
      }
      const auto f = model().control_callbacks.find(c->second.def.callback);
      control_fn = f == model().control_callbacks.end() ? nullptr : f->second;
    }
  }
  if (panel_fn != nullptr) {
    return panel_fn(panel, event, nullptr, 0, 0);
  }
  if (control_fn != nullptr) {
    return control_fn(panel, control, event, nullptr, 0, 0);
  }
  return 0;
}

void set_dialog_hooks(DialogHooks hooks) {
  std::lock_guard lock(model().mutex);
  model().dialogs = std::move(hooks);
}

void set_event_loop(EventLoop loop) {
  std::lock_guard lock(model().mutex);
  model().loop = std::move(loop);
}

void process_events() {
  std::function<void()> pump;
  {
    std::lock_guard lock(model().mutex);
    pump = model().loop.process_events;
  }
  if (pump) {
    pump();
  }
}

void reset_panels() {
  std::lock_guard lock(model().mutex);
  Model& m = model();
  m.panels.clear();
  m.popups.clear();
  m.source = nullptr;
  m.observers.clear();
  m.dialogs = {};
  m.loop = {};
  m.quit_requested = false;
  m.quit_code = 0;
}

}  // namespace driveflash::platform

namespace pf = driveflash::platform;

int LoadPanel(int /*parent*/, const char* file, int panelResourceId) {
  pf::PanelSource source;
  {
    std::lock_guard lock(pf::model().mutex);
    source = pf::model().source;
  }
  if (!source || file == nullptr) {
    return pf::kErrFile;
  }
  const std::optional<pf::PanelDef> def = source(file, panelResourceId);
  if (!def) {
    return pf::kErrFile;
  }
  return pf::add_panel(*def);
}

int DisplayPanel(int panel) {
  const int rc = pf::with_panel(panel, [](pf::PanelState& p) {
    p.displayed = true;
    return 0;
  });
  if (rc == 0) {
    pf::notify({pf::PanelEvent::Kind::Displayed, panel});
  }
  return rc;
}

int InstallPopup(int panel) {
  const int rc = pf::with_panel(panel, [panel](pf::PanelState& p) {
    p.displayed = true;
    p.popup = true;
    pf::model().popups.push_back(panel);
    return 0;
  });
  if (rc == 0) {
    pf::notify({pf::PanelEvent::Kind::PopupInstalled, panel});
  }
  return rc;
}

int RemovePopup(int removeAllPopups) {
  std::vector<int> removed;
  {
    std::lock_guard lock(pf::model().mutex);
    auto& popups = pf::model().popups;
    while (!popups.empty()) {
      const int panel = popups.back();
      popups.pop_back();
      const auto p = pf::model().panels.find(panel);
      if (p != pf::model().panels.end()) {
        p->second.popup = false;
        p->second.displayed = false;
      }
      removed.push_back(panel);
      if (removeAllPopups == 0) {
        break;
      }
    }
  }
  for (const int panel : removed) {
    pf::notify({pf::PanelEvent::Kind::PopupRemoved, panel});
  }
  return 0;
}

int DiscardPanel(int panel) {
  {
    std::lock_guard lock(pf::model().mutex);
    if (pf::model().panels.erase(panel) == 0) {
      return pf::kErrPanel;
    }
    auto& popups = pf::model().popups;
    popups.erase(std::remove(popups.begin(), popups.end(), panel), popups.end());
  }
  pf::notify({pf::PanelEvent::Kind::Discarded, panel});
  return 0;
}

int RunUserInterface() {
  std::function<int()> run;
  {
    std::lock_guard lock(pf::model().mutex);
    run = pf::model().loop.run;
  }
  if (run) {
    return run();
  }
  std::unique_lock lock(pf::model().mutex);
  pf::model().quit_cv.wait(lock, [] { return pf::model().quit_requested; });
  pf::model().quit_requested = false;
  return pf::model().quit_code;
}

int QuitUserInterface(int returnCode) {
  std::function<void(int)> quit;
  {
    std::lock_guard lock(pf::model().mutex);
    quit = pf::model().loop.quit;
    pf::model().quit_requested = true;
    pf::model().quit_code = returnCode;
  }
  pf::model().quit_cv.notify_all();
  if (quit) {
    quit(returnCode);
  }
  pf::notify({pf::PanelEvent::Kind::Quit, 0, 0, 0, returnCode});
  return 0;
}

int GetCtrlVal(int panel, int control, int* value) {
  return pf::get_number(panel, control, value);
}

int GetCtrlVal(int panel, int control, double* value) {
  return pf::get_number(panel, control, value);
}

int GetCtrlVal(int panel, int control, char* value) {
  if (value == nullptr) {
    return pf::kErrType;
  }
  return pf::with_control(panel, control, [&](pf::ControlState& c) {
    const std::string* s = std::get_if<std::string>(&c.value);
    if (s == nullptr) {
      return pf::kErrType;
    }
    const std::size_t n = std::min(s->size(), std::size_t{pf::kPathBufferSize - 1});
    std::memcpy(value, s->data(), n);
    value[n] = '\0';
    return 0;
  });
}

int SetCtrlVal(int panel, int control, int value) {
  return pf::set_value(panel, control, value);
}

int SetCtrlVal(int panel, int control, double value) {
  return pf::set_value(panel, control, value);
}

int SetCtrlVal(int panel, int control, const char* value) {
  return pf::set_value(panel, control, std::string(value != nullptr ? value : ""));
}

int SetCtrlAttribute(int panel, int control, int attribute, int value) {
  if (attribute == ATTR_CTRL_VAL) {
    return pf::set_value(panel, control, value);
  }
  if (attribute != ATTR_DIMMED && attribute != ATTR_VISIBLE) {
    return pf::kErrType;
  }
  const int rc = pf::with_control(panel, control, [&](pf::ControlState& c) {
    (attribute == ATTR_DIMMED ? c.dimmed : c.visible) = value != 0;
    return 0;
  });
  if (rc == 0) {
    pf::notify({pf::PanelEvent::Kind::Attribute, panel, control, attribute, value});
  }
  return rc;
}

int InsertTextBoxLine(int panel, int control, int index, const char* text) {
  const std::string line = text != nullptr ? text : "";
  const int rc = pf::with_control(panel, control, [&](pf::ControlState& c) {
    auto& lines = c.lines;
    if (index < 0 || static_cast<std::size_t>(index) >= lines.size()) {
      lines.push_back(line);
    } else {
      lines.insert(lines.begin() + index, line);
    }
    return 0;
  });
  if (rc == 0) {
    pf::notify({pf::PanelEvent::Kind::LineAppended, panel, control, index, line});
  }
  return rc;
}

int ResetTextBox(int panel, int control, const char* text) {
  const std::string content = text != nullptr ? text : "";
  const int rc = pf::with_control(panel, control, [&](pf::ControlState& c) {
    c.lines.clear();
    if (!content.empty()) {
      c.lines.push_back(content);
    }
    return 0;
  });
  if (rc == 0) {
    pf::notify({pf::PanelEvent::Kind::TextBoxReset, panel, control, 0, content});
  }
  return rc;
}

int MessagePopup(const char* title, const char* message) {
  std::function<void(const std::string&, const std::string&)> hook;
  {
    std::lock_guard lock(pf::model().mutex);
    hook = pf::model().dialogs.message;
  }
  if (hook) {
    hook(title != nullptr ? title : "", message != nullptr ? message : "");
  }
  return 0;
}

int ConfirmPopup(const char* title, const char* message) {
  decltype(pf::DialogHooks::confirm) hook;
  {
    std::lock_guard lock(pf::model().mutex);
    hook = pf::model().dialogs.confirm;
  }
  if (!hook) {
    return 1;
  }
  return hook(title != nullptr ? title : "", message != nullptr ? message : "") ? 1 : 0;
}

int FileSelectPopup(const char* defaultDirectory, const char* defaultFileSpec,
                    const char* /*fileTypeList*/, const char* title, int /*buttonLabel*/,
                    int /*restrictDirectory*/, int /*restrictExtension*/, int /*allowCancel*/,
                    int /*allowMakeDirectory*/, char* pathBuffer) {
  decltype(pf::DialogHooks::file_select) hook;
  {
    std::lock_guard lock(pf::model().mutex);
    hook = pf::model().dialogs.file_select;
  }
  if (!hook || pathBuffer == nullptr) {
    return VAL_NO_FILE_SELECTED;
  }
  const std::optional<std::string> chosen =
      hook(defaultDirectory != nullptr ? defaultDirectory : "",
           defaultFileSpec != nullptr ? defaultFileSpec : "", title != nullptr ? title : "");
  if (!chosen || chosen->empty() || chosen->size() >= pf::kPathBufferSize) {
    return VAL_NO_FILE_SELECTED;
  }
  std::memcpy(pathBuffer, chosen->c_str(), chosen->size() + 1);
  std::error_code ec;
  return std::filesystem::is_regular_file(*chosen, ec) ? VAL_EXISTING_FILE_SELECTED
                                                       : VAL_NO_FILE_SELECTED;
}
