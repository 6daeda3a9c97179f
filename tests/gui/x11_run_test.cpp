// The window under a real X server: the operator picks the virtual drive with the keyboard,
// a sample file with the mouse and the real file dialog, programs with Ctrl+P and closes with
// Escape; the verdict and the counter are read back from the widgets.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstring>
#include <filesystem>

#include "app/station_view.h"
#include "gui/gui_fixture.h"
#include "platform/panels.h"
#include "platform/qt/qt_panels.h"
#include "run/run_context.h"
#include "sim/sim_line.h"

namespace driveflash::test {
namespace {

namespace pf = platform;

constexpr int kVirtualDrivePort = 99;  // as the program offers it

class X11RunTest : public VirtualTimeGuiTest {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
      GTEST_SKIP() << "needs an X server: run under xvfb-run with QT_QPA_PLATFORM=xcb";
    }
    VirtualTimeGuiTest::SetUp();
    pf::install_qt_dialogs();  // the real file dialog, not the fixture's script
    map_drive(kVirtualDrivePort);
  }
};

// Puts `path` in the file dialog's name field once the dialog is up, and presses Return (the
// name is set rather than typed: the field's completer would take the Return). A dialog that
// does not take it is cancelled after a while, so the test fails instead of hanging.
void answer_file_dialog(const QString& path, bool* answered, int tries = 0) {
  auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
  auto* name =
      dialog != nullptr ? dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")) : nullptr;
  if (tries > 200) {
    if (dialog != nullptr) {
      dialog->reject();
    }
    return;
  }
  if (name == nullptr || !dialog->isVisible() || *answered) {
    if (dialog != nullptr || !*answered) {
      QTimer::singleShot(50, [=] { answer_file_dialog(path, answered, tries + 1); });
    }
    return;
  }
  name->setFocus();
  name->setText(path);
  QTest::keyClick(name, Qt::Key_Return);
  *answered = true;
  QTimer::singleShot(50, [=] { answer_file_dialog(path, answered, tries + 1); });
}

TEST_F(X11RunTest, ASampleIsProgrammedOnTheVirtualDriveWithClicksAndKeys) {
  const std::filesystem::path sample = dir_.path() / "sample.hex";
  std::filesystem::copy_file(std::filesystem::path(DRIVEFLASH_SAMPLES) / "sample.hex", sample);
  open_main_panel();
  QWidget* main = pf::panel_window(mainpanel);
  main->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(main));

  QComboBox* port = combo(mainpanel, MAINPANEL_COMPORT);
  port->setFocus();
  QTest::keyClick(port->lineEdit(), Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(port->lineEdit(), QStringLiteral("99"));
  QTest::keyClick(port->lineEdit(), Qt::Key_Return);
  pump();
  int chosen = 0;
  GetCtrlVal(mainpanel, MAINPANEL_COMPORT, &chosen);
  EXPECT_EQ(chosen, kVirtualDrivePort);

  bool answered = false;
  const QString path = QString::fromStdString(sample.string());
  QTimer::singleShot(0, [path, &answered] { answer_file_dialog(path, &answered); });
  QAbstractButton* select = main->findChild<QAbstractButton*>(QStringLiteral("selectFile"));
  ASSERT_NE(select, nullptr);
  QTest::mouseClick(select, Qt::LeftButton);  // returns once the dialog is answered
  pump();
  EXPECT_TRUE(answered);
  EXPECT_EQ(std::string(filename), sample.string());

  QApplication::setActiveWindow(main);
  QTest::keyClick(main, Qt::Key_P, Qt::ControlModifier);
  pump();
  ASSERT_GT(prgpanel, 0) << "Ctrl+P started no run";
  QWidget* popup = pf::panel_window(prgpanel);
  auto verdict = [popup] {
    const QLabel* v = popup->findChild<QLabel*>(QStringLiteral("verdict"));
    return v != nullptr ? v->property("verdict").toString() : QString();
  };
  ASSERT_TRUE(pump_until([&] { return verdict() == QStringLiteral("programmed"); }))
      << "verdict: " << verdict().toStdString();
  EXPECT_EQ(popup->windowTitle(), QStringLiteral("成功 / Programmed"));
  EXPECT_EQ(popup->findChild<QLabel*>(QStringLiteral("batch"))->text(),
            QStringLiteral("本批 / This batch: 1"));
  EXPECT_EQ(counter_shown(), 1);

  ASSERT_TRUE(pump_until([&] { return QApplication::focusWidget() == widget(prgpanel, 3); }));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
  pump();
  EXPECT_EQ(prgpanel, 0);
  EXPECT_EQ(counter_shown(), 1);
}

// The station view under a real X server: two ports started and stopped with the mouse, the
// stop question answered in Qt's own box, each tile drawn with its port's end.
TEST_F(X11RunTest, TheStationViewProgramsOnePortAndShowsTheOthersFailure) {
  const std::filesystem::path sample = dir_.path() / "sample.hex";
  std::filesystem::copy_file(std::filesystem::path(DRIVEFLASH_SAMPLES) / "sample.hex", sample);
  open_main_panel();
  std::strcpy(filename, sample.string().c_str());
  SetCtrlVal(mainpanel, MAINPANEL_FILEPATH, filename);
  SetCtrlVal(mainpanel, MAINPANEL_TIMING, kTimingFast);
  QWidget* main = pf::panel_window(mainpanel);
  QTest::mouseClick(main->findChild<QAbstractButton*>(QStringLiteral("stationView")),
                    Qt::LeftButton);
  pump();
  QWidget* view = app::station_view();
  ASSERT_NE(view, nullptr);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(view));
  app::set_station_ports({QStringLiteral("sim"), QStringLiteral("sim:reply:data@1=FA")});
  QTest::mouseClick(view->findChild<QAbstractButton*>(QStringLiteral("stationStart")),
                    Qt::LeftButton);
  const auto state = [view](int i) {
    QWidget* tile = view->findChild<QWidget*>(QStringLiteral("tile%1").arg(i));
    auto* label = tile != nullptr ? tile->findChild<QLabel*>(QStringLiteral("tileState")) : nullptr;
    return label != nullptr && label->isVisible() ? label->property("state").toString() : QString();
  };
  ASSERT_TRUE(pump_until(
      [&] {
        return state(0) == QStringLiteral("programmed") && state(1) == QStringLiteral("failed");
      },
      std::chrono::seconds(60)));
  EXPECT_FALSE(view->grab().isNull());

  bool answered = false;
  QTimer::singleShot(50, [&answered] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      box->button(QMessageBox::Yes)->click();
      answered = true;
    }
  });
  QTest::mouseClick(view->findChild<QAbstractButton*>(QStringLiteral("stationStop")),
                    Qt::LeftButton);
  EXPECT_TRUE(answered);
  ASSERT_TRUE(pump_until([] { return !app::station_running(); }, std::chrono::seconds(20)));
  EXPECT_EQ(state(0), QStringLiteral("programmed"));
  EXPECT_EQ(state(1), QStringLiteral("failed"));
  view->close();
  pump();
}

}  // namespace
}  // namespace driveflash::test
