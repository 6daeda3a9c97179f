// Start-up: the main panel comes up from the panel file with its starting values, and the
// program ends through Exit or the window's close box; without a usable panel file it ends at
// once, without a window.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QWidget>
#include <filesystem>

#include "app/callbacks.h"
#include "app/run_context.h"
#include "gui/gui_fixture.h"
#include "platform/panels.h"
#include "platform/qt_panels.h"
#include "platform/resources.h"

namespace driveflash::test {
namespace {

namespace pf = platform;

bool any_window_shown() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->isVisible()) {
      return true;
    }
  }
  return false;
}

// Ends a loop that the test failed to end, instead of hanging.
struct Watchdog {
  QTimer timer;
  Watchdog() {
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    timer.start(30000);
  }
};

enum class Ending { kExitButton, kCloseBox };

class StartupTest : public GuiTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(StartupTest, MainPanelComesUpWithItsStartingValuesAndEnds) {
  struct Seen {
    bool shown = false;
    QString title;
    int port = 0, drive_baud = 0, loader_baud = 0, counter = -1, kind = -1;
    char path[260] = "unset";
    QString drive_baud_text, kind_text;
    bool chinese_label = false;
    int handle = 0;
  } seen;
  const Ending ending = GetParam();
  Watchdog watchdog;
  QTimer::singleShot(0, [&] {
    pump();
    seen.handle = mainpanel;
    QWidget* window = pf::panel_window(mainpanel);
    seen.shown = window != nullptr && window->isVisible();
    seen.title = window != nullptr ? window->windowTitle() : QString();
    GetCtrlVal(mainpanel, MAINPANEL_COMPORT, &seen.port);
    GetCtrlVal(mainpanel, MAINPANEL_DRIVE_BAUD, &seen.drive_baud);
    GetCtrlVal(mainpanel, MAINPANEL_LOADER_BAUD, &seen.loader_baud);
    GetCtrlVal(mainpanel, MAINPANEL_COUNTER, &seen.counter);
    GetCtrlVal(mainpanel, MAINPANEL_FILETYPE, &seen.kind);
    GetCtrlVal(mainpanel, MAINPANEL_FILEPATH, seen.path);
    seen.drive_baud_text = combo(mainpanel, MAINPANEL_DRIVE_BAUD)->currentText();
    seen.kind_text = combo(mainpanel, MAINPANEL_FILETYPE)->currentText();
    for (const QLabel* label : window->findChildren<QLabel*>()) {
      seen.chinese_label |= label->text().contains(QStringLiteral("波特率"));
    }
    if (ending == Ending::kExitButton) {
      press("Exit");
    } else {
      window->close();
    }
  });
  EXPECT_EQ(app::run_main_panel(), 0);
  pump();
  EXPECT_TRUE(seen.shown);
  EXPECT_TRUE(seen.title.contains(QStringLiteral("Drive firmware")));
  EXPECT_EQ(seen.port, 1);
  EXPECT_EQ(seen.drive_baud, 19200);
  EXPECT_EQ(seen.loader_baud, 115200);
  EXPECT_EQ(seen.counter, 0);
  EXPECT_EQ(seen.kind, 0);
  EXPECT_STREQ(seen.path, "");
  EXPECT_EQ(seen.drive_baud_text, QStringLiteral("19200"));
  EXPECT_TRUE(seen.kind_text.contains(QStringLiteral("*.hex")));
  EXPECT_TRUE(seen.chinese_label);
  // The panel was discarded and its window went with it.
  EXPECT_FALSE(pf::panel_state(seen.handle));
  EXPECT_EQ(pf::panel_window(seen.handle), nullptr);
  EXPECT_FALSE(any_window_shown());
}

INSTANTIATE_TEST_SUITE_P(Endings, StartupTest,
                         ::testing::Values(Ending::kExitButton, Ending::kCloseBox));

// A panel file that is missing, or is no form at all, ends the program before any window.
class StartupWithoutPanelTest : public GuiTest,
                                public ::testing::WithParamInterface<const char*> {};

TEST_P(StartupWithoutPanelTest, EndsAtOnceWithMinusOneAndNoWindow) {
  const std::filesystem::path file = dir_.path() / "Brenfold.uir";
  std::filesystem::remove(file);
  const std::string content = GetParam();
  if (!content.empty()) {
    dir_.write("Brenfold.uir", content);
  } else if (!pf::find_resource("Brenfold.uir").empty()) {
    GTEST_SKIP() << "a panel file is installed on this machine";
  }
  EXPECT_EQ(app::run_main_panel(), -1);
  pump();
  EXPECT_FALSE(any_window_shown());
  EXPECT_EQ(pf::top_panel_window(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Files, StartupWithoutPanelTest,
                         ::testing::Values("", "not a form",
                                           "<ui><widget class=\"QWidget\"/></ui>"));

}  // namespace
}  // namespace driveflash::test
