// Reading firmware files record by record, and one whole pass over a file that tells what
// programming it would do: its records, what is wrong with them, where its data lies and
// the frames the page builder would send. The download reads through the same reader, and
// scans a file before it erases anything.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "image/file_check.h"
#include "image/intel_hex.h"
#include "image/page_builder.h"

namespace driveflash::image {

enum class FileKind { Hex, Ehex };
// 1 is an encrypted-hex file; every other value is read as plain Intel HEX, for the open,
// the check and the reading alike.
inline FileKind file_kind(int filetype) {
  return filetype == 1 ? FileKind::Ehex : FileKind::Hex;
}

// An encrypted record of 255 data bytes (521 characters) spans 33 blocks.
inline constexpr int kMaxRecordBlocks = kMaxRecordChars / kCipherBlock + 1;
// Room for one record of either kind, plain line limit and terminating zero included.
inline constexpr std::size_t kRecordTextSize =
    std::max(static_cast<std::size_t>(kLineLimit) + 1,
             static_cast<std::size_t>(kMaxRecordBlocks) * kCipherBlock);

// What can be wrong with a record. Some make the file unfit to program (refuses()).
enum class Issue : unsigned {
  NoStartCode = 1u << 0,   // not blank and not starting with ':' (for ehex: wrong key)
  Truncated = 1u << 1,     // the byte count asks for more characters than the record has
  LineTooLong = 1u << 2,   // a line longer than any record; its rest would read as a record
  BadCount = 1u << 3,      // encrypted record whose byte count is not two hex digits
  ShortAddress = 1u << 4,  // extended linear address record without its two address bytes
  NonHex = 1u << 5,        // a character that is not a hex digit (read by its low four bits)
  Checksum = 1u << 6,
  UnknownType = 1u << 7,    // a type other than 00..05; ignored
  AddressWrap = 1u << 8,    // data running past address 0xFFFFFFFF
  Conflict = 1u << 9,       // two records give different values to the same address
  TrailingText = 1u << 10,  // characters after the checksum: a second record on the line?
  OutsideFlash = 1u << 11,  // data outside the flash: the loader would refuse it after the erase
};
bool refuses(Issue issue);
// Whether any of the Issue bits makes a file unfit to program.
bool refuses_any(unsigned issues);
const char* issue_text(Issue issue);

// One record taken apart at the Intel HEX positions.
struct ParsedRecord {
  bool blank = false;  // an empty (or white) line: counted, nothing else
  std::uint8_t type = 0;
  std::uint16_t address = 0;
  std::uint8_t count = 0;
  std::array<std::uint8_t, kMaxRecordData> bytes{};
  unsigned issues = 0;  // Issue bits

  bool has(Issue issue) const { return (issues & static_cast<unsigned>(issue)) != 0; }
  std::span<const std::uint8_t> data() const { return {bytes.data(), count}; }
  HexRecord hex() const { return {type, address, data()}; }
};

// Takes a record's characters apart. `nibbles`: hex digits already turned into their values
// 0..15 (encrypted files). `issues`: what the reader found already.
void parse_record(std::span<const char> text, bool nibbles, unsigned issues, ParsedRecord& out);

// Follows the upper address half through the records as the page builder does: true for a
// data record with bytes, its full address then in `address`.
bool data_address(const ParsedRecord& rec, std::uint32_t& upper, std::uint32_t& address);

enum class ReadStatus { Record, End, Error };

// Opens a firmware file read only: encrypted files as raw bytes, plain ones as text.
// Returns a platform file handle or -1.
int open_firmware(const char* path, FileKind kind);

// Reads the records of an open firmware file from its current position: plain files line
// by line, encrypted files a deciphered record of whole 16-byte blocks at a time.
class RecordReader {
 public:
  RecordReader(int handle, FileKind kind) : handle_(handle), kind_(kind) {}
  ReadStatus next(ParsedRecord& out);

 private:
  ReadStatus next_plain(ParsedRecord& out);
  ReadStatus next_ehex(ParsedRecord& out);

  int handle_;
  FileKind kind_;
  int blocks_ = 0;  // blocks of the record before: a first block without ':' spans as many
  std::array<char, kRecordTextSize> text_{};
};

struct DataChunk {
  std::uint32_t address = 0;
  std::vector<std::uint8_t> bytes;
  std::uint32_t record = 0;  // 1-based position of the record in the file
  std::uint64_t end() const { return std::uint64_t{address} + bytes.size(); }
};

struct RecordIssue {
  std::uint32_t record = 0;
  Issue issue = Issue::NoStartCode;
  std::uint32_t address = 0;  // the address concerned, for conflicts and data outside the flash
};

struct PlannedRegion {
  std::uint32_t first_page = 0;
  std::uint32_t pages = 0;  // data frames, the closing zero page included
};

struct FirmwareReport {
  FileKind kind = FileKind::Hex;
  bool opened = false;
  bool read_error = false;
  std::uint32_t records = 0;        // what the progress counts: lines, or encrypted records
  std::vector<RecordIssue> issues;  // the first kMaxIssues
  std::size_t issue_total = 0;
  bool refusing = false;          // some issue makes the file unfit to program
  RecordIssue refusal;            // the first such issue
  std::vector<DataChunk> chunks;  // data records with bytes, full addresses, file order
  bool ascending = true;          // every chunk starts at or after the end of the one before
  bool overlaps = false;          // some address is given more than once
  std::vector<DataChunk> runs;    // the data by address: contiguous ranges, merged
  std::uint64_t data_bytes = 0;   // distinct addresses given data
  // What programming sends (ascending files in file order, others from `runs`).
  std::vector<PlannedRegion> regions;
  std::uint32_t data_frames = 0;
  std::uint32_t eot_frames = 0;
  // Sectors above the whole-flash erase's eight that the pages sent lie in, ascending by start
  // address: the download erases them too. Only sectors of the largest XMC1000 flash.
  std::vector<std::uint32_t> erase_beyond;

  static constexpr std::size_t kMaxIssues = 100;
  bool no_data = false;  // not one data byte in the whole file
  bool refused() const { return !opened || read_error || refusing || no_data; }
  // Why the file is refused, for the operator; "" when it is not.
  std::string problem() const;
};

// Opens `path` as the download does for `filetype` and scans the whole file.
FirmwareReport scan_firmware(const char* path, int filetype);
// Scans an open file from its current position to its end.
FirmwareReport scan_open_file(int handle, FileKind kind);

}  // namespace driveflash::image
