// The worker: one programming run, from opening the port to resting in state 6.
#pragma once

#include "bsl/frames.h"
#include "image/download.h"

// The worker's own records of the run context: the download request and the closing header.
extern bl_download_request dlrequest;
extern bl_header_block endheader;

int ProgrammingThread(void* data);
