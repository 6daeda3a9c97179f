// A tile of the station view: its port, the state of the drive on it in large letters and
// colour, the download's progress, the line under way or what the station waits for, and the
// units so far. GUI thread only.
#pragma once

#include <QPointer>
#include <QString>

#include "app/station_tile.h"

class QFrame;
class QLabel;
class QProgressBar;
class QWidget;

namespace driveflash::app {

class TileView {
 public:
  // A new tile, "tileN" by its place, for a layout to take.
  TileView(int index, const QString& port);
  QWidget* widget() const;
  void show(const TileState& state);

 private:
  QPointer<QFrame> frame_;
  QPointer<QLabel> phase_;
  QPointer<QProgressBar> progress_;
  QPointer<QLabel> line_;
  QPointer<QLabel> counts_;
};

}  // namespace driveflash::app
