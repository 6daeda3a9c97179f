// The two Modbus RTU requests to the drive's running firmware.
#pragma once

#include <array>
#include <cstdint>

#include "platform/timing.h"

// Read one holding register at 0x0000 of device 1: "is a drive there?"
inline constexpr std::array<std::uint8_t, 8> kIdentityRequest = {0x01, 0x03, 0x00, 0x00,
                                                                 0x00, 0x01, 0x84, 0x0A};
// Write 1 to register 0x005C of device 1: "restart into the bootstrap loader".
inline constexpr std::array<std::uint8_t, 8> kResetRequest = {0x01, 0x06, 0x00, 0x5C,
                                                              0x00, 0x01, 0x88, 0x18};
// A normal reply to a one-register read: address, function, count, 2 data bytes, CRC.
inline constexpr int kIdentityReplySize = 7;

// Returns 0 when the second identity request got a 7-byte answer, 242 otherwise.
int PingToDrv(int port);
// Sends the reset request; returns the write's result.
int ResetBMI(int port);

// The silence a Modbus slave needs on the line before it takes a request: 3.5 characters of 11
// bits at `baud`, rounded up to the microsecond, and never less than 1.75 ms. Every request
// waits until this much has passed since the end of the request before it or the arrival of
// the last reply byte, whatever the timing profile.
driveflash::platform::Micros modbus_silence(long baud);

// One identity request on a port just opened, its input flushed first: 0 when a whole, sound
// answer came (device 1, function 3, two data bytes, a right CRC), 242 otherwise. For a rescue,
// which must tell running firmware from stray bytes of a power cycle.
int probe_drive(int port);
