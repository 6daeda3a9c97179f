#include "sim/virtual_drive.h"

#include <gtest/gtest.h>

#include <array>

#include "image/download.h"
#include "sim_test_util.h"

namespace driveflash::sim {
namespace {

using namespace driveflash::sim::test;

constexpr std::uint32_t kBase = 0x10001000;
const char* const kIdentityReply = "01 03 02 13 02 34 B5";
const char* const kResetEcho = "01 06 00 5C 00 01 88 18";

std::unique_ptr<VirtualDrive> make_drive(const char* options) {
  Faults f;
  std::string error;
  EXPECT_TRUE(parse_faults(options, f, error)) << error;
  return std::make_unique<VirtualDrive>(f);
}

Bytes length_bytes(std::uint32_t n) {
  return {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
          static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
}

// --- the application firmware and the ROM loader, from power-up -------------------------

struct Conversation {
  const char* name;
  std::vector<Bytes> chunks;
  std::string expected;  // reply bytes in hex
  const char* faults = "";
};

void PrintTo(const Conversation& c, std::ostream* os) {
  *os << c.name;
}

std::string cat(std::initializer_list<const char*> parts) {
  std::string s;
  for (const char* p : parts) s += std::string(p) + " ";
  return s;
}

const std::vector<Conversation>& conversations() {
  const Bytes handshake = {0x00, 0x6C};
  static const std::vector<Conversation> table = {
      {"healthy_entry", into_loader(), cat({kIdentityReply, kResetEcho, "5D 01 01"})},
      {"identity_twice", {kIdentity, kIdentity}, cat({kIdentityReply, kIdentityReply})},
      {"identity_byte_by_byte",
       {{0x01}, {0x03}, {0x00, 0x00}, {0x00, 0x01, 0x84}, {0x0A}},
       kIdentityReply},
      {"garbage_before_identity", {hex_bytes("FF 00 01 03 00") + kIdentity}, kIdentityReply},
      {"restart_inside_request", {hex_bytes("01 01 03 00 00 00 01 84 0A")}, kIdentityReply},
      {"wrong_crc_ignored", {hex_bytes("01 03 00 00 00 01 84 0B")}, ""},
      {"other_register_ignored", {hex_bytes("01 03 00 01 00 01 D5 CA")}, ""},
      {"identity_in_rom_ignored", {kReset, kIdentity}, kResetEcho},
      {"handshake_needs_00_first", {kReset, {0x6C}}, kResetEcho},
      {"handshake_after_several_00", {kReset, {0x00, 0x00, 0x6C}}, cat({kResetEcho, "5D"})},
      {"handshake_broken_by_other_byte", {kReset, {0x00, 0x12, 0x6C}}, kResetEcho},
      {"handshake_after_resync", {kReset, {0x00, 0x12, 0x00, 0x6C}}, cat({kResetEcho, "5D"})},
      {"length_zero_refused",
       {kReset, handshake, length_bytes(0), handshake},
       cat({kResetEcho, "5D FF 5D"})},
      {"length_beyond_sram_refused",
       {kReset, handshake, length_bytes(16385)},
       cat({kResetEcho, "5D FF"})},
      {"length_of_sram_taken",
       {kReset, handshake, length_bytes(16384)},
       cat({kResetEcho, "5D 01"})},
      {"loader_answered_after_last_byte",
       {kReset, handshake, length_bytes(4), {1, 2, 3}},
       cat({kResetEcho, "5D 01"})},
      {"loader_then_frame_in_one_write",
       {kReset, handshake, length_bytes(2), Bytes{1, 2} + eot()},
       cat({kResetEcho, "5D 01 01 55"})},
      // Faults of the application and the ROM loader.
      {"silent", into_loader(), "", "silent"},
      {"short_identity", {kIdentity}, "01 83 02 C0 F1", "short-identity"},
      {"no_bsl",
       {kIdentity, kReset, {0x00}, {0x6C}, kIdentity},
       cat({kIdentityReply, kResetEcho, kIdentityReply}),
       "no-bsl"},
      {"handshake_reply", {kReset, handshake}, cat({kResetEcho, "6C"}), "handshake=6C"},
      {"length_reply",
       {kReset, handshake, length_bytes(16)},
       cat({kResetEcho, "5D 5D"}),
       "length-reply=5D"},
      {"loader_reply",
       {kReset, handshake, length_bytes(2), {7, 7}},
       cat({kResetEcho, "5D 01 00"}),
       "loader-reply=00"},
  };
  return table;
}

class DriveConversation : public ::testing::TestWithParam<Conversation> {};

TEST_P(DriveConversation, Replies) {
  const auto drive = make_drive(GetParam().faults);
  EXPECT_EQ(to_hex(talk(*drive, GetParam().chunks)), to_hex(hex_bytes(GetParam().expected)));
}

INSTANTIATE_TEST_SUITE_P(Entry, DriveConversation, ::testing::ValuesIn(conversations()),
                         [](const auto& p) { return std::string(p.param.name); });

// --- the secondary loader ----------------------------------------------------------------

struct LoaderCase {
  const char* name;
  std::vector<Bytes> frames;
  const char* expected;
  const char* faults = "";
};

void PrintTo(const LoaderCase& c, std::ostream* os) {
  *os << c.name;
}

Bytes corrupt(Bytes frame) {
  frame.back() ^= 0x01;
  return frame;
}

Bytes unknown_block() {
  Bytes f(16, 0);
  f[0] = 0x07;
  return f;
}

const std::vector<LoaderCase>& loader_cases() {
  static const std::vector<LoaderCase> table = {
      {"one_page", {program(kBase), data(0), eot()}, "55 55 55"},
      {"last_page_then_past_end", {program(0x10032F00), data(1), data(2)}, "55 55 FC"},
      {"header_unaligned", {program(0x10001080)}, "FC"},
      {"header_below_flash", {program(0x10000F00)}, "FC"},
      {"header_past_flash", {program(0x10033000)}, "FC"},
      {"data_without_header", {data(0)}, "FC"},
      {"data_after_eot", {program(kBase), data(0), eot(), data(1)}, "55 55 55 FC"},
      {"data_after_refused_header", {program(kBase), program(0x10001080), data(0)}, "55 FC FC"},
      {"page_programmed_twice",
       {program(kBase), data(0), eot(), program(kBase), data(1)},
       "55 55 55 55 FA"},
      {"erase_then_reprogram",
       {program(kBase), data(0), eot(), erase(kBase), program(kBase), data(1)},
       "55 55 55 55 55 55"},
      {"erase_of_another_sector",
       {program(kBase), data(0), eot(), erase(0x10002000), program(kBase), data(1)},
       "55 55 55 55 55 FA"},
      {"each_erase_allows_one_programming",
       {program(kBase), data(0), eot(), erase(kBase), program(kBase), data(1), eot(),
        program(kBase), data(2)},
       "55 55 55 55 55 55 55 55 FA"},
      // A region across two sectors, the second erased again: the refused page holds the region
      // where it is, and only a new header moves on.
      {"region_across_sectors_second_erased",
       {program(0x10001F00), data(0), data(1), eot(), erase(0x10002000), program(0x10001F00),
        data(2), data(3), program(0x10002000), data(4)},
       "55 55 55 55 55 55 FA FA 55 55"},
      {"data_mode_0", {program(kBase), data(page_of(0), 0)}, "55 55"},
      {"data_mode_2", {program(kBase), data(page_of(0), 2)}, "55 FE"},
      {"eot_without_region", {eot()}, "55"},
      {"erase_first_and_last", {erase(0x10001000), erase(0x10032000)}, "55 55"},
      {"erase_not_sector_start", {erase(0x10001100)}, "FC"},
      {"erase_past_flash", {erase(0x10033000)}, "FC"},
      {"erase_below_flash", {erase(0x10000000)}, "FC"},
      {"erase_wrong_length", {header(3, kBase, 0x800)}, "FC"},
      {"unknown_modes", {header(2, 0), header(5, 0), header(6, 0)}, "FE FE FE"},
      {"read_erased", {read_word(0x10032FFC)}, "01 04 10 03 2F FC 00 00 00 00"},
      {"read_unaligned", {read_word(0x10001002)}, "FC"},
      {"read_outside", {read_word(0x10033000)}, "FC"},
      {"header_bad_checksum_not_carried_out", {corrupt(program(kBase)), data(0)}, "FD FC"},
      {"data_bad_checksum", {program(kBase), corrupt(data(0)), data(1)}, "55 FD 55"},
      {"eot_bad_checksum", {corrupt(eot())}, "FD"},
      {"unknown_block_type_takes_16_bytes", {unknown_block(), eot()}, "FF 55"},
      {"run_has_no_reply", {run()}, ""},
      // Faults of the secondary loader.
      {"reply_data", {program(kBase), data(0), data(1), data(2)}, "55 55 F9 55", "reply:data@2=F9"},
      {"reply_header", {program(kBase)}, "50", "reply:header@1=50"},
      {"reply_erase",
       {erase(kBase), erase(0x10002000), erase(0x10003000)},
       "55 FB 55",
       "reply:erase@2=FB"},
      {"reply_eot", {eot(), eot()}, "FE 55", "reply:eot@1=FE"},
      {"reply_read", {read_word(kBase)}, "FC", "reply:read@1=FC"},
      {"protect",
       {program(kBase), program(kBase), program(kBase), data(0)},
       "F8 F8 55 55",
       "protect=2"},
      {"protect_spares_erase", {erase(kBase), program(kBase)}, "55 F8", "protect=1"},
      {"silent_from_data",
       {program(kBase), data(0), data(1), eot(), program(kBase)},
       "55 55",
       "silent-from:data@2"},
      {"silent_from_erase", {erase(kBase), read_word(kBase)}, "", "silent-from:erase@1"},
      {"slow_changes_no_byte", {program(kBase), data(0), eot()}, "55 55 55", "slow=50ms"},
      // A lost reply: the frame was carried out all the same, so the page sent again is refused.
      {"lose_reply_data",
       {program(kBase), data(0), eot(), program(kBase), data(0)},
       "55 55 55 FA",
       "lose-reply:data@1"},
      {"lose_reply_header", {program(kBase), data(0)}, "55", "lose-reply:header@1"},
      {"lose_reply_erase", {erase(kBase), erase(0x10002000)}, "55", "lose-reply:erase@2"},
      {"lose_reply_read", {read_word(kBase), eot()}, "55", "lose-reply:read@1"},
      {"lose_reply_eot", {eot(), eot()}, "55", "lose-reply:eot@2"},
      // A lost byte: the loader waits inside the frame and the next frame's bytes complete it.
      {"lose_byte_data", {program(kBase), data(0), data(1), eot()}, "55 FD FD", "lose-byte:data@1"},
      {"lose_byte_header", {program(kBase), eot(), eot()}, "FD FD", "lose-byte:header@1"},
      {"lose_byte_second_eot", {eot(), eot(), eot()}, "55 FD", "lose-byte:eot@2"},
  };
  return table;
}

class LoaderFrames : public ::testing::TestWithParam<LoaderCase> {};

TEST_P(LoaderFrames, Replies) {
  const auto drive = make_drive(GetParam().faults);
  ASSERT_EQ(talk(*drive, into_loader()).size(), kIntoLoaderReplySize);
  EXPECT_EQ(to_hex(talk(*drive, GetParam().frames)), to_hex(hex_bytes(GetParam().expected)));
}

TEST_P(LoaderFrames, SameRepliesFedByteByByte) {
  const auto drive = make_drive(GetParam().faults);
  talk(*drive, into_loader());
  std::vector<Bytes> single;
  for (const Bytes& frame : GetParam().frames) {
    for (const std::uint8_t b : frame) single.push_back({b});
  }
  EXPECT_EQ(to_hex(talk(*drive, single)), to_hex(hex_bytes(GetParam().expected)));
}

INSTANTIATE_TEST_SUITE_P(Frames, LoaderFrames, ::testing::ValuesIn(loader_cases()),
                         [](const auto& p) { return std::string(p.param.name); });

// --- what the replies do not show --------------------------------------------------------

std::unique_ptr<VirtualDrive> loaded_drive(const char* faults = "") {
  auto drive = make_drive(faults);
  talk(*drive, into_loader());
  return drive;
}

TEST(VirtualDrive, ProgrammedPagesReadBackAndMatch) {
  const auto drive = loaded_drive();
  ASSERT_EQ(to_hex(talk(*drive, {program(0x10001100), data(1), data(2), data(3), eot()})),
            "55 55 55 55 55");
  EXPECT_EQ(drive->read_flash(0x10001100, 256), page_of(1));
  EXPECT_EQ(drive->read_flash(0x10001300, 256), page_of(3));
  EXPECT_EQ(drive->statistics().pages_programmed, 3u);

  std::string why;
  EXPECT_TRUE(drive->flash_matches({{0x10001100, page_of(1)}, {0x10001210, {0x12, 0x13}}}, &why))
      << why;
  EXPECT_FALSE(drive->flash_matches({{0x10001200, {0x02, 0x03, 0x99}}}, &why));
  EXPECT_EQ(why, "0x10001202: flash 04, firmware 99");
  // Erased cells read 00, but an unprogrammed page never matches a firmware's zeros.
  EXPECT_FALSE(drive->flash_matches({{0x10001000, {0x00}}}, &why));
  EXPECT_EQ(why, "0x10001000: page not programmed (firmware 00)");
  EXPECT_FALSE(drive->flash_matches({{0x10032FFF, {0x00, 0x00}}}, &why));
  EXPECT_EQ(why, "0x10032FFF: page not programmed (firmware 00)");
  EXPECT_FALSE(drive->flash_matches({{0xFFFFFFFF, {0x00, 0x00}}}, &why));
  EXPECT_EQ(why, "0xFFFFFFFF lies outside the flash");
  EXPECT_FALSE(drive->flash_matches({{0x10033000, {0x00}}}, nullptr));
}

TEST(VirtualDrive, ReadFlashOutsideGivesNothing) {
  VirtualDrive drive;
  EXPECT_TRUE(drive.read_flash(0x10000FFF, 2).empty());
  EXPECT_TRUE(drive.read_flash(0x10032FFF, 2).empty());
  EXPECT_TRUE(drive.read_flash(0xFFFFFFFF, 0x10).empty());
  EXPECT_EQ(drive.read_flash(0x10032FFF, 1), Bytes{0x00});
  EXPECT_EQ(drive.read_flash(0x10001000, 200 * 1024).size(), 200u * 1024u);
}

TEST(VirtualDrive, ReadGivesTheWordMostSignificantByteFirst) {
  const auto drive = loaded_drive();
  drive->preload_flash(0x10001FFC, hex_bytes("11 22 33 44"));
  EXPECT_EQ(to_hex(talk(*drive, {read_word(0x10001FFC)})), "01 04 10 00 1F FC 44 33 22 11");
}

TEST(VirtualDrive, EraseClearsASectorOnly) {
  const auto drive = loaded_drive();
  drive->preload_flash(0x10001FFF, hex_bytes("AB CD"));  // last byte of sector 0, first of sector 1
  EXPECT_FALSE(drive->sector_erased(0x10001000));
  ASSERT_EQ(to_hex(talk(*drive, {erase(0x10001000)})), "55");
  EXPECT_TRUE(drive->sector_erased(0x10001000));
  EXPECT_FALSE(drive->sector_erased(0x10002000));
  EXPECT_EQ(drive->read_flash(0x10001FFF, 2), hex_bytes("00 CD"));
  EXPECT_EQ(drive->statistics().sectors_erased, 1u);
}

// The drive's flash is the tool's 200 KB sector map: every sector erases, nothing past it does.
TEST(VirtualDrive, ErasesEverySectorOfThe200KTable) {
  const auto drive = loaded_drive();
  std::size_t sectors = 0;
  for (const flash_sector& s : XMC1000_200_FLASH_SectorTable) {
    if (s.address == 0 && s.size == 0) break;
    ++sectors;
    EXPECT_EQ(s.size, FlashModel::kSectorSize);
    EXPECT_EQ(to_hex(talk(*drive, {erase(s.address)})), "55") << std::hex << s.address;
  }
  EXPECT_EQ(sectors, FlashModel::kSectorCount);
  EXPECT_EQ(drive->statistics().sectors_erased, sectors);
  EXPECT_EQ(to_hex(talk(*drive, {erase(FlashModel::kBase + FlashModel::kSize)})), "FC");
}

TEST(VirtualDrive, OverriddenFrameIsNotCarriedOut) {
  const auto drive = loaded_drive("reply:data@2=55");
  ASSERT_EQ(to_hex(talk(*drive, {program(kBase), data(1), data(2), data(3)})), "55 55 55 55");
  // The second page was swallowed, so the third landed where it should have gone.
  EXPECT_EQ(drive->read_flash(0x10001100, 256), page_of(3));
  EXPECT_FALSE(drive->page_programmed(0x10001200));
}

// Lost replies and lost bytes leave the flash as the loader left it: a page whose reply was lost
// is programmed, one whose frame lost a byte is not.
TEST(VirtualDrive, LostRepliesAndBytesLeaveTheFlashAsTheLoaderDid) {
  struct Row {
    const char* faults;
    bool first_page_programmed;
    std::uint64_t replies_lost;
    std::uint64_t bytes_lost;
  };
  for (const Row& row : {Row{"lose-reply:data@1", true, 1, 0}, Row{"lose-byte:data@1", false, 0, 1},
                         Row{"lose-reply:data@2,lose-byte:data@1", false, 1, 1}}) {
    SCOPED_TRACE(row.faults);
    const auto drive = loaded_drive(row.faults);
    talk(*drive, {program(kBase), data(1), data(2), data(3)});
    EXPECT_EQ(drive->page_programmed(kBase), row.first_page_programmed);
    EXPECT_EQ(drive->statistics().replies_lost, row.replies_lost);
    EXPECT_EQ(drive->statistics().bytes_lost, row.bytes_lost);
  }
  {
    // A page the checksum let through garbled: acknowledged, programmed, one bit wrong, and the
    // loader's own read says so.
    const auto drive = loaded_drive("corrupt-page:data@2");
    EXPECT_EQ(to_hex(talk(*drive, {program(kBase), data(1), data(2), data(3)})), "55 55 55 55");
    Bytes wrong = page_of(2);
    wrong[128] ^= 0x01;
    EXPECT_EQ(drive->read_flash(kBase + 0x100, 256), wrong);
    EXPECT_EQ(drive->read_flash(kBase, 256), page_of(1));
    EXPECT_EQ(drive->read_flash(kBase + 0x200, 256), page_of(3));
    const auto& w = wrong;
    EXPECT_EQ(to_hex(talk(*drive, {read_word(kBase + 0x180)})),
              to_hex({0x01, 0x04, 0x10, 0x00, 0x11, 0x80, w[131], w[130], w[129], w[128]}));
  }
  // The firmware a drive came with is programmed too: it takes no page before an erase.
  const auto drive = loaded_drive();
  drive->preload_flash(kBase + 0x10, hex_bytes("AA"));
  EXPECT_EQ(to_hex(talk(*drive, {program(kBase), data(1), erase(kBase), program(kBase), data(1)})),
            "55 FA 55 55 55");
  // Nor does a power cycle and a new loader make a programmed page take another programming.
  drive->power_cycle();
  talk(*drive, {{0x00}, {0x6C}, {16, 0, 0, 0}, Bytes(16, 0xA5)});
  EXPECT_EQ(to_hex(talk(*drive, {program(kBase), data(2)})), "55 FA");
  EXPECT_EQ(drive->read_flash(kBase, 256), page_of(1));
}

// Noise strikes only while the secondary loader runs, and strikes the same bytes again for the
// same seed and the same traffic; half of its hits flip a bit, the other half lose the byte.
TEST(VirtualDrive, NoiseIsTheLoadersAndTheSameForASeed) {
  std::vector<Bytes> frames = {erase(kBase), program(kBase)};
  for (std::uint8_t i = 0; i < 16; ++i) frames.push_back(data(i));
  frames.push_back(eot());
  struct Outcome {
    std::string replies;
    VirtualDrive::Statistics stats;
  };
  const auto run = [&](const char* faults) {
    const auto drive = make_drive(faults);
    EXPECT_EQ(to_hex(talk(*drive, into_loader())),
              to_hex(hex_bytes(cat({kIdentityReply, kResetEcho, "5D 01 01"}))));
    Outcome o{to_hex(talk(*drive, frames)), drive->statistics()};
    return o;
  };
  const Outcome clean = run("noise=0");
  EXPECT_EQ(clean.replies, to_hex(Bytes(19, 0x55)));
  const Outcome a = run("noise=2e-3,seed=7");
  const Outcome b = run("noise=2e-3,seed=7");
  const Outcome c = run("noise=2e-3,seed=8");
  EXPECT_NE(a.replies, clean.replies);
  EXPECT_EQ(a.replies, b.replies);
  EXPECT_EQ(a.stats.bits_flipped, b.stats.bits_flipped);
  EXPECT_EQ(a.stats.bytes_lost, b.stats.bytes_lost);
  EXPECT_EQ(a.stats.pages_programmed, b.stats.pages_programmed);
  EXPECT_NE(a.replies, c.replies);
  // Every byte hit: each loader byte in, and each reply byte out.
  const Outcome all = run("noise=1");
  const std::uint64_t hits = all.stats.bits_flipped + all.stats.bytes_lost;
  EXPECT_GE(hits, 2u * 16u + 16u * 264u + 16u);
  EXPECT_NEAR(static_cast<double>(all.stats.bits_flipped) / static_cast<double>(hits), 0.5, 0.05);
  EXPECT_EQ(all.stats.pages_programmed, 0u);
}

TEST(VirtualDrive, ClosingHeaderRestartsTheNewApplication) {
  const auto drive = loaded_drive();
  ASSERT_EQ(to_hex(talk(*drive, {erase(kBase), program(kBase), data(9), eot(), run()})),
            "55 55 55 55");
  EXPECT_EQ(drive->stage(), VirtualDrive::Stage::kApplication);
  EXPECT_EQ(drive->statistics().restarts, 1u);
  // A second run finds the application again and can program anew.
  EXPECT_EQ(talk(*drive, into_loader()).size(), kIntoLoaderReplySize);
  EXPECT_EQ(to_hex(talk(*drive, {erase(kBase), program(kBase), data(10), eot(), run()})),
            "55 55 55 55");
  EXPECT_EQ(drive->read_flash(kBase, 256), page_of(10));
  EXPECT_EQ(drive->statistics().restarts, 2u);
  EXPECT_EQ(drive->statistics().identity_requests, 2u);
}

// Where a run that did not finish leaves the drive, and what a power cycle does there: the
// chip comes up in its ROM loader until a closing header has sent it back to its application.
TEST(VirtualDrive, APowerCycleBringsBackTheRomLoaderUntilTheClosingHeader) {
  struct Row {
    const char* faults;
    std::vector<Bytes> before;  // what the drive heard before it is switched off and on
    const char* identity;       // the reply to the identity request, before the cycle
    bool boots_into_loader;
  };
  const std::vector<Row> table = {
      {"", {}, kIdentityReply, false},      {"", {kIdentity, kReset}, "", true},
      {"", into_loader(), "", true},        {"start=rom-loader", {}, "", true},
      {"start=stuck-loader", {}, "", true},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(std::string(row.faults) + ", " + std::to_string(row.before.size()) + " chunks");
    const auto drive = make_drive(row.faults);
    talk(*drive, row.before);
    EXPECT_EQ(to_hex(talk(*drive, {kIdentity})), row.identity) << "firmware only where it runs";
    EXPECT_EQ(drive->boots_into_loader(), row.boots_into_loader);
    drive->power_cycle();
    EXPECT_EQ(drive->statistics().power_cycles, 1u);
    if (row.boots_into_loader) {
      EXPECT_EQ(to_hex(talk(*drive, {{0x00}, {0x6C}})), "5D") << "the ROM loader waits";
      // Uploaded and closed: the next power-on starts the application.
      talk(*drive, {{0x10, 0, 0, 0}, Bytes(16, 0xA5), run()});
      EXPECT_FALSE(drive->boots_into_loader());
      drive->power_cycle();
    }
    EXPECT_EQ(drive->stage(), VirtualDrive::Stage::kApplication);
    EXPECT_EQ(to_hex(talk(*drive, {kIdentity})), kIdentityReply);
  }
}

// Switched off and on, a drive puts its junk on the line, once a cycle, for the line to take;
// one whose line was pulled out sends nothing.
TEST(VirtualDrive, APowerCycleSendsItsJunk) {
  const auto drive = make_drive("power-cycle-junk=00FF");
  EXPECT_EQ(drive->unsolicited_count(), 0u);
  for (int i = 0; i < 10; ++i) drive->power_cycle();
  EXPECT_EQ(drive->unsolicited_count(), 10u);
  const auto last = drive->unsolicited(8);
  ASSERT_EQ(last.size(), 2u);
  EXPECT_EQ(last[0].number, 9u);
  EXPECT_EQ(last[1].bytes, hex_bytes("00 FF"));
  EXPECT_EQ(drive->unsolicited(0).size(), 8u) << "only the last few wait for a line";
  EXPECT_TRUE(drive->unsolicited(10).empty());

  const auto quiet = make_drive("");
  quiet->power_cycle();
  EXPECT_EQ(quiet->unsolicited_count(), 0u);
  const auto unplugged = make_drive("disconnect:eot@1,power-cycle-junk=00");
  talk(*unplugged, into_loader());
  talk(*unplugged, {eot()});
  unplugged->power_cycle();
  EXPECT_EQ(unplugged->unsolicited_count(), 0u);
}

// The secondary loader takes the entry handshake for the start of a frame it then refuses.
TEST(VirtualDrive, AStuckLoaderNeverAnswersTheHandshake) {
  const auto drive = make_drive("start=stuck-loader");
  for (int i = 0; i < 100; ++i) {
    for (const auto& out : drive->feed(Bytes{0x00, 0x6C})) {
      EXPECT_NE(to_hex(out.bytes), "5D");
    }
  }
  EXPECT_EQ(drive->stage(), VirtualDrive::Stage::kLoader);
}

TEST(VirtualDrive, StatisticsCountWhatArrived) {
  const auto drive = loaded_drive();
  talk(*drive, {erase(kBase), erase(0x10002000), program(kBase), data(0), corrupt(data(1)), eot(),
                read_word(kBase), header(6, 0), unknown_block()});
  const auto s = drive->statistics();
  EXPECT_EQ(s.count(FrameKind::kErase), 2u);
  EXPECT_EQ(s.count(FrameKind::kHeader), 1u);
  EXPECT_EQ(s.count(FrameKind::kData), 2u);
  EXPECT_EQ(s.count(FrameKind::kEot), 1u);
  EXPECT_EQ(s.count(FrameKind::kRead), 1u);
  EXPECT_EQ(s.count(FrameKind::kOtherHeader), 1u);
  EXPECT_EQ(s.count(FrameKind::kUnknownType), 1u);
  EXPECT_EQ(s.bad_checksums, 1u);
  EXPECT_EQ(s.pages_programmed, 1u);
  EXPECT_EQ(s.loader_uploads, 1u);
  EXPECT_EQ(s.bytes_received, 8u + 8u + 2u + 4u + 16u + 16u * 7u + 264u * 2u);
}

TEST(VirtualDrive, KeepsTheUploadedLoader) {
  VirtualDrive drive;
  talk(drive, {kReset, {0x00, 0x6C}, length_bytes(3), {0x44, 0x52, 0x49}});
  EXPECT_EQ(drive.loader_image(), hex_bytes("44 52 49"));
  EXPECT_EQ(drive.stage(), VirtualDrive::Stage::kLoader);
}

TEST(VirtualDrive, RepliesCarryDelayAndPosition) {
  const auto drive = loaded_drive("slow=50ms");
  const Bytes frames = program(kBase) + data(0) + eot();
  const auto out = drive->feed(frames);
  ASSERT_EQ(out.size(), 3u);
  const std::size_t ends[] = {16, 16 + 264, 16 + 264 + 16};
  for (std::size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].delay, std::chrono::milliseconds(50));
    EXPECT_EQ(out[i].consumed, ends[i]);
    EXPECT_FALSE(out[i].disconnect);
  }
}

// The chip's work comes before its reply: only a page programmed or a sector erased takes it.
TEST(VirtualDrive, WorkDelaysTheReplyToIt) {
  const auto drive = loaded_drive("slow=1ms, page-time=4, erase-time=30");
  const auto out = drive->feed(erase(kBase) + erase(0x10033000) + program(kBase) + data(0) + eot() +
                               program(kBase) + data(1));
  ASSERT_EQ(out.size(), 7u);
  // The refused erase and the page programmed twice since its erase take no work.
  const int delays_ms[] = {31, 1, 1, 5, 1, 1, 1};
  for (std::size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].delay, std::chrono::milliseconds(delays_ms[i])) << i;
  }
  EXPECT_EQ(out[6].bytes, Bytes{0xFA});
}

