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
#include <QTest>
#include <QTimer>
#include <filesystem>

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

}  // namespace
}  // namespace driveflash::test
