#include "image/firmware_scan.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <set>

#include "bsl/erase_read.h"
#include "crypto/aes.h"
#include "image/download.h"
#include "platform/files.h"

namespace driveflash::image {
namespace {

constexpr unsigned bit(Issue issue) {
  return static_cast<unsigned>(issue);
}

// A record that does not read as written (a wrong checksum, a 'G' read as 7) would put bytes
// in flash that the file does not hold: refused like a record that cannot be read at all.
constexpr unsigned kRefusing =
    bit(Issue::NoStartCode) | bit(Issue::Truncated) | bit(Issue::LineTooLong) |
    bit(Issue::BadCount) | bit(Issue::ShortAddress) | bit(Issue::NonHex) | bit(Issue::Checksum) |
    bit(Issue::AddressWrap) | bit(Issue::Conflict) | bit(Issue::TrailingText) |
    bit(Issue::OutsideFlash);
// Records whose fields could not be taken apart; nothing of them is placed.
constexpr unsigned kUnreadable = bit(Issue::NoStartCode) | bit(Issue::Truncated);

constexpr std::size_t kRecordHead = 11;  // ':', count, address, type and checksum
constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;

int digits(std::span<const char> text, std::size_t position, unsigned count) {
  int value = 0;
  charToInt(&value, text.data() + position, count);
  return value;
}

bool is_digit(char c, bool nibbles) {
  const auto u = static_cast<unsigned char>(c);
  return nibbles ? u < 16 : std::isxdigit(u) != 0;
}

// Blank, white or control characters only (a trailing Ctrl-Z of old DOS tools included).
bool blank_text(std::span<const char> text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7F;
  });
}

int read_block(int handle, std::array<unsigned char, kCipherBlock>& block) {
  return CVI_ReadFile(handle, reinterpret_cast<char*>(block.data()), kCipherBlock);
}

}  // namespace

bool refuses(Issue issue) {
  return (bit(issue) & kRefusing) != 0;
}
bool refuses_any(unsigned issues) {
  return (issues & kRefusing) != 0;
}

const char* issue_text(Issue issue) {
  switch (issue) {
    case Issue::NoStartCode:
      return "not an Intel HEX record (no ':')";
    case Issue::Truncated:
      return "record shorter than its byte count";
    case Issue::LineTooLong:
      return "line too long for a record";
    case Issue::BadCount:
      return "byte count is not two hex digits";
    case Issue::ShortAddress:
      return "extended linear address record without its address";
    case Issue::NonHex:
      return "character that is not a hex digit";
    case Issue::Checksum:
      return "checksum error";
    case Issue::UnknownType:
      return "unknown record type";
    case Issue::AddressWrap:
      return "data beyond address 0xFFFFFFFF";
    case Issue::Conflict:
      return "two records give different values to one address";
    case Issue::TrailingText:
      return "text after the record's checksum";
    case Issue::OutsideFlash:
      return "data outside the flash (0x10001000-0x10032FFF)";
  }
  return "unknown issue";
}

