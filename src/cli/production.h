// 'program' on a production line: several ports at once, a CSV record of every drive (--log),
// and stations that wait for the next drive (--repeat).
//
// The run context is one per process, so each port's run gets a process of its own: this
// program started again with that one port and --events. Nothing a drive does (failing,
// hanging, a slow line, a crash) can then reach another drive's run; the parent only reads.
// A child prints one JSON object a line on standard output:
//   {"line": TEXT}  {"progress": PERCENT}  {"shown": BOOL}  {"unit": REPORT}
//   {"state": drive|programming|boot|gone, "text": TEXT}   (a station's)
// (REPORT: the object --json prints for one run, on one line) and its notes on standard error.
// "stop" on its standard input stops it as Ctrl-C does; the input's end (the parent ends, or
// died) ends it within a second, the run cut short where it is.
#pragma once

#include <string>

#include "cli/program.h"

namespace driveflash::cli {

// Whether 'program' needs more than one plain run: several ports, --log, --repeat or --events.
bool production_run(const Arguments& args);

// Runs it; returns the exit status. `self` is this program's path, started once per port.
int run_production(const Arguments& args, const Terminal& term, platform::RunWaker& waker,
                   const std::string& self);

}  // namespace driveflash::cli
