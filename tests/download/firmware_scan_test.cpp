#include "image/firmware_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "download/hex_files.h"

namespace driveflash::test {
namespace {

using image::FileKind;
using image::FirmwareReport;
using image::Issue;

std::vector<Issue> issue_kinds(const FirmwareReport& r) {
  std::vector<Issue> out;
  for (const auto& i : r.issues) {
    out.push_back(i.issue);
  }
  return out;
}

// A record with its checksum replaced.
std::string bad_checksum(std::string record) {
  record.replace(record.size() - 2, 2, record.substr(record.size() - 2) == "00" ? "01" : "00");
  return record;
}

struct IssueCase {
  const char* name;
  std::vector<std::string> lines;
  std::vector<Issue> issues;
  bool refused;
};

TEST(FirmwareScan, RecordIssues) {
  const std::string good = data_record(0x10001000, 16);
  std::string non_hex = good;
  non_hex[12] = 'G';
  const std::vector<IssueCase> cases = {
      {"clean file", two_page_records(), {}, false},
      {"blank lines and a trailing Ctrl-Z",
       {ext_linear(0x1000), "", good, "  ", "\x1A"},
       {},
       false},
      {"lower-case digits",
       {ext_linear(0x1000),
        "\x3a"
        "02100000abcd76"},
       {},
       false},
      // Records that do not read as written would put bytes in flash the file does not hold.
      {"checksum error", {ext_linear(0x1000), bad_checksum(good)}, {Issue::Checksum}, true},
      {"non-hex character", {ext_linear(0x1000), non_hex}, {Issue::NonHex}, true},
      {"unknown record type",
       {ext_linear(0x1000), good, hex_record(0x07, 0, {1, 2})},
       {Issue::UnknownType},
       false},
      // Nothing to program after the erase.
      {"no data record", {ext_linear(0x1000), eof_record()}, {}, true},
      {"data record without bytes", {ext_linear(0x1000), hex_record(0x00, 0x1000, {})}, {}, true},
      {"record cut short", {ext_linear(0x1000), good.substr(0, 30)}, {Issue::Truncated}, true},
      {"header cut short", {":1010"}, {Issue::Truncated}, true},
      {"no start code", {good.substr(1)}, {Issue::NoStartCode}, true},
      {"line longer than any record",
       {":" + std::string(700, '0')},
       {Issue::LineTooLong, Issue::NoStartCode},
       true},
      {"04 record without its address", {hex_record(0x04, 0, {})}, {Issue::ShortAddress}, true},
      {"two records on one line", {ext_linear(0x1000) + good}, {Issue::TrailingText}, true},
      {"blanks after the checksum", {ext_linear(0x1000) + " \t", good + "  "}, {}, false},
      {"data past 0xFFFFFFFF",
       {ext_linear(0xFFFF), data_record(0xFFFFFFF8, 16)},
       {Issue::AddressWrap},
       true},
      {"two values for one address",
       {ext_linear(0x1000), good, hex_record(0x00, 0x1008, {1, 2, 3})},
       {Issue::Conflict},
       true},
  };
  for (const IssueCase& c : cases) {
    TempDir dir;
    const std::string path = dir.write("f.hex", plain_file(c.lines));
    const FirmwareReport r = image::scan_firmware(path.c_str(), 0);
    EXPECT_TRUE(r.opened) << c.name;
    EXPECT_EQ(issue_kinds(r), c.issues) << c.name;
    EXPECT_EQ(r.refused(), c.refused) << c.name;
    EXPECT_EQ(r.problem().empty(), !c.refused) << c.name;
  }
}

struct OrderCase {
  const char* name;
  std::vector<std::string> lines;
  bool ascending;
  bool overlaps;
  std::vector<std::pair<std::uint32_t, std::size_t>> runs;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> regions;  // first page, pages
};

TEST(FirmwareScan, OrderOverlapAndRegions) {
  const std::vector<OrderCase> cases = {
      {"two pages in order",
       two_page_records(),
       true,
       false,
       {{0x10001000, 512}},
       {{0x10001000, 2}}},
      // The 49th record repeats the first: sorted, its bytes are programmed once.
      {"step backward with the same bytes",
       join({{ext_linear(0x1000)}, data_run(0x10001000, 48), {data_record(0x10001000, 16)}}),
       false,
       true,
       {{0x10001000, 768}},
       {{0x10001000, 3}}},
      {"pages out of order",
       join({{ext_linear(0x1000)}, data_run(0x10001100, 16), data_run(0x10001000, 16)}),
       false,
       false,
       {{0x10001000, 512}},
       {{0x10001000, 2}}},
      {"segments out of order",
       {ext_linear(0x1002), data_record(0x10020000, 16), ext_linear(0x1000),
        data_record(0x10001000, 16)},
       false,
       false,
       {{0x10001000, 16}, {0x10020000, 16}},
       {{0x10001000, 1}, {0x10020000, 1}}},
      {"contiguous across 64 KB",
       join({{ext_linear(0x1000)},
             data_run(0x1000FFC0, 4),
             {ext_linear(0x1001)},
             data_run(0x10010000, 4)}),
       true,
       false,
       {{0x1000FFC0, 128}},
       {{0x1000FF00, 2}}},
      {"far apart: a region each, zero page at the change",
       join({{ext_linear(0x1000)}, data_run(0x10001000, 16), {data_record(0x10001400, 16)}}),
       true,
       false,
       {{0x10001000, 256}, {0x10001400, 16}},
       {{0x10001000, 2}, {0x10001400, 1}}},
  };
  for (const OrderCase& c : cases) {
    TempDir dir;
    const std::string path = dir.write("f.hex", plain_file(c.lines));
    const FirmwareReport r = image::scan_firmware(path.c_str(), 0);
    ASSERT_FALSE(r.refused()) << c.name << ": " << r.problem();
    EXPECT_EQ(r.records, c.lines.size()) << c.name;
    EXPECT_EQ(r.ascending, c.ascending) << c.name;
    EXPECT_EQ(r.overlaps, c.overlaps) << c.name;
    std::vector<std::pair<std::uint32_t, std::size_t>> runs;
    std::size_t data_bytes = 0;
    for (const auto& run : r.runs) {
      data_bytes += run.bytes.size();
      runs.emplace_back(run.address, run.bytes.size());
      for (std::size_t i = 0; i < run.bytes.size(); ++i) {
        ASSERT_EQ(run.bytes[i], pattern_at(run.address + static_cast<std::uint32_t>(i))) << c.name;
      }
    }
    EXPECT_EQ(runs, c.runs) << c.name;
    EXPECT_EQ(r.data_bytes, data_bytes) << c.name;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> regions;
    std::uint32_t pages = 0;
    for (const auto& region : r.regions) {
      regions.emplace_back(region.first_page, region.pages);
      pages += region.pages;
    }
    EXPECT_EQ(r.data_frames, pages) << c.name;
    EXPECT_EQ(regions, c.regions) << c.name;
    EXPECT_EQ(r.eot_frames, c.regions.size()) << c.name;
  }
}

TEST(FirmwareScan, EncryptedRecordsSpanWholeBlocks) {
  // Records of 16, 32, 34 and 255 data bytes; 34 leaves a single fill byte in its last block.
  for (const std::size_t n :
       {std::size_t{16}, std::size_t{32}, std::size_t{34}, std::size_t{255}}) {
    const std::vector<std::string> records{ext_linear(0x1000), data_record(0x10001000, n),
                                           eof_record()};
    TempDir dir;
    const std::string path = dir.write("f.ehex", ehex_file_of(records));
    const FirmwareReport r = image::scan_firmware(path.c_str(), 1);
    ASSERT_FALSE(r.refused()) << n << ": " << r.problem();
    EXPECT_EQ(r.kind, FileKind::Ehex);
    EXPECT_EQ(r.records, 3u) << n;
    ASSERT_EQ(r.chunks.size(), 1u) << n;
    EXPECT_EQ(r.chunks[0].address, 0x10001000u);
    ASSERT_EQ(r.chunks[0].bytes.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_EQ(r.chunks[0].bytes[i], pattern_at(0x10001000 + static_cast<std::uint32_t>(i)));
    }
  }
}

TEST(FirmwareScan, DamagedEncryptedFilesAreRefused) {
  const Bytes good = ehex_file_of({ext_linear(0x1000), data_record(0x10001000, 16)});
  Bytes foreign = good;
  foreign[16] ^= 0x01;  // the data record's first block no longer deciphers to ':'
  struct Case {
    const char* name;
    Bytes file;
    Issue issue;
  };
  const std::vector<Case> cases = {
      {"record cut at a block boundary", Bytes(good.begin(), good.end() - 16), Issue::Truncated},
      {"record cut inside a block", Bytes(good.begin(), good.end() - 5), Issue::Truncated},
      {"block that does not decipher to ':'", foreign, Issue::NoStartCode},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string path = dir.write("f.ehex", c.file);
    const FirmwareReport r = image::scan_firmware(path.c_str(), 1);
    EXPECT_TRUE(r.refused()) << c.name;
    ASSERT_FALSE(r.issues.empty()) << c.name;
    EXPECT_EQ(r.refusal.issue, c.issue) << c.name;
  }
}

// A missing file and a directory: DownloadTest.RefusedFilesAreNeverErased.
TEST(FirmwareScan, NoFileNameIsRefused) {
  EXPECT_TRUE(image::scan_firmware(nullptr, 0).refused());
}

TEST(FirmwareScan, OtherFileTypesReadAsPlainHex) {
  TempDir dir;
  const std::string path = dir.write("f.hex", plain_file(two_page_records()));
  for (const int filetype : {0, 2, -1, 7}) {
    const FirmwareReport r = image::scan_firmware(path.c_str(), filetype);
    EXPECT_EQ(r.kind, FileKind::Hex) << filetype;
    EXPECT_FALSE(r.refused()) << filetype;
    EXPECT_EQ(r.records, 34u) << filetype;
  }
}

}  // namespace
}  // namespace driveflash::test