void parse_record(std::span<const char> text, bool nibbles, unsigned issues, ParsedRecord& out) {
  out.blank = false;
  out.type = 0;
  out.address = 0;
  out.count = 0;
  out.issues = issues;
  if (!nibbles && issues == 0 && blank_text(text)) {
    out.blank = true;
    return;
  }
  if ((issues & kUnreadable) != 0) {
    return;
  }
  if (text.empty() || text[0] != ':') {
    out.issues |= bit(Issue::NoStartCode);
    return;
  }
  if (text.size() < kRecordHead) {
    out.issues |= bit(Issue::Truncated);
    return;
  }
  const int n = digits(text, 1, 2);
  const std::size_t need = kRecordHead + 2 * static_cast<std::size_t>(n);
  if (text.size() < need) {
    out.issues |= bit(Issue::Truncated);
    return;
  }
  // A plain line holds one record: anything but blanks after its checksum would be dropped
  // unseen (encrypted records are followed by fill instead).
  if (!nibbles && (issues & bit(Issue::LineTooLong)) == 0 && !blank_text(text.subspan(need))) {
    out.issues |= bit(Issue::TrailingText);
  }
  if (!std::all_of(text.begin() + 1, text.begin() + static_cast<std::ptrdiff_t>(need),
                   [nibbles](char c) { return is_digit(c, nibbles); })) {
    out.issues |= bit(Issue::NonHex);
  }
  out.count = static_cast<std::uint8_t>(n);
  out.address = static_cast<std::uint16_t>(digits(text, 3, 4));
  out.type = static_cast<std::uint8_t>(digits(text, 7, 2));
  unsigned sum = out.count + (out.address >> 8u) + (out.address & 0xFFu) + out.type;
  for (std::size_t i = 0; i < out.count; ++i) {
    out.bytes[i] = static_cast<std::uint8_t>(digits(text, 9 + 2 * i, 2));
    sum += out.bytes[i];
  }
  sum += static_cast<unsigned>(digits(text, 9 + 2 * std::size_t{out.count}, 2));
  if ((sum & 0xFFu) != 0 && !out.has(Issue::NonHex)) {
    out.issues |= bit(Issue::Checksum);
  }
  if (out.type > 0x05) {
    out.issues |= bit(Issue::UnknownType);
  }
  if (out.type == kRecordExtLinear && out.count < 2) {
    out.issues |= bit(Issue::ShortAddress);
  }
}

bool data_address(const ParsedRecord& rec, std::uint32_t& upper, std::uint32_t& address) {
  if (rec.blank || (rec.issues & kUnreadable) != 0) {
    return false;
  }
  if (rec.type == kRecordExtLinear && rec.count >= 2) {
    upper = static_cast<std::uint32_t>((rec.bytes[0] << 8) | rec.bytes[1]) << 16;
    return false;
  }
  if (rec.type != kRecordData || rec.count == 0) {
    return false;
  }
  address = upper | rec.address;
  return true;
}

int open_firmware(const char* path, FileKind kind) {
  if (path == nullptr) {
    return -1;
  }
  return CVI_OpenFile(path, VAL_READ_ONLY, VAL_OPEN_AS_IS,
                      kind == FileKind::Ehex ? VAL_BINARY : VAL_ASCII);
}

ReadStatus RecordReader::next(ParsedRecord& out) {
  return kind_ == FileKind::Ehex ? next_ehex(out) : next_plain(out);
}

ReadStatus RecordReader::next_plain(ParsedRecord& out) {
  const int got = ReadLine(handle_, text_.data(), kLineLimit);
  if (got == kEndOfFile) {
    return ReadStatus::End;
  }
  if (got < 0) {
    return ReadStatus::Error;
  }
  const auto length = std::min(static_cast<std::size_t>(got), static_cast<std::size_t>(kLineLimit));
  // A line that fills the buffer may go on, and its rest would come back as a record.
  const unsigned issues = length == kLineLimit ? bit(Issue::LineTooLong) : 0u;
  parse_record({text_.data(), length}, false, issues, out);
  return ReadStatus::Record;
}

