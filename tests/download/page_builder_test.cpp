#include "image/page_builder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bsl/frames.h"
#include "download/hex_files.h"

namespace {

namespace di = driveflash::image;

using driveflash::test::join;
using driveflash::test::pattern_at;

struct Rec {
  std::uint8_t type = 0;
  std::uint16_t address = 0;
  std::vector<std::uint8_t> data;
};

Rec ela(std::uint16_t upper) {
  return {0x04, 0, {static_cast<std::uint8_t>(upper >> 8u), static_cast<std::uint8_t>(upper)}};
}
Rec dat(std::uint32_t full, std::size_t n) {
  Rec r{0x00, static_cast<std::uint16_t>(full), {}};
  for (std::size_t i = 0; i < n; ++i) {
    r.data.push_back(pattern_at(full + static_cast<std::uint32_t>(i)));
  }
  return r;
}
Rec eof() {
  return {0x01, 0, {}};
}
Rec start_address() {
  return {0x05, 0, {0x10, 0x00, 0x10, 0xC1}};
}
// `count` records of `size` bytes, back to back from `full`.
std::vector<Rec> run(std::uint32_t full, int count, std::size_t size = 16) {
  std::vector<Rec> out;
  for (int i = 0; i < count; ++i) {
    out.push_back(dat(full + static_cast<std::uint32_t>(i * static_cast<int>(size)), size));
  }
  return out;
}

// Writes frames as "r<record>:H<address>", "r<record>:D[<non-zero ranges>]", "r<record>:E"
// ("end" for the frames of finish()), and keeps what they program.
class LogSink final : public di::FrameSink {
 public:
  std::string label;
  std::vector<std::string> log;
  std::map<std::uint32_t, std::uint8_t> flash;
  int fail_at = -1;  // frame index (0-based) answered with fail_code
  int fail_code = 0;
  bool page_twice = false;

  int header(std::uint32_t page_address) override {
    char text[32];
    std::snprintf(text, sizeof text, "H%08X", page_address);
    next_page_ = page_address;
    return note(text);
  }
  int data(std::span<const std::uint8_t, kFlashPage> page) override {
    std::string ranges;
    for (std::size_t i = 0; i < page.size(); ++i) {
      page_twice = page_twice || flash.count(next_page_ + static_cast<std::uint32_t>(i)) != 0;
      flash[next_page_ + static_cast<std::uint32_t>(i)] = page[i];
      if (page[i] != 0 && (i == 0 || page[i - 1] == 0)) {
        std::size_t last = i;
        while (last + 1 < page.size() && page[last + 1] != 0) {
          ++last;
        }
        char text[16];
        std::snprintf(text, sizeof text, "%s%zX-%zX", ranges.empty() ? "" : ",", i, last);
        ranges += text;
      }
    }
    next_page_ += kFlashPage;
    return note("D[" + ranges + "]");
  }
  int eot() override { return note("E"); }

  std::string joined() const {
    std::string out;
    for (const auto& s : log) {
      out += (out.empty() ? "" : " ") + s;
    }
    return out;
  }

 private:
  int note(const std::string& frame) {
    const int index = static_cast<int>(log.size());
    log.push_back(label + ":" + frame);
    return index == fail_at ? fail_code : 0;
  }
  std::uint32_t next_page_ = 0;
};

// Feeds the records in order, labelling frames by 1-based record number; returns the status.
int feed(const std::vector<Rec>& records, LogSink& sink) {
  di::PageBuilder builder(sink);
  int status = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    sink.label = "r" + std::to_string(i + 1);
    status = builder.record({records[i].type, records[i].address, records[i].data});
  }
  sink.label = "end";
  const int finished = builder.finish();
  if (status != 0) {
    EXPECT_EQ(finished, status) << "finish after a failure";
  }
  return finished;
}

// Every data byte at its own address, every other programmed byte zero, no page twice.
void expect_placed(const std::vector<Rec>& records, const LogSink& sink, const std::string& name) {
  std::map<std::uint32_t, std::uint8_t> wanted;
  std::uint32_t upper = 0;
  for (const Rec& r : records) {
    if (r.type == 0x04) {
      upper = static_cast<std::uint32_t>((r.data[0] << 8) | r.data[1]) << 16;
    } else if (r.type == 0x00) {
      for (std::size_t i = 0; i < r.data.size(); ++i) {
        wanted[(upper | r.address) + static_cast<std::uint32_t>(i)] = r.data[i];
      }
    }
  }
  EXPECT_FALSE(sink.page_twice) << name;
  for (const auto& [address, value] : wanted) {
    const auto at = sink.flash.find(address);
    ASSERT_NE(at, sink.flash.end()) << name << std::hex << " address " << address;
    EXPECT_EQ(at->second, value) << name << std::hex << " address " << address;
  }
  for (const auto& [address, value] : sink.flash) {
    if (wanted.count(address) == 0) {
      EXPECT_EQ(value, 0) << name << std::hex << " fill at " << address;
    }
  }
}

struct Case {
  const char* name;
  std::vector<Rec> records;
  const char* frames;
  int status = 0;
};

