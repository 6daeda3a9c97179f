// The controls of the windows: model values shown in widgets, the operator's input fed back into
// the model, and the port control.
#include <QAbstractButton>
#include <QComboBox>
#include <QFile>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLCDNumber>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSpinBox>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>

#include "platform/qt/qt_panels.h"
#include "platform/qt/qt_serial.h"

namespace driveflash::platform {
namespace {

// GUI thread only. Text the operator is typing reaches the model when the edit ends.
struct Typing {
  QPointer<QWidget> widget;
  int panel = 0;
  int control = 0;
};
std::vector<Typing> g_typing;
int g_callback_depth = 0;

bool typing(const QWidget* w) {
  return std::any_of(g_typing.begin(), g_typing.end(),
                     [w](const Typing& t) { return t.widget == w; });
}

int as_int(const CtrlValue& v) {
  if (const int* i = std::get_if<int>(&v)) {
    return *i;
  }
  if (const double* d = std::get_if<double>(&v)) {
    return std::isfinite(*d) ? static_cast<int>(std::lround(std::clamp(*d, -2e9, 2e9))) : 0;
  }
  return QString::fromStdString(std::get<std::string>(v)).trimmed().toInt();
}

QString as_text(const CtrlValue& v) {
  if (const std::string* s = std::get_if<std::string>(&v)) {
    return QString::fromStdString(*s);
  }
  const double* d = std::get_if<double>(&v);
  return d != nullptr ? QString::number(*d) : QString::number(as_int(v));
}

// A port control holds text the operator typed that names no port: it stays shown, so that
// the port shown is the port Program refuses by name, never an earlier one put back.
void show_typed_port(QComboBox* box, const QString& text) {
  box->setCurrentIndex(-1);
  box->setEditText(text);
}

void show_number(QComboBox* box, int n) {
  const int index = is_port_control(box) ? box->findData(n) : box->findText(QString::number(n));
  box->setCurrentIndex(index);
  if (index < 0) {
    box->setEditText(QString::number(n));
  }
}

void show_value(QWidget* w, const CtrlValue& v) {
  const QSignalBlocker block(w);
  if (auto* edit = qobject_cast<QLineEdit*>(w)) {
    if (edit->text() != as_text(v)) {
      edit->setText(as_text(v));
    }
  } else if (auto* label = qobject_cast<QLabel*>(w)) {
    label->setText(as_text(v));
  } else if (auto* lcd = qobject_cast<QLCDNumber*>(w)) {
    lcd->display(as_int(v));
  } else if (auto* bar = qobject_cast<QProgressBar*>(w)) {
    const double* d = std::get_if<double>(&v);
    const double value = d != nullptr ? *d : as_int(v);
    if (std::isfinite(value)) {
      bar->setValue(static_cast<int>(std::lround(std::clamp(
          value, static_cast<double>(bar->minimum()), static_cast<double>(bar->maximum())))));
    }
  } else if (auto* spin = qobject_cast<QSpinBox*>(w)) {
    spin->setValue(as_int(v));
  } else if (auto* box = qobject_cast<QComboBox*>(w)) {
    if (const std::string* text = std::get_if<std::string>(&v);
        text != nullptr && is_port_control(box)) {
      show_typed_port(box, QString::fromStdString(*text));
    } else {
      box->isEditable() ? show_number(box, as_int(v)) : box->setCurrentIndex(as_int(v));
    }
  } else if (auto* text = qobject_cast<QPlainTextEdit*>(w)) {
    text->setPlainText(as_text(v));
  }
}

// "3" and "3: /dev/ttyS0" name port 3, a listed name its port; any other text is a device,
// which the port table numbers by its rule (a device already there keeps its number).
std::optional<int> port_from_text(QComboBox* box) {
  const QString text = box->currentText().trimmed();
  if (text.isEmpty()) {
    return std::nullopt;
  }
  const int index = box->findText(text);
  if (index >= 0 && box->itemData(index).isValid()) {
    return box->itemData(index).toInt();
  }
  bool number = false;
  const int n = text.section(u':', 0, 0).trimmed().toInt(&number);
  if (number) {
    return n > 0 ? std::optional<int>(n) : std::nullopt;
  }
  const std::string device = QFile::encodeName(text).toStdString();
  for (const PortEntry& e : port_table()) {
    if (e.name == device) {
      return e.number;
    }
  }
  // A mistyped path would stay in the list for the whole session: only what exists is kept.
  // Windows' COMn names are no files.
  static const QRegularExpression com_name(QStringLiteral("^COM[0-9]+$"),
                                           QRegularExpression::CaseInsensitiveOption);
  std::error_code ec;
  if (!com_name.match(text).hasMatch() &&
      !std::filesystem::exists(std::filesystem::path(device), ec)) {
    return std::nullopt;
  }
  const int mapped = map_device(device);
  fill_port_list(box);
  return mapped;
}

std::optional<CtrlValue> value_from_text(QWidget* w) {
  if (auto* box = qobject_cast<QComboBox*>(w)) {
    if (is_port_control(box)) {
      if (const std::optional<int> port = port_from_text(box)) {
        return CtrlValue(*port);
      }
      // Not put back to the port before: Program would run on a port the operator did not
      // choose. The text itself is kept, and Program refuses it by name.
      const QString text = box->currentText().trimmed();
      return text.isEmpty() ? std::nullopt : std::optional<CtrlValue>(text.toStdString());
    }
    bool number = false;
    const int n = box->currentText().trimmed().toInt(&number);
    return number ? std::optional<CtrlValue>(n) : std::nullopt;
  }
  if (auto* edit = qobject_cast<QLineEdit*>(w)) {
    return edit->text().toStdString();
  }
  return std::nullopt;
}

// What the operator typed goes into the model; text that stands for nothing is taken back.
void finish_typing(QWidget* w) {
  const auto t = std::find_if(g_typing.begin(), g_typing.end(),
                              [w](const Typing& x) { return x.widget == w; });
  if (t == g_typing.end()) {
    return;
  }
  const int panel = t->panel;
  const int control = t->control;
  g_typing.erase(t);
  if (const std::optional<CtrlValue> value = value_from_text(w)) {
    operator_set_value(panel, control, *value);
    return;
  }
  if (const std::optional<PanelState> state = panel_state(panel);
      state && state->controls.contains(control)) {
    show_value(w, state->controls.at(control).value);
  }
}

void finish_all_typing() {
  std::vector<QWidget*> widgets;
  for (const Typing& t : g_typing) {
    if (t.widget != nullptr) {
      widgets.push_back(t.widget);
    }
  }
  for (QWidget* w : widgets) {
    finish_typing(w);
  }
  g_typing.clear();  // widgets that are gone
}

void set_from_operator(int panel, int control, CtrlValue value) {
  operator_set_value(panel, control, std::move(value));
  operator_action(panel, control, EVENT_COMMIT);
}

// The port list is made anew just before it opens.
class PortListRefresher final : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* box = qobject_cast<QComboBox*>(watched);
    bool opening = event->type() == QEvent::MouseButtonPress;
    if (event->type() == QEvent::KeyPress) {
      // NOLINTNEXTLINE(cppcoreguidelines-pro-type-static-cast-downcast): type() says so
      const auto* key = static_cast<QKeyEvent*>(event);
      // F4, or Alt with an arrow: the keyboard's ways of opening the list.
      opening =
          key->key() == Qt::Key_F4 || ((key->key() == Qt::Key_Down || key->key() == Qt::Key_Up) &&
                                       key->modifiers().testFlag(Qt::AltModifier));
    }
    if (box != nullptr && opening) {
      finish_typing(box);
      fill_port_list(box);
    }
    return false;
  }
};

