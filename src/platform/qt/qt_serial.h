// Real serial ports behind the port table, over Qt SerialPort.
//
// A real line is opened and used by one thread, the worker, in blocking mode: no event loop
// runs there, every wait is a bounded wait for the device. Whatever the device does (an
// adapter pulled out, the far end of a pseudo-terminal closed), a call returns within its
// time limit with a result, and a line that failed stays failed until it is closed.
//
// Port numbers. The run only knows a number (main panel control 6); the front ends give
// numbers to devices with map_device():
//   - "COMn" (any case, also "\\.\COMn"; n from 1 to 256) is kept as "COMn" and gets number
//     n, as on Windows, unless n already belongs to another device;
//   - any other device ("/dev/ttyUSB0", "/dev/pts/7", "COM3" whose number is taken) gets
//     the lowest free number from kFirstDevicePortNumber (100) up;
//   - a device that is already in the table keeps its number.
// map_detected_ports() does this for every detected port in the order of their device
// names, so the same set of adapters gets the same numbers on every start.
//
// Qt's socket notifiers need an event dispatcher on the thread that opens the port. When a
// Q(Core)Application exists, opening a line gives the calling thread one (unused: nothing
// runs it); front ends therefore create the application object before the first run.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial.h"

class QSerialPort;

namespace driveflash::platform {

inline constexpr int kFirstDevicePortNumber = 100;
inline constexpr int kHighestComNumber = 256;

// n for "COMn" (any case, also as "\\.\COMn"), n from 1 to kHighestComNumber.
std::optional<int> com_number(std::string_view device);

// One open serial device.
class RealLine final : public SerialLine {
 public:
  // Opens `device` ("/dev/ttyUSB0", "COM3") with the settings, or returns null and says why
  // in `error` (no such device, permission denied or in use, not a serial port, settings
  // refused). The queue sizes of `settings` are not limits here: the driver and Qt buffer
  // as much as arrives, so nothing is dropped.
  static std::unique_ptr<RealLine> open(const std::string& device, const LineSettings& settings,
                                        std::string& error);

  // Only open() can make one.
  class Key {
    friend class RealLine;
    Key() = default;
  };
  RealLine(Key, std::string device, std::unique_ptr<QSerialPort> port, Micros byte_time);
  ~RealLine() override;
  RealLine(const RealLine&) = delete;
  RealLine& operator=(const RealLine&) = delete;

  // Hands every byte to the driver. A device that does not take them within the time they
  // need on the wire plus a second gives a short count (the rest is discarded, so it cannot
  // trickle out later); a failed device gives kComIoError.
  int write(std::span<const std::uint8_t> bytes) override;
  // Returns as soon as the buffer is full; else at the deadline with what came (bytes
  // arriving later stay queued for the next read). A failed device ends the read at once:
  // the bytes got so far, or kComIoError when there are none.
  int read(std::span<std::uint8_t> buffer, Micros deadline) override;
  // Discards what arrived and was not read, in Qt and in the driver.
  void flush_input() override;
  // Discards what was written and not sent yet.
  void flush_output() override;
  // Waits for the driver's own count of unsent bytes where it keeps one (USB adapters and
  // pseudo-terminals may buffer further out of its sight; the port's pace covers those).
  std::size_t drain_output(std::size_t bytes, Micros deadline) override;

  const std::string& device() const { return device_; }
  // Why the line failed ("" while it works).
  const std::string& failure() const { return failure_; }

 private:
  // Records a device failure; the line answers every later call with kComIoError.
  void fail(const char* during);

  std::string device_;
  std::unique_ptr<QSerialPort> port_;
  Micros byte_time_;  // one character on the wire
  std::string failure_;
};

// A table entry whose lines are opened on `device`; a physical line to a real chip.
PortEntry real_port_entry(int number, const std::string& device, const std::string& description);

struct DetectedPort {
  std::string device;  // what to open: "/dev/ttyUSB0" on Linux, "COM3" on Windows
  std::string description;
  std::string manufacturer;
};

// The serial ports the system reports, sorted by device name.
std::vector<DetectedPort> detect_serial_ports();

// Puts `device` in the port table by the rule at the top of this file and returns its
// number. An entry for the same device is replaced under its old number (new description,
// new is_real). is_real = false is for devices known to lead to the virtual drive.
int map_device(const std::string& device, const std::string& description = {}, bool is_real = true);

// Maps every detected port (description: the product string and the manufacturer). Devices
// mapped earlier keep their numbers; nothing is removed.
void map_detected_ports();

}  // namespace driveflash::platform
