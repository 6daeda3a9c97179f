// 'ehex encrypt' and 'ehex decrypt': the encrypted-hex format with the built-in key.
//
// An encrypted record is the record's characters (upper-case hex digits, no line end),
// filled with zero bytes to whole 16-byte blocks, each block enciphered on its own. Both
// directions read their input with the download's own reader first, refuse what it would
// refuse, and read their output back the same way before it is put in place: what is
// written programs exactly the data that was read.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "cli/commands.h"
#include "crypto/aes.h"
#include "image/download.h"
#include "image/file_check.h"
#include "image/firmware_scan.h"
#include "image/intel_hex.h"
#include "platform/files.h"
#include "platform/replace_file.h"
#include "run/run_context.h"

namespace driveflash::cli {
namespace {

using image::kCipherBlock;
using Bytes = std::vector<unsigned char>;

// The most data bytes a record may carry for readers that hold 80 bytes (5 blocks) of it.
constexpr int kSmallReaderMaxData = 34;

bool read_file(const std::string& path, Bytes& out) {
  std::ifstream in(platform::path_from_utf8(path), std::ios::binary);
  if (!in) {
    return false;
  }
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool blank(unsigned char c) {
  return c <= 0x20 || c == 0x7F;
}

// Record text length from the byte count at positions 1-2, read as the download reads it.
std::size_t record_chars(const unsigned char* text) {
  int count = 0;
  charToInt(&count, reinterpret_cast<const char*>(text) + 1, 2);
  return 11 + 2 * static_cast<std::size_t>(count);
}

// Whether the file at `written`, read back as `kind`, programs the same data as the input.
bool same_data(const std::string& written, int kind, const image::FirmwareReport& source) {
  const image::FirmwareReport back = image::scan_firmware(written.c_str(), kind);
  if (back.refused() || back.runs.size() != source.runs.size()) {
    return false;
  }
  for (std::size_t i = 0; i < back.runs.size(); ++i) {
    if (back.runs[i].address != source.runs[i].address ||
        back.runs[i].bytes != source.runs[i].bytes) {
      return false;
    }
  }
  return true;
}

// Writes `bytes` through a temporary file beside `path`, reads that back as `kind`, and only
// then puts it under the name: no half-written or unfaithful file is ever left there. Without
// `force` an existing file is kept. Returns an exit status; says why in `error`.
int write_checked(const std::string& path, const Bytes& bytes, bool force, int kind,
                  const image::FirmwareReport& source, std::string& error) {
  namespace fs = std::filesystem;
  const fs::path target = platform::path_from_utf8(path);
  std::error_code ec;
  if (!force && fs::exists(fs::symlink_status(target, ec))) {
    error = path + " exists; --force replaces it";
    return kExitUsage;
  }
  const fs::path temp = platform::write_beside(target, bytes, error);
  if (temp.empty()) {
    return kExitUsage;
  }
  if (!same_data(platform::utf8_of(temp), kind, source)) {
    fs::remove(temp, ec);
    error =
        "the result would not program the same data as the input (characters that are "
        "not hex digits?); nothing written";
    return kExitUsage;
  }
  std::string why;
  switch (platform::place_file(temp, target, force, why)) {
    case platform::Placement::kPlaced:
      return kExitOk;
    case platform::Placement::kExists:
      error = path + " exists; --force replaces it";
      return kExitUsage;
    case platform::Placement::kFailed:
      break;
  }
  error = "cannot write " + path + ": " + why;
  return kExitUsage;
}

struct Converted {
  Bytes bytes;
  std::size_t records = 0;
  std::size_t blank_lines = 0;
  std::size_t long_records = 0;
};

Converted encrypt(const Bytes& in) {
  Converted c;
  auto line_start = in.begin();
  while (line_start != in.end()) {
    const auto line_end = std::find(line_start, in.end(), '\n');
    std::vector<unsigned char> line(line_start, line_end);
    line_start = line_end == in.end() ? line_end : line_end + 1;
    while (!line.empty() && blank(line.back())) {
      line.pop_back();
    }
    if (std::all_of(line.begin(), line.end(), blank)) {
      ++c.blank_lines;
      continue;
    }
    // The scan has refused every record without ':', shorter than its byte count or with
    // more than blanks after its checksum.
    const std::size_t chars = record_chars(line.data());
    line.resize(chars);
    std::transform(line.begin(), line.end(), line.begin(),
                   [](unsigned char ch) { return static_cast<unsigned char>(std::toupper(ch)); });
    c.long_records += chars > 11 + 2 * kSmallReaderMaxData ? 1 : 0;
    line.resize((chars / kCipherBlock + 1) * kCipherBlock, 0);
    for (std::size_t at = 0; at < line.size(); at += kCipherBlock) {
      crypto::encrypt_block(line.data() + at);
    }
    c.bytes.insert(c.bytes.end(), line.begin(), line.end());
    ++c.records;
  }
  return c;
}

Converted decrypt(const Bytes& in) {
  Converted c;
  int blocks = 0;
  std::array<unsigned char, std::size_t{image::kMaxRecordBlocks} * kCipherBlock> text{};
  // The scan has refused files that end inside a record and first blocks without ':'.
  for (std::size_t at = 0; at + kCipherBlock <= in.size();) {
    std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(at), kCipherBlock, text.begin());
    crypto::decrypt_block(text.data());
    blocks = std::clamp(image::ehex_record_blocks(text.data(), blocks), 1, image::kMaxRecordBlocks);
    if (at + static_cast<std::size_t>(blocks) * kCipherBlock > in.size()) {
      break;
    }
    for (int j = 1; j < blocks; ++j) {
      const std::ptrdiff_t offset = std::ptrdiff_t{j} * kCipherBlock;
      unsigned char* block = text.data() + offset;
      std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(at) + offset, kCipherBlock, block);
      crypto::decrypt_block(block);
    }
    at += static_cast<std::size_t>(blocks) * kCipherBlock;
    const std::size_t chars = std::min(record_chars(text.data()), text.size());
    c.bytes.insert(c.bytes.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(chars));
    c.bytes.push_back('\r');
    c.bytes.push_back('\n');
    ++c.records;
  }
  return c;
}

}  // namespace

