// What the window adds around a run: the verdict for every way a run ends, the header of what
// is being programmed, the batch count after Clear, the settings brought back at the next
// start, the port the window starts on, and the keyboard.
#include "app/operator_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLibraryInfo>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <filesystem>

#include "gui/gui_fixture.h"
#include "image/firmware_scan.h"
#include "platform/panels.h"
#include "platform/qt/qt_panels.h"
#include "platform/qt/qt_serial.h"
#include "run/run_context.h"

namespace driveflash::test {
namespace {

namespace pf = platform;

class OperatorWindowTest : public WindowRunTest {
 protected:
  // Presses Program and waits until the window has concluded the run.
  void run_to_verdict() {
    press("ProgCB");
    ASSERT_GT(prgpanel, 0);
    ASSERT_TRUE(pump_until([&] {
      const QString v = verdict();
      return !v.isEmpty() && v != QStringLiteral("running");
    }));
  }
  void close_popup() {
    for (int close = 0; close < 2 && prgpanel > 0; ++close) {
      popup()->close();
      pump();
    }
    ASSERT_EQ(prgpanel, 0);
  }
};

struct VerdictRow {
  const char* name;
  const char* faults;
  bool no_loader_file;
  int port;  // 0: the virtual drive's
  const char* verdict;
  const char* reason;  // the status line the verdict repeats
};

class VerdictTest : public OperatorWindowTest, public ::testing::WithParamInterface<VerdictRow> {};

TEST_P(VerdictTest, TheRunsEndIsShownInWordsColourIconTitleAndBatch) {
  const VerdictRow row = GetParam();
  prepare(row.faults);
  if (row.no_loader_file) {
    std::filesystem::remove(dir_.path() / "XMC1300" / "XMC1x_ASCLoader.hex");
  }
  if (row.port != 0) {
    SetCtrlVal(mainpanel, MAINPANEL_COMPORT, row.port);
  }
  run_to_verdict();
  const bool ok = std::string(row.verdict) == "programmed";
  EXPECT_EQ(verdict(), QString::fromLatin1(row.verdict));
  const QString text = label("verdict")->text();
  EXPECT_TRUE(
      text.contains(ok ? QStringLiteral("✔ 成功 / Programmed") : QStringLiteral("✘ 失败 / Failed")))
      << text.toStdString();
  EXPECT_TRUE(text.contains(QString::fromUtf8(row.reason))) << text.toStdString();
  EXPECT_EQ(popup()->windowTitle(),
            ok ? QStringLiteral("成功 / Programmed") : QStringLiteral("失败 / Failed"));
  EXPECT_FALSE(label("verdictIcon")->pixmap().isNull());
  // The status box keeps its own lines, the reason among them (advice may follow it).
  EXPECT_EQ(popup_lines().value(0), QStringLiteral("初始化中..."));
  if (!ok) {
    EXPECT_TRUE(popup_lines().contains(QString::fromUtf8(row.reason)));
  }
  EXPECT_EQ(label("batch")->text(), QStringLiteral("本批 / This batch: %1").arg(ok ? 1 : 0));
  close_popup();
}

INSTANTIATE_TEST_SUITE_P(
    Table, VerdictTest,
    ::testing::Values(
        VerdictRow{"programmed", "", false, 0, "programmed", " s"},
        VerdictRow{"no_port", "", false, 3, "failed", "ERROR: COM Port initialization failed!"},
        VerdictRow{"silent", "silent", false, 0, "failed", "未知型号的驱动器!"},
        VerdictRow{"no_bsl", "no-bsl", false, 0, "failed", "ERROR: ASC BSL initialization failed!"},
        VerdictRow{"length", "length-reply=00", false, 0, "failed",
                   "ERROR: Send application length failed!"},
        VerdictRow{"loader", "loader-reply=00", false, 0, "failed",
                   "ERROR: Installing ASCLoader failed  - quitting..."},
        VerdictRow{"program", "reply:data@2=FA", false, 0, "failed", "Program error"},
        // A loader that refuses every download: five passes, then the run ends.
        VerdictRow{"protected", "protect=1000", false, 0, "failed", "Protection error"}),
    [](const ::testing::TestParamInfo<VerdictRow>& p) { return std::string(p.param.name); });

TEST_F(OperatorWindowTest, TheHeaderSaysWhatIsProgrammedWhereAndForHowLong) {
  prepare();
  watch_->hold_in_the_download();
  press("ProgCB");
  ASSERT_TRUE(pump_until([&] { return watch_->holding() && label("headerFile") != nullptr; }));
  EXPECT_EQ(label("headerFile")->text(), QStringLiteral("fw.hex"));
  EXPECT_EQ(label("headerFile")->toolTip(), QString::fromStdString(file_));
  EXPECT_EQ(label("headerKind")->text(), QStringLiteral("明文 HEX / Intel HEX (*.hex)"));
  const image::FirmwareReport scan = image::scan_firmware(file_.c_str(), 0);
  EXPECT_EQ(label("headerSize")->text(), QStringLiteral("%1 字节 / bytes, %2 页 / pages")
                                             .arg(QFileInfo(QString::fromStdString(file_)).size())
                                             .arg(scan.data_frames));
  QFile f(QString::fromStdString(file_));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(
      label("headerHash")->text(),
      QString::fromLatin1(
          QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex().left(12)));
  EXPECT_TRUE(label("headerPort")->text().startsWith(QStringLiteral("7: ")))
      << label("headerPort")->text().toStdString();
  EXPECT_EQ(label("headerBaud")->text(),
            QStringLiteral("驱动器 / drive 19200, 引导 / loader 115200"));
  EXPECT_EQ(verdict(), QStringLiteral("running"));
  // The clock runs while the run goes on (in real time), and stops at its end.
  const QString early = label("headerElapsed")->text();
  QTest::qWait(250);
  pump();
  EXPECT_NE(label("headerElapsed")->text(), early);
  watch_->release();
  ASSERT_TRUE(pump_until([&] { return verdict() == QStringLiteral("programmed"); }));
  const QString end = label("headerElapsed")->text();
  QTest::qWait(250);
  pump();
  EXPECT_EQ(label("headerElapsed")->text(), end);
  EXPECT_TRUE(label("verdict")->text().contains(end));
}

TEST_F(OperatorWindowTest, AStopBeforeTheDownloadShowsStoppingAtOnceThenStoppedUntilClosed) {
  prepare();
  watch_->hold_at([](const pf::PanelEvent& e) {
    return e.kind == pf::PanelEvent::Kind::LineAppended &&
           std::get<std::string>(e.value) == "ASC BSL initialization OK!";
  });
  press("ProgCB");
  ASSERT_TRUE(pump_until([&] { return watch_->holding() && label("verdict") != nullptr; }));
  const int panel = prgpanel;
  QString meanwhile;
  QTimer::singleShot(0, [&] {
    meanwhile = label("verdict")->text();
    watch_->release();
  });
  QTest::keyClick(popup(), Qt::Key_Escape);  // as the close box
  EXPECT_TRUE(meanwhile.contains(QStringLiteral("正在停止… / Stopping")))
      << meanwhile.toStdString();
  EXPECT_EQ(prgpanel, panel);
  EXPECT_EQ(runflag.load(), 0);
  pump();
  EXPECT_EQ(verdict(), QStringLiteral("stopped"));
  EXPECT_TRUE(label("verdict")->text().contains(QStringLiteral("已停止 / Stopped")));
  EXPECT_EQ(popup()->windowTitle(), QStringLiteral("已停止 / Stopped"));
  EXPECT_TRUE(popup()->isVisible());
  EXPECT_EQ(okcount.load(), 0);
  // Program stays refused while the stopped run's popup is up.
  press("ProgCB");
  EXPECT_EQ(prgpanel, panel);
  QTest::keyClick(popup(), Qt::Key_Escape);
  pump();
  EXPECT_EQ(prgpanel, 0);
}

TEST_F(OperatorWindowTest, ClearStartsTheBatchAgain) {
  prepare();
  run_to_verdict();
  close_popup();
  EXPECT_EQ(counter_shown(), 1);
  press("ClrcounterCB");
  EXPECT_EQ(counter_shown(), 0);
  run_to_verdict();
  EXPECT_EQ(verdict(), QStringLiteral("programmed"));
  EXPECT_EQ(label("batch")->text(), QStringLiteral("本批 / This batch: 1"));
  close_popup();
  EXPECT_EQ(counter_shown(), 1);
}

TEST_F(OperatorWindowTest, SettingsComeBackAtTheNextStart) {
  map_drive(42);
  open_main_panel();
  pick_port(42);
  set_kind(1);
  const std::string file = dir_.write("fw.ehex", "x");
  choose_file(file);
  SetCtrlVal(mainpanel, MAINPANEL_DRIVE_BAUD, 9600);
  SetCtrlVal(mainpanel, MAINPANEL_LOADER_BAUD, 57600);
  SetCtrlVal(mainpanel, MAINPANEL_TIMING, 1);
  SetCtrlVal(mainpanel, MAINPANEL_RETRIES, 3);
  SetCtrlVal(mainpanel, MAINPANEL_VERIFY, 1);
  pf::set_file_dialog_folder((dir_.path() / "XMC1300").string());
  pf::panel_window(mainpanel)->move(123, 77);
  pump();
  const QPoint place = pf::panel_window(mainpanel)->pos();

  // Start again: the program's state is gone, the settings file stays.
  app::detach_main_panel(mainpanel);
  DiscardPanel(mainpanel);
  app::uninstall_operator_window();
  pump();
  filename[0] = '\0';
  pf::set_file_dialog_folder({});
  app::WindowOptions options;
  options.settings_file = QString::fromStdString((dir_.path() / "settings.ini").string());
  app::install_operator_window(options);
  open_main_panel();

  int value = 0;
  for (const auto& [control, expected] : {std::pair{MAINPANEL_COMPORT, 42},
                                          {MAINPANEL_FILETYPE, 1},
                                          {MAINPANEL_DRIVE_BAUD, 9600},
                                          {MAINPANEL_LOADER_BAUD, 57600},
                                          {MAINPANEL_TIMING, 1},
                                          {MAINPANEL_RETRIES, 3},
                                          {MAINPANEL_VERIFY, 1}}) {
    GetCtrlVal(mainpanel, control, &value);
    EXPECT_EQ(value, expected) << "control " << control;
  }
  EXPECT_EQ(combo(mainpanel, MAINPANEL_COMPORT)->currentData().toInt(), 42);
  EXPECT_STREQ(filename, file.c_str());
  char shown[260] = {};
  GetCtrlVal(mainpanel, MAINPANEL_FILEPATH, shown);
  EXPECT_STREQ(shown, file.c_str());
  EXPECT_EQ(pf::file_dialog_folder(), (dir_.path() / "XMC1300").string());
  EXPECT_EQ(pf::panel_window(mainpanel)->pos(), place);
}

// The port the window starts on.
struct PortRow {
  const char* name;
  const char* remembered_name;  // "" for nothing remembered
  int remembered_number;
  bool expect_remembered;  // else the first port the machine reports
};

class StartingPortTest : public OperatorWindowTest,
                         public ::testing::WithParamInterface<PortRow> {};

TEST_P(StartingPortTest, LastUsedWhileItIsThereElseTheFirstDetected) {
  const PortRow row = GetParam();
  map_drive(42);
  if (*row.remembered_name != '\0') {
    QSettings s(QString::fromStdString((dir_.path() / "settings.ini").string()),
                QSettings::IniFormat);
    s.setValue(QStringLiteral("port/name"), QString::fromLatin1(row.remembered_name));
    s.setValue(QStringLiteral("port/number"), row.remembered_number);
  }
  // A detected adapter, whatever the machine has besides.
  pf::PortEntry adapter;
  adapter.number = 250;
  adapter.name = "/dev/driveflash-test-adapter";
  adapter.is_real = true;
  pf::map_port(adapter);
  open_main_panel();
  int first = 0;
  for (const pf::PortEntry& e : pf::port_table()) {
    if (e.is_real && (first == 0 || e.number < first)) {
      first = e.number;
    }
  }
  int port = 0;
  GetCtrlVal(mainpanel, MAINPANEL_COMPORT, &port);
  EXPECT_EQ(port, row.expect_remembered ? row.remembered_number : first);
  EXPECT_EQ(combo(mainpanel, MAINPANEL_COMPORT)->currentData().toInt(), port);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartingPortTest,
    ::testing::Values(PortRow{"nothing_remembered", "", 0, false},
                      PortRow{"remembered_and_there", "sim", 42, true},
                      PortRow{"remembered_but_gone", "/dev/driveflash-test-gone", 130, false}),
    [](const ::testing::TestParamInfo<PortRow>& p) { return std::string(p.param.name); });

TEST_F(OperatorWindowTest, TheKeyboardProgramsClosesAndReachesEveryButton) {
  prepare();
  QWidget* main = pf::panel_window(mainpanel);
  QApplication::setActiveWindow(main);
  for (const auto& [key, modifiers] :
       {std::pair{Qt::Key_P, Qt::KeyboardModifiers(Qt::ControlModifier)},
        {Qt::Key_F5, Qt::KeyboardModifiers(Qt::NoModifier)}}) {
    SCOPED_TRACE(QKeySequence(key | modifiers).toString().toStdString());
    QApplication::setActiveWindow(main);
    QTest::keyClick(main, key, modifiers);
    pump();
    ASSERT_GT(prgpanel, 0) << "no run started";
    ASSERT_TRUE(pump_until([&] { return verdict() == QStringLiteral("programmed"); }));
    ASSERT_TRUE(pump_until([&] { return QApplication::focusWidget() == widget(prgpanel, 3); }))
        << "OK should take the focus at the end";
    QTest::keyClick(popup(), Qt::Key_Escape);
    pump();
    EXPECT_EQ(prgpanel, 0);
  }
  EXPECT_EQ(counter_shown(), 2);
  // Every button of the main panel has a mnemonic and takes the focus from the keyboard.
  for (QPushButton* b : main->findChildren<QPushButton*>()) {
    EXPECT_TRUE(b->text().contains(u'&')) << b->text().toStdString();
    EXPECT_TRUE(b->focusPolicy() & Qt::TabFocus) << b->text().toStdString();
  }
  // No two of them, buttons and labels, answer the same Alt key.
  QStringList texts;
  for (const QPushButton* b : main->findChildren<QPushButton*>()) {
    texts << b->text();
  }
  for (const QLabel* l : main->findChildren<QLabel*>()) {
    texts << l->text();
  }
  QMap<QChar, QString> keys;
  for (const QString& text : texts) {
    const qsizetype at = text.indexOf(u'&');
    if (at < 0 || at + 1 >= text.size() || text[at + 1] == u'&') {
      continue;
    }
    const QChar key = text[at + 1].toLower();
    EXPECT_FALSE(keys.contains(key))
        << text.toStdString() << " and " << keys.value(key).toStdString();
    keys.insert(key, text);
  }
  QApplication::setActiveWindow(main);
  QTest::keyClick(main, Qt::Key_F1);
  pump();
  ASSERT_NE(app::help_window(), nullptr);
  EXPECT_TRUE(app::help_window()->isVisible());
}

TEST_F(OperatorWindowTest, QtsOwnWordsInTheStandardDialogsAreChinese) {
  const QString qm =
      QLibraryInfo::path(QLibraryInfo::TranslationsPath) + QStringLiteral("/qtbase_zh_CN.qm");
  if (!QFileInfo::exists(qm)) {
    GTEST_SKIP() << qm.toStdString() << " is missing (Debian: qt6-translations-l10n)";
  }
  const QString words = QCoreApplication::translate("QFileDialog", "Detail View");
  EXPECT_NE(words, QStringLiteral("Detail View"));
  EXPECT_TRUE(std::any_of(words.begin(), words.end(), [](QChar c) {
    return c.unicode() >= 0x4E00;
  })) << words.toStdString();
}

}  // namespace
}  // namespace driveflash::test
