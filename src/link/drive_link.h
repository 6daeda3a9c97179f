// The two Modbus RTU requests to the drive's running firmware.
#pragma once

#include <array>
#include <cstdint>

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