ReadStatus RecordReader::next_ehex(ParsedRecord& out) {
  std::array<unsigned char, kCipherBlock> block{};
  int got = read_block(handle_, block);
  if (got == 0) {
    return ReadStatus::End;
  }
  if (got < 0) {
    return ReadStatus::Error;
  }
  if (got < kCipherBlock) {
    blocks_ = 1;
    parse_record({}, true, bit(Issue::Truncated), out);
    return ReadStatus::Record;
  }
  crypto::decrypt_block(block.data());
  unsigned issues = 0;
  int blocks = ehex_record_blocks(block.data(), blocks_);
  if (blocks < 0) {
    issues |= bit(Issue::BadCount);
    blocks = 1;
  }
  blocks = std::clamp(blocks, 1, kMaxRecordBlocks);
  blocks_ = blocks;
  text_.fill(0);
  if (block[0] == ':') {
    ASCIItoHEX(reinterpret_cast<char*>(block.data()), kCipherBlock);
    std::memcpy(text_.data(), block.data(), kCipherBlock);
  } else {
    // The format's one plausibility test: a record's first block starts with ':'. Without it
    // the key is not the file's, or the file is damaged.
    issues |= bit(Issue::NoStartCode);
  }
  std::size_t length = kCipherBlock;
  for (int j = 1; j < blocks; ++j) {
    got = read_block(handle_, block);
    if (got < 0) {
      return ReadStatus::Error;
    }
    if (got < kCipherBlock) {
      issues |= bit(Issue::Truncated);  // the file ends inside the record
      break;
    }
    crypto::decrypt_block(block.data());
    ASCIItoHEX(reinterpret_cast<char*>(block.data()), kCipherBlock);
    std::memcpy(text_.data() + length, block.data(), kCipherBlock);
    length += kCipherBlock;
  }
  parse_record({text_.data(), length}, true, issues, out);
  return ReadStatus::Record;
}

namespace {

void note_issues(FirmwareReport& r, std::uint32_t record, unsigned issues, std::uint32_t address) {
  for (unsigned b = 1; b != 0 && b <= issues; b <<= 1u) {
    if ((issues & b) == 0) {
      continue;
    }
    const RecordIssue found{record, static_cast<Issue>(b), address};
    ++r.issue_total;
    if (r.issues.size() < FirmwareReport::kMaxIssues) {
      r.issues.push_back(found);
    }
    if (refuses(found.issue) && !r.refusing) {
      r.refusing = true;
      r.refusal = found;
    }
  }
}

// Merges the chunks by address into contiguous runs; bytes given twice must agree.
void coalesce(FirmwareReport& r) {
  std::vector<std::size_t> order(r.chunks.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&r](std::size_t a, std::size_t b) {
    return r.chunks[a].address < r.chunks[b].address;
  });
  for (const std::size_t index : order) {
    const DataChunk& c = r.chunks[index];
    if (r.runs.empty() || c.address > r.runs.back().end()) {
      r.runs.push_back(c);
      continue;
    }
    // Runs are disjoint and sorted, so only the last one can reach this chunk.
    DataChunk& run = r.runs.back();
    const std::uint64_t shared_end = std::min(c.end(), run.end());
    for (std::uint64_t a = c.address; a < shared_end; ++a) {
      r.overlaps = true;
      if (run.bytes[a - run.address] != c.bytes[a - c.address]) {
        note_issues(r, c.record, bit(Issue::Conflict), static_cast<std::uint32_t>(a));
        break;
      }
    }
    if (c.end() > run.end()) {
      const auto tail = static_cast<std::ptrdiff_t>(run.end() - c.address);
      run.bytes.insert(run.bytes.end(), c.bytes.begin() + tail, c.bytes.end());
    }
  }
  for (const DataChunk& run : r.runs) {
    r.data_bytes += run.bytes.size();
  }
}

class CountingSink final : public FrameSink {
 public:
  explicit CountingSink(FirmwareReport& r) : r_(r) {}
  int header(std::uint32_t page_address) override {
    r_.regions.push_back({page_address, 0});
    return 0;
  }
  int data(std::span<const std::uint8_t, kFlashPage>) override {
    ++r_.data_frames;
    if (!r_.regions.empty()) {
      ++r_.regions.back().pages;
    }
    return 0;
  }
  int eot() override {
    ++r_.eot_frames;
    return 0;
  }

 private:
  FirmwareReport& r_;
};

