// The console of a run on several ports: every line prefixed with its port, and a live bar per
// port at the bottom of a terminal (else a line at every 10 %).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/program.h"

namespace driveflash::cli {

// One port's place on the board.
struct BoardRow {
  std::string label;  // the port, numbered when the same text is given twice ("sim#2")
  double percent = 0;
  bool downloading = false;
  int next_step = 10;  // the next 10 % step to print without a terminal
};

class Board {
 public:
  // `rows` stay where they are for the board's life.
  Board(const Terminal& term, bool json, std::vector<BoardRow*> rows);

  // A status line (to the status lines' stream) and a note (to standard error) of one port.
  void line(const BoardRow& row, const std::string& text) { print(lines_, row, text); }
  void note(const BoardRow& row, const std::string& text) { print(err_, row, text); }
  // The port's progress bar appears (a download begins) or goes.
  void shown(BoardRow& row, bool visible);
  void progress(BoardRow& row, double percent);
  // Takes the bars down for good.
  void finish();

 private:
  void print(std::ostream& stream, const BoardRow& row, const std::string& text);
  void erase();
  void redraw();
  std::string bars_text() const;
  void draw();

  std::ostream& lines_;
  std::ostream& err_;
  bool bars_;
  int width_;
  std::vector<BoardRow*> rows_;
  std::size_t label_width_ = 0;
  int drawn_ = 0;  // bar lines on the screen, above the cursor
  std::string shown_;
};

}  // namespace driveflash::cli
