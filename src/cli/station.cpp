#include "cli/station.h"

#include <array>
#include <cstdio>

#include "cli/ports.h"
#include "image/firmware_file.h"
#include "link/drive_link.h"
#include "platform/serial.h"
#include "platform/timing.h"

namespace driveflash::cli {
namespace {

namespace pf = platform;

constexpr double kReplyTimeout = 0.3;
constexpr long kDefaultDriveBaud = 19200;

pf::Micros seconds(double s) {
  return pf::Micros(static_cast<std::int64_t>(s * 1e6));
}

// Sleeps until `deadline`, or less when a stop comes; returns whether one did.
bool pause_until(pf::Micros deadline, platform::RunWaker& waker) {
  pf::Clock& clock = pf::clock();
  if (clock.is_virtual()) {
    clock.sleep_until(deadline);
    return waker.stop_requested();
  }
  const pf::Micros left = deadline - clock.now();
  if (left.count() <= 0) {
    return waker.stop_requested();
  }
  return waker.wait(std::chrono::ceil<std::chrono::milliseconds>(left));
}

enum class WaitEnd { kDone, kTimedOut, kStopped };

// Asks for the drive's identity twice a second. Drive and Boot end at the first answer (Boot
// times out after `limit`); Gone ends once the drive, which has just answered, has been silent
// for kGoneAfterSeconds.
WaitEnd wait_for(StationState state, int port_number, long baud, pf::Micros limit,
                 platform::RunWaker& waker) {
  pf::Clock& clock = pf::clock();
  const pf::Micros start = clock.now();
  pf::Micros last_answer = start;
  while (!waker.stop_requested()) {
    const pf::Micros poll_start = clock.now();
    const bool answered = drive_answers(port_number, baud);
    if (answered && state != StationState::Gone) {
      return WaitEnd::kDone;
    }
    if (answered) {
      last_answer = clock.now();
    } else if (state == StationState::Gone &&
               clock.now() - last_answer >= seconds(kGoneAfterSeconds)) {
      return WaitEnd::kDone;
    }
    if (state == StationState::Boot && clock.now() - start >= limit) {
      return WaitEnd::kTimedOut;
    }
    if (pause_until(poll_start + seconds(kPollSeconds), waker)) {
      return WaitEnd::kStopped;
    }
  }
  return WaitEnd::kStopped;
}

std::string boot_text(int limit) {
  return "等待驱动器启动 / waiting for the drive to start: its new firmware to answer (at most " +
         std::to_string(limit) + " s)";
}

constexpr const char* kDriveText = "等待驱动器 / waiting for a drive";
constexpr const char* kProgrammingText = "烧录中 / programming";
constexpr const char* kGoneText =
    "请取下驱动器 / take the drive away (gone once it has not answered for 2 s)";

std::string late_text(int limit) {
  return "驱动器在 " + std::to_string(limit) +
         " s 内没有启动，请取下 / the drive did not answer within " + std::to_string(limit) +
         " s of programming (--boot-wait): take it away";
}

// The station's round, unit after unit, until a stop. `abandoned`: the last run was cut short
// with its worker still in a step.
int serve(const Arguments& args, const Terminal& term, platform::RunWaker& waker,
          const StationHooks& hooks, StationTally& tally, PortChoice& port, bool& abandoned) {
  const auto enter = [&](StationState state, const std::string& text) {
    if (hooks.state) {
      hooks.state(state, text, port);
    }
  };
  const int boot_wait = args.boot_wait.value_or(kDefaultBootWait);
  long baud = args.drive_baud.value_or(kDefaultDriveBaud);
  for (;;) {
    enter(StationState::Drive, kDriveText);
    if (wait_for(StationState::Drive, port.number, baud, {}, waker) != WaitEnd::kDone) {
      return tally.exit_status();
    }
    enter(StationState::Programming, kProgrammingText);
    RunReport unit;
    const int status = run_program(args, term, waker, unit, &port);
    abandoned = unit.abandoned;
    if (hooks.unit) {
      hooks.unit(unit);
    }
    if (status == kExitUsage) {
      return kExitUsage;  // what refused this drive refuses every drive
    }
    tally.add(unit);
    if (waker.stop_requested()) {
      return tally.exit_status();
    }
    baud = unit.drive_baud.value_or(baud);
    // A drive is gone only after it has answered: new firmware that takes its time to start
    // must not pass for a drive taken away, nor then for the next one.
    std::string gone = kGoneText;
    if (unit.succeeded() && boot_wait > 0) {
      enter(StationState::Boot, boot_text(boot_wait));
      const WaitEnd booted =
          wait_for(StationState::Boot, port.number, baud, seconds(boot_wait), waker);
      if (booted == WaitEnd::kStopped) {
        return tally.exit_status();
      }
      if (booted == WaitEnd::kTimedOut) {
        gone = late_text(boot_wait);
      }
    }
    enter(StationState::Gone, gone);
    if (wait_for(StationState::Gone, port.number, baud, {}, waker) != WaitEnd::kDone) {
      return tally.exit_status();
    }
  }
}

}  // namespace

const char* station_state_name(StationState state) {
  switch (state) {
    case StationState::Programming:
      return "programming";
    case StationState::Boot:
      return "boot";
    case StationState::Gone:
      return "gone";
    case StationState::Drive:
    default:
      return "drive";
  }
}

void StationTally::add(const RunReport& unit) {
  ++units;
  seconds += unit.outcome.seconds;
  if (unit.succeeded()) {
    ++ok;
  } else if (unit.outcome.result == run::Result::kStopped) {
    ++stopped;
  } else {
    ++failed;
  }
}

std::string StationTally::summary() const {
  std::array<char, 160> text{};
  // NOLINTNEXTLINE(cert-err33-c): a few numbers in the 160-byte buffer
  std::snprintf(text.data(), text.size(),
                "%d unit%s: %d programmed, %d failed%s, %.2f s a unit on average", units,
                units == 1 ? "" : "s", ok, failed + stopped,
                stopped > 0 ? " (stopped included)" : "", units > 0 ? seconds / units : 0.0);
  return text.data();
}

int StationTally::exit_status() const {
  if (stopped > 0) {
    return kExitInterrupted;
  }
  return failed > 0 ? kExitRunFailed : kExitOk;
}

bool drive_answers(int port_number, long baud) {
  if (OpenComConfig(port_number, "", baud, 0, 8, 1, 512, 512) != 0) {
    return false;  // the adapter went with the drive, or is busy: no answer either way
  }
  SetComTime(port_number, kReplyTimeout);
  FlushInQ(port_number);
  std::array<char, kIdentityReplySize> reply{};
  const bool sent = ComWrt(port_number, reinterpret_cast<const char*>(kIdentityRequest.data()),
                           static_cast<int>(kIdentityRequest.size())) ==
                    static_cast<int>(kIdentityRequest.size());
  const bool answered =
      sent && ComRd(port_number, reply.data(), kIdentityReplySize) == kIdentityReplySize &&
      // device 1, read holding registers, two bytes: the identity reply
      reply[0] == 0x01 && reply[1] == 0x03 && reply[2] == 0x02;
  CloseCom(port_number);
  return answered;
}

int run_station(const Arguments& args, const Terminal& term, platform::RunWaker& waker,
                const StationHooks& hooks, StationTally& tally) {
  PortChoice port;
  std::string error;
  image::FirmwareFile firmware;
  std::string hint;
  const int kind = args.kind.value_or(kind_from_name(args.file));
  // What would refuse the first drive refuses the station, before it waits for one.
  if (!choose_port(args.port, port, error) ||
      !(error = files_refusal(args, kind, firmware, hint)).empty()) {
    RunReport refused;
    refused.port = args.port;
    refused.file = args.file;
    refused.kind = kind_name(kind);
    refused.outcome.cause = run::Cause::kRefused;
    refused.outcome.line = error;
    refused.outcome.sha256 = firmware.sha256;
    term.err << "driveflash-cli: " << error << '\n';
    if (!hint.empty()) {
      term.err << "driveflash-cli: " << hint << '\n';
    }
    release_port(port);
    if (hooks.unit) {
      hooks.unit(refused);
    }
    return kExitUsage;
  }
  bool abandoned = false;
  const int status = serve(args, term, waker, hooks, tally, port, abandoned);
  if (!abandoned) {  // else the worker of the run cut short still has the line
    release_port(port);
  }
  return status;
}

}  // namespace driveflash::cli
