#include "cli/production.h"

#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "cli/parallel.h"
#include "cli/station.h"
#include "cli/units.h"
#include "platform/lifetime.h"

namespace driveflash::cli {
namespace {

// A child process's orders from its parent: "stop" stops the run as Ctrl-C does; the input's
// end means the parent is gone or ends now, and so must this process.
class StopOnInput {
 public:
  explicit StopOnInput(platform::RunWaker& waker) : state_(std::make_shared<State>()) {
    state_->waker = &waker;
    std::thread([state = state_] {
      std::string line;
      while (std::getline(std::cin, line)) {
        if (line == "stop") {
          std::lock_guard lock(state->mutex);
          if (state->waker != nullptr) {
            state->waker->request_stop();
          }
        }
      }
      std::lock_guard lock(state->mutex);
      if (state->waker != nullptr) {
        state->waker->request_end();
      }
    }).detach();  // blocked in a read until the input ends; the process may end first
  }
  ~StopOnInput() {
    std::lock_guard lock(state_->mutex);
    state_->waker = nullptr;
  }
  StopOnInput(const StopOnInput&) = delete;
  StopOnInput& operator=(const StopOnInput&) = delete;

 private:
  struct State {
    std::mutex mutex;
    platform::RunWaker* waker = nullptr;
  };
  std::shared_ptr<State> state_;
};

// One port, in-process: a plain run with its log row, a child's run, or a station.
int run_here(const Arguments& args, const Terminal& term, platform::RunWaker& waker) {
  Recorder recorder(args);
  if (const std::string why = recorder.open(); !why.empty()) {
    term.err << "driveflash-cli: " << why << "; nothing was run\n";
    return kExitUsage;
  }
  std::optional<StopOnInput> stop_on_input;
  if (args.events) {
    platform::end_with_parent();
    stop_on_input.emplace(waker);
  }
  if (!args.repeat) {
    RunReport r;
    const int status = run_program(args, term, waker, r);
    if (args.events) {
      print_unit_event(term.out, r);
    }
    recorder.add(r, term.err);
    recorder.finish(term.err);
    return status;
  }
  // A station's runs print no object each; the one at the end holds them all.
  Arguments each = args;
  each.json = false;
  const Terminal lines{args.json ? term.err : term.out, term.err, term.progress_bar, term.width,
                       term.events};
  StationTally tally;
  std::vector<std::string> units;
  StationHooks hooks;
  hooks.state = [&](StationState state, const std::string& text, PortChoice&) {
    if (args.events) {
      print_state_event(term.out, station_state_name(state), text);
    } else {
      term.err << "driveflash-cli: " << text << '\n' << std::flush;
    }
  };
  hooks.unit = [&](const RunReport& r) {
    recorder.add(r, term.err);
    units.push_back(r.json(false));
    if (args.events) {
      print_unit_event(term.out, r);
    } else {
      term.err << "driveflash-cli: " << unit_line(static_cast<int>(units.size()), r) << '\n'
               << std::flush;
    }
  };
  const int status = run_station(each, lines, waker, hooks, tally);
  recorder.finish(term.err);
  if (!args.events) {
    term.err << "driveflash-cli: station on " << args.port << " ended: " << tally.summary() << '\n';
  }
  if (args.json) {
    term.out << summary_json(args, status, tally.ok, tally.failed + tally.stopped)
                    .add("mean_seconds", tally.units > 0 ? tally.seconds / tally.units : 0.0, 3)
                    .add_raw("units", json_array(units, true))
                    .str()
             << '\n'
             << std::flush;
  }
  return status;
}

}  // namespace

bool production_run(const Arguments& args) {
  return args.ports.size() > 1 || args.repeat || args.events || !args.log.empty();
}

int run_production(const Arguments& args, const Terminal& term, platform::RunWaker& waker,
                   const std::string& self) {
  if (args.ports.size() <= 1) {
    Terminal here = term;
    here.events = args.events;
    return run_here(args, here, waker);
  }
  return run_parallel(args, term, waker, self);
}

}  // namespace driveflash::cli
