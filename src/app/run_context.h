// The run context: what the operator interface, the worker and the protocol layers share.
//
// One per process, at most one run at a time. runflag is the only stop signal and is read
// by the worker between states, so it is atomic; runstate and okcount are atomic as well
// because front ends watch them from their own thread. Everything else is written by one
// thread at a time (the interface before it schedules the worker, the worker afterwards).
#pragma once

#include <atomic>
#include <cstdint>

#include "bsl/frames.h"
#include "image/download.h"

// Main panel (panel 1) controls.
inline constexpr int MAINPANEL_FILEPATH = 3;
inline constexpr int MAINPANEL_COMPORT = 6;
inline constexpr int MAINPANEL_DRIVE_BAUD = 7;
inline constexpr int MAINPANEL_LOADER_BAUD = 8;
inline constexpr int MAINPANEL_COUNTER = 9;
inline constexpr int MAINPANEL_FILETYPE = 15;
inline constexpr int MAINPANEL_TIMING = 20;
// Programming popup (panel 2) controls.
inline constexpr int PRGPANEL_STATUS = 2;
inline constexpr int PRGPANEL_OK = 3;
inline constexpr int PRGPANEL_PROGRESS = 4;

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
extern int filetype;
extern const int loadersize;
extern unsigned char loaderimage[16384];
extern char loaderpath[100];
// NOLINTEND(modernize-avoid-c-arrays)
extern unsigned loaderaddr;
extern unsigned loaderlen;
extern std::atomic<int> okcount;
extern int blstatus;
extern bl_download_request dlrequest;
extern bl_header_block endheader;

// The run's timing profile (main panel control 20, read when the run starts). Standard keeps
// every fixed wait of the run; fast drops the ones nothing on the line needs: a wait before a
// reply that is read with its time-out anyway, and a pause that only lets a status line be
// seen. Either way every reply is awaited, and no frame goes out before the previous one's
// reply has been judged.
inline constexpr int kTimingStandard = 0;
inline constexpr int kTimingFast = 1;
extern std::atomic<int> timingprofile;

// What a fixed wait of the run is for. The fast profile keeps the last two only.
enum class RunWait : std::uint8_t {
  kStatusPace,  // lets the operator see a status line before the next step
  kReplyLead,   // before reading a reply that is read with its time-out anyway
  kRequestGap,  // between two identity requests, the first answer already read
  kDriveState,  // the drive changes state: after the reset request, around the port's reopening
  kHandshake,   // the ROM loader samples the line between the entry bytes
};

// Whether the current profile keeps waits of this kind.
bool wait_kept(RunWait kind);
// Delay / Sleep, if the current profile keeps waits of this kind.
void run_delay(RunWait kind, double seconds);
void run_sleep(RunWait kind, unsigned milliseconds);

// The line a fast run appends after failing on a reply.
inline constexpr const char* kTryStandardLine =
    "Timing 'fast' was used: try 'standard' if this drive fails again.";

// Run states, in the order of a successful run: open, drive, handshake, length, loader,
// download, finished.
inline constexpr int kStateOpen = 0;
inline constexpr int kStateDrive = 1;
inline constexpr int kStateHandshake = 2;
inline constexpr int kStateLoader = 3;
inline constexpr int kStateLength = 4;
inline constexpr int kStateDownload = 5;
inline constexpr int kStateFinished = 6;

// The worker: one programming run, from opening the port to resting in state 6.
int ProgrammingThread(void* data);
