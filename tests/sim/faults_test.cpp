#include "sim/faults.h"

#include <gtest/gtest.h>

namespace driveflash::sim {
namespace {

using std::chrono::microseconds;

struct GoodCase {
  const char* text;
  Faults expected;
};

Faults make(void (*edit)(Faults&)) {
  Faults f;
  edit(f);
  return f;
}

const GoodCase kGood[] = {
    {"", {}},
    {"   ", {}},
    {"silent", make([](Faults& f) { f.silent = true; })},
    {" short-identity , no-bsl ", make([](Faults& f) {
       f.short_identity = true;
       f.no_bsl = true;
     })},
    {"line-time", make([](Faults& f) { f.line_time = true; })},
    {"handshake=6C", make([](Faults& f) { f.handshake_reply = 0x6C; })},
    {"handshake=0x6c", make([](Faults& f) { f.handshake_reply = 0x6C; })},
    {"length-reply=5D", make([](Faults& f) { f.length_reply = 0x5D; })},
    {"loader-reply=0", make([](Faults& f) { f.loader_reply = 0x00; })},
    {"reply:data@3=F9,reply:eot@1=ff", make([](Faults& f) {
       f.replies = {{{FrameKind::kData, 3}, 0xF9}, {{FrameKind::kEot, 1}, 0xFF}};
     })},
    {"reply:header@1=F8,reply:erase@4=FB,reply:read@2=FC", make([](Faults& f) {
       f.replies = {{{FrameKind::kHeader, 1}, 0xF8},
                    {{FrameKind::kErase, 4}, 0xFB},
                    {{FrameKind::kRead, 2}, 0xFC}};
     })},
    {"protect=2", make([](Faults& f) { f.protect = 2; })},
    {"silent-from:data@5", make([](Faults& f) {
       f.silent_from = FrameTrigger{FrameKind::kData, 5};
     })},
    {"disconnect:erase@1", make([](Faults& f) {
       f.disconnect_at = FrameTrigger{FrameKind::kErase, 1};
     })},
    {"slow=50ms", make([](Faults& f) { f.delay = microseconds(50'000); })},
    {"slow=2s", make([](Faults& f) { f.delay = microseconds(2'000'000); })},
    {"slow=250us", make([](Faults& f) { f.delay = microseconds(250); })},
    {"slow=60s", make([](Faults& f) { f.delay = microseconds(60'000'000); })},
    {"flood-from:data@2", make([](Faults& f) {
       f.flood_from = FrameTrigger{FrameKind::kData, 2};
     })},
    {"drip=10ms", make([](Faults& f) { f.drip = microseconds(10'000); })},
    {"drip=400ms, slow=1ms", make([](Faults& f) {
       f.drip = microseconds(400'000);
       f.delay = microseconds(1'000);
     })},
};

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
    {"silent,,no-bsl", "empty option"},
    {"silent,", "empty option"},
    {"silent,silent", "given twice"},
    {"slow=1ms,slow=2ms", "given twice"},
    {"reply:data@3=F9,reply:data@3=FA", "given twice"},
    {"silent, handshake=ZZ, no-bsl", "'handshake=ZZ'"},  // the option at fault, by name
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
