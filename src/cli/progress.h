// The run's progress on standard error: a live bar on a terminal, else a line per 10 %.
#pragma once

#include <mutex>
#include <ostream>
#include <string>

namespace driveflash::cli {

// Serialises everything the run prints: status lines on one stream, progress on another,
// which may be the same terminal. The worker thread and the main thread both print.
class RunPrinter {
 public:
  // `bar`: draw a bar on `progress` (a terminal of `width` columns) and redraw it under each
  // status line; otherwise print "progress: N %" lines at every 10 %.
  RunPrinter(std::ostream& lines, std::ostream& progress, bool bar, int width);

  // From now on, print to the lines stream one JSON object a line for a parent process
  // ({"line": TEXT}, {"progress": PERCENT}, {"shown": BOOL}) instead of text and a bar;
  // notes still go to the progress stream as text.
  void print_events() { events_ = true; }

  // One status-box line.
  void line(const std::string& text);
  // The progress indicator's value, 0..100.
  void progress(double percent);
  // The indicator was shown (a download starts) or hidden (the run rests).
  void shown(bool visible);
  // A message of the program's own (not a status line), on the progress stream.
  void note(const std::string& text);
  // Takes the bar off the screen for good.
  void finish();

  // The bar as drawn for `percent` in `width` columns, without the carriage return.
  static std::string bar_text(double percent, int width);

 private:
  void erase_bar();
  void draw_bar();

  std::mutex mutex_;
  std::ostream& lines_;
  std::ostream& progress_;
  bool bar_;
  int width_;
  double percent_ = 0;
  bool on_screen_ = false;
  std::string drawn_;  // the bar on the screen
  bool active_ = false;
  int next_step_ = 10;  // next multiple of 10 to report without a bar
  bool events_ = false;
  int event_percent_ = -1;  // the whole percent last sent as an event
  bool event_shown_ = false;
};

}  // namespace driveflash::cli
