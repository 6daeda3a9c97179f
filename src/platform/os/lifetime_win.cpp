#include <windows.h>

#include "platform/lifetime.h"

namespace driveflash::platform {
namespace {

// One job for the process's children, closed only by the process's end: the system then
// ends every process in it.
HANDLE children_job() {
  static const HANDLE job = [] {
    HANDLE h = ::CreateJobObjectW(nullptr, nullptr);
    if (h != nullptr) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
      info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      ::SetInformationJobObject(h, JobObjectExtendedLimitInformation, &info, sizeof info);
    }
    return h;
  }();
  return job;
}

}  // namespace

void end_with_parent() {}

void tie_child(std::int64_t pid) {
  HANDLE job = children_job();
  if (job == nullptr) {
    return;
  }
  HANDLE child =
      ::OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
  if (child != nullptr) {
    // Best effort: a parent inside a job that forbids another (before Windows 8) cannot.
    ::AssignProcessToJobObject(job, child);
    ::CloseHandle(child);
  }
}

}  // namespace driveflash::platform
