#include "cli/ports.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

#include "cli/arguments.h"
#include "cli/json.h"
#include "platform/device.h"
#include "platform/qt/qt_serial.h"
#include "platform/serial.h"
#include "sim/faults.h"
#include "sim/sim_line.h"

namespace driveflash::cli {
namespace {

bool all_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The lowest number the table does not use, from 1 up.
int free_port_number() {
  std::vector<int> used;
  for (const platform::PortEntry& e : platform::port_table()) {
    used.push_back(e.number);
  }
  int n = 1;
  while (std::find(used.begin(), used.end(), n) != used.end()) {
    ++n;
  }
  return n;
}

// One virtual drive per option string for the whole process, as one drive stays on one line:
// a run that stopped after the reset leaves it in its loader for the next run to find.
std::shared_ptr<sim::VirtualDrive> sim_drive(std::string_view options, const sim::Faults& faults) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<sim::VirtualDrive>, std::less<>> drives;
  std::lock_guard lock(mutex);
  auto& drive = drives[std::string(options)];
  if (!drive) {
    drive = std::make_shared<sim::VirtualDrive>(faults);
  }
  return drive;
}

bool choose_sim(std::string_view options, PortChoice& out, std::string& error) {
  sim::Faults faults;
  std::string why;
  if (!sim::parse_faults(options, faults, why)) {
    error = "bad virtual drive options '" + std::string(options) + "': " + why;
    return false;
  }
  out.drive = sim_drive(options, faults);
  out.number = free_port_number();
  sim::map_sim_port(out.number, out.drive);
  return true;
}

bool choose_number(std::string_view text, PortChoice& out, std::string& error) {
  int number = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  platform::map_detected_ports();
  platform::PortEntry entry;
  if (ec != std::errc() || end != text.data() + text.size() ||
      !platform::find_port(number, entry)) {
    error = "no serial port numbered " + std::string(text) +
            " on this machine; 'driveflash-cli ports' lists them";
    return false;
  }
  out.number = number;
  out.device = entry.name;
  out.pseudo_terminal = is_pseudo_terminal(entry.name);
  return true;
}

bool choose_device(const std::string& device, PortChoice& out, std::string& error) {
  if (!platform::device_present(device)) {
    error = "no device '" + device + "'; 'driveflash-cli ports' lists the serial ports";
    return false;
  }
  out.device = device;
  out.pseudo_terminal = is_pseudo_terminal(device);
  // A pseudo-terminal is no physical line: the stand-in loader may go over it to
  // driveflash-sim. A real chip only sits behind a real port.
  out.number = platform::map_device(device, out.pseudo_terminal ? "pseudo-terminal" : std::string(),
                                    !out.pseudo_terminal);
  return true;
}

}  // namespace

bool is_pseudo_terminal(const std::string& device) {
  std::error_code ec;
  const std::filesystem::path p = std::filesystem::canonical(device, ec);
  const std::string path = ec ? device : p.string();
  return path.starts_with("/dev/pts/") || path.starts_with("/dev/ttyp");
}

bool choose_port(const std::string& text, PortChoice& out, std::string& error) {
  out = PortChoice{};
  if (text == kSimPort) {
    return choose_sim("", out, error);
  }
  if (text.starts_with("sim:")) {
    return choose_sim(std::string_view(text).substr(4), out, error);
  }
  if (all_digits(text)) {
    return choose_number(text, out, error);
  }
  return choose_device(text, out, error);
}

void release_port(const PortChoice& choice) {
  if (choice.drive) {
    platform::unmap_port(choice.number);
  }
}

int list_ports(bool json, std::ostream& out) {
  platform::map_detected_ports();
  std::vector<platform::PortEntry> table = platform::port_table();
  std::sort(table.begin(), table.end(),
            [](const auto& a, const auto& b) { return a.number < b.number; });
  if (json) {
    std::vector<std::string> items;
    items.reserve(table.size());
    for (const platform::PortEntry& e : table) {
      items.push_back(JsonObject()
                          .add("port", std::to_string(e.number))
                          .add("number", e.number)
                          .add("device", e.name)
                          .add("description", e.description)
                          .str(false));
    }
    items.push_back(JsonObject()
                        .add("port", kSimPort)
                        .add_null("number")
                        .add_null("device")
                        .add("description", "built-in virtual drive")
                        .str(false));
    out << json_array(items, false) << '\n';
    return kExitOk;
  }
  std::size_t width = 4;
  for (const platform::PortEntry& e : table) {
    width = std::max(width, e.name.size());
  }
  for (const platform::PortEntry& e : table) {
    std::string number = std::to_string(e.number);
    number.resize(std::max<std::size_t>(number.size(), 5), ' ');
    std::string name = e.name;
    name.resize(width, ' ');
    out << number << ' ' << name << "  " << (e.description.empty() ? "-" : e.description) << '\n';
  }
  std::string sim(kSimPort);
  sim.resize(5 + 1 + width, ' ');
  out << sim << "  built-in virtual drive (--port sim or sim:OPTIONS)\n";
  return kExitOk;
}

}  // namespace driveflash::cli
