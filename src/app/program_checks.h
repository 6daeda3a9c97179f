// What Program settles before the drive is touched: a drive told to restart into its bootstrap
// loader waits there until something is programmed, so a run that cannot succeed for a reason
// known up front must not start.
#pragma once

#include <string>

#include "image/firmware_file.h"
#include "run/outcome.h"

namespace driveflash::app {

struct ProgramRefusal {
  std::string title;    // empty: nothing stands in the way
  std::string message;  // for the operator, several lines
  // The failure the run would have ended on, whose advice goes with the message; kNone: none.
  run::Cause cause = run::Cause::kNone;
};

// The port the main panel shows: a number, then `port` is set; or text the operator typed that
// stands for no port, or a port whose device has gone, which is refused by name.
ProgramRefusal check_port(int panel, int control, int& port);

// The firmware file, read once when Program was pressed, as the download reads it, and the
// secondary loader: missing, unreadable or no loader at all, or the virtual drive's stand-in on
// its way to a real chip on `port`.
ProgramRefusal check_before_program(const image::FirmwareFile& firmware, int port);

}  // namespace driveflash::app
