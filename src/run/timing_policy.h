// The run's timing profile and the one place that decides which fixed waits it keeps.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/timing.h"

// The run's timing profile (main panel control 24, read when the worker starts). Standard keeps
// every fixed wait of the run; fast drops the ones nothing on the line needs: a wait before a
// reply that is read with its time-out anyway, and a pause that only lets a status line be
// seen. Either way every reply is awaited, and no frame goes out before the previous one's
// reply has been judged.
inline constexpr int kTimingStandard = 0;
inline constexpr int kTimingFast = 1;
extern std::atomic<int> timingprofile;

// What a fixed wait of the run is for. The fast profile keeps the last three only.
enum class RunWait : std::uint8_t {
  kStatusPace,  // lets the operator see a status line before the next step
  kReplyLead,   // before reading a reply that is read with its time-out anyway
  kRequestGap,  // between two identity requests, the first answer already read
  kDriveState,  // the drive changes state: after the reset request, around the port's reopening
  kHandshake,   // the ROM loader samples the line between the entry bytes
  // A rule of the line that a real drive keeps however fast the host: the silence a Modbus
  // slave needs before a request, the secondary loader's start-up before its first frame.
  kLineRule,
};

// Whether the current profile keeps waits of this kind.
bool wait_kept(RunWait kind);
// Delay / Sleep, if the current profile keeps waits of this kind.
void run_delay(RunWait kind, double seconds);
void run_sleep(RunWait kind, unsigned milliseconds);
// Waits until `span` has passed since `since` on the platform clock, if the current profile
// keeps waits of this kind; asks for no wait at all when it has passed already, so that a
// profile whose other waits cover the span waits exactly as it did.
void run_wait_since(RunWait kind, driveflash::platform::Micros since,
                    driveflash::platform::Micros span);

// The line a fast run appends after failing on a reply.
inline constexpr const char* kTryStandardLine =
    "本次使用了快速时序：此驱动器再失败时请改用标准时序 / Timing 'fast' was used: try 'standard' "
    "if this drive fails again.";
