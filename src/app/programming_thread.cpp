// The programming run: a loop over its states, one action per pass, so that closing the
// popup (which clears runflag) is noticed between any two steps. A rescue (state 7) makes one
// loader handshake per pass for the same reason.
#include "app/programming_thread.h"

#include <cstdio>
#include <span>
#include <string>

#include "app/rescue.h"
#include "app/run_steps.h"
#include "bsl/asc_bsl.h"
#include "bsl/frames.h"
#include "image/intel_hex.h"
#include "image/stand_in_loader.h"
#include "link/drive_link.h"
#include "platform/panels.h"
#include "platform/serial.h"
#include "platform/sound.h"
#include "platform/timing.h"
#include "run/failures.h"
#include "run/retry_policy.h"
#include "run/run_context.h"

bl_download_request dlrequest{};
bl_header_block endheader{};

namespace {

namespace run = driveflash::run;

// Port settings of both opens: no parity, 8 data bits, 1 stop bit, 512-byte queues.
constexpr int kParity = 0;
constexpr int kDataBits = 8;
constexpr int kStopBits = 1;
constexpr int kQueueSize = 512;
constexpr std::uint32_t kEndHeaderWord = 0xF8C1;
// The secondary loader sets up its UART after it has acknowledged its upload, and bytes that
// come sooner are lost: its first frame waits this long after that acknowledgement arrived.
// Twice what a model of the chip takes (10 ms) leaves room for a slower clock set-up, and
// costs 20 ms once per run.
constexpr driveflash::platform::Micros kLoaderStartup{20'000};
// A loader that refuses the download with 0xF8 pass after pass gets this many passes in all,
// then the run ends: a protected chip does not change its mind, and a station must go on.
constexpr int kMaxDownloadPasses = 5;

// Whether this worker holds the port open, so that a run stopped half-way still releases it.
bool g_port_open = false;
// Download passes of this run so far.
int g_download_passes = 0;

}  // namespace

namespace driveflash::app::worker {
namespace {

// A run that ends while the drive is out of its firmware says where the drive waits and what
// brings it back.
void advise(const char* line) {
  append(line);
  run::add_advice(line);
}

void say_where_the_drive_waits() {
  if (const int place = driveplace.load(); place != kDriveInApplication) {
    advise(left_in_loader_line(place));
  }
}

// A fast run that failed on a reply says how to rule its timing out, as its very last line.
void suggest_standard() {
  if (timingprofile.load() == kTimingFast) {
    advise(kTryStandardLine);
  }
}

// The record is published before the run state says so, so that a front end that sees the run
// at rest finds its outcome.
void come_to_rest(run::Result result) {
  run::finish(result);
  runstate = kStateFinished;
}

void end_run(double wait) {
  run_delay(RunWait::kStatusPace, wait);
  close_port();
  come_to_rest(run::Result::kFailed);
}

// The line that says what went wrong, as the status box and the outcome both keep it.
void failure(run::Cause cause, int status, const char* line) {
  append(line);
  run::fail(cause, status, line);
}

void fail_on_reply(run::Cause cause, int status, const char* line, double wait) {
  failure(cause, status, line);
  say_where_the_drive_waits();
  suggest_standard();
  end_run(wait);
}

// Read once when the worker starts, so that a change on the panel mid-run waits for the next
// run. An older panel file without the timing choice runs with every wait.
void read_timing_profile() {
  int profile = kTimingStandard;
  GetCtrlVal(mainpanel, MAINPANEL_TIMING, &profile);
  timingprofile = profile == kTimingFast ? kTimingFast : kTimingStandard;
}

// Read with the timing profile, for the same reasons; a panel without the choice retries nothing.
void read_noise_choices() {
  int retries = 0;
  GetCtrlVal(mainpanel, MAINPANEL_RETRIES, &retries);
  retrylimit = retry_limit_of(retries);
  // The read-back likewise; a panel without the choice reads nothing back.
  int verify = 0;
  GetCtrlVal(mainpanel, MAINPANEL_VERIFY, &verify);
  verifyflash = verify != 0 ? 1 : 0;
}

// The first open failed: the line, then which port and why, so the operator need not guess.
void fail_open(const char* line) {
  failure(run::Cause::kPortOpen, 0, line);
  const std::string why = platform::last_open_error(comport);
  if (!why.empty()) {
    const std::string reason = "端口 / Port " + std::to_string(comport) + ": " + why;
    append(reason.c_str());
    run::set_reason(reason);
  }
  say_where_the_drive_waits();
  end_run(0.2);
}

}  // namespace

void append(const char* line) {
  InsertTextBoxLine(prgpanel, PRGPANEL_STATUS, -1, line);
}

bool open_port() {
  g_port_open = OpenComConfig(comport, "", baudrate, kParity, kDataBits, kStopBits, kQueueSize,
                              kQueueSize) == 0;
  return g_port_open;
}

void close_port() {
  if (g_port_open) {
    CloseCom(comport);
    g_port_open = false;
  }
}

bool port_open() {
  return g_port_open;
}

void fail(run::Cause cause, int status, const char* line, double wait) {
  failure(cause, status, line);
  say_where_the_drive_waits();
  end_run(wait);
}

std::string port_name(int port) {
  std::string name = std::to_string(port);
  platform::PortEntry entry;
  if (platform::find_port(port, entry) && !entry.name.empty()) {
    name += " (" + entry.name + ")";
  }
  return name;
}

// The ROM loader answered the entry handshake although this run never reset the drive: an
// earlier run stopped after its reset. The run goes on as after its own handshake.
void found_in_loader() {
  end_rescue();
  append(kFoundInLoaderLine);
  foundinloader = 1;
  driveplace = kDrivePastLoaderEntry;
  run_delay(RunWait::kStatusPace, 0.2);
  runstate = kStateLength;
}

}  // namespace driveflash::app::worker

namespace {

using namespace driveflash::app::worker;

void state_open() {
  append("初始化中...");
  run_delay(RunWait::kStatusPace, 0.1);
  driveplace = kDriveInApplication;
  foundinloader = 0;
  g_download_passes = 0;
  GetCtrlVal(mainpanel, MAINPANEL_COMPORT, &comport);
  int rescue = 0;
  GetCtrlVal(mainpanel, MAINPANEL_RESCUE, &rescue);  // a panel file without the switch: off
  GetCtrlVal(mainpanel, rescue != 0 ? MAINPANEL_LOADER_BAUD : MAINPANEL_DRIVE_BAUD, &baudrate);
  if (!open_port()) {
    fail_open(run::failure_line(run::Cause::kPortOpen));
    return;
  }
  SetComTime(comport, rescue != 0 ? kLoaderTimeout : kDriveTimeout);
  FlushInQ(comport);
  FlushOutQ(comport);
  if (rescue != 0) {
    driveflash::app::begin_rescue();
    return;
  }
  runstate = kStateDrive;
}

// No firmware answered: perhaps an earlier run stopped after its reset and the chip's ROM
// loader still waits. One handshake at the loader baud rate finds out; firmware that runs
// takes the two bytes at another rate for noise, and a secondary loader for the start of a
// frame it then refuses.
void look_for_waiting_loader() {
  const int drive_baud = baudrate;
  close_port();
  run_delay(RunWait::kDriveState, 0.2);
  GetCtrlVal(mainpanel, MAINPANEL_LOADER_BAUD, &baudrate);
  if (open_port()) {
    SetComTime(comport, kLoaderTimeout);
    if (init_ASC_BSL(comport) == 0) {
      found_in_loader();
      return;
    }
  }
  failure(run::Cause::kNoAnswer, kStatusBslInit, run::failure_line(run::Cause::kNoAnswer));
  const std::string hint = no_answer_line(port_name(comport), drive_baud, baudrate);
  advise(hint.c_str());
  suggest_standard();
  end_run(0.2);
}

void state_drive() {
  if (PingToDrv(comport) != 0) {
    look_for_waiting_loader();
    return;
  }
  // A stop asked for while the drive was asked who it is was not asked about (its firmware
  // still ran): the reset that would leave it in its loader is not sent behind the operator's
  // back.
  if (runflag.load() == 0) {
    close_port();
    return;
  }
  append("驱动器连接成功!");
  run_delay(RunWait::kStatusPace, 0.2);
  ResetBMI(comport);
  driveplace = kDriveInRomLoader;
  run_delay(RunWait::kDriveState, 0.5);
  close_port();
  run_delay(RunWait::kDriveState, 0.2);
  GetCtrlVal(mainpanel, MAINPANEL_LOADER_BAUD, &baudrate);
  if (!open_port()) {
    // The port's own words stay off the status box here, but the outcome keeps them.
    if (const std::string why = driveflash::platform::last_open_error(comport); !why.empty()) {
      run::set_reason("端口 / Port " + std::to_string(comport) + ": " + why);
    }
    fail(run::Cause::kLoaderBaud, 0, run::failure_line(run::Cause::kLoaderBaud), 0.2);
    return;
  }
  // The loader's replies can take a while (a sector erase); the queues stay as they are.
  SetComTime(comport, kLoaderTimeout);
  runstate = kStateHandshake;
}

void state_handshake() {
  if (init_ASC_BSL(comport) != 0) {
    fail_on_reply(run::Cause::kHandshake, kStatusBslInit, run::failure_line(run::Cause::kHandshake),
                  0.2);
    return;
  }
  driveplace = kDrivePastLoaderEntry;
  append("ASC BSL initialization OK!");
  run_delay(RunWait::kStatusPace, 0.2);
  runstate = kStateLength;
}

void state_length() {
  if (send_4_length(comport, static_cast<std::uint32_t>(loadersize)) != 0) {
    fail_on_reply(run::Cause::kLength, kStatusBslInit, run::failure_line(run::Cause::kLength), 0.2);
    return;
  }
  append("Send application length OK!");
  run_delay(RunWait::kStatusPace, 0.2);
  runstate = kStateLoader;
}

void state_loader() {
  // NOLINTNEXTLINE(cert-err33-c): two constants, 27 characters, in the 100-byte buffer
  std::snprintf(loaderpath, sizeof loaderpath, "%s%s", kLoaderDirectory, kLoaderFileName);
  if (make_flash_image(loaderpath, loaderimage, static_cast<unsigned>(loadersize), &loaderaddr,
                       &loaderlen) != 0) {
    fail(run::Cause::kLoaderFile, kStatusInvalidHexfile, run::failure_line(run::Cause::kLoaderFile),
         0.2);
    return;
  }
  // The repository's stand-in loader only runs on the virtual drive; a real chip would be
  // left in its bootstrap loader with nothing sensible to execute.
  if (driveflash::platform::port_is_real(comport) &&
      driveflash::image::is_stand_in_loader(std::span(loaderimage, loaderimage + loadersize))) {
    fail(run::Cause::kStandInLoader, kStatusInvalidHexfile,
         run::failure_line(run::Cause::kStandInLoader), 0.2);
    return;
  }
  append("Sending XMC1x_ASCLoader...");
  run_delay(RunWait::kStatusPace, 0.2);
  if (send_ASCloader(comport, loaderimage, static_cast<std::uint32_t>(loadersize)) != 0) {
    fail_on_reply(run::Cause::kLoaderUpload, kStatusBootcode,
                  run::failure_line(run::Cause::kLoaderUpload), 0.5);
    return;
  }
  const driveflash::platform::Micros accepted = driveflash::platform::clock().now();
  append("Bootload success!");
  run_delay(RunWait::kStatusPace, 0.1);
  run_wait_since(RunWait::kLineRule, accepted, kLoaderStartup);
  runstate = kStateDownload;
}

void state_download() {
  SetCtrlAttribute(prgpanel, PRGPANEL_OK, ATTR_DIMMED, 1);
  SetCtrlAttribute(prgpanel, PRGPANEL_PROGRESS, ATTR_VISIBLE, 1);
  dlrequest = bl_download_request{1, 4, 1, 0, filename};
  ++g_download_passes;
  blstatus = bl_download_pflash(comport, dlrequest, filetype);
  if (blstatus == kStatusProtection && g_download_passes < kMaxDownloadPasses) {
    return;  // the whole download starts over on the next pass
  }
  if (blstatus != kStatusOk) {
    failure(run::Cause::kDownload, blstatus, error_message(blstatus));
    if (blstatus == kStatusProtection) {
      const std::string why = "下载 " + std::to_string(g_download_passes) +
                              " 次都被拒绝 / The loader refused all " +
                              std::to_string(g_download_passes) + " passes of the download.";
      append(why.c_str());
      run::set_reason(why);
    }
    say_where_the_drive_waits();
    // Only a reply that did not come, or made no sense, may be the fast profile's doing; a
    // loader that says what is wrong (0xFC, 0xF8, ...) says so in either profile.
    if (blstatus == kStatusUnknown) {
      suggest_standard();
    }
    close_port();
    come_to_rest(run::Result::kFailed);
    return;
  }
  endheader = bl_header_block{};
  endheader.mode = kModeRun;
  endheader.word1 = kEndHeaderWord;
  if (bl_send_header(comport, endheader) != kStatusOk) {
    // Every page is in, but the drive was never told to leave its loader.
    blstatus = kStatusUnknown;
    failure(run::Cause::kClosingHeader, blstatus, run::failure_line(run::Cause::kClosingHeader));
    say_where_the_drive_waits();
    close_port();
    come_to_rest(run::Result::kFailed);
    return;
  }
  blstatus = 0;
  driveplace = kDriveInApplication;
  driveflash::sndPlaySoundA(kSoundFile, driveflash::kSoundLoop);
  ++okcount;
  SetCtrlAttribute(mainpanel, MAINPANEL_COUNTER, ATTR_CTRL_VAL, okcount.load());
  come_to_rest(run::Result::kOk);
  close_port();
}

void state_finished() {
  SetCtrlAttribute(prgpanel, PRGPANEL_OK, ATTR_DIMMED, 0);
  SetCtrlAttribute(prgpanel, PRGPANEL_PROGRESS, ATTR_VISIBLE, 0);
  Delay(0.2);
}

}  // namespace

int ProgrammingThread(void* /*data*/) {
  g_port_open = false;
  read_timing_profile();
  read_noise_choices();
  run::begin(timingprofile.load());
  while (runflag.load() != 0) {
    switch (runstate.load()) {
      case kStateOpen:
        state_open();
        break;
      case kStateDrive:
        state_drive();
        break;
      case kStateHandshake:
        state_handshake();
        break;
      case kStateLength:
        state_length();
        break;
      case kStateLoader:
        state_loader();
        break;
      case kStateDownload:
        state_download();
        break;
      case kStateRescue:
        driveflash::app::state_rescue();
        break;
      default:
        state_finished();
        break;
    }
  }
  // Stopped half-way: release the port rather than leave it to the next run, and say where the
  // drive was left.
  driveflash::app::end_rescue();
  const bool stopped = runstate.load() != kStateFinished;
  if (stopped) {
    say_where_the_drive_waits();
  }
  close_port();
  if (stopped) {
    run::finish(run::Result::kStopped);
  }
  return 0;
}
