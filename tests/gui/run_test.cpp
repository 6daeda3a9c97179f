// Whole programming runs on the virtual drive, driven through the window: the popup's lines,
// the OK button and the progress bar during and after the download, the counter, a drive that
// does not answer, and closing the popup while the download runs (closing it at rest: the
// silent drive here, and the accepted file kinds in main_panel_test).
#include <QComboBox>
#include <QDateTime>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <fstream>
#include <iterator>
#include <thread>

#include "app/callbacks.h"
#include "app/run_log.h"
#include "app/window_log.h"
#include "gui/gui_fixture.h"
#include "platform/panels.h"
#include "platform/qt/qt_panels.h"
#include "platform/sound.h"
#include "platform/threads.h"
#include "run/run_context.h"
#include "support/hex_records.h"

namespace driveflash::test {
namespace {

namespace pf = platform;

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
constexpr int kPages = 8;

const QStringList kRunStart = {QStringLiteral("初始化中..."),
                               QStringLiteral("驱动器连接成功!"),
                               QStringLiteral("ASC BSL initialization OK!"),
                               QStringLiteral("Send application length OK!"),
                               QStringLiteral("Sending XMC1x_ASCLoader..."),
                               QStringLiteral("Bootload success!")};

class RunTest : public WindowRunTest {
 protected:
  void prepare(const sim::Faults& faults = {}) { WindowRunTest::prepare(faults, kPages); }
  // Presses Program and holds the run in its download.
  void start_and_hold() {
    watch_->hold_in_the_download();
    press("ProgCB");
    ASSERT_GT(prgpanel, 0);
    ASSERT_TRUE(pump_until([&] { return watch_->holding(); }));
  }
  static bool resting() { return runstate.load() == kStateFinished; }
  // The popup shows the run's verdict.
  bool concluded() {
    const QString verdict =
        verdict_label() != nullptr ? verdict_label()->property("verdict").toString() : QString();
    return resting() && !verdict.isEmpty() && verdict != QStringLiteral("running");
  }
  QLabel* verdict_label() {
    return pf::panel_window(prgpanel)->findChild<QLabel*>(QStringLiteral("verdict"));
  }
  QProgressBar* bar() { return qobject_cast<QProgressBar*>(widget(prgpanel, PRGPANEL_PROGRESS)); }
  QStringList model_lines() {
    QStringList lines;
    const std::optional<pf::PanelState> state = pf::panel_state(prgpanel);
    for (const std::string& l : state->controls.at(PRGPANEL_STATUS).lines) {
      lines << QString::fromStdString(l);
    }
    return lines;
  }
};

TEST_F(RunTest, TwoRunsThroughClicksShowTheirLinesAndCountOneThenTwo) {
  prepare();
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    start_and_hold();
    QWidget* ok = widget(prgpanel, PRGPANEL_OK);
    ASSERT_NE(ok, nullptr);
    ASSERT_NE(bar(), nullptr);
    EXPECT_FALSE(ok->isEnabled()) << "OK must be dimmed during the download";
    EXPECT_FALSE(bar()->isHidden());
    EXPECT_EQ(popup_lines().mid(0, kRunStart.size()), kRunStart);

    watch_->release();
    ASSERT_TRUE(pump_until([&] { return resting() && counter_shown() == run && ok->isEnabled(); }));
    ASSERT_TRUE(pump_until([&] { return bar()->isHidden(); }));
    EXPECT_EQ(bar()->value(), 100);
    EXPECT_EQ(popup_lines(), model_lines());
    EXPECT_EQ(popup_lines().mid(0, kRunStart.size()), kRunStart);
    EXPECT_TRUE(popup_lines().contains(QStringLiteral("Done!")));
    EXPECT_EQ(pf::sounds_requested().back(), "msg.wav");
    EXPECT_TRUE(drive_->flash_matches({{0x10001000u, pattern(kPages * 256)}}));

    click(prgpanel, PRGPANEL_OK);
    EXPECT_EQ(prgpanel, 0);
    EXPECT_EQ(runflag.load(), 0);
    EXPECT_EQ(QGuiApplication::modalWindow(), nullptr);
  }
  EXPECT_EQ(counter_shown(), 2);
}

TEST_F(RunTest, ASilentDriveEndsTheRunWithItsLineAndWhatToCheck) {
  sim::Faults silent;
  silent.silent = true;
  prepare(silent);
  const std::size_t sounds = pf::sounds_requested().size();
  press("ProgCB");
  ASSERT_TRUE(pump_until([&] { return resting() && popup_lines().size() >= 3; }));
  EXPECT_EQ(popup_lines(),
            (QStringList{QStringLiteral("初始化中..."), QStringLiteral("未知型号的驱动器!"),
                         QString::fromStdString(no_answer_line("7 (sim)", 19200, 115200))}));
  EXPECT_TRUE(widget(prgpanel, PRGPANEL_OK)->isEnabled());
  for (const int dim : watch_->dims()) {
    EXPECT_EQ(dim, 0) << "OK was dimmed although no download ran";
  }
  EXPECT_EQ(counter_shown(), 0);
  EXPECT_EQ(pf::sounds_requested().size(), sounds);
  pf::panel_window(prgpanel)->close();
  pump();
  EXPECT_EQ(prgpanel, 0);
}

TEST_F(RunTest, ClosingDuringTheDownloadTakesEffectWhenTheDownloadReturns) {
  prepare();
  start_and_hold();
  const int popup = prgpanel;
  bool popup_up = false;
  bool stop_asked = false;
  bool worker_done = true;
  QString verdict_meanwhile;
  // Runs inside the close, while it waits for the worker with events processed.
  QTimer::singleShot(0, [&] {
    popup_up = pf::panel_state(popup) && pf::panel_state(popup)->popup;
    stop_asked = runflag.load() == 0;
    worker_done = pf::thread_function_done(threadid);
    verdict_meanwhile = verdict_label()->text();
    watch_->release();
  });
  pf::panel_window(popup)->close();  // the close box; OK is dimmed now
  EXPECT_TRUE(popup_up);
  EXPECT_TRUE(stop_asked);
  EXPECT_FALSE(worker_done);
  EXPECT_TRUE(verdict_meanwhile.contains(QStringLiteral("正在停止…")))
      << verdict_meanwhile.toStdString();
  // The download ran to its end and counted; the worker made no further pass, so the window
  // undims OK itself once it has returned. The popup stays up with the outcome until it is
  // closed again.
  EXPECT_EQ(prgpanel, popup);
  EXPECT_EQ(okcount.load(), 1);
  EXPECT_TRUE(drive_->flash_matches({{0x10001000u, pattern(kPages * 256)}}));
  EXPECT_EQ(watch_->dims(), (std::vector<int>{1, 0}));
  pump();
  EXPECT_EQ(verdict_label()->property("verdict").toString(), QStringLiteral("programmed"));
  EXPECT_TRUE(widget(popup, PRGPANEL_OK)->isEnabled());
  EXPECT_EQ(counter_shown(), 1);
  pf::panel_window(popup)->close();
  pump();
  EXPECT_EQ(prgpanel, 0);
  EXPECT_FALSE(pf::panel_state(popup));
}

// Each way a run ends puts its row in the log while its verdict is still up, with the time it
// ended and what ended it: programmed (under the unit's serial, typed as a scanner types it), a
// port that refuses to open (with the port's own words), a stop, and Program's refusal.
TEST_F(RunTest, EachRunsRowIsInTheLogWhileItsVerdictIsUp) {
  prepare();
  const std::filesystem::path log = dir_.path() / "data" / "runs.csv";
  app::record_window_runs(log);
  const std::string file = (dir_.path() / "fw.hex").string();
  const auto rows = [&log] { return csv_rows(read_file(log)); };
  const auto now = [] {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toStdString();
  };

  // Programmed, with the unit's serial scanned into its field.
  auto* unit = qobject_cast<QLineEdit*>(widget(mainpanel, MAINPANEL_UNIT));
  ASSERT_NE(unit, nullptr);
  QTest::keyClicks(unit, QStringLiteral("SN-0042"));
  QTest::keyClick(unit, Qt::Key_Return);
  std::string before = now();
  press("ProgCB");
  ASSERT_TRUE(
      pump_until([&] { return verdict_label() != nullptr && resting() && !rows().empty(); }));
  pump();
  EXPECT_EQ(verdict_label()->property("verdict").toString(), QStringLiteral("programmed"));
  auto row = rows().back();
  EXPECT_GE(row.at("time"), before);
  EXPECT_LE(row.at("time"), now());
  EXPECT_EQ(row.at("result"), "ok");
  EXPECT_EQ(row.at("message"), "Done!");
  EXPECT_EQ(row.at("file"), file);
  EXPECT_EQ(row.at("sha256"), app::file_sha256(file));
  EXPECT_EQ(row.at("pages"), "8");
  EXPECT_EQ(row.at("unit"), "SN-0042");
  EXPECT_EQ(row.at("drive_id").substr(0, 2), "0x");
  EXPECT_EQ(row.at("count"), "1");
  EXPECT_EQ(unit->text(), QString()) << "the next unit's serial is scanned into an empty field";
  click(prgpanel, PRGPANEL_OK);

  // A port that does not open: the line, and why.
  pf::PortEntry refusing;
  refusing.number = kRunPort;
  refusing.name = "/dev/ttyBUSY";
  refusing.open = [](const pf::LineSettings&, std::string& error) {
    error = "permission denied";
    return std::unique_ptr<pf::SerialLine>();
  };
  pf::map_port(refusing);
  press("ProgCB");
  ASSERT_TRUE(pump_until([&] { return resting() && rows().size() == 2; }));
  row = rows().back();
  EXPECT_EQ(row.at("result"), "failed");
  EXPECT_EQ(row.at("port"), "/dev/ttyBUSY");
  EXPECT_EQ(row.at("message"),
            "ERROR: COM Port initialization failed! — 端口 / Port 7: permission denied");
  EXPECT_EQ(row.at("sha256"), app::file_sha256(file)) << "the bytes Program read";
  click(prgpanel, PRGPANEL_OK);

  // Stopped after the drive's reset: where the drive waits.
  map_drive(kRunPort);
  watch_->hold_at([](const pf::PanelEvent& e) {
    return e.kind == pf::PanelEvent::Kind::LineAppended &&
           std::get<std::string>(e.value) == "驱动器连接成功!";
  });
  press("ProgCB");
  ASSERT_TRUE(pump_until([&] { return watch_->holding(); }));
  QTimer::singleShot(0, [&] { watch_->release(); });
  pf::panel_window(prgpanel)->close();
  ASSERT_EQ(rows().size(), 3u) << "written when the worker came back";
  pump();
  EXPECT_EQ(verdict_label()->property("verdict").toString(), QStringLiteral("stopped"));
  row = rows().back();
  EXPECT_EQ(row.at("result"), "stopped");
  EXPECT_EQ(row.at("message"), std::string("已停止 / Stopped — ") + kLeftInRomLoaderLine);
  pf::panel_window(prgpanel)->close();
  pump();

  // Refused: a file that does not fit the chosen kind.
  set_kind(kFileTypeEhex);
  press("ProgCB");
  ASSERT_EQ(rows().size(), 4u);
  row = rows().back();
  EXPECT_EQ(row.at("result"), "refused");
  // The refusal's first line, then why, on one line.
  EXPECT_TRUE(row.at("message").starts_with("文件类型错误！ | ")) << row.at("message");
  EXPECT_EQ(row.at("pages"), "");
  app::set_run_end_hook({});
}

// The log held by another program while the run ends: the verdict says the row is kept and
// where it goes; the next run's row brings it in, in order.
TEST_F(RunTest, ARowTheLogCannotTakeIsKeptAndTheVerdictSaysSo) {
  prepare();
  const std::filesystem::path log = dir_.path() / "runs.csv";
  app::record_window_runs(log);
  std::filesystem::create_directory(log);  // cannot be opened, as a file held without sharing
  press("ProgCB");
  ASSERT_TRUE(pump_until([&] { return concluded(); }));
  auto* note = pf::panel_window(prgpanel)->findChild<QLabel*>(QStringLiteral("logNote"));
  ASSERT_NE(note, nullptr);
  EXPECT_FALSE(note->isHidden());
  EXPECT_TRUE(note->text().contains(QStringLiteral("this row is kept")))
      << note->text().toStdString();
  EXPECT_TRUE(note->text().contains(QStringLiteral("runs.unsaved.csv")))
      << note->text().toStdString();
  click(prgpanel, PRGPANEL_OK);
  std::filesystem::remove(log);
  map_drive(kRunPort, sim::Faults{.silent = true});
  press("ProgCB");
  ASSERT_TRUE(pump_until([&] { return concluded(); }));
  note = pf::panel_window(prgpanel)->findChild<QLabel*>(QStringLiteral("logNote"));
  EXPECT_TRUE(note->isHidden());
  const auto rows = csv_rows(read_file(log));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].at("result"), "ok");
  EXPECT_EQ(rows[1].at("result"), "failed");
  EXPECT_EQ(app::finish_window_runs(), "");
  app::set_run_end_hook({});
}

