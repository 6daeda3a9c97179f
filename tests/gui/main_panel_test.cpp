// The main panel: choosing a file, the file kinds Program accepts, clearing the counter, help,
// and the controls the operator types into.
#include <QAbstractButton>
#include <QComboBox>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLineEdit>
#include <QTest>
#include <QTextBrowser>
#include <QWidget>
#include <filesystem>
#include <functional>

#include "app/operator_window.h"
#include "build_config.h"
#include "gui/gui_fixture.h"
#include "platform/panels.h"
#include "platform/qt/qt_panels.h"
#include "platform/qt/qt_serial.h"
#include "run/run_context.h"
#include "support/hex_records.h"

namespace driveflash::test {
namespace {

namespace pf = platform;

constexpr const char* kFileTypeError = "文件类型错误！";

class MainPanelTest : public VirtualTimeGuiTest {
 protected:
  void SetUp() override {
    VirtualTimeGuiTest::SetUp();
    open_main_panel();
  }
  std::string path_shown() {
    return qobject_cast<QLineEdit*>(widget(mainpanel, 3))->text().toStdString();
  }
  std::string path_held() {
    char text[260] = {};
    GetCtrlVal(mainpanel, MAINPANEL_FILEPATH, text);
    return text;
  }
  int value_of(int control) {
    int value = -1;
    GetCtrlVal(mainpanel, control, &value);
    return value;
  }
  void type_into(QComboBox* box, const QString& text) {
    QLineEdit* edit = box->lineEdit();
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
  }
};

TEST_F(MainPanelTest, FileDialogListsTheSelectedKindStartsAtTheLastChoiceAndMayBeCancelled) {
  const std::string first = write_firmware("a.hex");
  choose_file(first);
  EXPECT_EQ(path_shown(), first);
  set_kind(1);
  choose_file(std::nullopt);
  set_kind(0);
  // A name that is no existing file is no choice either.
  choose_file((dir_.path() / "gone.hex").string());
  ASSERT_EQ(asks_.size(), 3u);
  EXPECT_EQ(asks_[0].directory, "");
  EXPECT_EQ(asks_[0].file_spec, "*.hex");
  EXPECT_EQ(asks_[0].title, "选择固件 / Select firmware");
  EXPECT_EQ(asks_[1].directory, first);
  EXPECT_EQ(asks_[1].file_spec, "*.ehex");
  EXPECT_EQ(asks_[2].file_spec, "*.hex");
  EXPECT_EQ(path_shown(), first);
  EXPECT_EQ(path_held(), first);
}

struct KindRow {
  int kind;
  const char* name;
  bool accepted;
};

class FileKindTest : public MainPanelTest, public ::testing::WithParamInterface<KindRow> {};

TEST_P(FileKindTest, ProgramChecksTheNameAgainstTheSelectedKind) {
  const KindRow row = GetParam();
  SetCtrlVal(mainpanel, MAINPANEL_COMPORT, 1);  // whatever ports the machine has: none there
  set_kind(row.kind);
  // The content is a good firmware of the kind selected: only the name can be wrong.
  const std::vector<std::string> records = {ext_linear(0x1000), hex_record(0, 0x1000, pattern(16)),
                                            eof_record()};
  if (row.kind == 1) {
    const Bytes bytes = ehex_file(records);
    dir_.write(row.name, std::string(bytes.begin(), bytes.end()));
  } else {
    dir_.write(row.name, records[0] + "\n" + records[1] + "\n" + records[2] + "\n");
  }
  choose_file(row.name);  // relative to the working directory, so that the name may be short
  press("ProgCB");
  if (!row.accepted) {
    // The line stands first; the title and the reason follow in both languages.
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].first, std::string(kFileTypeError) + " / Wrong file kind");
    EXPECT_TRUE(messages_[0].second.starts_with(std::string(kFileTypeError) + "\n"));
    const std::string& why = messages_[0].second;
    EXPECT_NE(why.find("\nThe "), std::string::npos) << why;
    EXPECT_TRUE(why.find("选择的类型是") != std::string::npos ||
                why.find("看不出文件类型") != std::string::npos)
        << why;
    EXPECT_EQ(runflag.load(), 0);
    EXPECT_EQ(prgpanel, 0);
    EXPECT_EQ(pf::top_panel_window(), pf::panel_window(mainpanel));
    return;
  }
  EXPECT_TRUE(messages_.empty()) << messages_[0].second;
  EXPECT_EQ(runflag.load(), 1);
  QWidget* popup = pf::panel_window(prgpanel);
  ASSERT_NE(popup, nullptr);
  EXPECT_TRUE(popup->isVisible());
  EXPECT_NE(popup->windowModality(), Qt::NonModal);
  EXPECT_EQ(QGuiApplication::modalWindow(), popup->windowHandle());
  // Nothing is behind port 1: the run ends at the port, says which and why, and rests.
  ASSERT_TRUE(pump_until([&] { return popup_lines().size() >= 3; }));
  EXPECT_EQ(popup_lines(),
            (QStringList{QStringLiteral("初始化中..."),
                         QStringLiteral("ERROR: COM Port initialization failed!"),
                         QStringLiteral("端口 / Port 1: no serial port is mapped to number 1")}));
  popup->close();
  pump();
  EXPECT_EQ(prgpanel, 0);
  EXPECT_EQ(runflag.load(), 0);
  EXPECT_EQ(QGuiApplication::modalWindow(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Table, FileKindTest,
                         ::testing::Values(KindRow{1, "fw.ehex", true}, KindRow{1, "fw.hex", false},
                                           KindRow{0, "fw.hex", true}, KindRow{0, "fw.ehex", false},
                                           KindRow{0, "fw.bin", true}, KindRow{0, "FW.EHEX", true},
                                           KindRow{0, "a.h", false}));

TEST_F(MainPanelTest, ProgramWithoutAnOpenableFileIsRefusedBeforeAnyRun) {
  press("ProgCB");
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].second.find("Choose a firmware file"), std::string::npos);
  const std::string path = write_firmware("fw.hex");
  choose_file(path);
  std::filesystem::remove(path);
  press("ProgCB");
  ASSERT_EQ(messages_.size(), 2u);
  EXPECT_NE(messages_[1].second.find("Cannot open"), std::string::npos);
  EXPECT_EQ(prgpanel, 0);
  EXPECT_EQ(runflag.load(), 0);
}

