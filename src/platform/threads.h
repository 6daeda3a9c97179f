// The thread pool that runs the programming worker.
#pragma once

inline constexpr int DEFAULT_THREAD_POOL_HANDLE = -1;
inline constexpr int OPT_TP_PROCESS_EVENTS_WHILE_WAITING = 1;

using ThreadFunctionPtr = int (*)(void* functionData);

// Runs `function(data)` on a pool thread and stores its id in `*functionId`.
// Returns 0 or a negative failure.
int CmtScheduleThreadPoolFunction(int poolHandle, ThreadFunctionPtr function, void* data,
                                  int* functionId);
// Waits until the function has returned. With OPT_TP_PROCESS_EVENTS_WHILE_WAITING the
// waiting thread keeps processing user-interface events meanwhile, so that the worker's
// panel calls go through. Returns 0 or a negative failure (unknown id).
int CmtWaitForThreadPoolFunctionCompletion(int poolHandle, int functionId, int options);
int CmtReleaseThreadPoolFunctionID(int poolHandle, int functionId);

namespace driveflash::platform {
// Whether the function with this id has returned (false for an unknown id).
bool thread_function_done(int functionId);
}  // namespace driveflash::platform
