#include "platform/threads.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/panels.h"

namespace driveflash::platform {
namespace {

struct PoolFunction {
  std::thread thread;
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
};

std::mutex g_mutex;
std::map<int, std::shared_ptr<PoolFunction>> g_functions;
int g_next_id = 1;

std::shared_ptr<PoolFunction> lookup(int id) {
  std::lock_guard lock(g_mutex);
  const auto it = g_functions.find(id);
  return it == g_functions.end() ? nullptr : it->second;
}

}  // namespace

bool thread_function_done(int functionId) {
  const auto f = lookup(functionId);
  if (!f) {
    return false;
  }
  std::lock_guard lock(f->mutex);
  return f->done;
}

}  // namespace driveflash::platform

namespace pf = driveflash::platform;

int CmtScheduleThreadPoolFunction(int /*poolHandle*/, ThreadFunctionPtr function, void* data,
                                  int* functionId) {
  if (function == nullptr) {
    return -1;
  }
  auto entry = std::make_shared<pf::PoolFunction>();
  int id = 0;
  {
    std::lock_guard lock(pf::g_mutex);
    id = pf::g_next_id++;
    pf::g_functions.emplace(id, entry);
  }
  entry->thread = std::thread([entry, function, data] {
    function(data);
    {
      std::lock_guard lock(entry->mutex);
      entry->done = true;
    }
    entry->done_cv.notify_all();
  });
  if (functionId != nullptr) {
    *functionId = id;
  }
  return 0;
}

int CmtWaitForThreadPoolFunctionCompletion(int /*poolHandle*/, int functionId, int options) {
  const auto entry = pf::lookup(functionId);
  if (!entry) {
    return -1;
  }
  const bool pump = (options & OPT_TP_PROCESS_EVENTS_WHILE_WAITING) != 0;
  std::unique_lock lock(entry->mutex);
  while (!entry->done) {
    if (pump) {
      // The worker's panel calls reach the widgets through the event loop, so keep it
      // turning; poll often enough that a close is answered without a visible lag.
      lock.unlock();
      pf::process_events();
      lock.lock();
      entry->done_cv.wait_for(lock, std::chrono::milliseconds(5));
    } else {
      entry->done_cv.wait(lock);
    }
  }
  return 0;
}

int CmtReleaseThreadPoolFunctionID(int /*poolHandle*/, int functionId) {
  std::shared_ptr<pf::PoolFunction> entry;
  {
    std::lock_guard lock(pf::g_mutex);
    const auto it = pf::g_functions.find(functionId);
    if (it == pf::g_functions.end()) {
      return -1;
    }
    entry = std::move(it->second);
    pf::g_functions.erase(it);
  }
  // Releasing a function that is still running waits for it: a pool thread must not outlive
  // the state it works on.
  if (entry->thread.joinable()) {
    entry->thread.join();
  }
  return 0;
}