// Old firmware above the eight sectors would otherwise be programmed over, which leaves those
// cells corrupt. Every page sent counts, the zero page that closes a region included: it may
// lie in a sector no data touches. Pages outside the flash are left to the loader to refuse.
void plan_erase(FirmwareReport& r) {
  std::set<std::uint32_t> sectors;
  for (const PlannedRegion& region : r.regions) {
    const std::uint64_t first = std::max<std::uint64_t>(region.first_page, kEraseEnd);
    const std::uint64_t end = std::min(
        std::uint64_t{region.first_page} + std::uint64_t{region.pages} * kFlashPage, kFlashEnd);
    for (std::uint64_t page = first; page < end; page += kFlashPage) {
      sectors.insert(static_cast<std::uint32_t>(page - (page - kEraseFirstSector) % kSectorSize));
    }
  }
  r.erase_beyond.assign(sectors.begin(), sectors.end());
}

void plan(FirmwareReport& r) {
  CountingSink sink(r);
  PageBuilder builder(sink);
  for (const DataChunk& c : r.ascending ? r.chunks : r.runs) {
    builder.place(c.address, c.bytes);
  }
  builder.finish();
}

}  // namespace

FirmwareReport scan_open_file(int handle, FileKind kind) {
  FirmwareReport r;
  r.kind = kind;
  r.opened = true;
  RecordReader reader(handle, kind);
  ParsedRecord rec;
  std::uint32_t upper = 0;
  std::uint32_t address = 0;
  for (;;) {
    const ReadStatus status = reader.next(rec);
    if (status == ReadStatus::End) {
      break;
    }
    if (status == ReadStatus::Error) {
      r.read_error = true;
      break;
    }
    ++r.records;
    note_issues(r, r.records, rec.issues, 0);
    if (!data_address(rec, upper, address)) {
      continue;
    }
    DataChunk chunk{address, {rec.data().begin(), rec.data().end()}, r.records};
    if (chunk.end() > kAddressSpace) {
      note_issues(r, r.records, bit(Issue::AddressWrap), address);
      continue;
    }
    // The erase would go first and the loader refuse the page afterwards: a drive without
    // firmware. Refused before anything reaches the drive, like a record that cannot be read.
    if (chunk.address < kFlashBase || chunk.end() > kFlashEnd) {
      const std::uint32_t outside =
          chunk.address < kFlashBase
              ? chunk.address
              : static_cast<std::uint32_t>(std::max<std::uint64_t>(chunk.address, kFlashEnd));
      note_issues(r, r.records, bit(Issue::OutsideFlash), outside);
    }
    if (!r.chunks.empty() && chunk.address < r.chunks.back().end()) {
      r.ascending = false;
    }
    r.chunks.push_back(std::move(chunk));
  }
  coalesce(r);
  // An erase with nothing to program afterwards leaves a drive without firmware.
  r.no_data = !r.read_error && r.data_bytes == 0;
  if (!r.refused()) {
    plan(r);
    plan_erase(r);
  }
  return r;
}

FirmwareReport scan_firmware(const char* path, int filetype) {
  const FileKind kind = file_kind(filetype);
  platform::FileHandle file(open_firmware(path, kind));
  if (!file.valid()) {
    FirmwareReport r;
    r.kind = kind;
    return r;
  }
  return scan_open_file(file.get(), kind);
}

std::string FirmwareReport::problem() const {
  if (!opened) {
    return "the file cannot be opened";
  }
  if (read_error) {
    return "the file cannot be read";
  }
  if (!refusing) {
    return no_data ? "the file holds no data record" : "";
  }
  // NOLINTBEGIN(cert-err33-c): at most 40 characters and an issue text of 52 in 160 bytes
  std::array<char, 160> text{};
  if (refusal.issue == Issue::Conflict || refusal.issue == Issue::AddressWrap ||
      refusal.issue == Issue::OutsideFlash) {
    std::snprintf(text.data(), text.size(), "record %u, address 0x%08X: %s", refusal.record,
                  refusal.address, issue_text(refusal.issue));
  } else {
    std::snprintf(text.data(), text.size(), "record %u: %s", refusal.record,
                  issue_text(refusal.issue));
  }
  // NOLINTEND(cert-err33-c)
  return text.data();
}

}  // namespace driveflash::image
