#include "cli/board.h"

#include <algorithm>

#include "cli/progress.h"
#include "cli/units.h"

namespace driveflash::cli {
namespace {

constexpr int kStep = 10;

}  // namespace

Board::Board(const Terminal& term, bool json, std::vector<BoardRow*> rows)
    : lines_(json ? term.err : term.out),
      err_(term.err),
      bars_(term.progress_bar),
      width_(term.width),
      rows_(std::move(rows)) {
  for (const BoardRow* row : rows_) {
    label_width_ = std::max(label_width_, row->label.size() + 2);
  }
  // A bar line that wrapped would throw the redrawing off by a line: long ports are cut.
  label_width_ = std::min(label_width_, static_cast<std::size_t>(std::max(width_ / 2, 8)));
}

void Board::shown(BoardRow& row, bool visible) {
  if (visible && !row.downloading) {
    row.percent = 0;
    row.next_step = kStep;
  }
  row.downloading = visible;
  redraw();
}

void Board::progress(BoardRow& row, double percent) {
  if (percent < row.percent) {
    row.next_step = kStep;
  }
  row.percent = percent;
  if (bars_) {
    redraw();
    return;
  }
  while (row.next_step <= 100 && percent + 1e-9 >= row.next_step) {
    err_ << '[' << row.label << "] progress: " << row.next_step << " %\n" << std::flush;
    row.next_step += kStep;
  }
}

void Board::finish() {
  erase();
  bars_ = false;
}

void Board::print(std::ostream& stream, const BoardRow& row, const std::string& text) {
  erase();
  stream << '[' << row.label << "] " << text << '\n' << std::flush;
  draw();
}

void Board::erase() {
  if (drawn_ > 0) {
    err_ << "\x1b[" << drawn_ << "F\x1b[J" << std::flush;  // up to the first bar, clear below
    drawn_ = 0;
    shown_.clear();
  }
}

void Board::redraw() {
  if (!bars_) {
    return;
  }
  if (bars_text() == shown_) {
    return;
  }
  erase();
  draw();
}

std::string Board::bars_text() const {
  std::string text;
  const int bar_width = std::max(20, width_ - static_cast<int>(label_width_) - 1);
  for (const BoardRow* row : rows_) {
    std::string label = '[' + row->label + ']';
    if (label.size() > label_width_) {
      label = "[..." + row->label.substr(row->label.size() + 5 - label_width_) + "]";
    }
    text +=
        padded(label, label_width_) + ' ' + RunPrinter::bar_text(row->percent, bar_width) + '\n';
  }
  return text;
}

void Board::draw() {
  if (!bars_) {
    return;
  }
  shown_ = bars_text();
  err_ << shown_ << std::flush;
  drawn_ = static_cast<int>(rows_.size());
}

}  // namespace driveflash::cli
