// Panels as windows: each panel loaded gets a window built from the panel file, and every change
// of the model reaches the widgets on the GUI thread, in order.
#include "platform/qt/qt_panels.h"

#include <QApplication>
#include <QBuffer>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLayout>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QUiLoader>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>

#include "platform/panels.h"
#include "platform/qt/uir_file.h"
#include "platform/resources.h"

namespace driveflash::platform {
namespace {

// A window holding one panel. Its close box (and Escape on a popup) asks the panel's callback;
// the window goes away only when the program discards or removes the panel.
class PanelWindow final : public QWidget {
 public:
  explicit PanelWindow(int handle) : handle_(handle) {}
  bool popup = false;

 protected:
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    operator_action(handle_, 0, EVENT_CLOSE);
  }
  void keyPressEvent(QKeyEvent* event) override {
    if (popup && event->key() == Qt::Key_Escape) {
      operator_action(handle_, 0, EVENT_CLOSE);
      return;
    }
    // A popup is no dialog to Qt: Enter presses its default button, as in a dialog.
    if (popup && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
      for (QPushButton* b : findChildren<QPushButton*>()) {
        if (b->isDefault() && b->isEnabled() && b->isVisible()) {
          b->click();
          return;
        }
      }
    }
    QWidget::keyPressEvent(event);
  }

 private:
  int handle_;
};

struct Panel {
  QPointer<PanelWindow> window;
  std::map<int, QPointer<QWidget>> controls;
};

// GUI thread only.
struct Windows {
  std::map<int, Panel> panels;
  std::vector<int> popups;  // innermost last
  int first_displayed = 0;
  int observer = 0;
};
Windows* g_windows = nullptr;

// A model change on its way to the GUI thread; a load also carries the form it was built from.
struct Change {
  PanelEvent event;
  std::string form;
  PanelDef def;
};

// Filled by any thread, emptied by the GUI thread. A value or attribute that changes again
// before the GUI thread gets to it is updated in place: the widgets show the same end state
// without replaying every step (a worker resting in its last state sets the same attributes
// over and over).
struct ChangeQueue {
  std::mutex mutex;
  std::vector<Change> changes;
  std::map<std::tuple<int, int, int, int>, std::size_t> positions;
  bool flush_posted = false;
};
ChangeQueue& change_queue() {
  static ChangeQueue q;
  return q;
}

// Handed from the panel source to the observer of the load, on the loading thread.
thread_local std::optional<std::pair<std::string, PanelDef>> t_loading;

void apply(Change& change);

void flush_changes() {
  std::vector<Change> batch;
  {
    ChangeQueue& q = change_queue();
    std::lock_guard lock(q.mutex);
    batch.swap(q.changes);
    q.positions.clear();
    q.flush_posted = false;
  }
  if (g_windows != nullptr) {
    for (Change& change : batch) {
      apply(change);
    }
  }
}

void observe(const PanelEvent& event) {
  Change change{event, {}, {}};
  if (event.kind == PanelEvent::Kind::Loaded && t_loading) {
    change.form = std::move(t_loading->first);
    change.def = std::move(t_loading->second);
    t_loading.reset();
  }
  const bool settable =
      event.kind == PanelEvent::Kind::Value || event.kind == PanelEvent::Kind::Attribute;
  const auto key =
      std::make_tuple(event.panel, event.control, static_cast<int>(event.kind), event.attribute);
  bool post = false;
  {
    ChangeQueue& q = change_queue();
    std::lock_guard lock(q.mutex);
    const auto slot = settable ? q.positions.find(key) : q.positions.end();
    if (slot != q.positions.end()) {
      q.changes[slot->second].event.value = event.value;
    } else {
      if (settable) {
        q.positions.emplace(key, q.changes.size());
      }
      q.changes.push_back(std::move(change));
    }
    post = !q.flush_posted;
    q.flush_posted = true;
  }
  if (post) {
    post_to_gui(flush_changes);
  }
}

std::optional<PanelDef> load_from_file(const std::string& file, int number) {
  t_loading.reset();
  const std::string path = find_resource(file);
  if (path.empty()) {
    return std::nullopt;
  }
  std::string content;
  std::string error;
  std::optional<PanelDef> def;
  if (read_panel_file(path, content, error)) {
    def = parse_uir_panel(content, number, error);
  }
  if (!def) {
    // NOLINTNEXTLINE(cert-err33-c): a diagnostic that stderr cannot take has nowhere to go
    std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
    return std::nullopt;
  }
  t_loading.emplace(std::move(content), *def);
  return def;
}

QWidget* find_control(int panel, int control) {
  if (g_windows == nullptr) {
    return nullptr;
  }
  const auto p = g_windows->panels.find(panel);
  if (p == g_windows->panels.end()) {
    return nullptr;
  }
  const auto c = p->second.controls.find(control);
  return c == p->second.controls.end() ? nullptr : c->second.data();
}

// The window of a freshly loaded panel, built with the form loader from the very bytes the
// model's definition was read from, so both agree.
void build(int handle, const std::string& form, const PanelDef& def) {
  QUiLoader loader;
  QByteArray bytes = QByteArray::fromStdString(form);
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::ReadOnly);
  std::unique_ptr<QWidget> root(loader.load(&buffer));
  if (!root) {
    // NOLINTNEXTLINE(cert-err33-c): a diagnostic that stderr cannot take has nowhere to go
    std::fprintf(stderr, "panel %d: %s\n", def.number, qPrintable(loader.errorString()));
    return;
  }
  QWidget* content = root.get();
  if (root->property("panelNumber").toInt() != def.number) {
    content = nullptr;
    for (QWidget* w : root->findChildren<QWidget*>()) {
      if (w->property("panelNumber").isValid() &&
          w->property("panelNumber").toInt() == def.number) {
        content = w;
        break;
      }
    }
  }
  if (content == nullptr) {
    return;
  }
  auto* window = new PanelWindow(handle);
  window->setWindowTitle(QString::fromStdString(def.title));
  auto* layout = new QVBoxLayout(window);
  layout->setContentsMargins(0, 0, 0, 0);
  if (content == root.get()) {
    root.release();  // NOLINT(bugprone-unused-return-value): setParent below hands it over
  }
  content->setParent(window);
  layout->addWidget(content);
  content->setVisible(true);
  Panel& panel = g_windows->panels[handle];
  panel.window = window;
  std::map<int, QWidget*> widgets;
  for (QWidget* w : content->findChildren<QWidget*>()) {
    if (w->property("ctrlNumber").isValid()) {
      widgets.emplace(w->property("ctrlNumber").toInt(), w);
    }
  }
  for (const ControlDef& def_control : def.controls) {
    const auto w = widgets.find(def_control.number);
    if (w == widgets.end()) {
      continue;
    }
    panel.controls[def_control.number] = w->second;
    connect_control(handle, def_control.number, w->second);
    show_in_widget(w->second, def_control.value);
  }
}

