// Rescue: with the drive's firmware skipped, the ROM loader's handshake again and again while
// the operator switches the drive off and on, until it answers or the rescue's wait is over.
#pragma once

namespace driveflash::app {

// Called in the open state with the port open at the loader baud rate: the rescue begins.
void begin_rescue();
// One attempt per pass of the worker, so that a stop is noticed within an attempt.
void state_rescue();
// The run ended or stopped while the rescue waited.
void end_rescue();

}  // namespace driveflash::app