TEST(PageBuilder, FrameSequences) {
  const std::vector<Case> cases = {
      {"34 lines: two full pages", join({{ela(0x1000)}, run(0x10001000, 32), {eof()}}),
       "r2:H10001000 r17:D[0-FF] r33:D[0-FF] end:E"},
      {"first record at 0x1010: 16 zero bytes ahead",
       {ela(0x1000), dat(0x10001010, 16)},
       "r2:H10001000 end:D[10-1F] end:E"},
      {"20 records then 0x10001400: 64 pending bytes close the region",
       join({{ela(0x1000)}, run(0x10001000, 20), {dat(0x10001400, 16)}}),
       "r2:H10001000 r17:D[0-FF] r22:D[0-3F] r22:E r22:H10001400 end:D[0-F] end:E"},
      {"region ends on a page boundary: 256 zero bytes still sent",
       join({{ela(0x1000)}, run(0x10001000, 16), {dat(0x10001400, 16)}}),
       "r2:H10001000 r17:D[0-FF] r18:D[] r18:E r18:H10001400 end:D[0-F] end:E"},
      {"48-byte hole",
       {ela(0x1000), dat(0x10001000, 16), dat(0x10001040, 16)},
       "r2:H10001000 end:D[0-F,40-4F] end:E"},
      {"contiguous across 64 KB",
       join({{ela(0x1000)}, run(0x1000FF00, 16), {ela(0x1001)}, run(0x10010000, 4)}),
       "r2:H1000FF00 r17:D[0-FF] end:D[0-3F] end:E"},
      {"types 01 and 05 change nothing, data after 01 is programmed",
       {ela(0x1000), dat(0x10001000, 16), eof(), start_address(), dat(0x10001010, 16)},
       "r2:H10001000 end:D[0-1F] end:E"},
      {"empty file: one end-of-transmission frame", {}, "end:E"},
      // Repairs of the procedure as first written.
      {"pending bytes after a 04 record are sent at the region change",
       {ela(0x1000), dat(0x10001000, 16), ela(0x1002), dat(0x10020000, 16)},
       "r2:H10001000 r4:D[0-F] r4:E r4:H10020000 end:D[0-F] end:E"},
      {"new segment not continuing: bytes at their own address",
       join({{ela(0x1000)}, run(0x1000FF00, 4), {ela(0x1001), dat(0x10010020, 16)}}),
       "r2:H1000FF00 r7:D[0-3F] end:D[20-2F] end:E"},
      {"gap after a record of another type measured from the data",
       {ela(0x1000), dat(0x10001000, 16), {0x05, 0x0F00, {1, 2, 3, 4}}, dat(0x10001020, 16)},
       "r2:H10001000 end:D[0-F,20-2F] end:E"},
      {"255-byte records", join({{ela(0x1000)}, run(0x10001000, 3, 255)}),
       "r2:H10001000 r3:D[0-FF] r4:D[0-FF] end:D[0-FC] end:E"},
      {"a hole and a long record fill two pages at once",
       {ela(0x1000), dat(0x10001000, 16), dat(0x100011F0, 255)},
       "r2:H10001000 r3:D[0-F] r3:D[F0-FF] end:D[0-EE] end:E"},
      {"data below 0x200 without a 04 record still opens a region",
       {dat(0x10, 16)},
       "r1:H00000000 end:D[10-1F] end:E"},
      {"a record without data opens nothing",
       {ela(0x1000), dat(0x10001000, 16), {0x00, 0x0000, {}}},
       "r2:H10001000 end:D[0-F] end:E"},
      {"data ending at the top of the address space",
       {ela(0xFFFF), dat(0xFFFFFF00, 255), dat(0xFFFFFFFF, 1)},
       "r2:HFFFFFF00 r3:D[0-FF] end:E"},
      // Refused before anything wrong is sent.
      {"step backward below the window",
       join({{ela(0x1000)}, run(0x10001000, 48), {dat(0x10001000, 16)}}),
       "r2:H10001000 r17:D[0-FF] r33:D[0-FF] r49:D[0-FF]", kStatusInvalidHexfile},
      {"overlap inside the window",
       {ela(0x1000), dat(0x10001000, 16), dat(0x10001008, 16)},
       "r2:H10001000",
       kStatusInvalidHexfile},
      {"data past 0xFFFFFFFF", {ela(0xFFFF), dat(0xFFFFFFF0, 32)}, "", kStatusInvalidHexfile},
  };
  for (const Case& c : cases) {
    LogSink sink;
    EXPECT_EQ(feed(c.records, sink), c.status) << c.name;
    EXPECT_EQ(sink.joined(), c.frames) << c.name;
    if (c.status == 0) {
      expect_placed(c.records, sink, c.name);
    }
  }
}

// Whichever frame fails, nothing goes out after it, the open region stays open and every
// later call returns that frame's status.
TEST(PageBuilder, StopsAtTheFirstFailingFrame) {
  const auto records = join({{ela(0x1000)}, run(0x10001000, 20), {dat(0x10001400, 16)}});
  LogSink full;
  ASSERT_EQ(feed(records, full), 0);
  for (int k = 0; k < static_cast<int>(full.log.size()); ++k) {
    for (const int code : {kStatusProtection, kStatusVerification, kStatusUnknown}) {
      LogSink sink;
      sink.fail_at = k;
      sink.fail_code = code;
      EXPECT_EQ(feed(records, sink), code) << "frame " << k;
      EXPECT_EQ(sink.log, std::vector<std::string>(full.log.begin(), full.log.begin() + k + 1))
          << "frame " << k;
    }
  }
}

TEST(PageBuilder, PlacedDataEqualsRecordsAcrossRegions) {
  // Records of every length from 1 to 40 with holes of every size up to 700 bytes, in
  // ascending order: each byte lands at its address whatever the regions become.
  std::vector<Rec> records{ela(0x1000)};
  std::uint32_t address = 0x10001003;
  for (std::uint32_t i = 1; i <= 40; ++i) {
    records.push_back(dat(address, i));
    address += i + (i * 37u) % 700u;
  }
  LogSink sink;
  ASSERT_EQ(feed(records, sink), 0);
  expect_placed(records, sink, "mixed");
}

}  // namespace
