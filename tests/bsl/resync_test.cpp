// Getting back in step with the secondary loader, against scripted peers in virtual time.
#include "bsl/resync.h"

#include <gtest/gtest.h>

#include "bsl/frames.h"
#include "bsl/scripted_port.h"
#include "platform/timing.h"

namespace driveflash::test {
namespace {

constexpr const char* kFill = "FF FE FE FE FE FE FE FE FE FE FE FE FE FE FE FE";
constexpr const char* kEot = "02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

Bytes all_written(const platform::ScriptedLine& line) {
  Bytes out;
  for (const auto& w : line.writes()) {
    out.insert(out.end(), w.begin(), w.end());
  }
  return out;
}

// A loader that is gone: given up within the bound, having sent nothing that could erase,
// program or start the firmware, whatever frame the loader might be inside; and the port's
// time-out is the run's again.
TEST(Resync, ASilentLoaderIsGivenUpWithoutAHarmfulByte) {
  platform::ScopedVirtualClock clock;
  const auto line = scripted();
  const ScriptedPort port(line);
  EXPECT_EQ(bl_resync(port.number()), kStatusUnknown);
  EXPECT_LT(clock.get().now(), platform::Micros(7'000'000));
  double timeout = 0;
  ASSERT_EQ(GetComTime(port.number(), &timeout), 0);
  EXPECT_DOUBLE_EQ(timeout, 1.0);

  const Bytes sent = all_written(*line);
  ASSERT_GT(sent.size(), kDataFrameSize);  // enough to complete any frame
  EXPECT_EQ(sent.front(), bsl::kFillFirst);
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    // No data block type, no erase, run or extended mode.
    EXPECT_TRUE(sent[i] != 0x01 && sent[i] != 0x03 && sent[i] != 0x06) << "byte " << i;
    // A data frame the loader began on a garbled block type never completes from these.
    sum ^= sent[i];
    EXPECT_NE(sum, 0) << "byte " << i;
  }
}

// A loader in step: it refuses the filler as an unknown block, echoes the read, and ends the
// region.
TEST(Resync, ALoaderInStepIsBackAfterOneRead) {
  platform::ScopedVirtualClock clock;
  const auto line = scripted({{0xFF}, hex_bytes("01 04 10 00 10 00 12 34 56 78"), {kReplyOk}});
  const ScriptedPort port(line);
  EXPECT_EQ(bl_resync(port.number()), kStatusOk);
  EXPECT_EQ(written(*line), (std::vector<std::string>{
                                kFill, "00 04 10 00 10 00 00 00 00 00 00 00 00 00 00 04", kEot}));
}

// An echo of another address is a late answer to an earlier read, not to this one: one byte
// at a time until the loader answers, then a read of another word.
TEST(Resync, ALateEchoIsNotTakenForTheAnswer) {
  platform::ScopedVirtualClock clock;
  const auto line = scripted({{0xFF},
                              hex_bytes("01 04 10 00 10 0C 00 00 00 00"),
                              {0xFF},
                              hex_bytes("01 04 10 00 10 04 00 00 00 00"),
                              {kReplyOk}});
  const ScriptedPort port(line);
  EXPECT_EQ(bl_resync(port.number()), kStatusOk);
  EXPECT_EQ(written(*line), (std::vector<std::string>{
                                kFill, "00 04 10 00 10 00 00 00 00 00 00 00 00 00 00 04", "FE",
                                "00 04 10 00 10 04 00 00 00 00 00 00 00 00 00 00", kEot}));
}

}  // namespace
}  // namespace driveflash::test
