// File services: handles to files opened read only, read by line or by block.
//
// Handles are small non-negative ints, as the protocol code expects. A handle that failed
// to open (-1) or was closed reads as an error, never as data.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

// CVI_OpenFile readWrite / action / fileType arguments.
inline constexpr int VAL_READ_ONLY = 1;
inline constexpr int VAL_OPEN_AS_IS = 2;
inline constexpr int VAL_BINARY = 0;
inline constexpr int VAL_ASCII = 1;

// ReadLine / CVI_ReadFile results besides a count.
inline constexpr int kFileReadError = -1;
inline constexpr int kEndOfFile = -2;

// Opens `name` read only. fileType VAL_ASCII drops the carriage return of CR LF line ends.
// Returns a handle (>= 0) or -1. Only read-only access is offered: the tool writes no files
// through this layer.
int CVI_OpenFile(const char* name, int readWrite, int action, int fileType);

// Reads one line into `buffer` (which must hold maxChars + 1 bytes) without its line end and
// zero-terminates it. Returns the number of characters placed, -2 at end of file, -1 on a
// read error or a bad handle. A line longer than maxChars is not cut: its first maxChars
// characters are returned and the rest arrives with the next call, so a caller that sees
// exactly maxChars characters knows the line may go on.
int ReadLine(int handle, char* buffer, int maxChars);

// Reads up to `count` bytes. Returns the number read (0 at end of file) or -1 on error.
int CVI_ReadFile(int handle, char* buffer, int count);

// origin 0: from the start, 1: from the current position, 2: from the end.
// Returns the new position or -1.
long SetFilePtr(int handle, long offset, int origin);

int CVI_CloseFile(int handle);

namespace driveflash::platform {

// Sees every byte that reads of a handle take from its file, once, in file order (line ends
// included, whatever a text-mode read hands back); for a digest of what was really read.
using ReadTap = std::function<void(std::span<const std::uint8_t>)>;
// Installs (or, empty, removes) the tap of an open handle.
void set_read_tap(int handle, ReadTap tap);

// The path as the host file system knows it: relative paths written with backslashes
// ("XMC1300\\XMC1x_ASCLoader.hex") are taken with forward slashes on systems that use them.
std::string native_path(const std::string& path);

// Names are UTF-8 throughout the program. These convert them to and from file system paths
// without the system's narrow code page (which on Windows is not UTF-8 unless the
// program's manifest makes it so).
std::filesystem::path path_from_utf8(const std::string& name);
std::string utf8_of(const std::filesystem::path& path);

// A handle that reads `bytes` (kept alive by the handle) as CVI_OpenFile's handles read a file:
// for reading a file once and going over what was read more than once.
int open_memory_file(std::shared_ptr<const std::vector<char>> bytes, int fileType);

// A whole file read into memory, at most `limit` bytes: its bytes, or why not ("cannot be
// opened", "cannot be read", "is larger than N MB").
struct ReadWhole {
  std::shared_ptr<const std::vector<char>> bytes;
  std::string error;
};
ReadWhole read_whole_file(const std::string& name, std::size_t limit);

// Closes a handle when it goes out of scope.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int handle) : handle_(handle) {}
  ~FileHandle() { reset(); }
  FileHandle(FileHandle&& other) noexcept : handle_(other.release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  int get() const { return handle_; }
  bool valid() const { return handle_ >= 0; }
  int release() {
    const int h = handle_;
    handle_ = -1;
    return h;
  }
  void reset(int handle = -1) {
    if (handle_ >= 0) {
      CVI_CloseFile(handle_);
    }
    handle_ = handle;
  }

 private:
  int handle_ = -1;
};

}  // namespace driveflash::platform