// A file that would put bytes in flash it does not hold, or nothing at all after the erase, is
// refused when Program is pressed: the drive is never told to leave its application.
TEST_F(MainPanelTest, ProgramRefusesACorruptFileBeforeTheDriveIsTouched) {
  struct Row {
    const char* name;
    int kind;
    std::vector<std::string> records;
    const char* reason;
  };
  const std::string upper = ext_linear(0x1000);
  std::string bad_sum = hex_record(0, 0x1000, {1, 2, 3});
  bad_sum.back() = bad_sum.back() == '0' ? '1' : '0';
  const std::vector<Row> rows = {
      {"checksum.hex", 0, {upper, bad_sum}, "checksum error"},
      {"letter.hex", 0, {upper, ":0310000001G203E6"}, "not a hex digit"},
      {"nodata.hex", 0, {eof_record(), ""}, "no data record"},
      {"checksum.ehex", 1, {upper, bad_sum}, "checksum error"},
      {"nodata.ehex", 1, {eof_record()}, "no data record"},
  };
  const auto drive = map_drive(42);
  pick_port(42);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    messages_.clear();
    set_kind(row.kind);
    std::string content;
    if (row.kind == 1) {
      const Bytes bytes = ehex_file(row.records);
      content.assign(bytes.begin(), bytes.end());
    } else {
      for (const std::string& r : row.records) {
        content += r + "\n";
      }
    }
    choose_file(dir_.write(row.name, content));
    press("ProgCB");
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].first, row.kind == 1 ? "Ehex 文件校验错误!" : "hex 文件校验错误!");
    EXPECT_NE(messages_[0].second.find(row.reason), std::string::npos) << messages_[0].second;
    EXPECT_EQ(runflag.load(), 0);
    EXPECT_EQ(prgpanel, 0);
  }
  EXPECT_EQ(drive->statistics().bytes_received, 0u);
}

// The stand-in loader would leave a real chip in its bootstrap loader with nothing to run:
// refused before the drive is reset, as the run would refuse it after.
TEST_F(MainPanelTest, ProgramRefusesTheStandInLoaderForARealPortUpFront) {
  choose_file(write_firmware("fw.hex"));
  const int real = pf::map_device(dir_.write("ttyREAL0", ""));  // a device that is there
  pick_port(real);
  press("ProgCB");
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].second.find("stand-in"), std::string::npos) << messages_[0].second;
  EXPECT_EQ(prgpanel, 0);
  EXPECT_EQ(runflag.load(), 0);
}

TEST_F(MainPanelTest, ClearSetsTheCounterDisplayAndTheCountToZero) {
  okcount = 7;
  SetCtrlAttribute(mainpanel, MAINPANEL_COUNTER, ATTR_CTRL_VAL, 7);
  pump();
  EXPECT_EQ(counter_shown(), 7);
  press("ClrcounterCB");
  EXPECT_EQ(counter_shown(), 0);
  EXPECT_EQ(value_of(MAINPANEL_COUNTER), 0);
  EXPECT_EQ(okcount.load(), 0);
}

