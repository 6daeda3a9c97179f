#include "platform/qt/uir_file.h"

#include <QByteArray>
#include <QString>
#include <QXmlStreamReader>
#include <array>
#include <cstdio>
#include <fstream>
#include <map>
#include <variant>
#include <vector>

#include "platform/files.h"
#include "platform/resources.h"

namespace driveflash::platform {
namespace {

// A panel file is a few kilobytes; anything far larger is not one.
constexpr std::size_t kMaxFileSize = std::size_t{4} * 1024 * 1024;
// Designer nests a widget in a layout in an item; real forms stay well below this.
constexpr int kMaxDepth = 64;

using Prop = std::variant<std::monostate, QString, qlonglong, double, bool>;
using Props = std::map<QString, Prop>;

struct Node {
  QString cls;
  QString name;
  Props props;
  std::vector<QString> items;  // combo box entries
  std::vector<Node> children;  // widgets inside, through any layouts
};

class FormReader {
 public:
  explicit FormReader(std::string_view content)
      : xml_(QByteArray(content.data(), static_cast<qsizetype>(content.size()))) {}

  std::optional<Node> read(std::string& error) {
    std::optional<Node> root;
    if (xml_.readNextStartElement()) {
      if (xml_.name() != u"ui") {
        error = "not a Qt Designer form (the document element is not <ui>)";
        return std::nullopt;
      }
      while (ok() && xml_.readNextStartElement()) {
        if (xml_.name() == u"widget" && !root) {
          root.emplace();
          widget(*root, 0);
        } else {
          xml_.skipCurrentElement();
        }
      }
    }
    if (xml_.hasError() || !error_.empty()) {
      error = !error_.empty() ? error_
                              : "line " + std::to_string(xml_.lineNumber()) + ": " +
                                    xml_.errorString().toStdString();
      return std::nullopt;
    }
    if (!root) {
      error = "the form holds no widget";
      return std::nullopt;
    }
    return root;
  }

 private:
  bool ok() const { return error_.empty() && !xml_.hasError(); }

  bool too_deep(int depth) {
    if (depth > kMaxDepth) {
      error_ = "line " + std::to_string(xml_.lineNumber()) + ": widgets nested too deeply";
    }
    return !error_.empty();
  }

  // NOLINTNEXTLINE(misc-no-recursion): too_deep() stops the descent at kMaxDepth
  void widget(Node& node, int depth) {
    if (too_deep(depth)) {
      return;
    }
    node.cls = xml_.attributes().value(QStringLiteral("class")).toString();
    node.name = xml_.attributes().value(QStringLiteral("name")).toString();
    while (ok() && xml_.readNextStartElement()) {
      if (xml_.name() == u"property") {
        property(node.props);
      } else if (xml_.name() == u"widget") {
        node.children.emplace_back();
        widget(node.children.back(), depth + 1);
      } else if (xml_.name() == u"layout") {
        container(node.children, depth + 1);
      } else if (xml_.name() == u"item") {
        Props item;
        while (ok() && xml_.readNextStartElement()) {
          xml_.name() == u"property" ? property(item) : xml_.skipCurrentElement();
        }
        const auto text = item.find(QStringLiteral("text"));
        const QString* s = text == item.end() ? nullptr : std::get_if<QString>(&text->second);
        node.items.push_back(s != nullptr ? *s : QString());
      } else {
        xml_.skipCurrentElement();
      }
    }
  }

  // A layout or a layout item: only the widgets inside matter.
  // NOLINTNEXTLINE(misc-no-recursion): too_deep() stops the descent at kMaxDepth
  void container(std::vector<Node>& out, int depth) {
    if (too_deep(depth)) {
      return;
    }
    while (ok() && xml_.readNextStartElement()) {
      if (xml_.name() == u"widget") {
        out.emplace_back();
        widget(out.back(), depth + 1);
      } else if (xml_.name() == u"layout" || xml_.name() == u"item") {
        container(out, depth + 1);
      } else {
        xml_.skipCurrentElement();
      }
    }
  }

  void property(Props& props) {
    const QString name = xml_.attributes().value(QStringLiteral("name")).toString();
    Prop value;
    if (xml_.readNextStartElement()) {
      const QString type = xml_.name().toString();
      if (type == u"string" || type == u"cstring" || type == u"enum" || type == u"set") {
        value = xml_.readElementText();
      } else if (type == u"number") {
        bool good = false;
        const qlonglong n = xml_.readElementText().trimmed().toLongLong(&good);
        value = good ? Prop(n) : Prop();
      } else if (type == u"double") {
        bool good = false;
        const double d = xml_.readElementText().trimmed().toDouble(&good);
        value = good ? Prop(d) : Prop();
      } else if (type == u"bool") {
        value = xml_.readElementText().trimmed() == u"true";
      } else {
        xml_.skipCurrentElement();
      }
      while (ok() && xml_.readNextStartElement()) {
        xml_.skipCurrentElement();
      }
    }
    props[name] = std::move(value);
  }