TEST(VirtualDrive, DisconnectUnplugsForGood) {
  const auto drive = loaded_drive("disconnect:data@2");
  const auto out = drive->feed(program(kBase) + data(0) + data(1) + eot());
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[1].bytes, Bytes{0x55});
  EXPECT_TRUE(out[2].disconnect);
  EXPECT_EQ(out[2].consumed, 16u + 264u * 2u);
  EXPECT_TRUE(drive->unplugged());
  const auto received = drive->statistics().bytes_received;
  EXPECT_TRUE(drive->feed(kIdentity).empty());
  EXPECT_EQ(drive->statistics().bytes_received, received);
}

TEST(StandInLoader, RecognisedByItsMarker) {
  const std::string marker(kStandInLoaderMarker);
  const auto bytes = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
  EXPECT_TRUE(is_stand_in_loader(bytes(marker)));
  EXPECT_TRUE(is_stand_in_loader(bytes(std::string(100, '\0') + marker + "xyz")));
  EXPECT_FALSE(is_stand_in_loader(bytes(marker.substr(0, marker.size() - 1))));
  EXPECT_FALSE(is_stand_in_loader(Bytes(4096, 0x00)));
  EXPECT_FALSE(is_stand_in_loader({}));
}

// What a flooding drive sends: never a loader's success, and the same on every run.
TEST(FloodBytes, NeverALoadersSuccessAndTheSameEveryTime) {
  int distinct = 0;
  std::array<bool, 256> seen{};
  for (std::uint64_t n = 0; n < 100'000; ++n) {
    const std::uint8_t b = flood_byte(n);
    ASSERT_NE(b, 0x55) << n;
    ASSERT_NE(b, 0x50) << n;
    distinct += seen[b] ? 0 : 1;
    seen[b] = true;
  }
  EXPECT_EQ(distinct, 254) << "every other byte value turns up";
  EXPECT_EQ(flood_byte(12345), flood_byte(12345));
}

}  // namespace
}  // namespace driveflash::sim
