// What the operator reads and presses: every text in both languages, Help's failure table with
// each failure's own advice, a log folder that cannot be shown, rescue that shows itself, the
// stop question that closes itself when the run ends behind it, and a popup that fits a small
// screen with buttons that fit their words and Enter that presses OK.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStyleOptionButton>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <set>

#include "app/help_window.h"
#include "app/station_view.h"
#include "bsl/frames.h"
#include "gui/gui_fixture.h"
#include "platform/qt/qt_panels.h"
#include "platform/qt/qt_serial.h"
#include "run/failures.h"
#include "run/run_context.h"

namespace driveflash::test {
namespace {

namespace pf = platform;

bool has_chinese(const QString& text) {
  return std::any_of(text.begin(), text.end(),
                     [](QChar c) { return c.unicode() >= 0x4E00 && c.unicode() <= 0x9FFF; });
}

bool has_english(const QString& text) {
  static const QRegularExpression word(QStringLiteral("[A-Za-z]{2,}"));
  return word.match(text).hasMatch();
}

// A text the operator reads: in both languages, unless it holds no words at all ("…", "99").
void expect_both(const QString& text, const std::string& where) {
  if (has_english(text) || has_chinese(text)) {
    EXPECT_TRUE(has_chinese(text) && has_english(text)) << where << ": " << text.toStdString();
  }
}

// Every label, button, group title, fixed choice and window title of `window`.
void expect_window_both(QWidget* window, const std::string& where) {
  expect_both(window->windowTitle(), where + " title");
  for (const QLabel* l : window->findChildren<QLabel*>()) {
    if (l->buddy() != nullptr || l->property("ctrlNumber").isValid() ||
        l->objectName().startsWith(QStringLiteral("tile")) ||
        l->objectName().startsWith(QStringLiteral("station"))) {
      expect_both(l->text(), where + " label " + l->objectName().toStdString());
    }
  }
  for (const QAbstractButton* b : window->findChildren<QAbstractButton*>()) {
    expect_both(b->text(), where + " button " + b->objectName().toStdString());
  }
  for (const QGroupBox* g : window->findChildren<QGroupBox*>()) {
    expect_both(g->title(), where + " group " + g->objectName().toStdString());
  }
  for (const QComboBox* c : window->findChildren<QComboBox*>()) {
    for (int i = 0; i < c->count() && !c->isEditable(); ++i) {
      expect_both(c->itemText(i), where + " choice of " + c->objectName().toStdString());
    }
    expect_both(c->toolTip(), where + " tip of " + c->objectName().toStdString());
  }
}

// The push buttons of `window` with the keyboard's focus frame on: their words still fit.
void expect_buttons_fit(QWidget* window, const std::string& where) {
  for (QPushButton* b : window->findChildren<QPushButton*>()) {
    if (!b->isVisible()) {
      continue;
    }
    b->setFocus();
    QStyleOptionButton opt;
    opt.initFrom(b);
    opt.state |= QStyle::State_HasFocus;
    opt.text = b->text();
    opt.icon = b->icon();
    opt.iconSize = b->iconSize();
    const QRect room = b->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, b);
    const int words = b->fontMetrics().horizontalAdvance(QString(b->text()).remove(u'&'));
    const int icon = b->icon().isNull() ? 0 : b->iconSize().width() + 4;
    EXPECT_GE(room.width(), words + icon) << where << ": " << b->text().toStdString();
  }
}

class WordsTest : public WindowRunTest {};

TEST_F(WordsTest, HelpListsEveryFailureLineWithItsOwnAdvice) {
  open_main_panel();
  press("HelpCB");
  QWidget* help = app::help_window();
  ASSERT_NE(help, nullptr);
  const QString text = help->findChild<QTextBrowser*>(QStringLiteral("helpText"))->toPlainText();
  qsizetype at = text.indexOf(QStringLiteral("失败信息 / Failure lines"));
  ASSERT_GE(at, 0);
  std::set<std::string> advice_zh;
  std::set<std::string> advice_en;
  for (const run::Failure& f : run::failure_table()) {
    const QString line = QString::fromUtf8(f.line != nullptr ? f.line : error_message(f.status));
    SCOPED_TRACE(line.toStdString());
    // In the table's order, each line followed by its own advice before the next line.
    at = text.indexOf(line, at);
    ASSERT_GE(at, 0);
    at = text.indexOf(QString::fromUtf8(f.advice_zh), at);
    ASSERT_GE(at, 0);
    at = text.indexOf(QString::fromUtf8(f.advice_en), at);
    ASSERT_GE(at, 0);
    advice_zh.insert(f.advice_zh);
    advice_en.insert(f.advice_en);
  }
  EXPECT_EQ(advice_zh.size(), run::failure_table().size());
  EXPECT_EQ(advice_en.size(), run::failure_table().size());
  expect_window_both(help, "help");

  // A desktop that cannot show the folder: the window says so, with the folder's path.
  folder_opens_ = false;
  help->findChild<QAbstractButton*>(QStringLiteral("openLogFolder"))->click();
  pump();
  const QLabel* error = help->findChild<QLabel*>(QStringLiteral("openLogFolderError"));
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(error->isVisible());
  expect_both(error->text(), "log folder error");
  EXPECT_TRUE(error->text().contains(QFileInfo(app::run_log_path()).absolutePath()));
}

TEST_F(WordsTest, EveryWindowBoxAndChoiceSpeaksBothLanguages) {
  open_main_panel();
  expect_window_both(pf::panel_window(mainpanel), "main panel");
  // The boxes Program, Save job and the station view answer with, one way each.
  press("ProgCB");  // no file yet
  press("SaveJobCB");
  set_kind(kFileTypeEhex);
  choose_file(write_firmware("fw.hex"));
  press("ProgCB");  // the kind does not fit the name
  set_kind(kFileTypeHex);
  choose_file(dir_.write("bad.hex", "garbage\n"));
  press("ProgCB");  // refused by its check
  choose_file(write_firmware("fw.hex"));
  pick_port(pf::map_device("/dev/driveflash-test-no-such-device"));
  press("ProgCB");  // the stand-in loader for a real chip
  press("StationCB");
  app::set_station_ports({});
  app::station_view()->findChild<QAbstractButton*>(QStringLiteral("stationStart"))->click();
  ASSERT_EQ(messages_.size(), 6u);
  for (const auto& [title, message] : messages_) {
    expect_both(QString::fromStdString(title), "box title");
    expect_both(QString::fromStdString(message), "box of " + title);
  }
  expect_window_both(app::station_view(), "station view");
  app::station_view()->close();
}

TEST_F(WordsTest, RescueShowsThePowerCycleWithItsSecondsAndSaysSoInTheHeader) {
  prepare("silent");
  SetCtrlVal(mainpanel, MAINPANEL_RESCUE, 1);
  SetCtrlVal(mainpanel, MAINPANEL_RESCUE_WAIT, 30);
  SetCtrlVal(mainpanel, MAINPANEL_VERIFY, 1);
  watch_->hold_at([](const pf::PanelEvent& e) {
    return e.kind == pf::PanelEvent::Kind::LineAppended &&
           std::get<std::string>(e.value).find("(10 s / 30 s)") != std::string::npos;
  });
  press("ProgCB");
  ASSERT_TRUE(
      pump_until([&] { return watch_->holding() && verdict() == QStringLiteral("rescue"); }));
  // The count follows the worker's own: held at its tenth second, the verdict comes to say so.
  pump_until([&] { return label("verdict")->text().contains(QStringLiteral("(10 s / 30 s)")); });
  const QString shown = label("verdict")->text();
  EXPECT_TRUE(shown.contains(QString::fromUtf8(kPowerCycleLine))) << shown.toStdString();
  EXPECT_TRUE(shown.contains(QStringLiteral("(10 s / 30 s)"))) << shown.toStdString();
  EXPECT_FALSE(shown.contains(QStringLiteral("Programming")));
  EXPECT_EQ(popup()->windowTitle(), QStringLiteral("救援中 / Rescue"));
  EXPECT_TRUE(label("headerRescue")->text().contains(QStringLiteral("Rescue on")));
  EXPECT_TRUE(label("headerRescue")->text().contains(QStringLiteral("30 s")));
  EXPECT_EQ(
      label("headerTiming")->text(),
      QStringLiteral("标准 / standard, 重试 / retries 0, 校验 / verify 开：逐字读回 / on: every "
                     "word read back"));
  expect_both(label("headerKind")->text(), "header kind");
  for (const QAbstractButton* b : popup()->findChildren<QAbstractButton*>()) {
    expect_both(b->text(), "popup button");
  }
  auto* form = qobject_cast<QFormLayout*>(label("headerFile")->parentWidget()->layout());
  ASSERT_NE(form, nullptr);
  for (int row = 0; row < form->rowCount(); ++row) {
    auto* name = qobject_cast<QLabel*>(form->itemAt(row, QFormLayout::LabelRole)->widget());
    if (!name->text().startsWith(QStringLiteral("SHA-256"))) {
      expect_both(name->text(), "header");
    }
  }
  watch_->release();
  ASSERT_TRUE(pump_until([&] { return verdict() == QStringLiteral("failed"); }));
  EXPECT_TRUE(label("verdict")->text().contains(QStringLiteral("ERROR: 救援失败 / Rescue failed")));
}

TEST_F(WordsTest, TheStopQuestionClosesItselfWhenTheRunEndsBehindIt) {
  prepare();
  pf::install_qt_dialogs();  // the real question, not the fixture's script
  watch_->hold_at([](const pf::PanelEvent& e) {
    return e.kind == pf::PanelEvent::Kind::LineAppended &&
           std::get<std::string>(e.value) == "Bootload success!";
  });
  press("ProgCB");
  ASSERT_TRUE(pump_until([&] { return watch_->holding() && label("verdict") != nullptr; }));
  const int panel = prgpanel;
  bool asked = false;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    asked = box != nullptr && box->objectName() == QStringLiteral("question");
    if (box != nullptr) {
      expect_buttons_fit(box, "stop question");
    }
    watch_->release();  // the run ends while the question is up
  });
  QTest::keyClick(popup(), Qt::Key_Escape);  // returns once the question is gone
  EXPECT_TRUE(asked);
  pump();
  EXPECT_EQ(qobject_cast<QMessageBox*>(QApplication::activeModalWidget()), nullptr);
  EXPECT_EQ(prgpanel, panel);  // nothing was stopped: the verdict stays up
  EXPECT_EQ(verdict(), QStringLiteral("programmed"));
  ASSERT_TRUE(pump_until([&] { return widget(prgpanel, PRGPANEL_OK)->isEnabled(); }));
  EXPECT_EQ(okcount.load(), 1);
}