// Closing the popup after the drive's reset asks first and says where the drive is left; a "no"
// lets the run go on, and a run that fails there ends with the same words.
TEST_F(RunTest, AStopAfterTheResetIsAskedAboutAndTheFailureSaysWhereTheDriveWaits) {
  sim::Faults faults;
  faults.replies.push_back({{sim::FrameKind::kData, 3}, 0xFA});
  prepare(faults);
  start_and_hold();
  const int popup = prgpanel;
  confirm_answers_ = {false};
  pf::panel_window(popup)->close();
  ASSERT_EQ(questions_.size(), 1u);
  EXPECT_NE(questions_[0].second.find(kLeftPastLoaderEntryLine), std::string::npos);
  EXPECT_EQ(prgpanel, popup) << "a no keeps the run";
  EXPECT_EQ(runflag.load(), 1);
  watch_->release();
  ASSERT_TRUE(pump_until([&] { return resting(); }));
  ASSERT_TRUE(pump_until([&] { return popup_lines().size() == model_lines().size(); }));
  EXPECT_EQ(popup_lines().back(), QString::fromUtf8(kLeftPastLoaderEntryLine));
  click(prgpanel, PRGPANEL_OK);  // at rest nothing is left to ask about
  EXPECT_EQ(questions_.size(), 1u);
  EXPECT_EQ(prgpanel, 0);
}

