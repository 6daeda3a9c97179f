// The run's timing profile and the one place that decides which fixed waits it keeps.
#pragma once

#include <atomic>
#include <cstdint>

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
    "本次使用了快速时序：此驱动器再失败时请改用标准时序 / Timing 'fast' was used: try 'standard' "
    "if this drive fails again.";