void connect_combo(int panel, int control, QComboBox* box) {
  if (!box->isEditable()) {
    QObject::connect(box, &QComboBox::currentIndexChanged,
                     [panel, control](int index) { set_from_operator(panel, control, index); });
    return;
  }
  box->setInsertPolicy(QComboBox::NoInsert);
  // Completion would turn a typed "1" into "100: /dev/ttyS0", or "1" into "115200".
  box->setCompleter(nullptr);
  if (is_port_control(box)) {
    box->installEventFilter(new PortListRefresher(box));
    fill_port_list(box);
  } else {
    // Rates and numbers the panel holds are positive.
    box->lineEdit()->setValidator(new QIntValidator(1, std::numeric_limits<int>::max(), box));
  }
  QObject::connect(box->lineEdit(), &QLineEdit::textEdited, [panel, control, box] {
    if (!typing(box)) {
      g_typing.push_back({box, panel, control});
    }
  });
  QObject::connect(box->lineEdit(), &QLineEdit::editingFinished, [box] { finish_typing(box); });
  QObject::connect(box, &QComboBox::activated, [panel, control, box](int index) {
    g_typing.erase(std::remove_if(g_typing.begin(), g_typing.end(),
                                  [box](const Typing& t) { return t.widget == box; }),
                   g_typing.end());
    const QVariant port = box->itemData(index);
    set_from_operator(panel, control,
                      port.isValid() ? port.toInt() : box->itemText(index).trimmed().toInt());
  });
}

}  // namespace

