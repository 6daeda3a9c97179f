#include "perf_support.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <span>
#include <sstream>
#include <utility>
#include <vector>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "image/firmware_scan.h"
#include "platform/serial.h"
#include "sim/sim_line.h"

namespace driveflash::bench {
namespace {

namespace fs = std::filesystem;
namespace pf = platform;

constexpr std::uint32_t kFlashBase = 0x10001000;

std::string record(int type, std::uint32_t address, const std::uint8_t* data, std::size_t n) {
  unsigned sum = static_cast<unsigned>(n) + ((address >> 8) & 0xFFU) + (address & 0xFFU) +
                 static_cast<unsigned>(type);
  char text[16];
  std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(n), address & 0xFFFFU,
                static_cast<unsigned>(type));
  std::string line = text;
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(text, sizeof text, "%02X", data[i]);
    line += text;
    sum += data[i];
  }
  std::snprintf(text, sizeof text, "%02X\r\n", (0x100U - (sum & 0xFFU)) & 0xFFU);
  return line + text;
}

// Counts what passes; the virtual drive's own line does the rest.
class CountingLine final : public pf::SerialLine {
 public:
  CountingLine(std::unique_ptr<pf::SerialLine> inner, std::shared_ptr<LineTally> tally, long baud)
      : inner_(std::move(inner)), tally_(std::move(tally)), baud_(baud) {}
  int write(std::span<const std::uint8_t> bytes) override {
    const int n = inner_->write(bytes);
    if (n > 0) {
      tally_->add(baud_, static_cast<std::uint64_t>(n), 0);
    }
    return n;
  }
  int read(std::span<std::uint8_t> buffer, pf::Micros deadline) override {
    const int n = inner_->read(buffer, deadline);
    if (n > 0) {
      tally_->add(baud_, 0, static_cast<std::uint64_t>(n));
    }
    return n;
  }
  void flush_input() override { inner_->flush_input(); }
  void flush_output() override { inner_->flush_output(); }
  bool paced() const override { return inner_->paced(); }
  std::size_t drain_output(std::size_t bytes, pf::Micros deadline) override {
    return inner_->drain_output(bytes, deadline);
  }

 private:
  std::unique_ptr<pf::SerialLine> inner_;
  std::shared_ptr<LineTally> tally_;
  long baud_;
};

}  // namespace

std::string firmware_hex(std::size_t bytes, unsigned seed) {
  std::string hex;
  hex.reserve(bytes / 16 * 44 + 64);
  unsigned x = seed;
  std::uint32_t upper = 0xFFFFFFFFU;
  for (std::size_t at = 0; at < bytes; at += 16) {
    const std::uint32_t address = kFlashBase + static_cast<std::uint32_t>(at);
    if ((address >> 16) != upper) {
      upper = address >> 16;
      const std::array<std::uint8_t, 2> u = {static_cast<std::uint8_t>(upper >> 8),
                                             static_cast<std::uint8_t>(upper)};
      hex += record(4, 0, u.data(), u.size());
    }
    std::array<std::uint8_t, 16> data{};
    const std::size_t n = std::min<std::size_t>(16, bytes - at);
    for (std::size_t i = 0; i < n; ++i) {
      x = x * 1103515245U + 12345U;
      data[i] = static_cast<std::uint8_t>(x >> 16);
    }
    hex += record(0, address, data.data(), n);
  }
  return hex + record(1, 0, nullptr, 0);
}

WorkDir::WorkDir(const std::string& tag)
    : path_(fs::temp_directory_path() / ("driveflash-" + tag + "-" + std::to_string(::getpid()))) {
  fs::remove_all(path_);
  fs::create_directories(path_ / "XMC1300");
  const fs::path resources = DRIVEFLASH_RESOURCES;
  fs::copy_file(resources / "XMC1300" / "XMC1x_ASCLoader.hex",
                path_ / "XMC1300" / "XMC1x_ASCLoader.hex");
  fs::copy_file(resources / "Brenfold.uir", path_ / "Brenfold.uir");
}

WorkDir::~WorkDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

fs::path WorkDir::write_firmware(std::size_t kilobytes) {
  const std::string stem = "fw-" + std::to_string(kilobytes) + "k";
  const fs::path hex = path_ / (stem + ".hex");
  std::ofstream(hex, std::ios::binary) << firmware_hex(kilobytes * 1024, 12345);
  // Enciphered the way the operator's files are made, under the key the program is built with.
  cli::Arguments a;
  a.command = cli::Command::EhexEncrypt;
  a.file = hex.string();
  a.output = (path_ / (stem + ".ehex")).string();
  a.force = true;
  std::ostringstream out;
  std::ostringstream err;
  if (cli::run_ehex(a, out, err) != cli::kExitOk) {
    std::fprintf(stderr, "cannot encipher %s: %s", a.file.c_str(), err.str().c_str());
  }
  return hex;
}

void LineTally::add(long baud, std::uint64_t sent, std::uint64_t received) {
  std::lock_guard lock(mutex_);
  Count& c = counts_[baud];
  c.sent += sent;
  c.received += received;
}

LineTally::Count LineTally::at(long baud) const {
  std::lock_guard lock(mutex_);
  const auto it = counts_.find(baud);
  return it == counts_.end() ? Count{} : it->second;
}

std::map<long, LineTally::Count> LineTally::all() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

void map_counted_drive(int port, std::shared_ptr<sim::VirtualDrive> drive,
                       std::shared_ptr<LineTally> tally) {
  pf::PortEntry entry;
  entry.number = port;
  entry.name = sim::kSimPortName;
  entry.description = "virtual drive (in-process, bytes counted)";
  entry.is_real = false;
  entry.open = [drive = std::move(drive), tally = std::move(tally)](
                   const pf::LineSettings& settings,
                   std::string& error) -> std::unique_ptr<pf::SerialLine> {
    if (drive->unplugged()) {
      error = "the virtual drive was disconnected";
      return nullptr;
    }
    return std::make_unique<CountingLine>(std::make_unique<sim::SimLine>(drive, settings), tally,
                                          settings.baud);
  };
  pf::map_port(std::move(entry));
}

bool flash_holds(const sim::VirtualDrive& drive, const std::string& file, int kind,
                 std::string& why) {
  const image::FirmwareReport scan = image::scan_firmware(file.c_str(), kind);
  if (scan.refused()) {
    why = scan.problem();
    return false;
  }
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> data;
  for (const image::DataChunk& run : scan.runs) {
    data.emplace_back(run.address, run.bytes);
  }
  return drive.flash_matches(data, &why);
}

double cpu_seconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double>& values, double p) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const auto rank =
      static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

std::vector<std::string> split(std::string_view text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find(',', start), text.size());
    if (end > start) {
      parts.emplace_back(text.substr(start, end - start));
    }
    start = end + 1;
  }
  return parts;
}

}  // namespace driveflash::bench
