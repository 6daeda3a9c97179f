#include "platform/serial.h"

#include <cmath>
#include <map>

namespace driveflash::platform {
namespace {

struct OpenPort {
  std::shared_ptr<SerialLine> line;
  Micros timeout{10'000'000};  // until the caller sets its own
  bool is_real = false;
};

// The table is filled by the front end on the user-interface thread and used by the worker.
std::mutex g_mutex;
std::map<int, PortEntry> g_table;
std::map<int, OpenPort> g_open;
std::map<int, std::string> g_open_errors;

bool open_port(int port, OpenPort& out) {
  std::lock_guard lock(g_mutex);
  const auto it = g_open.find(port);
  if (it == g_open.end()) {
    return false;
  }
  out = it->second;
  return true;
}

// Hands out one shared line for every open of a port, so a test or the virtual drive keeps
// its state across the close and reopen of a run.
class SharedLine final : public SerialLine {
 public:
  explicit SharedLine(std::shared_ptr<SerialLine> line) : line_(std::move(line)) {}
  int write(std::span<const std::uint8_t> bytes) override { return line_->write(bytes); }
  int read(std::span<std::uint8_t> buffer, Micros deadline) override {
    return line_->read(buffer, deadline);
  }
  void flush_input() override { line_->flush_input(); }
  void flush_output() override { line_->flush_output(); }

 private:
  std::shared_ptr<SerialLine> line_;
};

}  // namespace

void map_port(PortEntry entry) {
  std::lock_guard lock(g_mutex);
  const int number = entry.number;
  g_table[number] = std::move(entry);
}

void unmap_port(int port) {
  std::lock_guard lock(g_mutex);
  g_table.erase(port);
}

void clear_port_table() {
  std::lock_guard lock(g_mutex);
  g_table.clear();
  g_open.clear();
  g_open_errors.clear();
}

std::vector<PortEntry> port_table() {
  std::lock_guard lock(g_mutex);
  std::vector<PortEntry> out;
  out.reserve(g_table.size());
  for (const auto& [number, entry] : g_table) {
    out.push_back(entry);
  }
  return out;
}

bool find_port(int port, PortEntry& out) {
  std::lock_guard lock(g_mutex);
  const auto it = g_table.find(port);
  if (it == g_table.end()) {
    return false;
  }
  out = it->second;
  return true;
}

bool port_is_real(int port) {
  OpenPort p;
  return open_port(port, p) && p.is_real;
}

std::string last_open_error(int port) {
  std::lock_guard lock(g_mutex);
  const auto it = g_open_errors.find(port);
  return it == g_open_errors.end() ? std::string() : it->second;
}

void map_port_to_line(int port, std::shared_ptr<SerialLine> line, std::string name) {
  PortEntry entry;
  entry.number = port;
  entry.name = std::move(name);
  entry.description = "in-process line";
  entry.open = [line = std::move(line)](const LineSettings&,
                                        std::string&) -> std::unique_ptr<SerialLine> {
    return std::make_unique<SharedLine>(line);
  };
  map_port(std::move(entry));
}

}  // namespace driveflash::platform

namespace pf = driveflash::platform;

int OpenComConfig(int port, const char* /*deviceName*/, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize) {
  CloseCom(port);
  pf::PortEntry entry;
  if (!pf::find_port(port, entry) || !entry.open) {
    std::lock_guard lock(pf::g_mutex);
    pf::g_open_errors[port] = "no serial port is mapped to number " + std::to_string(port);
    return kComInvalidPort;
  }
  if (baudRate <= 0 || dataBits < 5 || dataBits > 8 || stopBits < 1 || stopBits > 2 || parity < 0 ||
      parity > 4) {
    std::lock_guard lock(pf::g_mutex);
    pf::g_open_errors[port] = "unsupported line settings";
    return kComOpenFailed;
  }
  const pf::LineSettings settings{baudRate, parity,         dataBits,
                                  stopBits, inputQueueSize, outputQueueSize};
  std::string error;
  // The factory may take a while (a real device): call it without holding the table lock.
  std::unique_ptr<pf::SerialLine> line = entry.open(settings, error);
  std::lock_guard lock(pf::g_mutex);
  if (!line) {
    pf::g_open_errors[port] = error.empty() ? "cannot open " + entry.name : error;
    return kComOpenFailed;
  }
  pf::g_open_errors.erase(port);
  pf::g_open[port] = pf::OpenPort{std::shared_ptr<pf::SerialLine>(std::move(line)),
                                  pf::Micros(10'000'000), entry.is_real};
  return 0;
}

int SetComTime(int port, double timeoutSeconds) {
  if (!(timeoutSeconds >= 0.0)) {
    return kComUnknownError;
  }
  std::lock_guard lock(pf::g_mutex);
  const auto it = pf::g_open.find(port);
  if (it == pf::g_open.end()) {
    return kComPortNotOpen;
  }
  it->second.timeout = pf::Micros(std::llround(timeoutSeconds * 1e6));
  return 0;
}

int FlushInQ(int port) {
  pf::OpenPort p;
  if (!pf::open_port(port, p)) {
    return kComPortNotOpen;
  }
  p.line->flush_input();
  return 0;
}

int FlushOutQ(int port) {
  pf::OpenPort p;
  if (!pf::open_port(port, p)) {
    return kComPortNotOpen;
  }
  p.line->flush_output();
  return 0;
}

int ComWrt(int port, const char* buffer, int count) {
  pf::OpenPort p;
  if (!pf::open_port(port, p)) {
    return kComPortNotOpen;
  }
  if (count <= 0 || buffer == nullptr) {
    return 0;
  }
  return p.line->write(
      std::span(reinterpret_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(count)));
}

int ComRd(int port, char* buffer, int count) {
  pf::OpenPort p;
  if (!pf::open_port(port, p)) {
    return kComPortNotOpen;
  }
  if (count <= 0 || buffer == nullptr) {
    return 0;
  }
  const pf::Micros deadline = pf::clock().now() + p.timeout;
  return p.line->read(
      std::span(reinterpret_cast<std::uint8_t*>(buffer), static_cast<std::size_t>(count)),
      deadline);
}

int CloseCom(int port) {
  std::shared_ptr<pf::SerialLine> line;
  {
    std::lock_guard lock(pf::g_mutex);
    const auto it = pf::g_open.find(port);
    if (it == pf::g_open.end()) {
      return kComPortNotOpen;
    }
    line = std::move(it->second.line);
    pf::g_open.erase(it);
  }
  // The line closes here, outside the lock.
  return 0;
}
