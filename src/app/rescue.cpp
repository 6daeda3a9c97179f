// Rescue. Each attempt is one pass of the worker: the ROM loader's handshake at the loader baud
// rate (junk of the power cycle before its 0x5D is fine), then one identity request at the
// drive baud rate, since a drive whose firmware starts after the power cycle is programmed the
// usual way rather than waited for in vain. A port that fails (a USB adapter powered by the
// drive goes away with it) is opened again on the next attempt.
#include "app/rescue.h"

#include <algorithm>
#include <string>

#include "app/run_steps.h"
#include "bsl/asc_bsl.h"
#include "bsl/frames.h"
#include "link/drive_link.h"
#include "platform/panels.h"
#include "platform/serial.h"
#include "platform/timing.h"
#include "run/failures.h"
#include "run/rescue_status.h"
#include "run/run_context.h"

namespace driveflash::app {
namespace {

using namespace worker;
namespace pf = platform;

// One attempt about every 2 s (a silent one takes 1.7 s of it: the handshake's pauses, its
// reply window and the identity request's time-out); the wait is told every 10 s.
constexpr double kAttemptSeconds = 2.0;
constexpr int kNoticeSeconds = 10;
constexpr int kMaxRescueWait = 3600;

struct Rescue {
  bool active = false;
  std::int64_t start_us = 0;  // platform clock
  int limit_seconds = kDefaultRescueWait;
  int noticed_seconds = -1;
  bool lost_told = false;  // the port's loss was told and it has not come back since
};
Rescue g_rescue;

int loader_baud() {
  int baud = 0;
  GetCtrlVal(mainpanel, MAINPANEL_LOADER_BAUD, &baud);
  return baud;
}

// Opens the port at `baud` with `timeout`; false when it is not there.
bool reopen(int baud, double timeout) {
  close_port();
  baudrate = baud;
  if (!open_port()) {
    return false;
  }
  SetComTime(comport, timeout);
  return true;
}

void port_lost() {
  close_port();
  if (!g_rescue.lost_told) {
    append(kPortLostLine);
    g_rescue.lost_told = true;
  }
}

// The drive's firmware answers at the drive baud rate: the run goes the usual way from the
// identity request on, the port open at that rate. Else the port is back at the loader baud.
bool firmware_answers() {
  const int loader = baudrate;
  int drive = loader;
  GetCtrlVal(mainpanel, MAINPANEL_DRIVE_BAUD, &drive);
  if (!reopen(drive, kDriveTimeout)) {
    port_lost();
    return false;
  }
  if (probe_drive(comport) == kStatusOk) {
    end_rescue();
    append(kFirmwareAnsweredLine);
    // The identity requests that follow keep the Modbus silence after this answer.
    run_wait_since(RunWait::kLineRule, pf::clock().now(), modbus_silence(drive));
    runstate = kStateDrive;
    return true;
  }
  if (!reopen(loader, kLoaderTimeout)) {
    port_lost();
  }
  return false;
}

}  // namespace

void begin_rescue() {
  g_rescue = Rescue{true, pf::clock().now().count()};
  if (GetCtrlVal(mainpanel, MAINPANEL_RESCUE_WAIT, &g_rescue.limit_seconds) != 0) {
    g_rescue.limit_seconds = kDefaultRescueWait;
  }
  g_rescue.limit_seconds = std::clamp(g_rescue.limit_seconds, 1, kMaxRescueWait);
  run::rescue_begin(g_rescue.limit_seconds);
  runstate = kStateRescue;
}

void end_rescue() {
  if (g_rescue.active) {
    g_rescue.active = false;
    run::rescue_end();
  }
}

void state_rescue() {
  const pf::Micros attempt = pf::clock().now();
  const auto waited = static_cast<int>((attempt.count() - g_rescue.start_us) / 1'000'000);
  if (waited >= g_rescue.limit_seconds) {
    end_rescue();
    const std::string line = std::string(run::failure_line(run::Cause::kRescueTimeout)) +
                             ": the bootstrap loader did not answer on port " + port_name(comport) +
                             " at " + std::to_string(loader_baud()) + " baud within " +
                             std::to_string(g_rescue.limit_seconds) +
                             " s. Check the cable and the loader baud rate; a drive whose firmware "
                             "runs is programmed with rescue off.";
    fail(run::Cause::kRescueTimeout, 0, line.c_str(), 0.2);
    return;
  }
  if (g_rescue.noticed_seconds < 0 || waited - g_rescue.noticed_seconds >= kNoticeSeconds) {
    g_rescue.noticed_seconds = waited - waited % kNoticeSeconds;
    const std::string line = std::string(kPowerCycleLine) + " (" +
                             std::to_string(g_rescue.noticed_seconds) + " s / " +
                             std::to_string(g_rescue.limit_seconds) + " s)";
    append(line.c_str());
  }
  if (!port_open() && reopen(loader_baud(), kLoaderTimeout)) {
    g_rescue.lost_told = false;
  }
  run::rescue_attempt(!port_open());
  if (port_open()) {
    const int status = rescue_ASC_BSL(comport, kLoaderTimeout);
    if (status == kStatusOk) {
      found_in_loader();
      return;
    }
    if (status == kStatusComInit) {
      port_lost();
    } else if (firmware_answers()) {
      return;
    }
  }
  const double spent = static_cast<double>((pf::clock().now() - attempt).count()) / 1e6;
  if (spent < kAttemptSeconds) {
    Delay(kAttemptSeconds - spent);
  }
}

}  // namespace driveflash::app
