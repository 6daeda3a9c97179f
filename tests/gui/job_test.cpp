// A job saved from the window and opened again: the settings come from it and stay read-only,
// a unit is programmed with them, and a firmware changed on disk after the job was saved is
// refused before any drive is touched, by Program and by the station view alike.
#include "app/job.h"

#include <QAbstractButton>
#include <QLabel>
#include <QWidget>

#include "app/operator_window.h"
#include "app/station_view.h"
#include "gui/gui_fixture.h"
#include "image/firmware_file.h"
#include "platform/qt/qt_panels.h"
#include "run/run_context.h"

namespace driveflash::test {
namespace {

namespace pf = platform;

constexpr int kPort = 7;

class JobTest : public VirtualTimeGuiTest {
 protected:
  int value_of(int control) {
    int value = -1;
    GetCtrlVal(mainpanel, control, &value);
    return value;
  }
  // Starts the window again, as `driveflash --job FILE` does.
  void reopen_with(const app::Job& job, const std::string& file) {
    app::detach_main_panel(mainpanel);
    DiscardPanel(mainpanel);
    app::uninstall_operator_window();
    pump();
    filename[0] = '\0';
    app::WindowOptions options = window_options();
    options.job = job;
    options.job_file = QString::fromStdString(file);
    app::install_operator_window(options);
    open_main_panel();
  }
};

TEST_F(JobTest, ASavedJobReopenedLocksTheSettingsAndRefusesAChangedFirmware) {
  const auto drive = map_drive(kPort);
  open_main_panel();
  pick_port(kPort);
  const std::string firmware = write_firmware("fw.hex", 4);
  choose_file(firmware);
  SetCtrlVal(mainpanel, MAINPANEL_DRIVE_BAUD, 38400);
  SetCtrlVal(mainpanel, MAINPANEL_LOADER_BAUD, 230400);
  SetCtrlVal(mainpanel, MAINPANEL_TIMING, kTimingFast);
  SetCtrlVal(mainpanel, MAINPANEL_VERIFY, 1);
  SetCtrlVal(mainpanel, MAINPANEL_RESCUE_WAIT, 45);
  press("StationCB");
  app::set_station_ports({QStringLiteral("sim"), QStringLiteral("sim:silent")});
  const std::string file = (dir_.path() / "line 3.job").string();
  job_file_ = QString::fromStdString(file);
  press("SaveJobCB");
  ASSERT_FALSE(messages_.empty());
  EXPECT_TRUE(messages_.back().second.starts_with("作业已保存 / The job is saved"))
      << messages_.back().second;
  app::station_view()->close();
  pump();

  std::string error;
  const std::optional<app::Job> job = app::read_job(file, error);
  ASSERT_TRUE(job) << error;
  EXPECT_EQ(job->name, "line 3");
  EXPECT_EQ(job->firmware, firmware);
  EXPECT_EQ(job->sha256, image::read_firmware(firmware, kFileTypeHex).sha256);
  EXPECT_EQ(job->drive_baud, 38400);
  EXPECT_EQ(job->loader_baud, 230400);
  EXPECT_EQ(job->timing, kTimingFast);
  EXPECT_TRUE(job->verify);
  EXPECT_EQ(job->rescue_wait, 45);
  EXPECT_EQ(job->ports, (std::vector<std::string>{"sim", "sim:silent"}));

  // The operator's settings differ; the job's hold, read-only, its name and hash shown.
  SetCtrlVal(mainpanel, MAINPANEL_DRIVE_BAUD, 9600);
  SetCtrlVal(mainpanel, MAINPANEL_TIMING, kTimingStandard);
  SetCtrlVal(mainpanel, MAINPANEL_VERIFY, 0);
  reopen_with(*job, file);
  pick_port(kPort);
  for (const auto& [control, expected] : {std::pair{MAINPANEL_DRIVE_BAUD, 38400},
                                          {MAINPANEL_LOADER_BAUD, 230400},
                                          {MAINPANEL_TIMING, kTimingFast},
                                          {MAINPANEL_VERIFY, 1},
                                          {MAINPANEL_RESCUE_WAIT, 45},
                                          {MAINPANEL_FILETYPE, kFileTypeHex}}) {
    EXPECT_EQ(value_of(control), expected) << "control " << control;
    EXPECT_FALSE(widget(mainpanel, control)->isEnabled()) << "control " << control;
  }
  EXPECT_FALSE(widget(mainpanel, MAINPANEL_SAVE_JOB)->isEnabled());
  EXPECT_FALSE(pf::panel_window(mainpanel)
                   ->findChild<QAbstractButton*>(QStringLiteral("selectFile"))
                   ->isEnabled());
  EXPECT_TRUE(widget(mainpanel, MAINPANEL_COMPORT)->isEnabled());  // the operator's drive
  const QString info = qobject_cast<QLabel*>(widget(mainpanel, MAINPANEL_JOB_INFO))->text();
  EXPECT_TRUE(info.contains(QStringLiteral("line 3"))) << info.toStdString();
  EXPECT_TRUE(info.contains(QString::fromStdString(job->sha256.substr(0, 12))));
  EXPECT_STREQ(filename, firmware.c_str());

  // Program runs the job, even where a setting was changed behind the panel's back.
  SetCtrlVal(mainpanel, MAINPANEL_LOADER_BAUD, 57600);
  press("ProgCB");
  ASSERT_GT(prgpanel, 0);
  ASSERT_TRUE(pump_until([] { return runstate.load() == kStateFinished; }));
  EXPECT_EQ(okcount.load(), 1);
  EXPECT_EQ(value_of(MAINPANEL_LOADER_BAUD), 230400);
  EXPECT_EQ(run::last_outcome().read_back, run::ReadBack::kVerified);
  pf::panel_window(prgpanel)->close();
  pump();
  ASSERT_EQ(prgpanel, 0);

  // The file changes on disk: the next unit is refused before the drive hears anything.
  const auto heard = drive->statistics().identity_requests;
  write_firmware("fw.hex", 5);
  messages_.clear();
  press("ProgCB");
  EXPECT_EQ(prgpanel, 0);
  EXPECT_EQ(runflag.load(), 0);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].first, "作业不符 / Not the job's firmware");
  EXPECT_NE(messages_[0].second.find("The firmware file is not the job's"), std::string::npos);
  EXPECT_EQ(drive->statistics().identity_requests, heard);

  // The station view takes the job's ports and refuses the same way, before any port starts.
  press("StationCB");
  EXPECT_EQ(app::station_ports(),
            (QStringList{QStringLiteral("sim"), QStringLiteral("sim:silent")}));
  app::station_view()->findChild<QAbstractButton*>(QStringLiteral("stationStart"))->click();
  pump();
  EXPECT_FALSE(app::station_running());
  ASSERT_EQ(messages_.size(), 2u);
  EXPECT_NE(messages_[1].second.find("The firmware file is not the job's"), std::string::npos);
}

}  // namespace
}  // namespace driveflash::test
