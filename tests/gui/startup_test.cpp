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
#include "gui/gui_fixture.h"
#include "platform/panels.h"
#include "platform/qt/qt_panels.h"
#include "platform/resources.h"
#include "run/run_context.h"

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
  int handle = 0;
  Watchdog watchdog;
  // Runs inside the program's event loop, once the window is up.
  QTimer::singleShot(0, [&] {
    pump();
    handle = mainpanel;
    QWidget* window = pf::panel_window(mainpanel);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->windowTitle().contains(QStringLiteral("Drive firmware")));
    // Nothing remembered: the first port the machine has, else the panel's own.
    int first_port = 1;
    for (const pf::PortEntry& e : pf::port_table()) {
      if (e.is_real && (first_port == 1 || e.number < first_port)) {
        first_port = e.number;
      }
    }
    for (const auto& [control, value] : {std::pair{MAINPANEL_COMPORT, first_port},
                                         {MAINPANEL_DRIVE_BAUD, 19200},
                                         {MAINPANEL_LOADER_BAUD, 115200},
                                         {MAINPANEL_COUNTER, 0},
                                         {MAINPANEL_FILETYPE, 0},
                                         {MAINPANEL_TIMING, kTimingStandard}}) {
      int shown = -1;
      GetCtrlVal(mainpanel, control, &shown);
      EXPECT_EQ(shown, value) << "control " << control;
    }
    char path[260] = "unset";
    GetCtrlVal(mainpanel, MAINPANEL_FILEPATH, path);
    EXPECT_STREQ(path, "");
    EXPECT_EQ(combo(mainpanel, MAINPANEL_DRIVE_BAUD)->currentText(), QStringLiteral("19200"));
    EXPECT_TRUE(combo(mainpanel, MAINPANEL_FILETYPE)->currentText().contains("*.hex"));
    EXPECT_EQ(combo(mainpanel, MAINPANEL_LOADER_BAUD)
                  ->itemText(combo(mainpanel, MAINPANEL_LOADER_BAUD)->count() - 1),
              QStringLiteral("921600"));
    EXPECT_EQ(combo(mainpanel, MAINPANEL_TIMING)->itemText(kTimingFast),
              QStringLiteral("快速 / fast"));
    bool chinese_label = false;
    for (const QLabel* label : window->findChildren<QLabel*>()) {
      chinese_label |= label->text().contains(QStringLiteral("波特率"));
    }
    EXPECT_TRUE(chinese_label);
    if (GetParam() == Ending::kExitButton) {
      press("Exit");
    } else {
      window->close();
    }
  });
  EXPECT_EQ(app::run_main_panel(), 0);
  pump();
  ASSERT_GT(handle, 0) << "the window never came up";
  // The panel was discarded and its window went with it.
  EXPECT_FALSE(pf::panel_state(handle));
  EXPECT_EQ(pf::panel_window(handle), nullptr);
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