  QXmlStreamReader xml_;
  std::string error_;
};

const Prop* find_prop(const Node& node, const char* name) {
  const auto it = node.props.find(QString::fromLatin1(name));
  return it == node.props.end() || std::holds_alternative<std::monostate>(it->second) ? nullptr
                                                                                      : &it->second;
}

std::optional<double> number_prop(const Node& node, const char* name) {
  const Prop* p = find_prop(node, name);
  if (p == nullptr) {
    return std::nullopt;
  }
  if (const qlonglong* n = std::get_if<qlonglong>(p)) {
    return static_cast<double>(*n);
  }
  if (const double* d = std::get_if<double>(p)) {
    return *d;
  }
  if (const bool* b = std::get_if<bool>(p)) {
    return *b ? 1.0 : 0.0;
  }
  return std::nullopt;
}

std::string text_prop(const Node& node, const char* name) {
  const Prop* p = find_prop(node, name);
  const QString* s = p == nullptr ? nullptr : std::get_if<QString>(p);
  return s != nullptr ? s->toStdString() : std::string();
}

bool flag_prop(const Node& node, const char* name) {
  const Prop* p = find_prop(node, name);
  const bool* b = p == nullptr ? nullptr : std::get_if<bool>(p);
  return b != nullptr && *b;
}

// "&File" shows as "File"; "&&" is a literal ampersand.
std::string without_mnemonic(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) {
      ++i;
    }
    out.push_back(text[i]);
  }
  return out;
}

std::string describe(const Node& node) {
  return "'" + node.name.toStdString() + "' (" + node.cls.toStdString() + ")";
}

// NOLINTNEXTLINE(misc-no-recursion): the reader built the tree no deeper than kMaxDepth
void collect(const Node& node, std::vector<const Node*>& out) {
  for (const Node& child : node.children) {
    out.push_back(&child);
    collect(child, out);
  }
}

}  // namespace

