// How a rescue under way is doing, for a front end to show live: the worker writes it, any
// thread may read it at any time.
#pragma once

#include <cstdint>

namespace driveflash::run {

struct RescueStatus {
  bool waiting = false;       // a rescue waits for the drive right now
  double waited_seconds = 0;  // since the rescue began (0 when none waits)
  int limit_seconds = 0;      // how long it waits at most
  int attempts = 0;           // handshakes made so far
  bool port_lost = false;     // the port went away and is being opened again
};

// A snapshot; lock-free, so a window may call it on every repaint.
RescueStatus rescue_status();

// The worker's side: a rescue begins (its start is the platform clock's now), makes an attempt
// (the port there or not), and ends: found, timed out, stopped, or the firmware answered.
void rescue_begin(int limit_seconds);
void rescue_attempt(bool port_lost);
void rescue_end();

}  // namespace driveflash::run
