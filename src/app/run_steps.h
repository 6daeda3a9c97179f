// What the worker's states share, for the states kept in files of their own (the rescue).
// Worker thread only.
#pragma once

#include <string>

#include "run/outcome.h"

namespace driveflash::app::worker {

// Read time-outs: the drive's firmware answers within 0.3 s, the loaders within 1.0 s.
inline constexpr double kDriveTimeout = 0.3;
inline constexpr double kLoaderTimeout = 1.0;

void append(const char* line);
// Opens `comport` at `baudrate` with the run's settings; closes it, if this worker holds it.
bool open_port();
void close_port();
bool port_open();
// The failing step's line, where the drive waits, a pause of `wait` seconds, the port closed,
// and the run at rest.
void fail(run::Cause cause, int status, const char* line, double wait);
// The ROM loader answered the entry handshake: the run goes on with the loader's length.
void found_in_loader();
// "4 (COM4)": the number, and the device where the port table names one.
std::string port_name(int port);

}  // namespace driveflash::app::worker