TEST_F(MainPanelTest, HelpOpensItsWindowAndChangesNothingElse) {
  const pf::PanelState before = *pf::panel_state(mainpanel);
  press("HelpCB");
  const pf::PanelState after = *pf::panel_state(mainpanel);
  EXPECT_TRUE(messages_.empty());
  EXPECT_TRUE(asks_.empty());
  EXPECT_EQ(prgpanel, 0);
  for (const auto& [number, control] : before.controls) {
    EXPECT_EQ(after.controls.at(number).value, control.value) << "control " << number;
  }
  QWidget* help = app::help_window();
  ASSERT_NE(help, nullptr);
  EXPECT_TRUE(help->isVisible());
  const QString text = help->findChild<QTextBrowser*>(QStringLiteral("helpText"))->toPlainText();
  for (const char* part :
       {"runs.csv", "未知型号的驱动器!", "ERROR: COM Port initialization failed!", "Program error",
        "Ctrl+P", "F5", "99", DRIVEFLASH_VERSION}) {
    EXPECT_TRUE(text.contains(QString::fromUtf8(part))) << part;
  }
  EXPECT_TRUE(text.contains(app::run_log_path()));
  help->findChild<QAbstractButton*>(QStringLiteral("openLogFolder"))->click();
  EXPECT_EQ(opened_folders_, QStringList{QFileInfo(app::run_log_path()).absolutePath()});
  help->findChild<QAbstractButton*>(QStringLiteral("closeHelp"))->click();
  pump();
  EXPECT_EQ(app::help_window(), nullptr);
}

TEST_F(MainPanelTest, TypedBaudRateReachesTheModelBeforeAnyCallbackRuns) {
  QComboBox* box = combo(mainpanel, MAINPANEL_DRIVE_BAUD);
  type_into(box, QStringLiteral("57600x"));  // the letter is refused as it is typed
  EXPECT_EQ(box->currentText(), QStringLiteral("57600"));
  EXPECT_EQ(value_of(MAINPANEL_DRIVE_BAUD), 19200);  // still being typed
  press("HelpCB");
  EXPECT_EQ(value_of(MAINPANEL_DRIVE_BAUD), 57600);
  // Picking from the list sets the value at once.
  box->setCurrentIndex(box->findText(QStringLiteral("9600")));
  Q_EMIT box->activated(box->currentIndex());
  EXPECT_EQ(value_of(MAINPANEL_DRIVE_BAUD), 9600);
}

TEST_F(MainPanelTest, PortControlTakesTheVirtualDriveANumberOrADevice) {
  map_drive(42);
  pick_port(42);
  QComboBox* box = combo(mainpanel, MAINPANEL_COMPORT);
  EXPECT_EQ(value_of(MAINPANEL_COMPORT), 42);
  EXPECT_TRUE(box->currentText().startsWith(QStringLiteral("42: sim")));

  type_into(box, QStringLiteral("5"));
  QTest::keyClick(box->lineEdit(), Qt::Key_Return);
  EXPECT_EQ(value_of(MAINPANEL_COMPORT), 5);

  // Typed numbers are not completed into listed ports ("1" is no "100: ...").
  type_into(box, QStringLiteral("1"));
  QTest::keyClick(box->lineEdit(), Qt::Key_Return);
  EXPECT_EQ(value_of(MAINPANEL_COMPORT), 1);
  EXPECT_EQ(box->currentText(), QStringLiteral("1"));

  // A device path that does not exist stays shown as typed (not port 1 put back), not in the
  // list: Program refuses it by name.
  type_into(box, QStringLiteral("/dev/driveflash-test-no-such-device"));
  QTest::keyClick(box->lineEdit(), Qt::Key_Return);
  EXPECT_EQ(value_of(MAINPANEL_COMPORT), -1) << "no port number";
  EXPECT_EQ(box->currentText(), QStringLiteral("/dev/driveflash-test-no-such-device"));
  EXPECT_EQ(box->findText(QStringLiteral("/dev/driveflash-test-no-such-device"), Qt::MatchContains),
            -1);

  const std::string device = dir_.write("ttyTEST0", "");  // a path that exists
  type_into(box, QString::fromStdString(device));
  QTest::keyClick(box->lineEdit(), Qt::Key_Return);
  const int number = value_of(MAINPANEL_COMPORT);
  EXPECT_GE(number, pf::kFirstDevicePortNumber);
  pf::PortEntry entry;
  ASSERT_TRUE(pf::find_port(number, entry));
  EXPECT_EQ(entry.name, device);
  EXPECT_TRUE(entry.is_real);
  EXPECT_GE(box->findData(number), 0);

  // Empty text is taken back.
  type_into(box, QString());
  QTest::keyClick(box->lineEdit(), Qt::Key_Return);
  EXPECT_EQ(value_of(MAINPANEL_COMPORT), number);
  EXPECT_EQ(box->currentData().toInt(), number);
}

