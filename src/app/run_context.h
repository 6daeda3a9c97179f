// The run context: what the operator interface, the worker and the protocol layers share.
//
// One per process, at most one run at a time. runflag is the only stop signal and is read
// by the worker between states, so it is atomic; runstate and okcount are atomic as well
// because front ends watch them from their own thread. Everything else is written by one
// thread at a time (the interface before it schedules the worker, the worker afterwards).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "bsl/frames.h"
#include "image/download.h"

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

// The run's timing profile (main panel control 24, read when the worker starts). Standard keeps
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

// Where the run has left the drive, as far as it can tell: its firmware runs (or it was never
// told to reset), its ROM loader waits for the entry handshake, or the chip went past the
// handshake (length, loader upload, secondary loader) and only switching it off and on brings
// the ROM loader back. Set by the worker, read by the stop confirmation and the front ends.
inline constexpr int kDriveInApplication = 0;
inline constexpr int kDriveInRomLoader = 1;
inline constexpr int kDrivePastLoaderEntry = 2;
extern std::atomic<int> driveplace;
// 1 when this run found the drive already waiting in its bootstrap loader and went on.
extern std::atomic<int> foundinloader;
// Seconds a rescue waits when the panel has no such setting.
inline constexpr int kDefaultRescueWait = 120;

// The lines the run ends with while the drive is left in its loader, and the line of a run
// that found it there.
inline constexpr const char* kLeftInRomLoaderLine =
    "驱动器停在引导模式：再按烧录即可继续 / The drive waits in its bootstrap loader: press "
    "Program again and it is found and programmed (if not, turn rescue on and switch the drive "
    "off and on).";
inline constexpr const char* kLeftPastLoaderEntryLine =
    "驱动器停在引导模式：请打开救援，按烧录，再关闭驱动器电源并打开 / The drive waits in its "
    "bootstrap loader: turn rescue on, press Program, then switch the drive off and on again.";
inline constexpr const char* kFoundInLoaderLine =
    "驱动器正在引导模式，继续烧录 / The drive is waiting in its bootstrap loader (an earlier run "
    "did not finish); programming goes on.";
inline constexpr const char* kPowerCycleLine =
    "请关闭驱动器电源再打开 / Switch the drive off and on again…";
// What to tell the operator about a drive left at `place` ("" while its firmware runs).
const char* left_in_loader_line(int place);
// The line after "未知型号的驱动器!" when neither the drive nor its loader answered.
std::string no_answer_line(const std::string& port, int drive_baud, int loader_baud);
// Whether a status line only advises the operator (where the drive waits, what to check) and
// is not what went wrong.
bool is_advice_line(std::string_view line);

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

// The worker: one programming run, from opening the port to resting in state 6.
int ProgrammingThread(void* data);
