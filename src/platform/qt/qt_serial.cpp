#include "platform/qt/qt_serial.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <climits>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <thread>
#include <type_traits>

#include "platform/serial_driver.h"

namespace driveflash::platform {
namespace {

using Steady = std::chrono::steady_clock;

// The port's notifiers ask for a dispatcher on this thread; without one Qt complains on
// every open. Making an event loop creates it, and it goes with the thread.
void ensure_event_dispatcher() {
  if (QCoreApplication::instance() != nullptr && QAbstractEventDispatcher::instance() == nullptr) {
    const QEventLoop make_dispatcher;
  }
}

std::string text_of(const QSerialPort& port) {
  return port.errorString().toStdString();
}

std::string open_failure(const std::string& device, const QSerialPort& port) {
  const char* why = "cannot be opened";
  switch (port.error()) {
    case QSerialPort::DeviceNotFoundError:
      why = "no such device";
      break;
    case QSerialPort::PermissionError:
#if defined(Q_OS_LINUX)
      // Serial devices belong to the dialout group there; a new operator's account often lacks it.
      why =
          "permission denied \xE2\x80\x94 is the user in the dialout group? (or the port is in "
          "use by another program)";
#else
      why = "permission denied, or the port is in use by another program";
#endif
      break;
    case QSerialPort::OpenError:
      why = "the port is already open";
      break;
    case QSerialPort::UnsupportedOperationError:
      why = "not a serial port";
      break;
    default:
      break;
  }
  return "Cannot open " + device + ": " + why + " (" + text_of(port) + ")";
}

// CVI's parity numbers: 0 none, 1 odd, 2 even, 3 mark, 4 space.
constexpr std::array kParities = {QSerialPort::NoParity, QSerialPort::OddParity,
                                  QSerialPort::EvenParity, QSerialPort::MarkParity,
                                  QSerialPort::SpaceParity};

bool apply_settings(QSerialPort& port, const LineSettings& s, const std::string& device,
                    std::string& error) {
  const std::string wanted = std::to_string(s.baud) + " baud, " + std::to_string(s.data_bits) +
                             " data bits, parity " + std::to_string(s.parity) + ", " +
                             std::to_string(s.stop_bits) + " stop bits";
  if (s.baud <= 0 || s.baud > INT32_MAX || s.data_bits < 5 || s.data_bits > 8 || s.parity < 0 ||
      s.parity >= static_cast<int>(kParities.size()) || s.stop_bits < 1 || s.stop_bits > 2) {
    error = "Cannot set " + wanted + " on " + device + ": not supported";
    return false;
  }
  const bool ok =
      port.setBaudRate(static_cast<qint32>(s.baud)) &&
      port.setDataBits(static_cast<QSerialPort::DataBits>(s.data_bits)) &&
      port.setParity(kParities[static_cast<std::size_t>(s.parity)]) &&
      port.setStopBits(s.stop_bits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop) &&
      port.setFlowControl(QSerialPort::NoFlowControl);
  if (!ok) {
    error = "Cannot set " + wanted + " on " + device + ": the device refuses it (" + text_of(port) +
            ")";
  }
  return ok;
}

Micros byte_time(const LineSettings& s) {
  const long bits = 1 + s.data_bits + (s.parity != 0 ? 1 : 0) + s.stop_bits;
  return Micros((bits * 1'000'000 + s.baud - 1) / s.baud);
}

// Reads may be given a deadline on a virtual clock; the device lives in real time, so the
// time left is carried over to the steady clock once.
Steady::time_point real_deadline(Micros deadline) {
  const Micros left = std::max(deadline - clock().now(), Micros(0));
  return Steady::now() + left;
}

// Milliseconds until `until`, rounded up so that a wait never ends before it.
int ms_until(Steady::time_point until) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Steady::now()).count();
  return static_cast<int>(std::clamp<std::int64_t>(left, 0, INT_MAX));
}

// A file descriptor on POSIX systems, a HANDLE on Windows.
template <typename H>
std::intptr_t native_handle(H handle) {
  if constexpr (std::is_pointer_v<H>) {
    return reinterpret_cast<std::intptr_t>(handle);
  } else {
    return static_cast<std::intptr_t>(handle);
  }
}

