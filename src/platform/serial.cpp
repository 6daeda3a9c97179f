#include "platform/serial.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace driveflash::platform {
namespace {

struct OpenPort {
  std::shared_ptr<SerialLine> line;
  Micros timeout{10'000'000};  // until the caller sets its own
  bool is_real = false;
  LineSettings settings;
  Micros line_done{0};  // when the wire will have carried everything written so far
};

// A driver that still holds bytes this long after the wire should have taken them has
// stopped taking them.
constexpr Micros kDrainGrace{1'000'000};

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
  bool paced() const override { return line_->paced(); }
  std::size_t drain_output(std::size_t bytes, Micros deadline) override {
    return line_->drain_output(bytes, deadline);
  }

 private:
  std::shared_ptr<SerialLine> line_;
};

// Records `written` more bytes on the port's wire and returns when it will be idle again.
// The bytes start out at `begun` (when the write was made) or when the wire is free.
Micros add_to_wire(int port, const SerialLine* line, Micros begun, std::uint64_t written,
                   long baud) {
  std::lock_guard lock(g_mutex);
  const auto it = g_open.find(port);
  if (it == g_open.end() || it->second.line.get() != line) {
    return begun;
  }
  Micros& done = it->second.line_done;
  done = std::max(done, begun) + wire_time(written, baud);
  return done;
}

}  // namespace

Micros wire_time(std::uint64_t bytes, long baud) {
  constexpr std::uint64_t kBitMicros = 10'000'000;  // 10 bits, in microseconds per baud
  const auto b = static_cast<std::uint64_t>(std::max(baud, 1L));
  return Micros(static_cast<Micros::rep>((bytes * kBitMicros + b - 1) / b));
}

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

long port_baud(int port) {
  OpenPort p;
  return open_port(port, p) ? p.settings.baud : 0;
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
  pf::g_open[port] =
      pf::OpenPort{std::shared_ptr<pf::SerialLine>(std::move(line)), pf::Micros(10'000'000),
                   entry.is_real, settings, pf::clock().now()};
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

int GetComTime(int port, double* timeoutSeconds) {
  if (timeoutSeconds == nullptr) {
    return kComUnknownError;
  }
  pf::OpenPort p;
  if (!pf::open_port(port, p)) {
    return kComPortNotOpen;
  }
  *timeoutSeconds = static_cast<double>(p.timeout.count()) / 1e6;
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
  std::lock_guard lock(pf::g_mutex);
  if (const auto it = pf::g_open.find(port); it != pf::g_open.end()) {
    it->second.line_done = std::min(it->second.line_done, pf::clock().now());
  }
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
  pf::Clock& c = pf::clock();
  const pf::Micros begun = c.now();
  const int written = p.line->write(
      std::span(reinterpret_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(count)));
  if (written <= 0 || !p.line->paced()) {
    return written;
  }
  // Operating systems and adapters take a few KB at once and send them later; the reply to
  // these bytes cannot come before they are through, so the caller's read must not start
  // its time-out long before that.
  const long baud = p.settings.baud;
  const auto queue = static_cast<std::size_t>(std::max(p.settings.output_queue, 0));
  const pf::Micros done =
      pf::add_to_wire(port, p.line.get(), begun, static_cast<std::uint64_t>(written), baud);
  c.sleep_until(done - pf::wire_time(queue, baud));
  const std::size_t held =
      p.line->drain_output(queue, c.now() + pf::wire_time(queue, baud) + pf::kDrainGrace);
  if (held <= queue) {
    return written;
  }
  // The device stopped taking bytes: what it still holds is dropped rather than left to
  // trickle out into a later exchange.
  FlushOutQ(port);
  return written - static_cast<int>(std::min(held, static_cast<std::size_t>(written)));
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
  pf::Micros done{0};
  long baud = 1;
  int queue = 0;  // what a driver may still hold when ComWrt returned
  {
    std::lock_guard lock(pf::g_mutex);
    const auto it = pf::g_open.find(port);
    if (it == pf::g_open.end()) {
      return kComPortNotOpen;
    }
    line = std::move(it->second.line);
    done = it->second.line_done;
    baud = it->second.settings.baud;
    queue = std::max(it->second.settings.output_queue, 0);
    pf::g_open.erase(it);
  }
  // Closing (and restoring the device's settings) while the last bytes are still going out
  // would garble them. ComWrt leaves at most an output queue behind, so this wait is bounded.
  if (line->paced()) {
    pf::Clock& c = pf::clock();
    c.sleep_until(done);
    line->drain_output(
        0, c.now() + pf::wire_time(static_cast<std::uint64_t>(queue), baud) + pf::kDrainGrace);
  }
  // The line closes here, outside the lock.
  return 0;
}
