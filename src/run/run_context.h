// The run context: what the operator interface, the worker and the protocol layers share.
// It lies beneath the protocol folders, which reach the popup and the run's timing through it.
//
// One per process, at most one run at a time. runflag is the only stop signal and is read
// by the worker between states, so it is atomic; runstate and okcount are atomic as well
// because front ends watch them from their own thread. Everything else is written by one
// thread at a time (the interface before it schedules the worker, the worker afterwards).
#pragma once

#include <atomic>
#include <cstdint>

#include "run/outcome.h"
#include "run/timing_policy.h"

// Main panel (panel 1) controls.
inline constexpr int MAINPANEL_FILEPATH = 3;
inline constexpr int MAINPANEL_COMPORT = 6;
inline constexpr int MAINPANEL_DRIVE_BAUD = 7;
inline constexpr int MAINPANEL_LOADER_BAUD = 8;
inline constexpr int MAINPANEL_COUNTER = 9;
inline constexpr int MAINPANEL_FILETYPE = 15;
// Rescue: 1 skips the drive's firmware and waits for the chip's ROM loader to answer after
// the operator switches the drive off and on, for at most MAINPANEL_RESCUE_WAIT seconds.
inline constexpr int MAINPANEL_RESCUE = 20;
inline constexpr int MAINPANEL_RESCUE_WAIT = 21;
inline constexpr int MAINPANEL_TIMING = 24;
// Retries per sector on a noisy line (0: none, the run as it always was).
inline constexpr int MAINPANEL_RETRIES = 25;
// The unit's serial number, as a barcode scanner types it; goes into the run log.
inline constexpr int MAINPANEL_UNIT = 26;
// 27 to 29 are the station view's and the jobs'.
inline constexpr int MAINPANEL_STATION = 27;  // opens the station view
inline constexpr int MAINPANEL_SAVE_JOB = 28;
inline constexpr int MAINPANEL_JOB_INFO = 29;  // the locked job's name and hash
// Read-back after the download (0: off, the run as it always was; 1: every word read back).
inline constexpr int MAINPANEL_VERIFY = 30;
// Programming popup (panel 2) controls.
inline constexpr int PRGPANEL_STATUS = 2;
inline constexpr int PRGPANEL_OK = 3;
inline constexpr int PRGPANEL_PROGRESS = 4;

inline constexpr int kFileTypeHex = 0;
inline constexpr int kFileTypeEhex = 1;

inline constexpr const char* kPanelFile = "Brenfold.uir";
inline constexpr int kMainPanelId = 1;
inline constexpr int kProgramPanelId = 2;
inline constexpr const char* kLoaderDirectory = "XMC1300\\";
inline constexpr const char* kLoaderFileName = "XMC1x_ASCLoader.hex";
inline constexpr const char* kSoundFile = "msg.wav ";

extern std::atomic<int> runflag;
extern std::atomic<int> runstate;
extern int mainpanel;
extern int prgpanel;
extern int threadid;
extern int comport;
extern int baudrate;
// NOLINTBEGIN(modernize-avoid-c-arrays): the run context keeps the design's C buffers
extern char filename[260];
extern int filetype;  // kFileTypeEhex: encrypted hex; anything else: Intel HEX
extern const int loadersize;
extern unsigned char loaderimage[16384];
extern char loaderpath[100];
// NOLINTEND(modernize-avoid-c-arrays)
extern unsigned loaderaddr;
extern unsigned loaderlen;
extern std::atomic<int> okcount;
extern int blstatus;

// Run states, in the order of a successful run: open, drive, handshake, length, loader,
// download, finished.
inline constexpr int kStateOpen = 0;
inline constexpr int kStateDrive = 1;
inline constexpr int kStateHandshake = 2;
inline constexpr int kStateLoader = 3;
inline constexpr int kStateLength = 4;
inline constexpr int kStateDownload = 5;
inline constexpr int kStateFinished = 6;
// Rescue: the handshake again and again until the ROM loader answers; then on to the length.
inline constexpr int kStateRescue = 7;