void show_in_widget(QWidget* widget, const CtrlValue& value) {
  if (widget != nullptr && !typing(widget)) {
    show_value(widget, value);
  }
}

void insert_text_line(QWidget* box, int index, const std::string& line) {
  auto* text = qobject_cast<QPlainTextEdit*>(box);
  if (text == nullptr) {
    return;
  }
  QTextDocument* document = text->document();
  const int lines = document->isEmpty() ? 0 : document->blockCount();
  if (index < 0 || index >= lines) {
    text->appendPlainText(QString::fromStdString(line));
  } else {
    QTextCursor(document->findBlockByNumber(index))
        .insertText(QString::fromStdString(line) + u'\n');
  }
  text->verticalScrollBar()->setValue(text->verticalScrollBar()->maximum());
}

void set_text_lines(QWidget* box, const std::vector<std::string>& lines) {
  if (auto* text = qobject_cast<QPlainTextEdit*>(box)) {
    QStringList all;
    for (const std::string& line : lines) {
      all << QString::fromStdString(line);
    }
    text->setPlainText(all.join(u'\n'));
    text->verticalScrollBar()->setValue(text->verticalScrollBar()->maximum());
  }
}

void connect_control(int panel, int control, QWidget* widget) {
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    if (auto* push = qobject_cast<QPushButton*>(widget)) {
      push->setAutoDefault(false);  // Return in a field must not press a button
      push->setDefault(false);
    }
    QObject::connect(button, &QAbstractButton::clicked,
                     [panel, control] { operator_action(panel, control, EVENT_COMMIT); });
  } else if (auto* box = qobject_cast<QComboBox*>(widget)) {
    connect_combo(panel, control, box);
  } else if (auto* edit = qobject_cast<QLineEdit*>(widget);
             edit != nullptr && !edit->isReadOnly()) {
    QObject::connect(edit, &QLineEdit::textEdited, [panel, control, edit] {
      if (!typing(edit)) {
        g_typing.push_back({edit, panel, control});
      }
    });
    QObject::connect(edit, &QLineEdit::editingFinished, [edit] { finish_typing(edit); });
  } else if (auto* spin = qobject_cast<QSpinBox*>(widget)) {
    QObject::connect(spin, &QSpinBox::valueChanged,
                     [panel, control](int v) { set_from_operator(panel, control, v); });
  }
}

void operator_action(int panel, int control, int event) {
  if (g_callback_depth > 0) {
    return;
  }
  finish_all_typing();
  ++g_callback_depth;
  fire_event(panel, control, event);
  --g_callback_depth;
}

bool is_port_control(const QComboBox* box) {
  return box != nullptr && box->isEditable() && box->property("portPicker").toBool();
}

void fill_port_list(QComboBox* box) {
  map_detected_ports();
  std::vector<PortEntry> table = port_table();
  std::sort(table.begin(), table.end(),
            [](const PortEntry& a, const PortEntry& b) { return a.number < b.number; });
  const QVariant current = box->currentData();
  const QString text = box->currentText();
  const QSignalBlocker block(box);
  box->clear();
  for (const PortEntry& e : table) {
    QString item = QStringLiteral("%1: %2").arg(e.number).arg(QString::fromStdString(e.name));
    if (!e.description.empty()) {
      item += QStringLiteral(" — ") + QString::fromStdString(e.description);
    }
    box->addItem(item, e.number);
  }
  const int index = current.isValid() ? box->findData(current) : -1;
  box->setCurrentIndex(index);
  if (index < 0) {
    box->setEditText(text);
  }
}

}  // namespace driveflash::platform
