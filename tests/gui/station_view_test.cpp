// The station view on four virtual drives, each port a driveflash-cli process of its own, in
// real time: one fixture empty (its drive silent: the station waits for a drive), one failing at a
// page, two programmed byte for byte. The tiles keep each unit's end on screen while the stations
// wait, the main window's Program waits for the station, and one Stop (asked once) ends them all.
#include "app/station_view.h"

#include <QAbstractButton>
#include <QFile>
#include <QLabel>
#include <QWidget>

#include "app/station_tile.h"
#include "gui/gui_fixture.h"
#include "run/run_context.h"

namespace driveflash::test {
namespace {

struct TileRow {
  const char* port;
  const char* state;
  const char* line;  // the failure the tile shows; "" for a programmed drive
};

constexpr std::array kTiles{
    TileRow{"sim", "programmed", ""},
    TileRow{"sim:silent", "idle", "等待驱动器 / waiting for a drive"},
    TileRow{"sim:reply:data@2=FA", "failed", "Program error"},
    TileRow{"sim", "programmed", ""},
};

class StationViewTest : public GuiTest {
 protected:
  QWidget* view() { return app::station_view(); }
  QWidget* tile(std::size_t i) {
    return view()->findChild<QWidget*>(QStringLiteral("tile%1").arg(i));
  }
  QString state_of(std::size_t i) {
    QWidget* t = tile(i);
    auto* label = t != nullptr ? t->findChild<QLabel*>(QStringLiteral("tileState")) : nullptr;
    return label != nullptr ? label->property("state").toString() : QString();
  }
  QString text_of(std::size_t i, const char* name) {
    return tile(i)->findChild<QLabel*>(QString::fromLatin1(name))->text();
  }
  void click_in_view(const char* name) {
    auto* b = view()->findChild<QAbstractButton*>(QString::fromLatin1(name));
    ASSERT_NE(b, nullptr) << name;
    b->click();
    pump();
  }
  QStringList log_rows() {
    QFile log(QString::fromStdString((dir_.path() / "runs.csv").string()));
    if (!log.open(QIODevice::ReadOnly)) {
      return {};
    }
    QStringList rows = QString::fromUtf8(log.readAll()).split(QStringLiteral("\r\n"));
    rows.removeAll(QString());
    return rows.mid(1);  // the header
  }
};

TEST_F(StationViewTest, FourDrivesAtOnceEachOnItsTileAndInTheLogAndOneStopEndsThemAll) {
  open_main_panel();
  choose_file(write_firmware("fw.hex", 6));
  SetCtrlVal(mainpanel, MAINPANEL_TIMING, kTimingFast);
  press("StationCB");
  ASSERT_NE(view(), nullptr);
  QStringList ports;
  for (const TileRow& row : kTiles) {
    ports << QString::fromLatin1(row.port);
  }
  app::set_station_ports(ports);
  EXPECT_EQ(app::station_ports(), ports);
  click_in_view("stationStart");
  ASSERT_TRUE(app::station_running());

  // Each tile comes to its unit's end and then waits for the next drive, its end still shown.
  const auto settled = [&] {
    for (std::size_t i = 0; i < kTiles.size(); ++i) {
      if (state_of(i) != QString::fromLatin1(kTiles[i].state) || text_of(i, "tileLine").isEmpty()) {
        return false;
      }
    }
    return log_rows().size() == kTiles.size() - 1;  // an empty fixture is no unit
  };
  ASSERT_TRUE(pump_until(settled, std::chrono::seconds(60)))
      << state_of(0).toStdString() << " " << state_of(1).toStdString() << " "
      << state_of(2).toStdString() << " " << state_of(3).toStdString();
  const QStringList rows = log_rows();
  for (std::size_t i = 0; i < kTiles.size(); ++i) {
    SCOPED_TRACE(kTiles[i].port);
    const bool idle = std::string(kTiles[i].state) == "idle";
    const QString state = text_of(i, idle ? "tileLine" : "tileState");
    EXPECT_TRUE(state.contains(QString::fromUtf8(kTiles[i].line))) << state.toStdString();
    EXPECT_TRUE(text_of(i, "tileCounts")
                    .startsWith(idle ? QStringLiteral("件数 / Units: 0 ")
                                     : QStringLiteral("件数 / Units: 1 ")));
    const bool programmed = std::string(kTiles[i].state) == "programmed";
    // Byte for byte: each process compared its virtual drive's flash with the file.
    EXPECT_EQ(tile(i)->property("verified").toBool(), programmed);
    const QString port = QString::fromLatin1(kTiles[i].port);
    EXPECT_EQ(rows.filter(QStringLiteral(",%1,").arg(port)).size(),
              port == QStringLiteral("sim") ? 2 : (idle ? 0 : 1))
        << rows.join(u'\n').toStdString();
  }
  EXPECT_EQ(rows.filter(QStringLiteral(",ok,")).size(), 2);
  EXPECT_EQ(rows.filter(QStringLiteral(",failed,")).size(), 1);

  // The main window does not program beside the station.
  press("ProgCB");
  EXPECT_EQ(prgpanel, 0);
  ASSERT_FALSE(messages_.empty());
  EXPECT_NE(messages_.back().second.find("stop every port first"), std::string::npos);

  click_in_view("stationStop");
  EXPECT_EQ(questions_.size(), 1u);
  ASSERT_TRUE(pump_until([] { return !app::station_running(); }, std::chrono::seconds(20)));
  for (std::size_t i = 0; i < kTiles.size(); ++i) {
    EXPECT_EQ(state_of(i), QString::fromLatin1(kTiles[i].state));
    EXPECT_EQ(text_of(i, "tileLine"), QStringLiteral("已停止 / Stopped"));
  }
  // Waiting stations stop without a unit: no row more.
  EXPECT_EQ(log_rows().size(), kTiles.size() - 1);
  EXPECT_EQ(questions_.size(), 1u);
  view()->close();
  pump();
  EXPECT_EQ(view(), nullptr);
}

// A tile through a station's life, event by event, as a port's process prints them.
TEST(StationTile, AUnitsEndStaysOnTheTileUntilTheNextUnitStarts) {
  struct Step {
    const char* event;  // a line of the process's output; "exit N" for its end
    const char* phase;
    const char* shows;  // a part of the large state, or of the line below it
  };
  const Step steps[] = {
      {R"j({"line": "初始化中..."})j", "programming", "初始化中..."},
      {R"j({"shown": true})j", "programming", "Programming"},
      {R"j({"progress": 50.0})j", "programming", "Programming"},
      {R"j({"unit": {"result": "failed", "reason": "Program error", "elapsed_seconds": 1.5}})j",
       "failed", "Program error"},
      {R"j({"state": "gone", "text": "请取下驱动器 / take the drive away"})j", "failed",
       "take the drive away"},
      {R"j({"state": "drive", "text": "等待驱动器 / waiting for a drive"})j", "failed",
       "waiting for a drive"},
      {R"j({"line": "初始化中..."})j", "programming", "初始化中..."},
      {R"j({"unit": {"result": "success", "elapsed_seconds": 2.0, "verified": true}})j",
       "programmed", "Programmed"},
      {R"j({"line": "初始化中..."})j", "programming", "Programming"},
      {"exit -1", "failed", "ended abnormally"},
  };
  app::TileState tile;
  app::process_started(tile);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.event);
    const std::string event = step.event;
    if (event.starts_with("exit ")) {
      app::process_ended(tile, std::stoi(event.substr(5)));
    } else {
      app::apply_event(tile, QByteArray::fromStdString(event));
    }
    EXPECT_STREQ(app::phase_name(tile.phase), step.phase);
    const QString shown = app::phase_words(tile) + u'|' + tile.last_line + u'|' + tile.wait;
    EXPECT_TRUE(shown.contains(QString::fromUtf8(step.shows))) << shown.toStdString();
  }
  EXPECT_EQ(tile.units.size(), 3u);
  EXPECT_EQ(tile.programmed(), 1);
  EXPECT_EQ(tile.failed(), 2);
}

}  // namespace
}  // namespace driveflash::test
