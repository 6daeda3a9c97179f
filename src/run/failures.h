// Every way a run can end without a programmed drive: the status line it ends on, and what the
// operator should do about it, in both languages. The worker takes its failure lines from here
// and the window's help lists this table, so that no line can go missing from the help.
#pragma once

#include <span>

#include "run/outcome.h"

namespace driveflash::run {

struct Failure {
  Cause cause;
  int status;        // the download's status code on its rows; else the step's own, or 0
  const char* line;  // the line, exactly as the status box shows it; nullptr: the download's
                     // text for `status`; a line that goes on (the rescue's) starts so
  const char* advice_zh;
  const char* advice_en;
};

// In the order of a run.
std::span<const Failure> failure_table();
// The row of a cause (the download's: of its status); nullptr when there is none.
const Failure* failure_of(Cause cause, int status = 0);
// The fixed line of a cause's row ("" for the download's, whose lines are the status texts).
const char* failure_line(Cause cause);

}  // namespace driveflash::run
