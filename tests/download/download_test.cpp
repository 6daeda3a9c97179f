#include "image/download.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "bsl/frames.h"
#include "download/hex_files.h"
#include "platform/panels.h"
#include "platform/serial.h"
#include "platform/timing.h"
#include "run/run_context.h"

namespace driveflash::test {
namespace {

namespace pf = platform;

constexpr int kPort = 5;
const char* const kHexCheckLine = "hex 文件校验错误!";
const char* const kEhexCheckLine = "Ehex 文件校验错误!";

std::vector<std::string> erase_then(std::vector<std::string> rest) {
  std::vector<std::string> out(8, "X");
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

// A headless programming popup, a port on an in-process line, virtual time.
class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pf::PanelDef popup;
    popup.number = kProgramPanelId;
    popup.controls = {{PRGPANEL_STATUS, pf::ControlKind::TextBox, "status", "", "", std::string()},
                      {PRGPANEL_PROGRESS, pf::ControlKind::Double, "progress", "", "", 0.0}};
    prgpanel = pf::create_panel(popup);
    ASSERT_GT(prgpanel, 0);
    observer_ = pf::add_observer([this](const pf::PanelEvent& e) {
      if (e.kind == pf::PanelEvent::Kind::Value && e.control == PRGPANEL_PROGRESS) {
        progress_.push_back(std::get<double>(e.value));
        writes_at_progress_.push_back(writes());
      }
    });
    use_line(std::make_shared<pf::ScriptedLine>());
  }
  void TearDown() override {
    pf::remove_observer(observer_);
    CloseCom(kPort);
    pf::unmap_port(kPort);
    DiscardPanel(prgpanel);
    prgpanel = 0;
  }

  void use_line(std::shared_ptr<pf::QueuedLine> line) {
    line_ = std::move(line);
    scripted_ = std::dynamic_pointer_cast<pf::ScriptedLine>(line_);
    pf::map_port_to_line(kPort, line_);
    ASSERT_EQ(OpenComConfig(kPort, "", 115200, 0, 8, 1, 512, 512), 0);
    ASSERT_EQ(SetComTime(kPort, 1.0), 0);
  }

  int download(const std::string& path, int filetype, std::uint8_t send = 1) {
    bl_download_request request;
    request.word1 = 1;
    request.byte1 = 4;
    request.send = send;
    request.file = path.c_str();
    return bl_download_pflash(kPort, request, filetype);
  }

  std::size_t writes() const { return scripted_ ? scripted_->writes().size() : 0; }

  // Erase headers as "X", download headers as "H<word1>", data frames "D", EOT "E".
  std::vector<std::string> frames() const {
    std::vector<std::string> out;
    for (const auto& w : scripted_->writes()) {
      char text[16] = "?";
      if (w.size() == 16 && w[0] == 0x00 && w[1] == 0x03 && w[2] == 0x10 && w[3] == 0x00 &&
          w[4] < 0x90) {
        std::snprintf(text, sizeof text, "X");  // one of the eight
      } else if (w.size() == 16 && w[0] == 0x00 && w[1] == 0x03) {
        std::snprintf(text, sizeof text, "X%02X%02X%02X%02X", w[2], w[3], w[4], w[5]);
      } else if (w.size() == 16 && w[0] == 0x00 && w[1] == 0x00) {
        std::snprintf(text, sizeof text, "H%02X%02X%02X%02X", w[2], w[3], w[4], w[5]);
        EXPECT_EQ(Bytes(w.begin() + 6, w.begin() + 10), Bytes(4, 0)) << "word2";
      } else if (w.size() == 264 && w[0] == 0x01 && w[1] == 0x01) {
        std::snprintf(text, sizeof text, "D");
      } else if (w.size() == 16 && w[0] == 0x02) {
        std::snprintf(text, sizeof text, "E");
      }
      out.emplace_back(text);
    }
    return out;
  }
  std::vector<Bytes> pages() const {
    std::vector<Bytes> out;
    for (const auto& w : scripted_->writes()) {
      if (w.size() == 264) {
        out.emplace_back(w.begin() + 2, w.begin() + 258);
      }
    }
    return out;
  }
  static std::vector<std::string> lines() {
    const auto state = pf::panel_state(prgpanel);
    return state ? state->controls.at(PRGPANEL_STATUS).lines : std::vector<std::string>{};
  }
  // Every page as the pattern from `first`, the bytes outside [data_from, data_to) zero.
  static void expect_page(const Bytes& page, std::uint32_t first, std::uint32_t data_from,
                          std::uint32_t data_to) {
    for (std::uint32_t i = 0; i < 256; ++i) {
      const std::uint32_t a = first + i;
      EXPECT_EQ(page[i], a >= data_from && a < data_to ? pattern_at(a) : 0) << std::hex << a;
    }
  }

