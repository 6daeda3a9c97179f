#include "bsl/erase_read.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bsl/scripted_port.h"
#include "platform/panels.h"
#include "platform/timing.h"
#include "run/run_context.h"

namespace driveflash::test {
namespace {

using platform::Micros;
using platform::ScopedVirtualClock;

// A headless programming popup whose status box collects the lines.
class StatusBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const platform::PanelDef popup{.number = kProgramPanelId,
                                   .controls = {{PRGPANEL_STATUS, platform::ControlKind::TextBox,
                                                 "status", "", "", std::string()}}};
    ASSERT_GT(prgpanel = platform::create_panel(popup), 0);
  }
  void TearDown() override {
    DiscardPanel(prgpanel);
    prgpanel = 0;
  }
  static std::vector<std::string> status_lines() {
    return platform::panel_state(prgpanel)->controls.at(PRGPANEL_STATUS).lines;
  }
};

std::string progress_line(int sector) {
  return "Erasing sector " + std::to_string(sector) + ", This may take a few seconds...";
}

// The erase header of each 4 KB sector from 0x10001000.
const char* const kEraseFrames[] = {
    "00 03 10 00 10 00 00 00 10 00 00 00 00 00 00 13",
    "00 03 10 00 20 00 00 00 10 00 00 00 00 00 00 23",
    "00 03 10 00 30 00 00 00 10 00 00 00 00 00 00 33",
    "00 03 10 00 40 00 00 00 10 00 00 00 00 00 00 43",
    "00 03 10 00 50 00 00 00 10 00 00 00 00 00 00 53",
    "00 03 10 00 60 00 00 00 10 00 00 00 00 00 00 63",
    "00 03 10 00 70 00 00 00 10 00 00 00 00 00 00 73",
    "00 03 10 00 80 00 00 00 10 00 00 00 00 00 00 83",
};

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
      frames.push_back(kEraseFrames[i]);
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

TEST_F(StatusBoxTest, ReadSendsReadHeaderAndReportsTheWord) {
  struct ReadCase {
    const char* name;
    std::uint32_t address;
    const char* reply;
    int result;
    const char* frame;
    std::string printed;  // after "Read from Address ..."
    std::vector<std::string> lines;
  };
  const ReadCase cases[] = {
      {"word",
       0x10001000,
       "01 04 10 00 10 00 12 34 56 78",
       0,
       "00 04 10 00 10 00 00 00 00 00 00 00 00 00 00 04",
       "\nWord data read from location: 0x10001000 is 0x12345678\n",
       {"Done!"}},
      {"invalid_address",
       0x10001000,
       "FC",
       252,
       "00 04 10 00 10 00 00 00 00 00 00 00 00 00 00 04",
       "",
       {}},
      {"silence", 0x00000004, "", 240, "00 04 00 00 00 04 00 00 00 00 00 00 00 00 00 00", "", {}},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    ResetTextBox(prgpanel, PRGPANEL_STATUS, "");
    ScopedVirtualClock clock;
    auto line = scripted({hex_bytes(c.reply)});
    ScriptedPort port(line);
    ::testing::internal::CaptureStdout();
    const int result = bl_read_flash(port.number(), c.address);
    char address[16];
    std::snprintf(address, sizeof address, "0x%08X", c.address);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "\nRead from Address " + std::string(address) + " (This may take a few seconds)... " +
                  c.printed);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(status_lines(), c.lines);
    EXPECT_EQ(written(*line), std::vector<std::string>{c.frame});
  }
}

// The read-back's read: nothing printed, no wait, the word only from a block that echoes the
// address asked for, found behind the tail of a longer block that came late.
TEST_F(StatusBoxTest, QuietReadTakesTheWordOnlyFromItsOwnEcho) {
  struct Case {
    const char* name;
    const char* reply;
    int result;
  };
  const Case cases[] = {
      {"word", "01 04 10 00 10 00 12 34 56 78", 0},
      {"after_a_late_tail", "AA 01 04 01 04 10 00 10 00 12 34 56 78", 0},
      {"after_six_late_bytes", "00 00 00 00 00 00 01 04 10 00 10 00 12 34 56 78", 0},
      {"after_seven_late_bytes", "00 00 00 00 00 00 00 01 04 10 00 10 00 12 34 56 78", 240},
      {"echo_of_another_word", "01 04 10 00 10 04 12 34 56 78", 240},
      {"cut_short", "01 04 10 00 10 00 12 34", 240},
      {"acknowledgement", "55", 240},
      {"checksum_error", "FD", 253},
      {"invalid_address", "FC", 252},
      {"silence", "", 240},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedVirtualClock clock;
    auto line = scripted({hex_bytes(c.reply)});
    ScriptedPort port(line);
    std::uint32_t word = 0;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(bl_read_word(port.number(), 0x10001000, word), c.result);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(word, c.result == 0 ? 0x12345678u : 0u);
    EXPECT_EQ(platform::requested_waits(), Micros(0));
    EXPECT_TRUE(status_lines().empty());
    EXPECT_EQ(written(*line),
              std::vector<std::string>{"00 04 10 00 10 00 00 00 00 00 00 00 00 00 00 04"});
  }
}

}  // namespace
}  // namespace driveflash::test
