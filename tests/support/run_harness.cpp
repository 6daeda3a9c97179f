#include "support/run_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "app/callbacks.h"
#include "app/programming_thread.h"
#include "platform/panels.h"
#include "platform/qt/uir_file.h"
#include "run/retry_policy.h"
#include "run/run_context.h"
#include "sim/faults.h"
#include "sim/sim_line.h"
#include "support/hex_records.h"

namespace driveflash::test {
namespace {

namespace pf = platform;
namespace fs = std::filesystem;

class Forward final : public pf::SerialLine {
 public:
  explicit Forward(std::shared_ptr<pf::SerialLine> line) : line_(std::move(line)) {}
  int write(std::span<const std::uint8_t> b) override { return line_->write(b); }
  int read(std::span<std::uint8_t> b, pf::Micros d) override { return line_->read(b, d); }
  void flush_input() override { line_->flush_input(); }
  void flush_output() override { line_->flush_output(); }
  bool paced() const override { return line_->paced(); }
  std::size_t drain_output(std::size_t n, pf::Micros d) override {
    return line_->drain_output(n, d);
  }

 private:
  std::shared_ptr<pf::SerialLine> line_;
};

// Hands every write and every read to `note` on its way.
class Recorder final : public pf::SerialLine {
 public:
  using Note = std::function<void(bool, std::span<const std::uint8_t>)>;
  Recorder(std::unique_ptr<pf::SerialLine> line, Note note)
      : line_(std::move(line)), note_(std::move(note)) {}
  int write(std::span<const std::uint8_t> b) override {
    note_(true, b);
    return line_->write(b);
  }
  int read(std::span<std::uint8_t> b, pf::Micros d) override {
    const int got = line_->read(b, d);
    note_(false, b.first(static_cast<std::size_t>(std::max(got, 0))));
    return got;
  }
  void flush_input() override { line_->flush_input(); }
  void flush_output() override { line_->flush_output(); }

 private:
  std::unique_ptr<pf::SerialLine> line_;
  Note note_;
};

}  // namespace

std::string make_hex(const Chunks& chunks, int per_record) {
  std::string out;
  std::uint32_t upper = 0xFFFFFFFF;
  for (const auto& [address, data] : chunks) {
    for (std::size_t i = 0; i < data.size();) {
      const std::uint32_t a = address + static_cast<std::uint32_t>(i);
      if ((a >> 16) != upper) {
        upper = a >> 16;
        out += ext_linear(upper) + "\n";
      }
      // A record does not cross a 64 KB boundary.
      std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(per_record), data.size() - i);
      n = std::min<std::size_t>(n, 0x10000 - (a & 0xFFFF));
      const auto from = data.begin() + static_cast<std::ptrdiff_t>(i);
      out +=
          hex_record(0x00, a & 0xFFFF, Bytes(from, from + static_cast<std::ptrdiff_t>(n))) + "\n";
      i += n;
    }
  }
  return out + eof_record() + "\n";
}

Bytes to_ehex(const std::string& hex_text) {
  std::vector<std::string> records;
  std::size_t start = 0;
  while (start < hex_text.size()) {
    const std::size_t end = hex_text.find('\n', start);
    records.push_back(hex_text.substr(start, end - start));
    start = end == std::string::npos ? hex_text.size() : end + 1;
  }
  return ehex_file(records);
}

std::vector<std::string> lines_to_download(const std::vector<std::string>& then) {
  std::vector<std::string> out = {"初始化中...",
                                  "驱动器连接成功!",
                                  "ASC BSL initialization OK!",
                                  "Send application length OK!",
                                  "Sending XMC1x_ASCLoader...",
                                  "Bootload success!"};
  out.insert(out.end(), then.begin(), then.end());
  return out;
}

std::vector<std::string> programmed_lines() {
  std::vector<std::string> erases;
  for (int i = 0; i < 8; ++i) {
    erases.push_back("Erasing sector " + std::to_string(i) + ", This may take a few seconds...");
    erases.push_back("Done!");
  }
  return lines_to_download(erases);
}