// The rescue switch on the main panel: the run skips the drive's firmware and waits, asking
// for a power cycle, until the chip's ROM loader answers; then it programs the drive.
TEST_F(RunTest, TheRescueSwitchProgramsADriveStuckInItsLoader) {
  sim::Faults faults;
  faults.start = sim::StartIn::kStuckLoader;
  faults.power_cycle_after = std::chrono::seconds(10);
  prepare(faults);
  QComboBox* rescue = combo(mainpanel, MAINPANEL_RESCUE);
  ASSERT_NE(rescue, nullptr);
  EXPECT_EQ(rescue->currentIndex(), 0) << "rescue starts off";
  rescue->setCurrentIndex(1);
  press("ProgCB");
  ASSERT_TRUE(pump_until([&] { return resting() && counter_shown() == 1; }));
  const QStringList lines = popup_lines();
  ASSERT_GE(lines.size(), 4);
  EXPECT_EQ(lines[1], QString::fromUtf8(kPowerCycleLine) + QStringLiteral(" (0 s / 120 s)"));
  EXPECT_EQ(lines[2], QString::fromUtf8(kPowerCycleLine) + QStringLiteral(" (10 s / 120 s)"));
  EXPECT_EQ(lines[3], QString::fromUtf8(kFoundInLoaderLine));
  EXPECT_EQ(lines.back(), QStringLiteral("Done!"));
  EXPECT_TRUE(drive_->flash_matches({{0x10001000u, pattern(kPages * 256)}}));
  EXPECT_EQ(drive_->statistics().identity_requests, 0u);
  click(prgpanel, PRGPANEL_OK);
  EXPECT_TRUE(questions_.empty());
}

}  // namespace
}  // namespace driveflash::test
