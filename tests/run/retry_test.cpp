// Retries on a noisy line, whole runs against the virtual drive in virtual time. The drive
// answers a page programmed twice since its sector's last erase with "Program error", which
// ends the run: a run that programs the drive never did so. Its whole flash is compared with
// that of a drive programmed without a fault, so that a stray page outside the file's data
// shows as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "bsl/flash_map.h"
#include "image/read_back.h"
#include "matrix/reply_table.h"
#include "platform/panels.h"
#include "run/retry_policy.h"
#include "run/run_context.h"
#include "sim/faults.h"
#include "sim/sim_line.h"
#include "support/hex_records.h"
#include "support/run_harness.h"

namespace driveflash::test {
namespace {

using Lines = std::vector<std::string>;

// Data frames, in the order they go out:
//   region 1 at 0x10001000:  1-3 (the third the page that closes it, partly filled)
//   region 2 at 0x10001400:  4-15 (up to the top of sector 0), 16 (a zero page in sector 1)
//   region 3 at 0x10002400:  17-18 (sector 1, shared with region 2's last page)
//   region 4 at 0x10008F00:  19 (sector 7), 20-21 (sector 8, above the eight)
const Chunks kShared = {{0x10001000, pattern(600, 1)},
                        {0x10001400, pattern(0xC00, 2)},
                        {0x10002400, pattern(300, 3)},
                        {0x10008F00, pattern(0x300, 4)}};
const Chunks k64K = {{0x10001000, pattern(64 * 1024, 5)}};

struct Programmed {
  bool ok = false;
  bool matches = false;  // every byte of the file in flash
  Lines lines;
  run::Outcome outcome;
  Bytes flash;  // the whole flash afterwards
};

Bytes whole_flash(const sim::VirtualDrive& drive) {
  return drive.read_flash(kFlashBase, kFlashSize);
}

// The read-back, and whether a run may report success with a wrong byte (only without it).
struct ReadBack {
  bool on = false;
  bool wrong_byte_expected = false;
};

Programmed program(const Chunks& firmware, const std::string& faults, int retries, int kind = 0,
                   ReadBack read_back = {}) {
  RunHarness h;
  SetCtrlVal(mainpanel, MAINPANEL_RETRIES, retries);
  SetCtrlVal(mainpanel, MAINPANEL_VERIFY, read_back.on ? 1 : 0);
  const auto drive = drive_on_port(faults);
  const std::string text = make_hex(firmware);
  if (kind == 0) {
    h.set_firmware("fw.hex", text);
  } else {
    h.set_firmware("fw.ehex", to_ehex(text), 1);
  }
  const int before = okcount.load();
  h.run();
  Programmed p;
  p.ok = okcount.load() == before + 1;
  p.lines = h.lines();
  p.outcome = run::last_outcome();
  std::string mismatch;
  p.matches = drive->flash_matches(firmware, &mismatch);
  if (p.ok && !p.matches && !read_back.wrong_byte_expected) {
    ADD_FAILURE() << "programmed, but " << mismatch;
  }
  p.flash = whole_flash(*drive);
  return p;
}

Lines retry_lines(const Lines& lines) {
  Lines out;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
               [](const std::string& l) { return l.starts_with("重试 "); });
  return out;
}

struct Recovered {
  const char* name;
  const Chunks* firmware;
  const char* faults;
  int retries_used;
  const char* first_line;  // the first retry line, "" to leave it unchecked
};

class RetriesRecover : public ::testing::TestWithParam<Recovered> {};

// With three retries each fault ends in a drive whose flash is that of a run without one.
TEST_P(RetriesRecover, FlashEqualsAFaultFreeRun) {
  const Recovered& c = GetParam();
  static std::map<const Chunks*, Bytes> reference;
  if (!reference.contains(c.firmware)) {
    const Programmed clean = program(*c.firmware, "", 0);
    ASSERT_TRUE(clean.ok);
    reference[c.firmware] = clean.flash;
  }
  for (const int kind : {0, 1}) {
    SCOPED_TRACE(kind);
    const Programmed p = program(*c.firmware, c.faults, 3, kind);
    ASSERT_TRUE(p.ok) << p.lines.back();
    EXPECT_TRUE(p.flash == reference[c.firmware]) << "a byte outside the file's data differs";
    EXPECT_EQ(p.outcome.retries_used, c.retries_used);
    const Lines retries = retry_lines(p.lines);
    ASSERT_EQ(retries.size(), static_cast<std::size_t>(c.retries_used));
    if (*c.first_line != '\0') {
      EXPECT_EQ(retries.front(), c.first_line);
    }
  }
}

const Recovered kRecovered[] = {
    // The four a noisy line brings most: a checksum error, a verification error, a reply lost
    // after the page was programmed, a byte lost inside a data frame.
    {"checksum", &k64K, "reply:data@3=FD", 1,
     "重试 1/3：从扇区 0 重新烧录（校验和错误） / Retry 1/3: programming again from sector 0 "
     "(checksum error)"},
    {"verification", &k64K, "reply:data@3=F9", 1,
     "重试 1/3：从扇区 0 重新烧录（验证错误） / Retry 1/3: programming again from sector 0 "
     "(verification error)"},
    {"reply_lost", &k64K, "lose-reply:data@3", 1,
     "重试 1/3：从扇区 0 重新烧录（无有效应答） / Retry 1/3: programming again from sector 0 (no "
     "valid reply)"},
    {"byte_lost", &k64K, "lose-byte:data@3", 1, ""},
    {"above_the_eight", &k64K, "lose-reply:data@200", 1,
     "重试 1/3：从扇区 12 重新烧录（无有效应答） / Retry 1/3: programming again from sector 12 (no "
     "valid reply)"},
    {"block_type", &k64K, "reply:data@40=FF", 1, ""},
    // A sector shared by two regions, one of which closed in it: both are programmed again.
    {"second_region", &kShared, "lose-reply:data@5", 1, ""},
    {"closing_zero_page", &kShared, "lose-byte:data@16", 1, ""},
    {"region_after_a_closing_page", &kShared, "reply:data@17=FD", 1, ""},
    {"region_from_below_the_sector", &kShared, "lose-reply:data@20", 1,
     "重试 1/3：从扇区 8 重新烧录（无有效应答） / Retry 1/3: programming again from sector 8 (no "
     "valid reply)"},
    // A fault while a sector is programmed again: that sector once more.
    {"fault_in_the_retry", &kShared, "reply:data@5=FD,lose-reply:data@8", 2, ""},
    // Counted afresh for each sector.
    {"two_sectors", &kShared, "lose-reply:data@2,lose-byte:data@21", 2, ""},
    // Headers, ends of regions and the erase.
    {"header_checksum", &kShared, "reply:header@2=FD", 1, ""},
    {"header_byte_lost", &kShared, "lose-byte:header@3", 1, ""},
    {"header_reply_lost", &kShared, "lose-reply:header@4", 1, ""},
    {"eot_byte_lost", &kShared, "lose-byte:eot@2", 1,
     "重试 1/3：重新结束扇区 1 的烧录段（无有效应答） / Retry 1/3: closing the region in sector 1 "
     "again (no valid reply)"},
    {"last_eot_reply_lost", &kShared, "lose-reply:eot@4", 1, ""},
    {"erase_checksum", &kShared, "reply:erase@3=FD", 1,
     "重试 1/3：重新擦除扇区 2（校验和错误） / Retry 1/3: erasing sector 2 again (checksum "
     "error)"},
    {"erase_byte_lost", &kShared, "lose-byte:erase@8", 1, ""},
    {"erase_above_the_eight", &kShared, "lose-reply:erase@9", 1, ""},
};

INSTANTIATE_TEST_SUITE_P(Faults, RetriesRecover, ::testing::ValuesIn(kRecovered),
                         [](const auto& row) { return std::string(row.param.name); });

// Replies about the request itself are not retried, and spent retries end the run on the
// fault's own line, as a run without retries ends.
TEST(Retries, EndAsTheRunWithoutThemEnds) {
  struct Case {
    const char* faults;
    int retries;
    int used;
    Lines tail;  // the run's last lines before where the drive waits
  };
  const Case cases[] = {
      {"reply:data@3=FC", 3, 0, {"Invalid address"}},
      {"reply:data@3=FA", 3, 0, {"Program error"}},
      {"reply:header@1=FE", 3, 0, {"Invalid mode"}},
      {"reply:erase@2=FB", 3, 0, {"Erase Flash failed!", "Erase error"}},
      {"reply:data@3=FD,reply:data@6=FD", 1, 1, {"Checksum error"}},
      {"reply:erase@2=FD,reply:erase@3=FD,reply:erase@4=FD",
       2,
       2,
       {"Erase Flash failed!", "Checksum error"}},
      // A loader that answers nothing more cannot be brought back in step: one retry, no more.
      {"silent-from:data@3", 3, 1, {"Unknown error"}},
      {"flood-from:data@3", 3, 1, {status_text(judged(FrameColumn::kData, sim::flood_byte(0)))}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults);
    const Programmed p = program(kShared, c.faults, c.retries);
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.outcome.retries_used, c.used);
    EXPECT_EQ(retry_lines(p.lines).size(), static_cast<std::size_t>(c.used));
    ASSERT_GE(p.lines.size(), c.tail.size() + 1);
    EXPECT_EQ(
        Lines(p.lines.end() - static_cast<std::ptrdiff_t>(c.tail.size()) - 1, p.lines.end() - 1),
        c.tail);
    EXPECT_EQ(p.lines.back(), kLeftPastLoaderEntryLine);
    EXPECT_EQ(p.outcome.line, c.tail.back());
    // Bounded even when the loader is gone: the resynchronisation gives up within seconds.
    EXPECT_LT(p.outcome.seconds, 120.0);
  }
}

