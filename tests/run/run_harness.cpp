#include "run/run_harness.h"

#include <cstdio>
#include <cstring>

#include "app/run_context.h"
#include "platform/panels.h"
#include "support/hex_records.h"
#include "support/run_panels.h"

namespace driveflash::test {
namespace pf = platform;

namespace {

const char* kLoaderHex =
    ":020000042000DA\n"
    ":10020000000102030405060708090A0B0C0D0E0F68\n"
    ":00000001FF\n";

}  // namespace

std::string make_hex(std::uint32_t address, const Bytes& data, int per_record) {
  std::string out;
  std::uint32_t upper = 0xFFFFFFFF;
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
    out += hex_record(0x00, a & 0xFFFF, Bytes(from, from + static_cast<std::ptrdiff_t>(n))) + "\n";
    i += n;
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

RunHarness::RunHarness() {
  pf::reset_panels();
  pf::clear_port_table();
  cwd_ = std::make_unique<ScopedCwd>(dir_.path());
  set_loader(kLoaderHex);
  main_ = pf::create_panel(run_main_panel(kPort, 19200, 115200));
  popup_ = pf::create_panel(run_popup_panel());
  mainpanel = main_;
  prgpanel = popup_;
  observer_ = pf::add_observer([this](const pf::PanelEvent& e) {
    if (e.panel != popup_) {
      return;
    }
    if (e.kind == pf::PanelEvent::Kind::LineAppended) {
      lines_.push_back(std::get<std::string>(e.value));
      if (stop_when_ && stop_when_(lines_.back())) {
        runflag = 0;
      }
    } else if (e.kind == pf::PanelEvent::Kind::Attribute) {
      attributes_.push_back((e.control == PRGPANEL_OK ? "dim=" : "show=") +
                            std::to_string(std::get<int>(e.value)));
      // The run rests once it has shown the OK button again: end it there, as the operator
      // closing the popup would.
      if (e.control == PRGPANEL_OK && std::get<int>(e.value) == 0) {
        runflag = 0;
      }
    } else if (e.kind == pf::PanelEvent::Kind::Value && e.control == PRGPANEL_PROGRESS) {
      progress_.push_back(std::get<double>(e.value));
    }
  });
}

RunHarness::~RunHarness() {
  pf::remove_observer(observer_);
  runflag = 0;
  pf::reset_panels();
  pf::clear_port_table();
}

void RunHarness::set_firmware(const std::string& name, const std::string& content, int kind) {
  const std::string path = dir_.write(name, content);
  std::snprintf(filename, sizeof filename, "%s", path.c_str());
  filetype = kind;
  SetCtrlVal(main_, MAINPANEL_FILETYPE, kind);
}

void RunHarness::set_firmware(const std::string& name, const Bytes& content, int kind) {
  set_firmware(name, std::string(content.begin(), content.end()), kind);
}

void RunHarness::set_loader(const std::string& hex_text) {
  dir_.write("XMC1300/XMC1x_ASCLoader.hex", hex_text);
}

void RunHarness::remove_loader() {
  std::filesystem::remove(dir_.path() / "XMC1300" / "XMC1x_ASCLoader.hex");
}

namespace {
class Forward final : public pf::SerialLine {
 public:
  explicit Forward(std::shared_ptr<pf::SerialLine> line) : line_(std::move(line)) {}
  int write(std::span<const std::uint8_t> b) override { return line_->write(b); }
  int read(std::span<std::uint8_t> b, pf::Micros d) override { return line_->read(b, d); }
  void flush_input() override { line_->flush_input(); }
  void flush_output() override { line_->flush_output(); }

 private:
  std::shared_ptr<pf::SerialLine> line_;
};
}  // namespace

std::unique_ptr<pf::SerialLine> forward_to(std::shared_ptr<pf::SerialLine> line) {
  return std::make_unique<Forward>(std::move(line));
}

void RunHarness::use_line(std::shared_ptr<pf::SerialLine> line, bool real) {
  pf::PortEntry entry;
  entry.number = kPort;
  entry.name = "test";
  entry.is_real = real;
  entry.open = [line](const pf::LineSettings&, std::string&) {
    return std::make_unique<Forward>(line);
  };
  pf::map_port(entry);
}

pf::Micros RunHarness::run(std::function<bool(const std::string&)> stop_when) {
  stop_when_ = std::move(stop_when);
  pf::reset_requested_waits();
  runflag = 1;
  runstate = kStateOpen;
  ProgrammingThread(nullptr);
  return pf::requested_waits();
}

int RunHarness::counter_display() const {
  int value = -1;
  GetCtrlVal(main_, MAINPANEL_COUNTER, &value);
  return value;
}

}  // namespace driveflash::test