bool timed_out(const QSerialPort& port) {
  return port.error() == QSerialPort::TimeoutError || port.error() == QSerialPort::NoError;
}

}  // namespace

std::unique_ptr<RealLine> RealLine::open(const std::string& device, const LineSettings& settings,
                                         std::string& error) {
  ensure_event_dispatcher();
  auto port = std::make_unique<QSerialPort>();
  port->setPortName(QString::fromStdString(device));
  if (!port->open(QIODevice::ReadWrite)) {
    error = open_failure(device, *port);
    return nullptr;
  }
  if (!apply_settings(*port, settings, device, error)) {
    return nullptr;
  }
  return std::make_unique<RealLine>(Key{}, device, std::move(port), byte_time(settings));
}

RealLine::RealLine(Key, std::string device, std::unique_ptr<QSerialPort> port, Micros byte_time)
    : device_(std::move(device)), port_(std::move(port)), byte_time_(byte_time) {}

RealLine::~RealLine() = default;

void RealLine::fail(const char* during) {
  failure_ = device_ + ": " + during + " failed (" + text_of(*port_) + ")";
  // Let go of the device at once: an adapter that comes back is then free to reappear.
  port_->close();
}

int RealLine::write(std::span<const std::uint8_t> bytes) {
  if (!failure_.empty() || !port_->isOpen()) {
    return kComIoError;
  }
  if (bytes.empty()) {
    return 0;
  }
  const auto size = static_cast<qint64>(bytes.size());
  port_->clearError();
  if (port_->write(reinterpret_cast<const char*>(bytes.data()), size) != size) {
    fail("writing");
    return kComIoError;
  }
  // A device that drains slower than its baud rate promises still gets twice the bytes' time
  // on the wire and a second more; one that stops taking bytes is not waited for longer.
  const auto until = Steady::now() + std::chrono::seconds(1) +
                     2 * byte_time_ * static_cast<Micros::rep>(bytes.size());
  while (port_->bytesToWrite() > 0) {
    const int wait = ms_until(until);
    if (wait == 0) {
      const qint64 left = port_->bytesToWrite();
      port_->clear(QSerialPort::Output);
      return static_cast<int>(size - left);
    }
    port_->clearError();
    if (!port_->waitForBytesWritten(wait) && !timed_out(*port_)) {
      fail("writing");
      return kComIoError;
    }
  }
  return static_cast<int>(size);
}

int RealLine::read(std::span<std::uint8_t> buffer, Micros deadline) {
  if (!failure_.empty() || !port_->isOpen()) {
    return kComIoError;
  }
  const auto until = real_deadline(deadline);
  std::size_t got = 0;
  for (;;) {
    const qint64 n = port_->read(reinterpret_cast<char*>(buffer.data() + got),
                                 static_cast<qint64>(buffer.size() - got));
    if (n < 0) {
      fail("reading");
      break;
    }
    got += static_cast<std::size_t>(n);
    if (got == buffer.size()) {
      break;
    }
    const int wait = ms_until(until);
    if (wait == 0) {
      break;
    }
    port_->clearError();
    if (!port_->waitForReadyRead(wait) && !timed_out(*port_)) {
      // What arrived before the failure is still the caller's.
      const qint64 rest = port_->read(reinterpret_cast<char*>(buffer.data() + got),
                                      static_cast<qint64>(buffer.size() - got));
      got += static_cast<std::size_t>(std::max<qint64>(rest, 0));
      fail("reading");
      break;
    }
  }
  if (!failure_.empty() && got == 0) {
    return kComIoError;
  }
  return static_cast<int>(got);
}

void RealLine::flush_input() {
  if (failure_.empty() && port_->isOpen()) {
    port_->clear(QSerialPort::Input);
  }
}

std::size_t RealLine::drain_output(std::size_t bytes, Micros deadline) {
  if (!failure_.empty() || !port_->isOpen()) {
    return 0;
  }
  const auto until = real_deadline(deadline);
  for (;;) {
    const std::optional<std::size_t> held = driver_output_count(native_handle(port_->handle()));
    if (!held || *held <= bytes) {
      return held.value_or(0);
    }
    const auto now = Steady::now();
    if (now >= until) {
      return *held;
    }
    // Look again about when the surplus should have gone out, but not rarely.
    const auto surplus = byte_time_ * static_cast<Micros::rep>(*held - bytes);
    std::this_thread::sleep_for(
        std::min<Steady::duration>({surplus, std::chrono::milliseconds(20), until - now}));
  }
}

