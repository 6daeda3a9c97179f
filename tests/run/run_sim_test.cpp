// Whole runs against the virtual drive in virtual time: whatever the firmware's shape, the
// drive's flash ends up holding the file's data at the file's addresses.
#include <gtest/gtest.h>

#include <algorithm>

#include "image/stand_in_loader.h"
#include "link/drive_link.h"
#include "matrix/reply_table.h"
#include "platform/panels.h"
#include "platform/serial.h"
#include "run/outcome.h"
#include "run/run_context.h"
#include "sim/faults.h"
#include "sim/sim_line.h"
#include "support/hex_records.h"
#include "support/run_harness.h"

namespace driveflash::test {
namespace {

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

using Lines = std::vector<std::string>;

struct Firmware {
  const char* name;
  Chunks chunks;
  int per_record = 16;
};

class FlashEqualsFile : public ::testing::TestWithParam<Firmware> {};

TEST_P(FlashEqualsFile, PlainAndEncrypted) {
  const Firmware& fw = GetParam();
  const std::string text = make_hex(fw.chunks, fw.per_record);
  const std::string marker(image::kStandInLoaderMarker);
  const Bytes loader = concat(Bytes(marker.begin(), marker.end()), pattern(1000, 7));
  for (const int kind : {0, 1}) {
    RunHarness h;
    h.set_loader(make_hex(0x20000200, loader));
    const auto drive = drive_on_port();
    if (kind == 0) {
      h.set_firmware("fw.hex", text);
    } else {
      h.set_firmware("fw.ehex", to_ehex(text), 1);
    }
    const int before = okcount.load();
    h.run();
    ASSERT_EQ(okcount.load(), before + 1)
        << fw.name << " kind " << kind << ": " << h.lines().back();
    std::string mismatch;
    EXPECT_TRUE(drive->flash_matches(fw.chunks, &mismatch)) << fw.name << ": " << mismatch;
    // The loader file's image goes first, whatever the run fills the transfer up with.
    const Bytes image = drive->loader_image();
    ASSERT_GE(image.size(), loader.size());
    EXPECT_EQ(Bytes(image.begin(), image.begin() + static_cast<long>(loader.size())), loader);
    EXPECT_DOUBLE_EQ(h.progress().back(), 100.0);
  }
}

const Firmware kShapes[] = {Firmware{"one_byte", {{0x10001000, {0x42}}}},
                            Firmware{"offset_start", {{0x10001010, pattern(300)}}},
                            Firmware{"records_of_16", {{0x10001000, pattern(4096, 3)}}},
                            Firmware{"records_of_32", {{0x10001000, pattern(8192, 5)}}, 32},
                            Firmware{"records_of_255", {{0x10001000, pattern(10000, 9)}}, 255},
                            Firmware{"gaps",
                                     {{0x10001000, pattern(100, 1)},
                                      {0x10001180, pattern(100, 2)},
                                      {0x10003000, pattern(50, 3)},
                                      {0x10003233, pattern(7, 4)}}},
                            Firmware{"crossing_64k", {{0x1000F000, pattern(8192, 11)}}},
                            Firmware{"full_200k", {{0x10001000, pattern(200 * 1024, 13)}}, 32}};

const auto kShapeName = [](const auto& row) { return std::string(row.param.name); };

INSTANTIATE_TEST_SUITE_P(Shapes, FlashEqualsFile, ::testing::ValuesIn(kShapes), kShapeName);

// The fast profile sends the same frames in the same order and reads the same replies; it only
// leaves out waits. Before a reply it waits only for the handshake; the waits it keeps are in
// their places: the Modbus silence before the second identity request and the reset request,
// the drive's change of state, the handshake's pauses, the secondary loader's start-up.
class ProfilesAgree : public ::testing::TestWithParam<Firmware> {};

TEST_P(ProfilesAgree, SameFramesFewerWaits) {
  using platform::Micros;
  const Firmware& fw = GetParam();
  const std::string text = make_hex(fw.chunks, fw.per_record);
  for (const int kind : {0, 1}) {
    SCOPED_TRACE(kind);
    std::vector<LineOp> ops[2];
    Micros waits[2];
    for (const int profile : {kTimingStandard, kTimingFast}) {
      RunHarness h;
      drive_on_port();
      h.record_line();
      h.set_timing(profile);
      if (kind == 0) {
        h.set_firmware("fw.hex", text);
      } else {
        h.set_firmware("fw.ehex", to_ehex(text), 1);
      }
      const int before = okcount.load();
      waits[profile] = h.run();
      ASSERT_EQ(okcount.load(), before + 1) << h.lines().back();
      ops[profile] = h.line_ops();
    }
    const auto& standard = ops[kTimingStandard];
    const auto& fast = ops[kTimingFast];
    ASSERT_EQ(standard.size(), fast.size());
    for (std::size_t i = 0; i < fast.size(); ++i) {
      ASSERT_EQ(fast[i].write, standard[i].write) << i;
      ASSERT_EQ(fast[i].bytes, standard[i].bytes) << i;
    }
    // Kept: from the reset request to the first handshake byte (the port closed and reopened)
    // and the handshake's two pauses.
    const auto write_of = [&](std::size_t nth_write) {
      std::size_t seen = 0;
      for (const LineOp& op : fast) {
        if (op.write && ++seen == nth_write) return op;
      }
      return LineOp{};
    };
    // The drive answers at once here: the silence counts from the request's end on the wire.
    const Micros gap = platform::wire_time(8, 19200) + modbus_silence(19200);
    const Micros startup(20'000);
    EXPECT_EQ(write_of(2).waits_before, gap) << "second identity request";
    EXPECT_EQ(write_of(3).waits_before, gap) << "reset request";
    EXPECT_EQ(write_of(4).waits_before, Micros(700'000)) << "first handshake byte";
    EXPECT_EQ(write_of(5).waits_before, Micros(200'000)) << "second handshake byte";
    EXPECT_EQ(write_of(8).waits_before, startup) << "first loader frame";
    Micros before_replies{0};
    Micros on_the_line{0};
    for (const LineOp& op : fast) {
      if (!op.write) before_replies += op.waits_before;
      on_the_line += op.waits_before;
    }
    const Micros kept = 2 * gap + Micros(700'000 + 400'000) + startup;
    EXPECT_EQ(on_the_line, kept) << "a wait that is not kept";
    EXPECT_EQ(before_replies, Micros(200'000)) << "only the handshake's reply is waited for";
    // Those and the resting state's pause are all the fast run waits.
    EXPECT_EQ(waits[kTimingFast], kept + Micros(200'000));
    EXPECT_GT(waits[kTimingStandard], waits[kTimingFast] + Micros(3'000'000));
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ProfilesAgree, ::testing::ValuesIn(kShapes), kShapeName);

// Two regions: header, 3 data, eot; header, 1 data, eot.
const Chunks kTwoRegions = {{0x10001000, pattern(600, 5)}, {0x10004000, pattern(100, 6)}};

// Every byte takes its time on the wire and the operating system's buffer takes the 4096-byte
// loader at once: a write that returned before its bytes were nearly through would start the
// loader's 1.0 s reply time-out too early at 38400 baud and below. The closing header must
// still reach the drive before the port closes.
TEST(RunOnVirtualDrive, WholeRunsWithLineTimeAtEveryLoaderBaud) {
  const Chunks firmware = {{0x10001000, pattern(3000, 3)}, {0x10009F00, pattern(600, 4)}};
  for (const int baud : {9600, 19200, 38400, 57600, 115200, 921600}) {
    SCOPED_TRACE(baud);
    RunHarness h;
    SetCtrlVal(mainpanel, MAINPANEL_LOADER_BAUD, baud);
    const auto drive = drive_on_port("line-time");
    h.set_firmware("fw.hex", make_hex(firmware));
    const int before = okcount.load();
    h.run();
    ASSERT_EQ(okcount.load(), before + 1) << h.lines().back();
    std::string mismatch;
    EXPECT_TRUE(drive->flash_matches(firmware, &mismatch)) << mismatch;
    EXPECT_EQ(drive->statistics().restarts, 1u);
  }
}

// A drive that keeps a real drive's rules (line-time: the Modbus silence before a request, the
// secondary loader deaf for 10 ms after its upload) takes a 64 KB firmware in either profile at
// every drive baud rate: no request runs into the frame before it, no byte of the loader's
// first frame goes unheard.
TEST(RunOnVirtualDrive, BothProfilesKeepARealDrivesRulesAtEveryDriveBaud) {
  const Chunks firmware = {{0x10001000, pattern(64 * 1024, 31)}};
  const std::string text = make_hex(firmware, 32);
  for (const int baud : {9600, 19200, 115200}) {
    for (const int profile : {kTimingStandard, kTimingFast}) {
      SCOPED_TRACE(std::to_string(baud) + (profile == kTimingFast ? " fast" : " standard"));
      RunHarness h;
      h.set_timing(profile);
      SetCtrlVal(mainpanel, MAINPANEL_DRIVE_BAUD, baud);
      const auto drive = drive_on_port("line-time,boot-time=50");
      h.set_firmware("fw.hex", text);
      const int before = okcount.load();
      h.run();
      EXPECT_EQ(okcount.load(), before + 1) << h.lines().back();
      std::string mismatch;
      EXPECT_TRUE(drive->flash_matches(firmware, &mismatch)) << mismatch;
      const sim::VirtualDrive::Statistics stats = drive->statistics();
      EXPECT_EQ(stats.requests_run_in, 0u);
      EXPECT_EQ(stats.bytes_unheard, 0u);
      EXPECT_EQ(stats.reset_requests, 1u);
      EXPECT_EQ(stats.restarts, 1u);
    }
  }
}

// A drive stranded with its secondary loader running, switched off and on while rescue waits:
// the junk the power cycle puts on the line comes before the 0x5D, and the drive is rescued on
// that first power cycle; where the port's adapter went with the drive's power, the port is
// opened again.
class VanishingAdapter final : public platform::SerialLine {
 public:
  VanishingAdapter(std::shared_ptr<sim::VirtualDrive> drive, const platform::LineSettings& s,
                   bool vanish_at_power_cycle)
      : drive_(drive), line_(std::move(drive), s), vanish_(vanish_at_power_cycle) {}
  int write(std::span<const std::uint8_t> bytes) override {
    if (gone()) return kComIoError;
    return line_.write(bytes);
  }
  int read(std::span<std::uint8_t> buffer, platform::Micros deadline) override {
    return gone() ? kComIoError : line_.read(buffer, deadline);
  }
  void flush_input() override { line_.flush_input(); }
  void flush_output() override { line_.flush_output(); }
  bool paced() const override { return line_.paced(); }

 private:
  bool gone() { return vanish_ && drive_->statistics().power_cycles > cycles_at_open_; }
  std::shared_ptr<sim::VirtualDrive> drive_;
  sim::SimLine line_;
  bool vanish_;
  std::uint64_t cycles_at_open_ = drive_->statistics().power_cycles;
};

TEST(RunOnVirtualDrive, RescueOnTheFirstPowerCycleWhateverItPutsOnTheLine) {
  struct Case {
    const char* faults;
    bool adapter_vanishes;
  };
  // An attempt every 2 s from the first byte: a power cycle after 4 s (or 8 s) comes with the
  // handshake's first byte, after 3 s with the identity request at the drive baud rate.
  const Case cases[] = {
      {"start=stuck-loader,power-cycle-after=4,power-cycle-junk=00", false},
      {"start=stuck-loader,power-cycle-after=4,power-cycle-junk=00FF00", false},
      {"start=stuck-loader,power-cycle-after=4,power-cycle-junk=00,line-time", false},
      {"start=stuck-loader,power-cycle-after=3,power-cycle-junk=00,line-time", false},
      {"start=stuck-loader,power-cycle-after=8,power-cycle-junk=00,line-time", true},
  };
  const Chunks firmware = {{0x10001000, pattern(700, 41)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults);
    RunHarness h;
    sim::Faults f;
    std::string error;
    ASSERT_TRUE(sim::parse_faults(c.faults, f, error)) << error;
    const auto drive = std::make_shared<sim::VirtualDrive>(f);
    platform::PortEntry entry;
    entry.number = RunHarness::kPort;
    entry.name = "vanishing";
    entry.open = [drive, vanish = c.adapter_vanishes](const platform::LineSettings& s,
                                                      std::string&) {
      return std::make_unique<VanishingAdapter>(drive, s, vanish);
    };
    platform::map_port(entry);
    platform::operator_set_value(mainpanel, MAINPANEL_RESCUE, 1);
    platform::operator_set_value(mainpanel, MAINPANEL_RESCUE_WAIT, 60);
    h.set_firmware("fw.hex", make_hex(firmware));
    const int before = okcount.load();
    h.run();
    ASSERT_EQ(okcount.load(), before + 1) << h.lines().back();
    std::string mismatch;
    EXPECT_TRUE(drive->flash_matches(firmware, &mismatch)) << mismatch;
    EXPECT_EQ(drive->statistics().power_cycles, 1u);
    const Lines lines = h.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(kFoundInLoaderLine)), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(kPortLostLine)),
              c.adapter_vanishes ? 1 : 0);
    EXPECT_EQ(run::last_outcome().found_in_loader, true);
  }
}

// A drive whose old firmware reaches above the eight sectors takes a new one there too: every
// sector a page goes to is erased first, in ascending order, with its two lines. A region that
// ends at the top of a sector and is followed by another closes with a zero page above it.
TEST(RunOnVirtualDrive, A64KFirmwareIsReplaced) {
  struct Case {
    Chunks firmware;
    std::vector<int> sectors;
  };
  const std::vector<Case> cases = {
      {{{0x10001000, pattern(64 * 1024, 22)}},
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
      {{{0x10001000, pattern(32 * 1024, 23)}, {0x1000F000, pattern(256, 24)}},
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 14}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sectors.size());
    RunHarness h;
    const auto drive = drive_on_port();
    drive->preload_flash(0x10001000, pattern(64 * 1024, 21));
    h.set_firmware("fw.hex", make_hex(c.firmware, 32));
    const int before = okcount.load();
    h.run();
    ASSERT_EQ(okcount.load(), before + 1) << h.lines().back();
    std::string mismatch;
    EXPECT_TRUE(drive->flash_matches(c.firmware, &mismatch)) << mismatch;
    Lines erase;
    for (const std::string& line : h.lines()) {
      if (line.starts_with("Erasing") || line == "Done!") {
        erase.push_back(line);
      }
    }
    Lines expected;
    for (const int sector : c.sectors) {
      expected.push_back("Erasing sector " + std::to_string(sector) +
                         ", This may take a few seconds...");
      expected.emplace_back("Done!");
    }
    EXPECT_EQ(erase, expected);
    EXPECT_EQ(drive->statistics().sectors_erased, c.sectors.size());
  }
}

// 0xF8 after an erase, a region header or an end of transmission starts the download over, each
// pass dimming the OK button and showing the progress bar again, without a line of the run's own;
// a failed erase still says so first.
TEST(RunOnVirtualDrive, ProtectionRepeatsTheWholeDownload) {
  struct Case {
    const char* faults;
    long passes;
    long erase_failures;
  };
  const Case cases[] = {{"protect=2", 3, 0},
                        {"protect=1", 2, 0},
                        {"reply:erase@5=F8", 2, 1},
                        {"reply:eot@2=F8", 2, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults);
    RunHarness h;
    const auto drive = drive_on_port(c.faults);
    h.set_firmware("fw.hex", make_hex(kTwoRegions));
    const int before = okcount.load();
    h.run();
    EXPECT_EQ(okcount.load(), before + 1);
    std::string mismatch;
    EXPECT_TRUE(drive->flash_matches(kTwoRegions, &mismatch)) << mismatch;
    const auto lines = h.lines();
    const auto count = [&](const char* line) {
      return std::count(lines.begin(), lines.end(), line);
    };
    EXPECT_EQ(count("Erasing sector 0, This may take a few seconds..."), c.passes);
    EXPECT_EQ(count("Erase Flash failed!"), c.erase_failures);
    EXPECT_EQ(count("Protection error"), 0);
    std::vector<std::string> attributes;
    for (long pass = 0; pass < c.passes; ++pass) {
      attributes.insert(attributes.end(), {"dim=1", "show=1"});
    }
    attributes.insert(attributes.end(), {"dim=0", "show=0"});
    EXPECT_EQ(h.attributes(), attributes);
  }
}

// Garbage instead of the loader's replies: the first garbage byte is judged, nothing passes for
// success, and the run fails at once, whichever frame the flood begins at.
TEST(RunOnVirtualDrive, AFloodEndsTheRunAtTheFrameItBeginsAt) {
  const auto first_garbage = [](FrameColumn column) {
    return status_text(judged(column, sim::flood_byte(0)));
  };
  const std::vector<std::pair<std::string, Lines>> cases = {
      {"flood-from:erase@1",
       {"Erasing sector 0, This may take a few seconds...", "Erase Flash failed!",
        first_garbage(FrameColumn::kHeader), kLeftPastLoaderEntryLine}},
      {"flood-from:header@2",
       {"Done!", first_garbage(FrameColumn::kHeader), kLeftPastLoaderEntryLine}},
      {"flood-from:data@3", {"Done!", first_garbage(FrameColumn::kData), kLeftPastLoaderEntryLine}},
      {"flood-from:eot@1", {"Done!", first_garbage(FrameColumn::kEot), kLeftPastLoaderEntryLine}},
  };
  for (const auto& [faults, tail] : cases) {
    SCOPED_TRACE(faults);
    RunHarness h;
    drive_on_port(faults);
    h.set_firmware("fw.hex", make_hex(kTwoRegions));
    const int before = okcount.load();
    h.run();
    EXPECT_EQ(okcount.load(), before);
    const Lines lines = h.lines();
    ASSERT_GE(lines.size(), tail.size());
    EXPECT_EQ(Lines(lines.end() - static_cast<std::ptrdiff_t>(tail.size()), lines.end()), tail);
    EXPECT_EQ(FlushInQ(RunHarness::kPort), kComPortNotOpen);
  }
}

// Replies dripped one byte at a time: 10 ms apart the identity answer is whole well within the
// 0.3 s read; 400 ms apart, not even the leftovers of the first answer make up seven bytes for
// the second read.
TEST(RunOnVirtualDrive, RepliesDrippedOneByteAtATime) {
  for (const char* faults : {"drip=10ms", "drip=400ms"}) {
    SCOPED_TRACE(faults);
    RunHarness h;
    drive_on_port(faults);
    h.set_firmware("fw.hex", make_hex(kTwoRegions));
    const int before = okcount.load();
    h.run();
    const bool slow = std::string(faults) == "drip=400ms";
    EXPECT_EQ(okcount.load(), before + (slow ? 0 : 1));
    if (slow) {
      // The loader handshake that follows is not answered by the drive's firmware either.
      ASSERT_EQ(h.lines().size(), 3u);
      EXPECT_EQ(h.lines()[1], "未知型号的驱动器!");
      const run::Outcome out = run::last_outcome();
      EXPECT_EQ(out.cause, run::Cause::kNoAnswer);
      EXPECT_EQ(out.advice, std::vector<std::string>{h.lines()[2]});
    }
  }
}

}  // namespace
}  // namespace driveflash::test