// While nothing goes wrong, a run with retries sends what a run without them sends, with the
// same waits in between.
TEST(Retries, AHealthyLineCarriesTheSameBytesAndWaits) {
  for (const Chunks* firmware : {&kShared, &k64K}) {
    std::vector<LineOp> ops[2];
    platform::Micros waits[2];
    for (const int retries : {0, 3}) {
      RunHarness h;
      SetCtrlVal(mainpanel, MAINPANEL_RETRIES, retries);
      drive_on_port();
      h.record_line();
      h.set_firmware("fw.hex", make_hex(*firmware));
      const int before = okcount.load();
      waits[retries == 0 ? 0 : 1] = h.run();
      ASSERT_EQ(okcount.load(), before + 1) << h.lines().back();
      ops[retries == 0 ? 0 : 1] = h.line_ops();
      EXPECT_EQ(retrylimit.load(), retries);
    }
    EXPECT_TRUE(ops[0] == ops[1]);
    EXPECT_EQ(waits[0], waits[1]);

    // With the read-back, the same and, before the closing header, one read of every word of
    // every page sent (zero filling included), by address; not a wait more.
    RunHarness h;
    SetCtrlVal(mainpanel, MAINPANEL_VERIFY, 1);
    drive_on_port();
    h.record_line();
    h.set_firmware("fw.hex", make_hex(*firmware));
    const platform::Micros waited = h.run();
    ASSERT_EQ(h.lines().back(), image::kVerifiedLine);
    const auto be32 = [](const Bytes& b, std::size_t at) {
      return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 |
             std::uint32_t{b[at + 2]} << 8 | std::uint32_t{b[at + 3]};
    };
    std::vector<LineOp> rest;
    std::vector<std::uint32_t> read;
    const std::vector<LineOp> verified = h.line_ops();
    for (std::size_t i = 0; i < verified.size(); ++i) {
      const LineOp& op = verified[i];
      if (op.write && op.bytes.size() == 16 && op.bytes[0] == 0x00 && op.bytes[1] == 0x04) {
        read.push_back(be32(op.bytes, 2));
        while (i + 1 < verified.size() && !verified[i + 1].write) {
          ++i;
        }
        continue;
      }
      rest.push_back(op);
    }
    EXPECT_TRUE(rest == ops[0]);
    EXPECT_EQ(waited, waits[0]);
    std::vector<std::uint32_t> sent;
    std::uint32_t next = 0;
    for (const LineOp& op : ops[0]) {
      if (op.write && op.bytes.size() == 16 && op.bytes[0] == 0x00 && op.bytes[1] == 0x00) {
        next = be32(op.bytes, 2);
      } else if (op.write && op.bytes.size() == 264) {
        for (std::uint32_t w = 0; w < kFlashPage; w += 4) {
          sent.push_back(next + w);
        }
        next += kFlashPage;
      }
    }
    std::ranges::sort(sent);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(read, sent);
  }
}