void RealLine::flush_output() {
  if (failure_.empty() && port_->isOpen()) {
    port_->clear(QSerialPort::Output);
  }
}

PortEntry real_port_entry(int number, const std::string& device, const std::string& description) {
  PortEntry entry;
  entry.number = number;
  entry.name = device;
  entry.description = description;
  entry.is_real = true;
  entry.open = [device](const LineSettings& settings,
                        std::string& error) -> std::unique_ptr<SerialLine> {
    return RealLine::open(device, settings, error);
  };
  return entry;
}

namespace {

// Orders "ttyUSB2" before "ttyUSB10" and "COM2" before "COM10": digit runs by value.
bool natural_less(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  const auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      const std::size_t si = i;
      const std::size_t sj = j;
      while (i < a.size() && a[i] == '0') ++i;
      while (j < b.size() && b[j] == '0') ++j;
      const std::size_t vi = i;
      const std::size_t vj = j;
      while (i < a.size() && digit(a[i])) ++i;
      while (j < b.size() && digit(b[j])) ++j;
      const std::string_view na = a.substr(vi, i - vi);
      const std::string_view nb = b.substr(vj, j - vj);
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      if (i - si != j - sj) return i - si < j - sj;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

}  // namespace

std::optional<int> com_number(std::string_view device) {
  if (device.starts_with(R"(\\.\)")) {
    device.remove_prefix(4);
  }
  if (device.size() < 4 || device.size() > 6) {
    return std::nullopt;
  }
  for (std::size_t k = 0; k < 3; ++k) {
    if (std::toupper(static_cast<unsigned char>(device[k])) != "COM"[k]) {
      return std::nullopt;
    }
  }
  int n = 0;
  for (const char c : device.substr(3)) {
    if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
      return std::nullopt;
    }
    n = n * 10 + (c - '0');
  }
  if (device[3] == '0' || n < 1 || n > kHighestComNumber) {
    return std::nullopt;
  }
  return n;
}

namespace {

// Keeps two front ends (or a front end and a test) from handing out one number twice.
std::mutex g_map_mutex;

}  // namespace

std::vector<DetectedPort> detect_serial_ports() {
  std::vector<DetectedPort> ports;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
#ifdef Q_OS_WIN
    const QString device = info.portName();
#else
    const QString device = info.systemLocation();
#endif
    ports.push_back({device.toStdString(), info.description().toStdString(),
                     info.manufacturer().toStdString()});
  }
  std::sort(ports.begin(), ports.end(), [](const DetectedPort& a, const DetectedPort& b) {
    return natural_less(a.device, b.device);
  });
  return ports;
}

int map_device(const std::string& device, const std::string& description, bool is_real) {
  // "com12", "COM12" and "\\.\COM12" are one port: one name, one number, one entry.
  const std::optional<int> com = com_number(device);
  const std::string name = com ? "COM" + std::to_string(*com) : device;
  std::lock_guard lock(g_map_mutex);
  std::set<int> taken;
  int number = 0;
  for (const PortEntry& entry : port_table()) {
    taken.insert(entry.number);
    if (entry.name == name && number == 0) {
      number = entry.number;
    }
  }
  if (number == 0) {
    if (com && !taken.contains(*com)) {
      number = *com;
    } else {
      number = kFirstDevicePortNumber;
      while (taken.contains(number)) {
        ++number;
      }
    }
  }
  PortEntry entry = real_port_entry(number, name, description);
  entry.is_real = is_real;
  map_port(std::move(entry));
  return number;
}

void map_detected_ports() {
  for (const DetectedPort& port : detect_serial_ports()) {
    std::string description = port.description;
    if (!port.manufacturer.empty()) {
      description += description.empty() ? port.manufacturer : " (" + port.manufacturer + ")";
    }
    map_device(port.device, description);
  }
}

}  // namespace driveflash::platform
