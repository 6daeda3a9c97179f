#include "cli/station.h"

#include <array>
#include <cstdio>

#include "cli/ports.h"
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

// Polls the drive until it has been silent for kGoneAfterSeconds (Gone) or until it answers
// (Next). Returns false when a stop came first.
bool wait_for(StationWait wait, int port_number, long baud, platform::RunWaker& waker) {
  pf::Clock& clock = pf::clock();
  pf::Micros last_answer = clock.now();  // the run that just ended talked to it
  while (!waker.stop_requested()) {
    const pf::Micros poll_start = clock.now();
    const bool answered = drive_answers(port_number, baud);
    if (wait == StationWait::Next && answered) {
      return true;
    }
    if (answered) {
      last_answer = clock.now();
    } else if (wait == StationWait::Gone &&
               clock.now() - last_answer >= seconds(kGoneAfterSeconds)) {
      return true;
    }
    if (pause_until(poll_start + seconds(kPollSeconds), waker)) {
      return false;
    }
  }
  return false;
}

}  // namespace

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
  if (!choose_port(args.port, port, error)) {
    RunReport refused;
    refused.port = args.port;
    refused.file = args.file;
    refused.outcome.cause = run::Cause::kRefused;
    refused.outcome.line = error;
    term.err << "driveflash-cli: " << error << '\n';
    if (hooks.unit) {
      hooks.unit(refused);
    }
    return kExitUsage;
  }
  struct Release {
    const PortChoice& port;
    explicit Release(const PortChoice& p) : port(p) {}
    ~Release() { release_port(port); }
    Release(const Release&) = delete;
    Release& operator=(const Release&) = delete;
    Release(Release&&) = delete;
    Release& operator=(Release&&) = delete;
  } release(port);
  long baud = args.drive_baud.value_or(kDefaultDriveBaud);
  for (;;) {
    RunReport unit;
    const int status = run_program(args, term, waker, unit, &port);
    if (hooks.unit) {
      hooks.unit(unit);
    }
    if (status == kExitUsage) {
      return kExitUsage;  // what refused this drive refuses every drive
    }
    tally.add(unit);
    baud = unit.drive_baud.value_or(baud);
    for (const StationWait wait : {StationWait::Gone, StationWait::Next}) {
      if (waker.stop_requested()) {
        return tally.exit_status();
      }
      if (hooks.waiting) {
        hooks.waiting(wait,
                      wait == StationWait::Gone
                          ? "waiting for the drive to be taken away (no answer for 2 s)"
                          : "waiting for the next drive to answer",
                      port);
      }
      if (!wait_for(wait, port.number, baud, waker)) {
        return tally.exit_status();
      }
    }
  }
}

}  // namespace driveflash::cli
