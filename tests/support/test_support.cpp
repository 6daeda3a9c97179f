#include "support/test_support.h"

#include <atomic>
#include <cctype>
#include <fstream>
#include <random>
#include <stdexcept>

#include "platform/files.h"

namespace driveflash::test {

Bytes hex_bytes(const std::string& text) {
  Bytes out;
  int high = -1;
  for (const char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      throw std::invalid_argument("not a hex digit in: " + text);
    }
    const int v =
        std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  if (high >= 0) {
    throw std::invalid_argument("odd number of hex digits in: " + text);
  }
  return out;
}

std::string to_hex(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) {
      out += ' ';
    }
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0F];
  }
  return out;
}

TempDir::TempDir() {
  // One name per process (test programs run side by side), then a count within it.
  static const std::string process = std::to_string(std::random_device()());
  static std::atomic<int> counter{0};
  path_ = std::filesystem::temp_directory_path() /
          ("driveflash-test-" + process + "-" + std::to_string(counter++));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
  const auto full = path_ / platform::path_from_utf8(name);
  std::filesystem::create_directories(full.parent_path());
  std::ofstream out(full, std::ios::binary);
  out << content;
  return platform::utf8_of(full);
}

std::string TempDir::write(const std::string& name, const Bytes& content) const {
  return write(name, std::string(content.begin(), content.end()));
}

ScopedCwd::ScopedCwd(const std::filesystem::path& dir)
    : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(dir);
}

ScopedCwd::~ScopedCwd() {
  std::error_code ec;
  std::filesystem::current_path(previous_, ec);
}

std::vector<std::map<std::string, std::string>> csv_rows(const std::string& text) {
  std::vector<std::vector<std::string>> records(1);
  std::string field;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      records.back().push_back(std::move(field));
      field.clear();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      records.back().push_back(std::move(field));
      field.clear();
      records.emplace_back();
      ++i;
    } else {
      field += c;
    }
  }
  if (!field.empty() || !records.back().empty()) {
    records.back().push_back(std::move(field));
  } else {
    records.pop_back();
  }
  std::vector<std::map<std::string, std::string>> rows;
  for (std::size_t r = 1; r < records.size(); ++r) {
    std::map<std::string, std::string> row;
    for (std::size_t f = 0; f < records[0].size() && f < records[r].size(); ++f) {
      row[records[0][f]] = records[r][f];
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace driveflash::test