  pf::ScopedVirtualClock clock_;
  TempDir dir_;
  std::shared_ptr<pf::QueuedLine> line_;
  std::shared_ptr<pf::ScriptedLine> scripted_;
  std::vector<double> progress_;
  std::vector<std::size_t> writes_at_progress_;
  int observer_ = 0;
};

TEST_F(DownloadTest, TwoPagesInOneRegionForEveryFileKind) {
  struct Kind {
    const char* name;
    int filetype;
  };
  for (const Kind k : {Kind{"hex", 0}, Kind{"ehex", 1}, Kind{"other type as hex", 7}}) {
    SCOPED_TRACE(k.name);
    use_line(std::make_shared<pf::ScriptedLine>());
    scripted_->answer_rest_with({0x55});
    progress_.clear();
    writes_at_progress_.clear();
    ResetTextBox(prgpanel, PRGPANEL_STATUS, "");
    const std::string path = k.filetype == 1
                                 ? dir_.write("f.ehex", ehex_file_of(two_page_records()))
                                 : dir_.write("f.hex", plain_file(two_page_records()));

    EXPECT_EQ(download(path, k.filetype), 0);
    EXPECT_EQ(frames(), erase_then({"H10001000", "D", "D", "E"}));
    const auto sent = pages();
    ASSERT_EQ(sent.size(), 2u);
    expect_page(sent[0], 0x10001000, 0x10001000, 0x10001200);
    expect_page(sent[1], 0x10001100, 0x10001000, 0x10001200);
    // 100 x k / 34 after line k; the header goes out with line 2, the pages with lines 17
    // and 33, the end-of-transmission frame after the last line.
    ASSERT_EQ(progress_.size(), 34u);
    for (std::size_t line = 1; line <= 34; ++line) {
      EXPECT_EQ(progress_[line - 1], 100.0 * static_cast<double>(line) / 34.0) << line;
      const std::size_t frames_before = line <= 2 ? 8 : line <= 17 ? 9 : line <= 33 ? 10 : 11;
      EXPECT_EQ(writes_at_progress_[line - 1], frames_before) << line;
    }
    EXPECT_EQ(lines().size(), 16u);  // the erase's own lines, nothing more
    EXPECT_EQ(lines().back(), "Done!");
  }
}

TEST_F(DownloadTest, RefusedFilesAreNeverErased) {
  struct Case {
    const char* name;
    std::string path;
    int filetype;
    const char* reason;
    const char* check_line;
  };
  const std::string cut =
      plain_file({ext_linear(0x1000), data_record(0x10001000, 16).substr(0, 25)});
  const Bytes ehex = ehex_file_of({ext_linear(0x1000), data_record(0x10001000, 16)});
  const std::string conflict = plain_file(
      join({{ext_linear(0x1000)}, data_run(0x10001000, 48), {hex_record(0x00, 0x1000, {1})}}));
  std::string letter = data_record(0x10001000, 16);
  letter[12] = 'G';
  std::string sum = data_record(0x10001000, 16);
  sum.back() = sum.back() == '0' ? '1' : '0';
  const Bytes ehex_sum = ehex_file_of({ext_linear(0x1000), sum});
  const Bytes ehex_eof = ehex_file_of({eof_record()});
  const std::vector<Case> cases = {
      // A drive never receives bytes its file does not hold, and an erase with nothing to
      // program after it is no success.
      {"checksum error", dir_.write("sum.hex", plain_file({ext_linear(0x1000), sum})), 0,
       "record 2: checksum error", kHexCheckLine},
      {"character that is not a hex digit",
       dir_.write("letter.hex", plain_file({ext_linear(0x1000), letter})), 0,
       "record 2: character that is not a hex digit", kHexCheckLine},
      {"encrypted checksum error", dir_.write("sum.ehex", ehex_sum), 1, "checksum error",
       kEhexCheckLine},
      {"empty file", dir_.write("empty.hex", std::string()), 0, "no data record", kHexCheckLine},
      {"end-of-file record only", dir_.write("eof.hex", plain_file({eof_record()})), 0,
       "no data record", kHexCheckLine},
      {"blank lines only", dir_.write("blank.hex", "\r\n\n  \n"), 0, "no data record",
       kHexCheckLine},
      {"encrypted end-of-file record only", dir_.write("eof.ehex", ehex_eof), 1, "no data record",
       kEhexCheckLine},
      {"missing plain file", (dir_.path() / "none.hex").string(), 0, "cannot be opened",
       kHexCheckLine},
      {"missing encrypted file", (dir_.path() / "none.ehex").string(), 1, "cannot be opened",
       kEhexCheckLine},
      // A directory: it opens but cannot be read here; Windows does not open it at all.
      {"unreadable file", dir_.path().string(), 0, "cannot be", kHexCheckLine},
      {"record cut short", dir_.write("cut.hex", cut), 0, "shorter than its byte count",
       kHexCheckLine},
      {"encrypted file cut short", dir_.write("cut.ehex", Bytes(ehex.begin(), ehex.end() - 16)), 1,
       "shorter than its byte count", kEhexCheckLine},
      {"step backward with other values", dir_.write("conflict.hex", conflict), 0,
       "different values", kHexCheckLine},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    use_line(std::make_shared<pf::ScriptedLine>());
    scripted_->answer_rest_with({0x55});
    ResetTextBox(prgpanel, PRGPANEL_STATUS, "");
    EXPECT_EQ(download(c.path, c.filetype), kStatusInvalidHexfile);
    EXPECT_TRUE(scripted_->writes().empty());
    const auto box = lines();
    ASSERT_EQ(box.size(), 2u);
    EXPECT_NE(box[0].find(c.reason), std::string::npos) << box[0];
    EXPECT_EQ(box[1], c.check_line);
  }
}

TEST_F(DownloadTest, SendSwitchOffSendsOnlyTheErase) {
  const std::string path = dir_.write("f.hex", plain_file(two_page_records()));
  for (const std::uint8_t send : {std::uint8_t{0}, std::uint8_t{2}}) {
    use_line(std::make_shared<pf::ScriptedLine>());
    scripted_->answer_rest_with({0x55});
    progress_.clear();
    EXPECT_EQ(download(path, 0, send), 0);
    EXPECT_EQ(frames(), erase_then({}));
    ASSERT_FALSE(progress_.empty());
    EXPECT_EQ(progress_.back(), 100.0);
  }
}

// Data above the eight sectors: each further sector it touches is erased after them, in
// ascending order, with the same two lines; a refused one ends the erase before any page.
TEST_F(DownloadTest, ErasesEverySectorTheDataTouchesAboveTheEight) {
  const std::string path = dir_.write(
      "f.hex",
      plain_file(join({{ext_linear(0x1000)}, data_run(0x10008F80, 16), data_run(0x1000C010, 1)})));
  use_line(std::make_shared<pf::ScriptedLine>());
  scripted_->answer_rest_with({0x55});
  EXPECT_EQ(download(path, 0), 0);
  EXPECT_EQ(frames(), erase_then({"X10009000", "X1000C000", "H10008F00", "D", "D", "E", "H1000C000",
                                  "D", "E"}));
  const auto box = lines();
  ASSERT_EQ(box.size(), 20u);
  EXPECT_EQ(box[16], "Erasing sector 8, This may take a few seconds...");
  EXPECT_EQ(box[17], "Done!");
  EXPECT_EQ(box[18], "Erasing sector 11, This may take a few seconds...");

  use_line(std::make_shared<pf::ScriptedLine>());
  for (int i = 0; i < 9; ++i) {
    scripted_->then({0x55});
  }
  scripted_->then({0xFC});
  ResetTextBox(prgpanel, PRGPANEL_STATUS, "");
  EXPECT_EQ(download(path, 0), 252);
  EXPECT_EQ(frames(), erase_then({"X10009000", "X1000C000"}));
  EXPECT_EQ(lines().back(), "Erase Flash failed!");

  // A region that ends exactly at the top of the eight sectors closes with a zero page in
  // sector 8 when another region follows: sector 8 must be erased for it.
  const std::string full = dir_.write(
      "full.hex",
      plain_file(join({{ext_linear(0x1000)}, data_run(0x10008F00, 16), data_run(0x1000B000, 1)})));
  use_line(std::make_shared<pf::ScriptedLine>());
  scripted_->answer_rest_with({0x55});
  EXPECT_EQ(download(full, 0), 0);
  EXPECT_EQ(frames(), erase_then({"X10009000", "X1000B000", "H10008F00", "D", "D", "E", "H1000B000",
                                  "D", "E"}));
}

TEST_F(DownloadTest, OutOfOrderFilesAreProgrammedByAddress) {
  struct Case {
    const char* name;
    std::vector<std::string> records;
    std::vector<std::string> frames;
  };
  const std::vector<Case> cases = {
      {"second page first",
       join({{ext_linear(0x1000)}, data_run(0x10001100, 16), data_run(0x10001000, 16)}),
       erase_then({"H10001000", "D", "D", "E"})},
      {"first record repeated after three pages",
       join({{ext_linear(0x1000)}, data_run(0x10001000, 48), {data_record(0x10001000, 16)}}),
       erase_then({"H10001000", "D", "D", "D", "E"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    use_line(std::make_shared<pf::ScriptedLine>());
    scripted_->answer_rest_with({0x55});
    progress_.clear();
    const std::string path = dir_.write("f.hex", plain_file(c.records));
    EXPECT_EQ(download(path, 0), 0);
    EXPECT_EQ(frames(), c.frames);
    const auto sent = pages();
    for (std::size_t i = 0; i < sent.size(); ++i) {
      const auto first = 0x10001000 + static_cast<std::uint32_t>(i * 256);
      expect_page(sent[i], first, first, first + 256);
    }
    ASSERT_FALSE(progress_.empty());
    EXPECT_TRUE(std::is_sorted(progress_.begin(), progress_.end()));
    EXPECT_EQ(progress_.back(), 100.0);
  }
}

// Answers every frame, and rewrites the firmware file once the erase is over, as another
// program saving over it would.
class FileChangingLine final : public pf::QueuedLine {
 public:
  explicit FileChangingLine(std::string path) : path_(std::move(path)) {}
  std::size_t writes = 0;

 protected:
  void on_host_write(std::span<const std::uint8_t>, pf::Micros now) override {
    const std::uint8_t ok = 0x55;
    send_to_host({&ok, 1}, now);
    if (++writes == 8) {
      std::ofstream(path_, std::ios::binary | std::ios::trunc)
          << plain_file({ext_linear(0x1000), hex_record(0x00, 0x1000, {1, 2, 3})});
    }
  }

 private:
  std::string path_;
};

TEST_F(DownloadTest, FileChangedAfterItsCheckIsStopped) {
  const std::string path = dir_.write("f.hex", plain_file(two_page_records()));
  auto line = std::make_shared<FileChangingLine>(path);
  use_line(line);
  EXPECT_EQ(download(path, 0), kStatusInvalidHexfile);
  EXPECT_EQ(line->writes, 8u);  // the erase, nothing of the changed file
  EXPECT_NE(lines().back().find("changed"), std::string::npos) << lines().back();
}

}  // namespace
}  // namespace driveflash::test
