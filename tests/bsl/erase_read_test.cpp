#include "bsl/erase_read.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/run_context.h"
#include "bsl/scripted_port.h"
#include "platform/panels.h"
#include "platform/timing.h"

namespace driveflash::test {
namespace {

using platform::Micros;
using platform::ScopedVirtualClock;

// A headless programming popup whose status box collects the lines.
class StatusBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ControlDef box;
    box.number = PRGPANEL_STATUS;
    box.kind = platform::ControlKind::TextBox;
    box.value = std::string();
    platform::PanelDef popup;
    popup.number = kProgramPanelId;
    popup.controls.push_back(box);
    prgpanel = platform::create_panel(popup);
    ASSERT_GT(prgpanel, 0);
  }
  void TearDown() override {
    DiscardPanel(prgpanel);
    prgpanel = 0;
  }

  static std::vector<std::string> status_lines() {
    const auto state = platform::panel_state(prgpanel);
    if (!state || state->controls.count(PRGPANEL_STATUS) == 0) {
      return {};
    }
    return state->controls.at(PRGPANEL_STATUS).lines;
  }
};

std::string progress_line(int sector) {
  return "Erasing sector " + std::to_string(sector) + ", This may take a few seconds...";
}

// The erase header for a sector, written out independently of the frame builder.
std::string erase_frame(int sector) {
  const unsigned high = static_cast<unsigned>(sector + 1) << 4;
  char text[64];
  std::snprintf(text, sizeof text, "00 03 10 00 %02X 00 00 00 10 00 00 00 00 00 00 %02X", high,
                0x03U ^ high);
  return text;
}

struct EraseCase {
  const char* name;
  std::vector<const char*> replies;  // one per header; "" for silence
  int result;
};

const EraseCase kEraseCases[] = {
    {"all_acknowledged", {"55", "55", "55", "55", "55", "55", "55", "55"}, 0},
    {"header_acknowledgement_counts", {"50", "50", "50", "50", "50", "50", "50", "50"}, 0},
    {"erase_error_at_fourth", {"55", "55", "55", "FB"}, 251},
    {"invalid_address_at_last", {"55", "50", "55", "55", "55", "55", "55", "FC"}, 252},
    {"silent_loader", {""}, 240},
    {"unknown_byte_at_second", {"55", "AA"}, 240},
};

TEST_F(StatusBoxTest, EraseGoesSectorBySectorAndStopsAtTheFirstFailure) {
  for (const EraseCase& c : kEraseCases) {
    SCOPED_TRACE(c.name);
    ResetTextBox(prgpanel, PRGPANEL_STATUS, "");
    ScopedVirtualClock clock;
    std::vector<Bytes> replies;
    for (const char* r : c.replies) {
      replies.push_back(hex_bytes(r));
    }
    auto line = scripted(replies);
    ScriptedPort port(line);

    EXPECT_EQ(bl_erase_Wholepflash(port.number()), c.result);

    const int sent = static_cast<int>(c.replies.size());
    const int done = c.result == 0 ? sent : sent - 1;
    std::vector<std::string> frames;
    std::vector<std::string> lines;
    for (int i = 0; i < sent; ++i) {
      frames.push_back(erase_frame(i));
      lines.push_back(progress_line(i));
      if (i < done) {
        lines.push_back("Done!");
      }
    }
    EXPECT_EQ(written(*line), frames);
    EXPECT_EQ(status_lines(), lines);
    EXPECT_EQ(platform::requested_waits(), Micros(done * 200'000));
    EXPECT_EQ(std::string(msg), progress_line(sent - 1));
    EXPECT_EQ(std::string(sectorindex), std::to_string(sent - 1));
  }
}

TEST(EraseFrames, FirstSectorMatchesTheWorkedFrame) {
  EXPECT_EQ(erase_frame(0), "00 03 10 00 10 00 00 00 10 00 00 00 00 00 00 13");
  EXPECT_EQ(erase_frame(7), "00 03 10 00 80 00 00 00 10 00 00 00 00 00 00 83");
}

struct ReadCase {
  const char* name;
  std::uint32_t address;
  const char* reply;
  int result;
  const char* printed;
  std::vector<std::string> lines;
};

TEST_F(StatusBoxTest, ReadSendsReadHeaderAndReportsTheWord) {
  const ReadCase cases[] = {
      {"word",
       0x10001000,
       "01 04 10 00 10 00 12 34 56 78",
       0,
       "\nRead from Address 0x10001000 (This may take a few seconds)... "
       "\nWord data read from location: 0x10001000 is 0x12345678\n",
       {"Done!"}},
      {"invalid_address",
       0x10001000,
       "FC",
       252,
       "\nRead from Address 0x10001000 (This may take a few seconds)... ",
       {}},
      {"silence",
       0x00000004,
       "",
       240,
       "\nRead from Address 0x00000004 (This may take a few seconds)... ",
       {}},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    ResetTextBox(prgpanel, PRGPANEL_STATUS, "");
    ScopedVirtualClock clock;
    auto line = scripted({hex_bytes(c.reply)});
    ScriptedPort port(line);
    ::testing::internal::CaptureStdout();
    const int result = bl_read_flash(port.number(), c.address);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(status_lines(), c.lines);
    ASSERT_EQ(line->writes().size(), 1U);
    char frame[64];
    std::snprintf(
        frame, sizeof frame, "00 04 %02X %02X %02X %02X 00 00 00 00 00 00 00 00 00 %02X",
        c.address >> 24, (c.address >> 16) & 0xFF, (c.address >> 8) & 0xFF, c.address & 0xFF,
        (0x04 ^ (c.address >> 24) ^ (c.address >> 16) ^ (c.address >> 8) ^ c.address) & 0xFF);
    EXPECT_EQ(to_hex(line->writes()[0]), frame);
  }
}

}  // namespace
}  // namespace driveflash::test