Panel* find_panel(int handle) {
  const auto p = g_windows->panels.find(handle);
  return p == g_windows->panels.end() || p->second.window == nullptr ? nullptr : &p->second;
}

void install_popup(int handle, PanelWindow* window) {
  QWidget* parent = top_panel_window();
  window->popup = true;
  window->setParent(parent != window ? parent : nullptr, Qt::Dialog);
  window->setWindowModality(window->parentWidget() != nullptr ? Qt::WindowModal
                                                              : Qt::ApplicationModal);
  g_windows->popups.push_back(handle);
  window->adjustSize();
  if (QWidget* over = window->parentWidget()) {
    window->move(over->frameGeometry().center() - window->rect().center());
  }
  fit_on_screen(window);
  window->show();
  window->raise();
  window->activateWindow();
}

void apply(Change& change) {
  const PanelEvent& e = change.event;
  auto& popups = g_windows->popups;
  if (e.kind == PanelEvent::Kind::Loaded) {
    if (!change.form.empty()) {
      build(e.panel, change.form, change.def);
    }
    return;
  }
  Panel* panel = find_panel(e.panel);
  if (panel == nullptr) {
    return;
  }
  PanelWindow* window = panel->window;
  QWidget* c = find_control(e.panel, e.control);
  switch (e.kind) {
    case PanelEvent::Kind::Displayed:
      if (g_windows->first_displayed == 0) {
        g_windows->first_displayed = e.panel;
      }
      window->show();
      window->raise();
      break;
    case PanelEvent::Kind::PopupInstalled:
      install_popup(e.panel, window);
      break;
    case PanelEvent::Kind::PopupRemoved:
    case PanelEvent::Kind::Discarded:
      popups.erase(std::remove(popups.begin(), popups.end(), e.panel), popups.end());
      window->hide();
      if (e.kind == PanelEvent::Kind::Discarded) {
        window->deleteLater();  // it may be the window whose close box is being handled
        g_windows->panels.erase(e.panel);
        g_windows->first_displayed =
            g_windows->first_displayed == e.panel ? 0 : g_windows->first_displayed;
      }
      break;
    case PanelEvent::Kind::Value:
      if (c != nullptr) {
        show_in_widget(c, e.value);
      }
      break;
    case PanelEvent::Kind::Attribute:
      if (c != nullptr) {
        const bool on = std::get<int>(e.value) != 0;
        e.attribute == ATTR_DIMMED ? c->setEnabled(!on) : c->setVisible(on);
      }
      break;
    case PanelEvent::Kind::LineAppended:
      if (c != nullptr) {
        insert_text_line(c, e.attribute, std::get<std::string>(e.value));
      }
      break;
    case PanelEvent::Kind::TextBoxReset: {
      const auto& text = std::get<std::string>(e.value);
      if (c != nullptr) {
        set_text_lines(c,
                       text.empty() ? std::vector<std::string>{} : std::vector<std::string>{text});
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace

void install_qt_panels() {
  if (g_windows != nullptr) {
    return;
  }
  start_gui_tasks();
  g_windows = new Windows;
  set_panel_source(load_from_file);
  g_windows->observer = add_observer(observe);
  EventLoop loop;
  loop.run = [] { return QApplication::exec(); };
  // After every change queued before it, so the last lines still reach the windows.
  loop.quit = [](int code) { post_to_gui([code] { QCoreApplication::exit(code); }); };
  loop.process_events = [] {
    run_posted_tasks();
    QCoreApplication::processEvents();
  };
  set_event_loop(std::move(loop));
}

void uninstall_qt_panels() {
  if (g_windows == nullptr) {
    return;
  }
  remove_observer(g_windows->observer);
  {
    ChangeQueue& q = change_queue();
    std::lock_guard lock(q.mutex);
    q.changes.clear();
    q.positions.clear();
    q.flush_posted = false;
  }
  for (auto& [handle, panel] : g_windows->panels) {
    delete panel.window.data();  // popups go with the window they belong to
  }
  delete g_windows;
  g_windows = nullptr;
  set_event_loop({});
  set_panel_source(uir_panel_source());
}

QWidget* panel_window(int panel) {
  Panel* p = g_windows != nullptr ? find_panel(panel) : nullptr;
  return p != nullptr ? p->window.data() : nullptr;
}

QWidget* control_widget(int panel, int control) {
  return find_control(panel, control);
}

void fit_on_screen(QWidget* window, QWidget* shrinkable) {
  constexpr int kLeastTextHeight = 96;
  QScreen* screen = window->screen();
  if (screen == nullptr) {
    return;
  }
  const QRect area = screen->availableGeometry();
  // Widgets just added have not been laid out yet; the sizes below must count them.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
  // The window manager's frame is known only once the window is shown; before, a title bar and
  // a border are a fair guess.
  int frame_height = window->frameGeometry().height() - window->height();
  int frame_width = window->frameGeometry().width() - window->width();
  if (frame_height <= 0) {
    frame_height = window->style()->pixelMetric(QStyle::PM_TitleBarHeight) + 8;
    frame_width = 8;
  }
  // Wrapped text (a long verdict) asks for its height at the window's width.
  const auto wanted = [window] {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    int height = std::max(window->height(), window->minimumSizeHint().height());
    if (QLayout* layout = window->layout(); layout != nullptr && layout->hasHeightForWidth()) {
      height = std::max(height, layout->totalHeightForWidth(window->width()));
    }
    return height;
  };
  const int over = wanted() + frame_height - area.height();
  if (over > 0 && shrinkable != nullptr) {
    shrinkable->setMinimumHeight(std::max(kLeastTextHeight, shrinkable->minimumHeight() - over));
  }
  const int height = std::min(wanted(), area.height() - frame_height);
  const int width = std::min(std::max(window->width(), window->minimumSizeHint().width()),
                             area.width() - frame_width);
  window->resize(width, height);
  const QRect frame = window->frameGeometry();
  const int fw = window->width() + frame_width;
  const int fh = window->height() + frame_height;
  const int x = std::clamp(frame.x(), area.left(), std::max(area.left(), area.right() + 1 - fw));
  const int y = std::clamp(frame.y(), area.top(), std::max(area.top(), area.bottom() + 1 - fh));
  window->move(x, y);
}

QWidget* top_panel_window() {
  if (g_windows == nullptr) {
    return nullptr;
  }
  for (auto p = g_windows->popups.rbegin(); p != g_windows->popups.rend(); ++p) {
    if (QWidget* w = panel_window(*p); w != nullptr && w->isVisible()) {
      return w;
    }
  }
  return panel_window(g_windows->first_displayed);
}

}  // namespace driveflash::platform