namespace {

// Turns a widget into the control the program sees; false with `error` for what cannot be one.
bool make_control(const Node& node, const std::map<QString, std::string>& labels, ControlDef& c,
                  std::string& error) {
  const std::optional<double> number = number_prop(node, "ctrlNumber");
  if (!number || *number < 1 || *number > 1000000 || *number != static_cast<int>(*number)) {
    error = "control " + describe(node) + ": ctrlNumber must be a whole number from 1";
    return false;
  }
  c.number = static_cast<int>(*number);
  c.name = node.name.toStdString();
  c.callback = text_prop(node, "callback");
  const auto label = labels.find(node.name);
  c.label = label != labels.end() ? label->second : text_prop(node, "label");
  const QString& cls = node.cls;
  if (cls == u"QLineEdit" || cls == u"QLabel") {
    c.kind = ControlKind::Text;
    c.value = text_prop(node, "text");
  } else if (cls == u"QSpinBox") {
    c.kind = ControlKind::Int;
    c.minimum = number_prop(node, "minimum").value_or(0);
    c.maximum = number_prop(node, "maximum").value_or(99);
    c.value = static_cast<int>(number_prop(node, "value").value_or(0));
  } else if (cls == u"QProgressBar") {
    c.kind = ControlKind::Double;
    c.minimum = number_prop(node, "minimum").value_or(0);
    c.maximum = number_prop(node, "maximum").value_or(100);
    c.value = number_prop(node, "value").value_or(0);
  } else if (cls == u"QLCDNumber") {
    c.kind = ControlKind::Int;
    c.value = static_cast<int>(number_prop(node, "intValue").value_or(0));
  } else if (cls == u"QPushButton" || cls == u"QToolButton" || cls == u"QCommandLinkButton") {
    c.kind = ControlKind::Button;
    c.label = without_mnemonic(text_prop(node, "text"));
  } else if (cls == u"QPlainTextEdit") {
    c.kind = ControlKind::TextBox;
    c.value = std::string();
  } else if (cls == u"QComboBox") {
    const double current = number_prop(node, "currentIndex").value_or(0);
    const bool editable = flag_prop(node, "editable");
    c.kind = editable ? ControlKind::Int : ControlKind::Ring;
    for (std::size_t i = 0; i < node.items.size(); ++i) {
      const std::string text = node.items[i].toStdString();
      bool good = true;
      const int value = editable ? node.items[i].trimmed().toInt(&good) : static_cast<int>(i);
      if (!good) {
        error = "control " + describe(node) + ": choice '" + text +
                "' of an editable combo box is not a whole number";
        return false;
      }
      c.items.emplace_back(text, value);
    }
    c.value = current >= 0 && current < static_cast<double>(c.items.size())
                  ? c.items[static_cast<std::size_t>(current)].second
                  : CtrlValue(0);
    c.minimum = number_prop(node, "minimum").value_or(0);
    c.maximum = number_prop(node, "maximum").value_or(0);
  } else {
    error = "control " + describe(node) + ": this widget class cannot be a control";
    return false;
  }
  if (find_prop(node, "value") != nullptr && cls != u"QSpinBox" && cls != u"QProgressBar") {
    // The dynamic "value" sets the start value of controls whose class has no value of its own.
    if (c.kind == ControlKind::Text) {
      c.value = text_prop(node, "value");
    } else if (const auto v = number_prop(node, "value")) {
      c.value = c.kind == ControlKind::Double ? CtrlValue(*v) : CtrlValue(static_cast<int>(*v));
    } else {
      error = "control " + describe(node) + ": its 'value' must be a number";
      return false;
    }
  }
  return true;
}

std::optional<PanelDef> make_panel(const Node& root, int number, std::string& error) {
  std::vector<const Node*> all{&root};
  collect(root, all);
  const Node* panel = nullptr;
  for (const Node* n : all) {
    const std::optional<double> p = number_prop(*n, "panelNumber");
    if (p && *p == number) {
      if (panel != nullptr) {
        error = "panel " + std::to_string(number) + " appears twice";
        return std::nullopt;
      }
      panel = n;
    }
  }
  if (panel == nullptr) {
    error = "the form has no panel " + std::to_string(number);
    return std::nullopt;
  }
  std::vector<const Node*> inside;
  collect(*panel, inside);
  std::map<QString, std::string> labels;  // by the name of the control they label
  for (const Node* n : inside) {
    const std::string buddy = text_prop(*n, "buddy");
    if (n->cls == u"QLabel" && !buddy.empty()) {
      labels[QString::fromStdString(buddy)] = without_mnemonic(text_prop(*n, "text"));
    }
  }
  PanelDef def;
  def.number = number;
  def.title = text_prop(*panel, "windowTitle");
  def.callback = text_prop(*panel, "panelCallback");
  for (const Node* n : inside) {
    if (find_prop(*n, "ctrlNumber") == nullptr) {
      continue;
    }
    ControlDef c;
    if (!make_control(*n, labels, c, error)) {
      return std::nullopt;
    }
    for (const ControlDef& other : def.controls) {
      if (other.number == c.number) {
        error = "control number " + std::to_string(c.number) + " is used by both '" + other.name +
                "' and '" + c.name + "'";
        return std::nullopt;
      }
    }
    def.controls.push_back(std::move(c));
  }
  return def;
}

}  // namespace

std::optional<PanelDef> parse_uir_panel(std::string_view content, int number, std::string& error) {
  if (content.size() > kMaxFileSize) {
    error = "the file is too large to be a panel file";
    return std::nullopt;
  }
  const std::optional<Node> root = FormReader(content).read(error);
  return root ? make_panel(*root, number, error) : std::nullopt;
}

bool read_panel_file(const std::string& path, std::string& content, std::string& error) {
  std::ifstream in(path_from_utf8(path), std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  content.clear();
  std::array<char, 4096> buffer{};
  while (in.read(buffer.data(), buffer.size()) || in.gcount() > 0) {
    content.append(buffer.data(), static_cast<std::size_t>(in.gcount()));
    if (content.size() > kMaxFileSize) {
      error = path + " is too large to be a panel file";
      return false;
    }
  }
  if (in.bad()) {
    error = "cannot read " + path;
    return false;
  }
  return true;
}

std::optional<PanelDef> load_uir_panel(const std::string& path, int number, std::string& error) {
  std::string content;
  if (!read_panel_file(path, content, error)) {
    return std::nullopt;
  }
  return parse_uir_panel(content, number, error);
}

PanelSource uir_panel_source() {
  return [](const std::string& file, int number) -> std::optional<PanelDef> {
    const std::string path = find_resource(file);
    if (path.empty()) {
      return std::nullopt;
    }
    std::string error;
    std::optional<PanelDef> def = load_uir_panel(path, number, error);
    if (!def) {
      // NOLINTNEXTLINE(cert-err33-c): a diagnostic that stderr cannot take has nowhere to go
      std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
    }
    return def;
  };
}

}  // namespace driveflash::platform