// Seeded noise in both directions while the secondary loader runs, about one hit per 64 KB
// download: with three retries every run programs the drive as a clean run does.
TEST(Retries, SeededNoiseIsRidden) {
  const Programmed clean = program(k64K, "", 0);
  ASSERT_TRUE(clean.ok);
  int retried = 0;
  for (const char* seed : {"7", "8", "9", "10", "11"}) {
    SCOPED_TRACE(seed);
    const Programmed p = program(k64K, std::string("noise=2e-5,seed=") + seed, 3);
    ASSERT_TRUE(p.ok) << p.lines.back();
    EXPECT_TRUE(p.flash == clean.flash);
    retried += p.outcome.retries_used;
  }
  EXPECT_GT(retried, 0) << "the noise never struck";
}

// Reading the flash back (Verify). corrupt-page:data@K makes the drive acknowledge the K-th page
// and program it with one bit wrong, as a frame with two flips of one bit passes the XOR
// checksum. kShared's third page ends in zero filling, where that bit lands: the filling is read
// back as well.
TEST(ReadBack, FindsThePageTheChecksumLetThrough) {
  using RB = run::ReadBack;
  using image::kVerifiedLine;
  const std::string differs =
      "读回不符：地址 0x10001280 的字读出 0x00000001，写入的是 0x00000000 / Read back differs: the "
      "word at 0x10001280 reads 0x00000001, 0x00000000 was written";
  struct Case {
    const char* name;
    const char* faults;
    int retries;
    bool verify;
    bool programmed;
    int retries_used;
    RB read_back;
    Lines tail;  // the run's last lines (before where the drive waits, when it fails)
  };
  const Case cases[] = {
      // The protocol's limit: without the read-back the run reports success with a wrong byte.
      {"unread", "corrupt-page:data@3", 0, false, true, 0, RB::kOff, {}},
      {"caught",
       "corrupt-page:data@3",
       0,
       true,
       false,
       0,
       RB::kDiffered,
       {differs, "Verification error"}},
      {"programmed_again",
       "corrupt-page:data@3",
       1,
       true,
       true,
       1,
       RB::kVerified,
       {"重试 1/1：从扇区 0 重新烧录（读回不符） / Retry 1/1: programming again from sector 0 "
        "(read "
        "back differs)",
        "Erasing sector 0, This may take a few seconds...", "Done!", kVerifiedLine}},
      {"above_the_eight", "corrupt-page:data@21", 2, true, true, 1, RB::kVerified, {kVerifiedLine}},
      // The sector's pages sent again are 22 to 36: the third of them wrong once more.
      {"retries_spent",
       "corrupt-page:data@3,corrupt-page:data@24",
       1,
       true,
       false,
       1,
       RB::kDiffered,
       {differs, "Verification error"}},
      // A read's reply garbled or lost on the line: read again once back in step, no retry of the
      // sector; without retries the read's own fault ends the run.
      {"read_checksum", "reply:read@5=FD", 1, true, true, 0, RB::kVerified, {kVerifiedLine}},
      {"read_reply_lost", "lose-reply:read@700", 1, true, true, 0, RB::kVerified, {kVerifiedLine}},
      {"read_byte_lost", "lose-byte:read@9", 1, true, true, 0, RB::kVerified, {kVerifiedLine}},
      {"read_checksum_no_retries",
       "reply:read@5=FD",
       0,
       true,
       false,
       0,
       RB::kIncomplete,
       {"Checksum error"}},
      {"read_reply_lost_no_retries",
       "lose-reply:read@700",
       0,
       true,
       false,
       0,
       RB::kIncomplete,
       {"Unknown error"}},
      {"read_refused", "reply:read@2=FC", 3, true, false, 0, RB::kIncomplete, {"Invalid address"}},
  };
  const Programmed clean = program(kShared, "", 0);
  ASSERT_TRUE(clean.ok);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Programmed p = program(kShared, c.faults, c.retries, 0, {c.verify, !c.verify});
    EXPECT_EQ(p.ok, c.programmed);
    if (p.ok) {
      EXPECT_EQ(p.flash == clean.flash, c.verify) << "a wrong byte in flash";
    }
    EXPECT_EQ(p.outcome.retries_used, c.retries_used);
    EXPECT_EQ(p.outcome.read_back, c.read_back);
    EXPECT_EQ(p.outcome.read_back_words, c.read_back == RB::kVerified ? 21u * 64u : 0u);
    if (c.verify) {
      EXPECT_NE(std::ranges::find(p.lines, "校验：读回 21 页 / Verify: reading back 21 pages"),
                p.lines.end());
    }
    const bool failed = !c.programmed;
    ASSERT_GE(p.lines.size(), c.tail.size() + (failed ? 1 : 0));
    const auto end = p.lines.end() - (failed ? 1 : 0);
    EXPECT_EQ(Lines(end - static_cast<std::ptrdiff_t>(c.tail.size()), end), c.tail);
    if (failed) {
      EXPECT_EQ(p.lines.back(), kLeftPastLoaderEntryLine);
      EXPECT_EQ(p.outcome.cause, run::Cause::kDownload);
      EXPECT_EQ(p.outcome.line, c.tail.back());
      EXPECT_EQ(p.outcome.reason, c.read_back == RB::kDiffered ? differs : "");
    }
  }
  // Where the wrong bit lands in the file's data, the drive reported programmed lacks the file.
  const Programmed data = program(kShared, "corrupt-page:data@2", 0, 0, {false, true});
  EXPECT_TRUE(data.ok);
  EXPECT_FALSE(data.matches);
}

// Seeded noise while the flash is read back as well: with retries every run programs the drive
// as a clean run does, however the replies to the reads were hit.
TEST(ReadBack, SeededNoiseIsRidden) {
  const Programmed clean = program(kShared, "", 0);
  ASSERT_TRUE(clean.ok);
  for (const char* seed : {"1", "2", "3", "4", "5"}) {
    SCOPED_TRACE(seed);
    const Programmed p = program(kShared, std::string("noise=1e-4,seed=") + seed, 3, 0, {true});
    ASSERT_TRUE(p.ok) << p.lines.back();
    EXPECT_TRUE(p.flash == clean.flash);
    EXPECT_EQ(p.outcome.read_back, run::ReadBack::kVerified);
  }
}

}  // namespace
}  // namespace driveflash::test