std::unique_ptr<pf::SerialLine> forward_to(std::shared_ptr<pf::SerialLine> line) {
  return std::make_unique<Forward>(std::move(line));
}

std::shared_ptr<sim::VirtualDrive> drive_on_port(const std::string& faults) {
  sim::Faults f;
  std::string error;
  EXPECT_TRUE(sim::parse_faults(faults, f, error)) << error;
  auto drive = std::make_shared<sim::VirtualDrive>(f);
  sim::map_sim_port(RunHarness::kPort, drive);
  return drive;
}

std::shared_ptr<pf::ScriptedLine> willing_drive() {
  auto line = std::make_shared<pf::ScriptedLine>();
  const Bytes identity = hex_bytes("01 03 02 00 2A 38 5B");
  line->then(identity);            // first identity request
  line->then(identity);            // second identity request
  line->then({});                  // reset request: nothing read
  line->then({});                  // 0x00
  line->then({0x5D});              // 0x6C
  line->then({0x01});              // length
  line->then({0x01});              // loader
  line->answer_rest_with({0x55});  // every frame
  return line;
}

Watchdog::Watchdog(std::string what, std::chrono::seconds limit)
    : thread_([this, what = std::move(what), limit] {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
          std::fprintf(stderr, "\n%s: still not over after %lld s; ending the test program\n",
                       what.c_str(), static_cast<long long>(limit.count()));
          std::fflush(stderr);
          std::abort();
        }
      }) {}

Watchdog::~Watchdog() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

RunHarness::RunHarness(Time time) {
  if (time == Time::kVirtual) {
    clock_.emplace();
  }
  pf::reset_panels();
  pf::clear_port_table();
  const fs::path resources = DRIVEFLASH_RESOURCES;
  fs::create_directories(dir_.path() / "XMC1300");
  fs::copy_file(resources / "XMC1300" / "XMC1x_ASCLoader.hex",
                dir_.path() / "XMC1300" / "XMC1x_ASCLoader.hex");
  cwd_ = std::make_unique<ScopedCwd>(dir_.path());
  fs::copy_file(resources / kPanelFile, dir_.path() / kPanelFile);
  app::register_callbacks();
  pf::set_panel_source(pf::uir_panel_source());
  mainpanel = LoadPanel(0, kPanelFile, kMainPanelId);
  SetCtrlVal(mainpanel, MAINPANEL_COMPORT, kPort);
  SetCtrlVal(mainpanel, MAINPANEL_DRIVE_BAUD, 19200);
  SetCtrlVal(mainpanel, MAINPANEL_LOADER_BAUD, 115200);
  const int main_handle = mainpanel;
  // The worker shows its progress from its own thread when Program started it.
  observer_ = pf::add_observer([this, main_handle](const pf::PanelEvent& e) {
    if (e.panel == main_handle) {
      return;
    }
    std::lock_guard lock(mutex_);
    if (e.kind == pf::PanelEvent::Kind::LineAppended) {
      lines_.push_back(std::get<std::string>(e.value));
    } else if (e.kind == pf::PanelEvent::Kind::Attribute) {
      const int value = std::get<int>(e.value);
      attributes_.push_back((e.control == PRGPANEL_OK ? "dim=" : "show=") + std::to_string(value));
      if (e.control == PRGPANEL_OK && e.attribute == ATTR_DIMMED && value == 0) {
        // On this thread the worker returns only once the run flag is clear: end the run where
        // it rests, as the operator closing the popup would.
        if (on_this_thread_) {
          runflag = 0;
        }
        if (runstate.load() == kStateFinished) {
          rested_ = true;
          rest_cv_.notify_all();
        }
      }
    } else if (e.kind == pf::PanelEvent::Kind::Value && e.control == PRGPANEL_PROGRESS) {
      progress_.push_back(std::get<double>(e.value));
    }
  });
}

RunHarness::~RunHarness() {
  if (!on_this_thread_ && prgpanel > 0) {
    close_popup();
  }
  runflag = 0;
  timingprofile = kTimingStandard;
  retrylimit = 0;
  verifyflash = 0;
  pf::remove_observer(observer_);
  pf::reset_panels();
  mainpanel = 0;
  prgpanel = 0;
  pf::clear_port_table();
}