int run_ehex(const Arguments& args, std::ostream& out, std::ostream& err) {
  const bool encrypting = args.command == Command::EhexEncrypt;
  const int in_kind = encrypting ? kFileTypeHex : kFileTypeEhex;
  const int out_kind = encrypting ? kFileTypeEhex : kFileTypeHex;
  const auto fail = [&](const std::string& why) {
    err << "driveflash-cli: " << why << '\n';
    return kExitUsage;
  };
  const image::FirmwareReport source = image::scan_firmware(args.file.c_str(), in_kind);
  if (source.refused()) {
    return fail(args.file + " is refused: " + source.problem());
  }
  Bytes input;
  if (!read_file(args.file, input)) {
    return fail("cannot read " + args.file);
  }
  const Converted c = encrypting ? encrypt(input) : decrypt(input);
  std::string error;
  if (write_checked(args.output, c.bytes, args.force, out_kind, source, error) != kExitOk) {
    return fail(error);
  }
  if (c.blank_lines > 0) {
    err << "driveflash-cli: note: " << c.blank_lines << " blank lines left out\n";
  }
  if (c.long_records > 0) {
    err << "driveflash-cli: warning: " << c.long_records << " records carry more than "
        << kSmallReaderMaxData
        << " data bytes; readers that hold 80 characters a record cannot "
           "take them\n";
  }
  out << args.output << ": " << c.records << " records, " << source.data_bytes << " data bytes, "
      << c.bytes.size() << " bytes written\n";
  return kExitOk;
}

}  // namespace driveflash::cli
