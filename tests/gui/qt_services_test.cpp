// The Qt services the panels rely on: the real message box and file dialog, changes made by a
// worker reaching the widgets in order while the GUI thread waits for it, and the sound.
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <filesystem>
#include <thread>

#include "gui/gui_fixture.h"
#include "platform/panels.h"
#include "platform/qt/qt_panels.h"
#include "platform/sound.h"
#include "platform/threads.h"
#include "run/run_context.h"

namespace driveflash::test {
namespace {

namespace pf = platform;

class QtServicesTest : public GuiTest {};

TEST_F(QtServicesTest, MessagePopupShowsAModalMessageBox) {
  pf::install_qt_dialogs();
  QString title, text;
  QStringList buttons;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    title = box->windowTitle();
    text = box->text();
    for (const QAbstractButton* b : box->buttons()) {
      buttons << b->text();
    }
    box->accept();
  });
  EXPECT_EQ(MessagePopup("文件类型错误！", "文件类型错误！"), 0);
  EXPECT_EQ(title, QStringLiteral("文件类型错误！"));
  EXPECT_EQ(text, QStringLiteral("文件类型错误！"));
  EXPECT_EQ(buttons, QStringList{QStringLiteral("确定 / &OK")}) << "in both languages";
}

TEST_F(QtServicesTest, ConfirmPopupAsksInBothLanguagesAndDefaultsToNo) {
  pf::install_qt_dialogs();
  QStringList buttons;
  QString default_button;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    for (const QAbstractButton* b : box->buttons()) {
      buttons << b->text();
    }
    default_button = box->defaultButton()->text();
    box->defaultButton()->click();
  });
  EXPECT_EQ(ConfirmPopup("停止烧录？ / Stop programming?", "?"), 0);
  buttons.sort();
  EXPECT_EQ(buttons, (QStringList{QStringLiteral("否 / &No"), QStringLiteral("是 / &Yes")}));
  EXPECT_EQ(default_button, QStringLiteral("否 / &No"));
}

class FileDialogTest : public QtServicesTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FileDialogTest, FileSelectPopupFiltersByKindAndStartsAtTheLastFile) {
  const bool accept = GetParam();
  pf::install_qt_dialogs();
  const std::string last = dir_.write("sub/old.ehex", "x");
  const std::string chosen = dir_.write("sub/new.ehex", "y");
  QStringList filters;
  QString directory, title;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    filters = dialog->nameFilters();
    directory = dialog->directory().absolutePath();
    title = dialog->windowTitle();
    if (accept) {
      dialog->selectFile(QString::fromStdString(chosen));
      static_cast<QDialog*>(dialog)->accept();
    } else {
      dialog->reject();
    }
  });
  char path[260] = "unchanged";
  const int result = FileSelectPopup(last.c_str(), "*.ehex", "*.ehex", "Select firmware",
                                     VAL_SELECT_BUTTON, 0, 0, 1, 0, path);
  ASSERT_EQ(filters.size(), 2);
  EXPECT_TRUE(filters[0].endsWith(QStringLiteral("(*.ehex)")));
  EXPECT_TRUE(filters[1].endsWith(QStringLiteral("(*)")));  // any file may still be picked
  EXPECT_EQ(directory, QDir(QString::fromStdString((dir_.path() / "sub").string())).absolutePath());
  EXPECT_EQ(title, QStringLiteral("Select firmware"));
  if (accept) {
    EXPECT_EQ(result, VAL_EXISTING_FILE_SELECTED);
    EXPECT_EQ(std::filesystem::canonical(path), std::filesystem::canonical(chosen));
  } else {
    EXPECT_EQ(result, VAL_NO_FILE_SELECTED);
    EXPECT_STREQ(path, "unchanged");
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, FileDialogTest, ::testing::Bool());

// A worker's changes, made while the GUI thread waits for it with events processed, reach the
// widgets complete and in order.
struct Flood {
  int popup = 0;
  int lines = 0;
};

int flood_popup(void* data) {
  const Flood& flood = *static_cast<Flood*>(data);
  for (int i = 0; i < flood.lines; ++i) {
    InsertTextBoxLine(flood.popup, PRGPANEL_STATUS, -1, ("line " + std::to_string(i)).c_str());
    SetCtrlVal(flood.popup, PRGPANEL_PROGRESS, 100.0 * (i + 1) / flood.lines);
    SetCtrlAttribute(flood.popup, PRGPANEL_OK, ATTR_DIMMED, i % 2);
  }
  InsertTextBoxLine(flood.popup, PRGPANEL_STATUS, 0, "first");
  InsertTextBoxLine(flood.popup, PRGPANEL_STATUS, 2, "third");
  InsertTextBoxLine(flood.popup, PRGPANEL_STATUS, -1, "last");
  return 0;
}

TEST_F(QtServicesTest, WorkerChangesReachTheWidgetsInOrderWhileTheGuiThreadWaits) {
  Flood flood{LoadPanel(0, "Brenfold.uir", 2), 2000};
  ASSERT_GT(flood.popup, 0);
  InstallPopup(flood.popup);
  pump();
  int id = 0;
  ASSERT_EQ(CmtScheduleThreadPoolFunction(DEFAULT_THREAD_POOL_HANDLE, flood_popup, &flood, &id), 0);
  EXPECT_EQ(CmtWaitForThreadPoolFunctionCompletion(DEFAULT_THREAD_POOL_HANDLE, id,
                                                   OPT_TP_PROCESS_EVENTS_WHILE_WAITING),
            0);
  CmtReleaseThreadPoolFunctionID(DEFAULT_THREAD_POOL_HANDLE, id);
  pump();
  QStringList expected{QStringLiteral("first")};
  for (int i = 0; i < flood.lines; ++i) {
    expected << QStringLiteral("line %1").arg(i);
  }
  expected.insert(2, QStringLiteral("third"));
  expected << QStringLiteral("last");
  auto* box = qobject_cast<QPlainTextEdit*>(pf::control_widget(flood.popup, PRGPANEL_STATUS));
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->toPlainText().split(u'\n'), expected);
  EXPECT_EQ(
      qobject_cast<QProgressBar*>(pf::control_widget(flood.popup, PRGPANEL_PROGRESS))->value(),
      100);
  EXPECT_FALSE(pf::control_widget(flood.popup, PRGPANEL_OK)->isEnabled());  // last set dimmed
  RemovePopup(0);
  DiscardPanel(flood.popup);
  pump();
  EXPECT_EQ(pf::panel_window(flood.popup), nullptr);
}

TEST_F(QtServicesTest, SoundIsAskedForFromTheWorkerWithoutWaitingAndNeverFails) {
  pf::install_qt_sound();
  std::filesystem::copy_file(std::filesystem::path(DRIVEFLASH_RESOURCES) / "msg.wav",
                             dir_.path() / "msg.wav");
  int found = -1;
  int missing = -1;
  std::thread worker([&] {
    found = driveflash::sndPlaySoundA("msg.wav ", driveflash::kSoundLoop);
    missing = driveflash::sndPlaySoundA("nothing.wav ", driveflash::kSoundLoop);
  });
  worker.join();
  pump();
  EXPECT_EQ(found, 1);
  EXPECT_EQ(missing, 0);
  pf::uninstall_qt_sound();
}

}  // namespace
}  // namespace driveflash::test
