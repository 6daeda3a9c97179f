#include "app/station_tile_view.h"

#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

namespace driveflash::app {
namespace {

QString tile_style(TilePhase phase) {
  switch (phase) {
    case TilePhase::kProgrammed:
      return QStringLiteral("background:#1b7f2a; color:white;");
    case TilePhase::kFailed:
      return QStringLiteral("background:#c62828; color:white;");
    case TilePhase::kStopped:
      return QStringLiteral("background:#f9a825; color:black;");
    default:
      return {};
  }
}

}  // namespace

TileView::TileView(int index, const QString& port)
    : frame_(new QFrame),
      phase_(new QLabel),
      progress_(new QProgressBar),
      line_(new QLabel),
      counts_(new QLabel) {
  frame_->setObjectName(QStringLiteral("tile%1").arg(index));
  frame_->setProperty("port", port);
  frame_->setFrameShape(QFrame::StyledPanel);
  frame_->setMinimumWidth(300);
  auto* box = new QVBoxLayout(frame_);
  auto* name = new QLabel(QStringLiteral("<b>%1</b>").arg(port.toHtmlEscaped()));
  phase_->setObjectName(QStringLiteral("tileState"));
  phase_->setWordWrap(true);
  QFont big = phase_->font();
  big.setPointSizeF(big.pointSizeF() * 1.4);
  big.setBold(true);
  phase_->setFont(big);
  progress_->setObjectName(QStringLiteral("tileProgress"));
  line_->setObjectName(QStringLiteral("tileLine"));
  line_->setWordWrap(true);
  counts_->setObjectName(QStringLiteral("tileCounts"));
  counts_->setWordWrap(true);
  for (QWidget* w : {static_cast<QWidget*>(name), static_cast<QWidget*>(phase_),
                     static_cast<QWidget*>(progress_), static_cast<QWidget*>(line_),
                     static_cast<QWidget*>(counts_)}) {
    box->addWidget(w);
  }
}

QWidget* TileView::widget() const {
  return frame_.data();
}

void TileView::show(const TileState& s) {
  if (frame_ == nullptr) {
    return;
  }
  phase_->setText(phase_words(s));
  phase_->setProperty("state", QString::fromLatin1(phase_name(s.phase)));
  phase_->setStyleSheet(QStringLiteral("QLabel { %1 padding: 4px; }").arg(tile_style(s.phase)));
  frame_->setProperty("verified", !s.units.empty() && s.units.back().verified);
  progress_->setVisible(s.progress_shown);
  progress_->setValue(static_cast<int>(s.percent));
  QString line = s.phase == TilePhase::kProgramming ? s.last_line : s.wait;
  if (!s.running && s.stopping) {
    line = QStringLiteral("已停止 / Stopped");
  }
  line_->setText(line);
  const QString last = s.units.empty()
                           ? QStringLiteral("-")
                           : QStringLiteral("%1 s").arg(s.units.back().seconds, 0, 'f', 1);
  counts_->setText(QStringLiteral("件数 / Units: %1 · 成功 / programmed: %2 · 失败 / failed: "
                                  "%3 · 上一件 / last: %4")
                       .arg(s.units.size())
                       .arg(s.programmed())
                       .arg(s.failed())
                       .arg(last));
}

}  // namespace driveflash::app