// What would strand the drive after its reset, or program another drive than the one chosen,
// is refused when Program is pressed, named in both languages; nothing reaches the drive, and
// the port shown stays the one typed.
TEST_F(MainPanelTest, ProgramRefusesWhatWouldStrandTheDriveBeforeAnythingIsSent) {
  struct Row {
    const char* name;
    std::function<void()> set_up;
    const char* title;
    std::vector<const char*> words;  // in the message
  };
  const auto drive = map_drive(42);
  const std::filesystem::path loader = dir_.path() / "XMC1300" / "XMC1x_ASCLoader.hex";
  const std::filesystem::path kept = dir_.path() / "loader.kept";
  std::filesystem::copy_file(loader, kept);
  const auto restore_loader = [&] {
    std::filesystem::copy_file(kept, loader, std::filesystem::copy_options::overwrite_existing);
  };
  const std::string firmware = write_firmware("fw.hex");
  const std::string gone = dir_.write("ttyGONE0", "");
  QComboBox* box = combo(mainpanel, MAINPANEL_COMPORT);
  const auto type_port = [&](const char* text) {
    type_into(box, QString::fromUtf8(text));
    QTest::keyClick(box->lineEdit(), Qt::Key_Return);
  };
  const std::vector<Row> rows = {
      {"typed_port_that_does_not_exist",
       [&] { type_port("/dev/ttyUSB-driveflash-none"); },
       "串口 / Port",
       {"串口“/dev/ttyUSB-driveflash-none”不存在",
        "The port \"/dev/ttyUSB-driveflash-none\" does "
        "not exist or cannot be used",
        "Nothing was sent"}},
      {"typed_port_zero", [&] { type_port("0"); }, "串口 / Port", {"“0”", "\"0\""}},
      {"device_unplugged_since_it_was_picked",
       [&] {
         type_port(gone.c_str());
         std::filesystem::remove(gone);
       },
       "串口 / Port",
       {"ttyGONE0", "does not exist or cannot be used"}},
      {"loader_file_missing",
       [&] { std::filesystem::remove(loader); },
       "烧录 / Program",
       {"引导文件缺失", "missing, unreadable or not a loader", "XMC1x_ASCLoader.hex",
        "Nothing was sent"}},
      {"loader_file_no_loader",
       [&] { dir_.write("XMC1300/XMC1x_ASCLoader.hex", ":00000001FF\n"); },
       "烧录 / Program",
       {"not a loader"}},
      {"data_outside_the_flash",
       [&] {
         choose_file(dir_.write("outside.hex", ext_linear(0x2000) + "\n" +
                                                   hex_record(0, 0, pattern(16)) + "\n" +
                                                   eof_record() + "\n"));
       },
       "hex 文件校验错误!",
       {"record 2, address 0x20000000: data outside the flash (0x10001000-0x10032FFF)"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    pick_port(42);
    choose_file(firmware);
    restore_loader();
    messages_.clear();
    row.set_up();
    pump();
    const QString shown = box->currentText();
    press("ProgCB");
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].first, row.title);
    for (const char* word : row.words) {
      EXPECT_NE(messages_[0].second.find(word), std::string::npos) << word << " in\n"
                                                                   << messages_[0].second;
    }
    EXPECT_EQ(runflag.load(), 0);
    EXPECT_EQ(prgpanel, 0);
    EXPECT_EQ(box->currentText(), shown) << "the port shown changed";
  }
  EXPECT_EQ(drive->statistics().bytes_received, 0u);
  // With the port picked again and the files in order, Program runs on that port.
  pick_port(42);
  choose_file(firmware);
  restore_loader();
  messages_.clear();
  press("ProgCB");
  EXPECT_TRUE(messages_.empty());
  EXPECT_GT(prgpanel, 0);
  ASSERT_TRUE(pump_until([] { return runstate.load() == kStateFinished; }));
  pf::fire_event(prgpanel, 0, EVENT_CLOSE);
  pump();
  EXPECT_GT(drive->statistics().bytes_received, 0u);
}

}  // namespace
}  // namespace driveflash::test
