// The panel file: the panels the program ships, and forms that are not usable as panels.
#include "platform/qt/uir_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/test_support.h"

namespace driveflash::platform {
namespace {

const ControlDef* control(const PanelDef& panel, int number) {
  for (const ControlDef& c : panel.controls) {
    if (c.number == number) {
      return &c;
    }
  }
  return nullptr;
}

PanelDef shipped(int number) {
  std::string error;
  const std::optional<PanelDef> panel =
      load_uir_panel(DRIVEFLASH_RESOURCES "/Brenfold.uir", number, error);
  EXPECT_TRUE(panel) << error;
  return panel.value_or(PanelDef{});
}

// The numbers and callbacks the program is bound to (start values: gui_test's StartupTest).
TEST(UirFile, ShippedPanelsHaveTheControlsTheRunUses) {
  const PanelDef main = shipped(1);
  const PanelDef popup = shipped(2);
  EXPECT_EQ(main.callback, "panelCB");
  EXPECT_EQ(popup.callback, "panelprgCB");
  EXPECT_NE(main.title.find("Drive firmware"), std::string::npos);
  EXPECT_EQ(popup.controls.size(), 3u);
  const struct {
    const PanelDef& panel;
    int number;
    ControlKind kind;
    const char* callback;
  } expected[] = {{main, 3, ControlKind::Text, ""},          {main, 6, ControlKind::Int, ""},
                  {main, 7, ControlKind::Int, ""},           {main, 8, ControlKind::Int, ""},
                  {main, 9, ControlKind::Int, ""},           {main, 15, ControlKind::Ring, ""},
                  {main, 20, ControlKind::Ring, ""},         {popup, 2, ControlKind::TextBox, ""},
                  {popup, 3, ControlKind::Button, "progOK"}, {popup, 4, ControlKind::Double, ""}};
  for (const auto& e : expected) {
    const ControlDef* c = control(e.panel, e.number);
    ASSERT_NE(c, nullptr) << "control " << e.number;
    EXPECT_EQ(c->kind, e.kind) << "control " << e.number;
    EXPECT_EQ(c->callback, e.callback) << "control " << e.number;
    EXPECT_TRUE(&e.panel == &popup || !c->label.empty()) << "control " << e.number;
  }
  EXPECT_EQ(control(popup, 4)->maximum, 100);
  std::vector<std::string> callbacks;
  for (const ControlDef& c : main.controls) {
    if (c.kind == ControlKind::Button) {
      callbacks.push_back(c.callback);
    }
  }
  std::sort(callbacks.begin(), callbacks.end());
  // The window's own two besides the run's: the station view and saving a job.
  EXPECT_EQ(callbacks, (std::vector<std::string>{"ClrcounterCB", "Exit", "HelpCB", "ProgCB",
                                                 "SaveJobCB", "Selctfile", "StationCB"}));
}

std::string form(const std::string& panel_inside) {
  return R"(<?xml version="1.0"?><ui version="4.0"><widget class="QWidget" name="top">)"
         R"(<widget class="QWidget" name="p"><property name="panelNumber" stdset="0">)"
         R"(<number>1</number></property>)" +
         panel_inside + "</widget></widget></ui>";
}

std::string ctrl(const std::string& cls, const std::string& name, const std::string& number,
                 const std::string& extra = "") {
  return "<widget class=\"" + cls + "\" name=\"" + name +
         "\"><property name=\"ctrlNumber\" stdset=\"0\">" + number + "</property>" + extra +
         "</widget>";
}

struct BadForm {
  const char* what;
  std::string content;
  int panel;
  const char* said;
};

class UirFileErrors : public ::testing::TestWithParam<BadForm> {};

TEST_P(UirFileErrors, AreRefusedWithAReason) {
  std::string error;
  EXPECT_FALSE(parse_uir_panel(GetParam().content, GetParam().panel, error));
  EXPECT_NE(error.find(GetParam().said), std::string::npos) << error;
}

std::string deep_form() {
  std::string inside;
  for (int i = 0; i < 100; ++i) {
    inside += "<layout class=\"QVBoxLayout\"><item>";
  }
  for (int i = 0; i < 100; ++i) {
    inside += "</item></layout>";
  }
  return form(inside);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, UirFileErrors,
    ::testing::Values(
        BadForm{"not xml", "no form here", 1, "line"},
        BadForm{"other xml", "<html><body/></html>", 1, "not a Qt Designer form"},
        BadForm{"cut short", form("").substr(0, 120), 1, "line"},
        BadForm{"no such panel", form(""), 3, "no panel 3"},
        BadForm{"number twice",
                form(ctrl("QLineEdit", "a", "<number>3</number>") +
                     ctrl("QLineEdit", "b", "<number>3</number>")),
                1, "used by both 'a' and 'b'"},
        BadForm{"number as text", form(ctrl("QLineEdit", "a", "<string>3</string>")), 1,
                "ctrlNumber"},
        BadForm{"number zero", form(ctrl("QLineEdit", "a", "<number>0</number>")), 1, "ctrlNumber"},
        BadForm{"no such kind", form(ctrl("QCalendarWidget", "cal", "<number>5</number>")), 1,
                "cannot be a control"},
        BadForm{"editable choice not a number",
                form(ctrl("QComboBox", "baud", "<number>7</number>",
                          "<property name=\"editable\"><bool>true</bool></property>"
                          "<item><property name=\"text\"><string>fast</string></property></item>")),
                1, "'fast'"},
        BadForm{"nested too deeply", deep_form(), 1, "nested too deeply"}),
    [](const auto& param_info) {
      std::string name = param_info.param.what;
      std::replace(name.begin(), name.end(), ' ', '_');
      return name;
    });

TEST(UirFile, LabelsStartValuesAndMnemonics) {
  const std::string content = form(
      "<layout class=\"QFormLayout\"><item row=\"0\" column=\"0\">"
      "<widget class=\"QLabel\" name=\"l\"><property name=\"text\"><string>&amp;Port &amp;&amp; "
      "line:</string></property><property name=\"buddy\"><cstring>port</cstring></property>"
      "</widget></item><item row=\"0\" column=\"1\">" +
      ctrl("QComboBox", "port", "<number>6</number>",
           "<property name=\"editable\"><bool>true</bool></property>"
           "<property name=\"value\" stdset=\"0\"><number>4</number></property>") +
      "</item></layout>" +
      ctrl("QSpinBox", "n", "<number>2</number>",
           "<property name=\"maximum\"><number>9</number></property>"
           "<property name=\"value\"><number>5</number></property>") +
      ctrl("QComboBox", "kind", "<number>3</number>",
           "<property name=\"currentIndex\"><number>-1</number></property>"
           "<item><property name=\"text\"><string>a</string></property></item>") +
      ctrl("QPushButton", "go", "<number>1</number>",
           "<property name=\"text\"><string>&amp;Go</string></property>"
           "<property name=\"callback\" stdset=\"0\"><string>GoCB</string></property>"));
  std::string error;
  const std::optional<PanelDef> panel = parse_uir_panel(content, 1, error);
  ASSERT_TRUE(panel) << error;
  EXPECT_EQ(control(*panel, 6)->label, "Port & line:");
  EXPECT_EQ(control(*panel, 6)->value, CtrlValue(4));
  EXPECT_EQ(control(*panel, 2)->value, CtrlValue(5));
  EXPECT_EQ(control(*panel, 2)->maximum, 9);
  EXPECT_EQ(control(*panel, 3)->kind, ControlKind::Ring);
  EXPECT_EQ(control(*panel, 3)->value, CtrlValue(0));  // no choice made: the first
  EXPECT_EQ(control(*panel, 1)->label, "Go");
  EXPECT_EQ(control(*panel, 1)->callback, "GoCB");
}

TEST(UirFile, SourceReadsTheFileAnewOnEveryLoad) {
  test::TempDir dir;
  test::ScopedCwd cwd(dir.path());
  const PanelSource source = uir_panel_source();
  EXPECT_FALSE(source("Brenfold-missing.uir", 1));
  const std::string first = form("<property name=\"windowTitle\"><string>one</string></property>");
  dir.write("Brenfold-test.uir", first);
  EXPECT_EQ(source("Brenfold-test.uir", 1)->title, "one");
  dir.write("Brenfold-test.uir",
            form("<property name=\"windowTitle\"><string>two</string></property>"));
  EXPECT_EQ(source("Brenfold-test.uir", 1)->title, "two");
}

}  // namespace
}  // namespace driveflash::platform