void RunHarness::set_firmware(const std::string& name, const std::string& content, int kind) {
  const std::string path = dir_.write(name, content);
  std::snprintf(filename, sizeof filename, "%s", path.c_str());
  filetype = kind;
  SetCtrlVal(mainpanel, MAINPANEL_FILEPATH, filename);
  SetCtrlVal(mainpanel, MAINPANEL_FILETYPE, kind);
}

void RunHarness::set_firmware(const std::string& name, const Bytes& content, int kind) {
  set_firmware(name, std::string(content.begin(), content.end()), kind);
}

void RunHarness::set_loader(const std::string& hex_text) {
  dir_.write("XMC1300/XMC1x_ASCLoader.hex", hex_text);
}

void RunHarness::remove_loader() {
  fs::remove(dir_.path() / "XMC1300" / "XMC1x_ASCLoader.hex");
}

void RunHarness::use_line(std::shared_ptr<pf::SerialLine> line, bool real) {
  pf::PortEntry entry;
  entry.number = kPort;
  entry.name = "test";
  entry.is_real = real;
  entry.open = [line](const pf::LineSettings&, std::string&) { return forward_to(line); };
  pf::map_port(entry);
}

void RunHarness::record_line() {
  pf::PortEntry entry;
  if (!pf::find_port(kPort, entry)) {
    return;
  }
  entry.open = [this, open = entry.open](const pf::LineSettings& s,
                                         std::string& error) -> std::unique_ptr<pf::SerialLine> {
    auto line = open(s, error);
    if (!line) {
      return nullptr;
    }
    return std::make_unique<Recorder>(
        std::move(line),
        [this](bool write, std::span<const std::uint8_t> b) { note_op(write, b); });
  };
  pf::map_port(entry);
}

void RunHarness::set_timing(int profile) {
  SetCtrlVal(mainpanel, MAINPANEL_TIMING, profile);
}

void RunHarness::note_op(bool write, std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  const pf::Micros now = pf::requested_waits();
  ops_.push_back({write, Bytes(bytes.begin(), bytes.end()), now - waits_mark_});
  waits_mark_ = now;
}

std::vector<LineOp> RunHarness::line_ops() const {
  std::lock_guard lock(mutex_);
  return ops_;
}

void RunHarness::clear_record() {
  std::lock_guard lock(mutex_);
  lines_.clear();
  attributes_.clear();
  progress_.clear();
  ops_.clear();
  waits_mark_ = pf::Micros(0);
  rested_ = false;
}

pf::Micros RunHarness::run() {
  clear_record();
  on_this_thread_ = true;
  if (prgpanel <= 0) {
    prgpanel = LoadPanel(0, kPanelFile, kProgramPanelId);
  }
  pf::reset_requested_waits();
  runflag = 1;
  runstate = kStateOpen;
  ProgrammingThread(nullptr);
  return pf::requested_waits();
}

bool RunHarness::press_program() {
  clear_record();
  on_this_thread_ = false;
  ProgCB(mainpanel, 0, EVENT_COMMIT, nullptr, 0, 0);
  return runflag.load() != 0 && prgpanel > 0;
}

bool RunHarness::wait_for_rest(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return rest_cv_.wait_for(lock, limit, [this] { return rested_; });
}

bool RunHarness::close_popup() {
  pf::fire_event(prgpanel, 0, EVENT_CLOSE);
  return prgpanel == 0;
}

bool RunHarness::press_ok() {
  pf::fire_event(prgpanel, PRGPANEL_OK, EVENT_COMMIT);
  return prgpanel == 0;
}

std::vector<std::string> RunHarness::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::string> RunHarness::attributes() const {
  std::lock_guard lock(mutex_);
  return attributes_;
}

std::vector<double> RunHarness::progress() const {
  std::lock_guard lock(mutex_);
  return progress_;
}

int RunHarness::counter_display() const {
  int value = -1;
  GetCtrlVal(mainpanel, MAINPANEL_COUNTER, &value);
  return value;
}

}  // namespace driveflash::test