TEST_F(WordsTest, ThePopupFitsASmallScreenItsButtonsTheirWordsAndEnterPressesOk) {
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  if (screen.width() > 1024 || screen.height() > 768) {
    GTEST_SKIP() << "the screen is larger than 1024x768";
  }
  prepare("silent");
  expect_buttons_fit(pf::panel_window(mainpanel), "main panel");
  // The longest verdict there is (a rescue that waited in vain, its reason in many lines), over
  // a main window low on the screen.
  pf::panel_window(mainpanel)->move(0, 600);
  SetCtrlVal(mainpanel, MAINPANEL_RESCUE, 1);
  SetCtrlVal(mainpanel, MAINPANEL_RESCUE_WAIT, 1);
  press("ProgCB");
  ASSERT_TRUE(pump_until([&] { return verdict() == QStringLiteral("failed"); }));
  ASSERT_TRUE(pump_until([&] { return widget(prgpanel, PRGPANEL_OK)->isEnabled(); }));
  EXPECT_GT(label("verdict")->text().size(), 200);
  EXPECT_TRUE(screen.contains(popup()->frameGeometry()))
      << popup()->frameGeometry().y() << "+" << popup()->frameGeometry().height() << " in "
      << screen.height();
  QWidget* ok = widget(prgpanel, PRGPANEL_OK);
  EXPECT_TRUE(screen.contains(QRect(ok->mapToGlobal(QPoint(0, 0)), ok->size())));
  expect_buttons_fit(popup(), "popup");
  // Enter from anywhere in the popup presses its default button, OK.
  widget(prgpanel, PRGPANEL_STATUS)->setFocus();
  QTest::keyClick(widget(prgpanel, PRGPANEL_STATUS), Qt::Key_Return);

  pump();
  EXPECT_EQ(prgpanel, 0);

  // A message box of Qt's own: its one button fits "确定 / OK", and Enter presses it.
  pf::install_qt_dialogs();
  bool fits_checked = false;
  QTimer::singleShot(0, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      expect_buttons_fit(box, "message box");
      fits_checked = true;
      QTest::keyClick(box, Qt::Key_Return);
    }
  });
  MessagePopup("文件类型错误！ / Wrong file kind", "文件类型错误！");
  EXPECT_TRUE(fits_checked);
}

TEST_F(WordsTest, TheFileDialogShowsNoAmpersandOfItsKeys) {
  open_main_panel();
  pf::install_qt_dialogs();
  QStringList shown;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) {
      return;
    }
    for (const QLabel* l : dialog->findChildren<QLabel*>()) {
      // An "&" is a key only where the label has a field to give the focus to.
      if (l->isVisible() && l->text().contains(u'&') && l->buddy() == nullptr) {
        shown << l->text();
      }
    }
    shown << QStringLiteral("checked");
    dialog->reject();
  });
  press("Selctfile");
  EXPECT_EQ(shown.join(QStringLiteral(" | ")).toStdString(), "checked");
}

}  // namespace
}  // namespace driveflash::test
