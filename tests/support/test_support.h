// Helpers shared by the tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace driveflash::test {

using Bytes = std::vector<std::uint8_t>;

// Parses "00 6C 5D" or "006C5D" into bytes.
Bytes hex_bytes(const std::string& text);
std::string to_hex(const Bytes& bytes);

// The rows of a run log's CSV text (RFC 4180: quoted fields, CR LF), each by its header's names.
std::vector<std::map<std::string, std::string>> csv_rows(const std::string& text);

// A directory of its own under the system's temporary directory, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // Writes `content` to `name` inside the directory and returns the full path.
  std::string write(const std::string& name, const std::string& content) const;
  std::string write(const std::string& name, const Bytes& content) const;

 private:
  std::filesystem::path path_;
};

// Changes the current directory for a scope.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::filesystem::path& dir);
  ~ScopedCwd();
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

 private:
  std::filesystem::path previous_;
};

}  // namespace driveflash::test
