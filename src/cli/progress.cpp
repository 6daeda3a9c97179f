#include "cli/progress.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "cli/json.h"

namespace driveflash::cli {
namespace {

constexpr int kMinBarWidth = 20;
constexpr int kStep = 10;

}  // namespace

RunPrinter::RunPrinter(std::ostream& lines, std::ostream& progress, bool bar, int width)
    : lines_(lines), progress_(progress), bar_(bar), width_(std::max(width, kMinBarWidth)) {}

std::string RunPrinter::bar_text(double percent, int width) {
  const double p = std::isfinite(percent) ? std::clamp(percent, 0.0, 100.0) : 0.0;
  // "[####....] 100 %": brackets, and 6 columns for the number; one column spare so that
  // the cursor never wraps at the right margin.
  const int inner = std::max(width, kMinBarWidth) - 9;
  const int filled = static_cast<int>(std::floor(p / 100.0 * inner));
  std::array<char, 16> number{};
  // NOLINTNEXTLINE(cert-err33-c): 0 to 100, six characters in the 16-byte buffer
  std::snprintf(number.data(), number.size(), " %3d %%", static_cast<int>(std::floor(p)));
  std::string text = "[";
  text.append(static_cast<std::size_t>(filled), '#');
  text.append(static_cast<std::size_t>(inner - filled), '.');
  text += "]";
  text += number.data();
  return text;
}

void RunPrinter::erase_bar() {
  if (on_screen_) {
    progress_ << "\r\x1b[K" << std::flush;
    on_screen_ = false;
  }
}

void RunPrinter::draw_bar() {
  if (!bar_ || !active_) {
    return;
  }
  std::string text = bar_text(percent_, width_);
  if (on_screen_ && text == drawn_) {
    return;  // a record that moves the bar by less than a column or a percent
  }
  progress_ << '\r' << text << std::flush;
  drawn_ = std::move(text);
  on_screen_ = true;
}

void RunPrinter::line(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (events_) {
    lines_ << JsonObject().add("line", text).str(false) << '\n' << std::flush;
    return;
  }
  erase_bar();
  lines_ << text << '\n' << std::flush;
  draw_bar();
}

void RunPrinter::note(const std::string& text) {
  std::lock_guard lock(mutex_);
  erase_bar();
  progress_ << text << '\n' << std::flush;
  draw_bar();
}

void RunPrinter::progress(double percent) {
  std::lock_guard lock(mutex_);
  if (!std::isfinite(percent)) {
    return;
  }
  if (events_) {
    const int whole = static_cast<int>(std::floor(std::clamp(percent, 0.0, 100.0)));
    if (whole != event_percent_) {
      event_percent_ = whole;
      lines_ << JsonObject().add("progress", whole).str(false) << '\n' << std::flush;
    }
    return;
  }
  if (percent < percent_) {
    next_step_ = kStep;  // a download that starts over counts again from the start
  }
  percent_ = percent;
  active_ = true;
  if (bar_) {
    draw_bar();
    return;
  }
  while (next_step_ <= 100 && percent + 1e-9 >= next_step_) {
    progress_ << "progress: " << next_step_ << " %\n" << std::flush;
    next_step_ += kStep;
  }
}

void RunPrinter::shown(bool visible) {
  std::lock_guard lock(mutex_);
  if (events_) {
    if (visible != event_shown_) {  // the resting state sets it on every pass
      event_shown_ = visible;
      event_percent_ = -1;
      lines_ << JsonObject().add("shown", visible).str(false) << '\n' << std::flush;
    }
    return;
  }
  if (visible) {
    if (!active_) {
      active_ = true;
      percent_ = 0;
      next_step_ = kStep;
      draw_bar();
    }
    return;
  }
  erase_bar();
  active_ = false;
}

void RunPrinter::finish() {
  std::lock_guard lock(mutex_);
  erase_bar();
  active_ = false;
}

}  // namespace driveflash::cli
