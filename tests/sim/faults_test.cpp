#include "sim/faults.h"

#include <gtest/gtest.h>

namespace driveflash::sim {
namespace {

using std::chrono::microseconds;

struct GoodCase {
  const char* text;
  Faults expected;
};

using K = FrameKind;

const GoodCase kGood[] = {
    {"", {}},
    {"   ", {}},
    {"silent", {.silent = true}},
    {" short-identity , no-bsl ", {.short_identity = true, .no_bsl = true}},
    {"line-time", {.line_time = true}},
    {"handshake=6C", {.handshake_reply = 0x6C}},
    {"handshake=0x6c", {.handshake_reply = 0x6C}},
    {"length-reply=5D", {.length_reply = 0x5D}},
    {"loader-reply=0", {.loader_reply = 0x00}},
    {"reply:data@3=F9,reply:eot@1=ff", {.replies = {{{K::kData, 3}, 0xF9}, {{K::kEot, 1}, 0xFF}}}},
    {"reply:header@1=F8,reply:erase@4=FB,reply:read@2=FC",
     {.replies = {{{K::kHeader, 1}, 0xF8}, {{K::kErase, 4}, 0xFB}, {{K::kRead, 2}, 0xFC}}}},
    {"protect=2", {.protect = 2}},
    {"silent-from:data@5", {.silent_from = FrameTrigger{K::kData, 5}}},
    {"disconnect:erase@1", {.disconnect_at = FrameTrigger{K::kErase, 1}}},
    {"slow=50ms", {.delay = microseconds(50'000)}},
    {"slow=2s", {.delay = microseconds(2'000'000)}},
    {"slow=250us", {.delay = microseconds(250)}},
    {"slow=60s", {.delay = microseconds(60'000'000)}},
    {"flood-from:data@2", {.flood_from = FrameTrigger{K::kData, 2}}},
    {"drip=10ms", {.drip = microseconds(10'000)}},
    {"drip=400ms, slow=1ms", {.delay = microseconds(1'000), .drip = microseconds(400'000)}},
    {"page-time=4, erase-time=25, line-time",
     {.line_time = true, .page_time = microseconds(4'000), .erase_time = microseconds(25'000)}},
    {"erase-time=60000", {.erase_time = microseconds(60'000'000)}},
    {"start=rom-loader", {.start = StartIn::kRomLoader}},
    {"start=stuck-loader, power-cycle-after=20",
     {.start = StartIn::kStuckLoader, .power_cycle_after = microseconds(20'000'000)}},
    {"power-cycle-after=1500ms", {.power_cycle_after = microseconds(1'500'000)}},
    {"power-cycle-after=3600", {.power_cycle_after = microseconds(3'600'000'000)}},
    {"modbus-gap=off, line-time", {.line_time = true, .modbus_gap = false}},
    {"modbus-gap=on", {.modbus_gap = true}},
    {"loader-startup=0, boot-time=250",
     {.loader_startup = microseconds(0), .boot_time = microseconds(250'000)}},
    {"power-cycle-junk=00", {.power_cycle_junk = {0x00}}},
    {"power-cycle-junk=00fF", {.power_cycle_junk = {0x00, 0xFF}}},
    {"noise=2e-5,seed=7", {.noise = 2e-5, .seed = 7}},
    {"noise=0.5", {.noise = 0.5}},
    {"noise=1, seed=18446744073709551615", {.noise = 1, .seed = UINT64_MAX}},
    {"lose-reply:data@3, lose-reply:eot@1, lose-byte:header@2",
     {.lose_reply = {{K::kData, 3}, {K::kEot, 1}}, .lose_byte = {{K::kHeader, 2}}}},
    {"corrupt-page:data@3,corrupt-page:data@40", {.corrupt_page = {{K::kData, 3}, {K::kData, 40}}}},
};

// What line-time makes of the rules left unset, and what an explicit value makes of them.
TEST(FaultsDefaults, TheRealDrivesRulesFollowLineTimeUnlessSet) {
  struct Row {
    const char* text;
    bool modbus_gap;
    microseconds loader_startup;
  };
  const Row rows[] = {
      {"", false, microseconds(0)},
      {"line-time", true, microseconds(10'000)},
      {"line-time, modbus-gap=off, loader-startup=0", false, microseconds(0)},
      {"modbus-gap=on, loader-startup=25", true, microseconds(25'000)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    Faults f;
    std::string error;
    ASSERT_TRUE(parse_faults(row.text, f, error)) << error;
    EXPECT_EQ(f.modbus_gap_on(), row.modbus_gap);
    EXPECT_EQ(f.loader_startup_time(), row.loader_startup);
    EXPECT_EQ(f.boot_time, microseconds(0));
  }
}

class FaultsParse : public ::testing::TestWithParam<GoodCase> {};

TEST_P(FaultsParse, GivesTheStruct) {
  Faults f;
  f.silent = true;  // must be replaced, not merged
  std::string error;
  ASSERT_TRUE(parse_faults(GetParam().text, f, error)) << error;
  EXPECT_EQ(f, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Options, FaultsParse, ::testing::ValuesIn(kGood));

struct BadCase {
  const char* text;
  const char* message_part;
};

const BadCase kBad[] = {
    {"bogus", "unknown option"},
    {"silently", "unknown option"},
    {"silent=1", "takes no value"},
    {"handshake", "handshake=HH"},
    {"handshake:6C", "handshake=HH"},
    {"handshake=XY", "handshake=HH"},
    {"handshake=100", "handshake=HH"},
    {"handshake=", "handshake=HH"},
    {"reply:data@0=F9", "frame number"},
    {"reply:data@x=F9", "frame number"},
    {"reply:page@1=F9", "unknown frame kind 'page'"},
    {"reply:run@1=F9", "unknown frame kind 'run'"},
    {"reply:data@3", "reply:KIND@K=HH"},
    {"reply=data@3=F9", "reply:KIND@K=HH"},
    {"reply:data@3=G1", "'G1' is not a byte"},
    {"reply:data3=F9", "KIND@K"},
    {"protect=-1", "protect=N"},
    {"protect=two", "protect=N"},
    {"slow=50", "unit"},
    {"slow=ms", "unit"},
    {"slow=61s", "unit"},
    {"slow=99999999999999999999999ms", "unit"},
    {"silent-from=data@5", "silent-from:KIND@K"},
    {"disconnect:data", "KIND@K"},
    {"flood-from=eot@1", "flood-from:KIND@K"},
    {"flood-from:entry@1", "unknown frame kind 'entry'"},
    {"drip=10", "unit"},
    {"drip:10ms", "drip=N"},
    {"drip=1ms,drip=2ms", "given twice"},
    {"page-time=4ms", "page-time=MS"},
    {"page-time", "page-time=MS"},
    {"erase-time=60001", "at most 60000"},
    {"page-time=1,page-time=2", "given twice"},
    {"silent,,no-bsl", "empty option"},
    {"silent,", "empty option"},
    {"silent,silent", "given twice"},
    {"slow=1ms,slow=2ms", "given twice"},
    {"reply:data@3=F9,reply:data@3=FA", "given twice"},
    {"silent, handshake=ZZ, no-bsl", "'handshake=ZZ'"},  // the option at fault, by name
    {"start=application", "start=rom-loader or start=stuck-loader"},
    {"start", "start=rom-loader or start=stuck-loader"},
    {"start=rom-loader,start=stuck-loader", "given twice"},
    {"power-cycle-after=0", "power-cycle-after=N"},
    {"power-cycle-after=3601", "power-cycle-after=N"},
    {"power-cycle-after=soon", "power-cycle-after=N"},
    {"modbus-gap", "modbus-gap=on or modbus-gap=off"},
    {"modbus-gap=yes", "modbus-gap=on or modbus-gap=off"},
    {"loader-startup=10ms", "loader-startup=MS"},
    {"boot-time=60001", "boot-time=MS"},
    {"power-cycle-junk=0", "power-cycle-junk=HEX"},
    {"power-cycle-junk=0G", "power-cycle-junk=HEX"},
    {"power-cycle-junk=", "power-cycle-junk=HEX"},
    {"power-cycle-junk=000102030405060708090A0B0C0D0E0F10", "1 to 16 bytes"},
    {"noise=1.5", "noise=RATE"},
    {"noise=-0.1", "noise=RATE"},
    {"noise=nan", "noise=RATE"},
    {"noise=1e-5x", "noise=RATE"},
    {"noise=", "noise=RATE"},
    {"seed=7", "a seed goes with noise"},
    {"noise=1e-3,seed=x", "seed=S"},
    {"noise=1e-3,noise=1e-4", "given twice"},
    {"lose-reply=data@1", "lose-reply:KIND@K"},
    {"lose-reply:run@1", "unknown frame kind 'run'"},
    {"lose-byte:data@0", "frame number"},
    {"lose-byte:data@2,lose-byte:data@2", "given twice"},
    {"corrupt-page:header@1", "only data frames carry a page"},
    {"corrupt-page=data@1", "corrupt-page:KIND@K"},
    {"corrupt-page:data@3,corrupt-page:data@3", "given twice"},
};

class FaultsReject : public ::testing::TestWithParam<BadCase> {};

TEST_P(FaultsReject, WithAMessageAndLeavesTheStructAlone) {
  Faults f;
  f.protect = 7;
  const Faults before = f;
  std::string error;
  EXPECT_FALSE(parse_faults(GetParam().text, f, error));
  EXPECT_NE(error.find(GetParam().message_part), std::string::npos) << error;
  EXPECT_EQ(f, before);
}

INSTANTIATE_TEST_SUITE_P(Options, FaultsReject, ::testing::ValuesIn(kBad));

}  // namespace
}  // namespace driveflash::sim
