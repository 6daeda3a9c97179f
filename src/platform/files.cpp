#include "platform/files.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace driveflash::platform {
namespace {

struct CloseFile {
  // NOLINTNEXTLINE(cert-err33-c): files are opened for reading only; closing loses nothing
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// A file on disk, or bytes already read into memory that are read again as a file is.
struct OpenFile {
  std::unique_ptr<std::FILE, CloseFile> file;
  std::shared_ptr<const std::vector<char>> memory;
  std::size_t position = 0;  // in memory
  bool text = false;
  std::string pushed;  // characters read ahead and given back, last one first
  ReadTap tap;

  int get() {
    if (!pushed.empty()) {
      const int c = static_cast<unsigned char>(pushed.back());
      pushed.pop_back();
      return c;
    }
    char byte = 0;
    if (read_raw(&byte, 1) != 1) {
      return EOF;
    }
    return static_cast<unsigned char>(byte);
  }
  // Up to `count` bytes from the source, past what was given back; each goes by the tap once.
  std::size_t read_raw(char* buffer, std::size_t count) {
    std::size_t got = 0;
    if (memory) {
      got = std::min(count, memory->size() - position);
      std::copy_n(memory->begin() + static_cast<std::ptrdiff_t>(position), got, buffer);
      position += got;
    } else {
      got = std::fread(buffer, 1, count, file.get());
    }
    if (got > 0 && tap) {
      tap(std::span(reinterpret_cast<const std::uint8_t*>(buffer), got));
    }
    return got;
  }
  bool failed() const { return !memory && std::ferror(file.get()) != 0; }
  // The new position, or -1.
  long seek(long offset, int origin) {
    pushed.clear();
    if (memory) {
      const long base = origin == 0   ? 0
                        : origin == 1 ? static_cast<long>(position)
                                      : static_cast<long>(memory->size());
      const long target = base + offset;
      if (target < 0 || target > static_cast<long>(memory->size())) {
        return -1;
      }
      position = static_cast<std::size_t>(target);
      return target;
    }
    static constexpr std::array<int, 3> kWhence = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (std::fseek(file.get(), offset, kWhence[static_cast<std::size_t>(origin)]) != 0) {
      return -1;
    }
    std::clearerr(file.get());
    return std::ftell(file.get());
  }
  void unget(int c) {
    if (c != EOF) {
      pushed.push_back(static_cast<char>(c));
    }
  }
};

// Handles are handed out by the worker and used by it alone, but a table shared by all
// threads needs a lock all the same.
std::mutex g_mutex;
std::map<int, std::shared_ptr<OpenFile>> g_files;
int g_next_handle = 1;

std::shared_ptr<OpenFile> lookup(int handle) {
  std::lock_guard lock(g_mutex);
  const auto it = g_files.find(handle);
  return it == g_files.end() ? nullptr : it->second;
}

}  // namespace

void set_read_tap(int handle, ReadTap tap) {
  if (const auto entry = lookup(handle)) {
    entry->tap = std::move(tap);
  }
}

std::string native_path(const std::string& path) {
  if constexpr (std::filesystem::path::preferred_separator == '\\') {
    return path;
  }
  std::string out = path;
  for (char& c : out) {
    if (c == '\\') {
      c = '/';
    }
  }
  return out;
}

std::filesystem::path path_from_utf8(const std::string& name) {
  return {std::u8string(name.begin(), name.end())};
}

std::string utf8_of(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

}  // namespace driveflash::platform

using driveflash::platform::lookup;

int CVI_OpenFile(const char* name, int readWrite, int /*action*/, int fileType) {
  if (name == nullptr || name[0] == '\0' || readWrite != VAL_READ_ONLY) {
    return -1;
  }
  const std::string path = driveflash::platform::native_path(name);
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    return -1;
  }
  auto entry = std::make_shared<driveflash::platform::OpenFile>();
  entry->file.reset(f);
  entry->text = fileType == VAL_ASCII;
  std::lock_guard lock(driveflash::platform::g_mutex);
  const int handle = driveflash::platform::g_next_handle++;
  driveflash::platform::g_files.emplace(handle, std::move(entry));
  return handle;
}

namespace driveflash::platform {

int open_memory_file(std::shared_ptr<const std::vector<char>> bytes, int fileType) {
  if (!bytes) {
    return -1;
  }
  auto entry = std::make_shared<OpenFile>();
  entry->memory = std::move(bytes);
  entry->text = fileType == VAL_ASCII;
  std::lock_guard lock(g_mutex);
  const int handle = g_next_handle++;
  g_files.emplace(handle, std::move(entry));
  return handle;
}

ReadWhole read_whole_file(const std::string& name, std::size_t limit) {
  ReadWhole r;
  std::ifstream in(path_from_utf8(native_path(name)), std::ios::binary);
  if (name.empty() || !in) {
    r.error = "cannot be opened";
    return r;
  }
  auto bytes = std::make_shared<std::vector<char>>();
  std::array<char, 65536> chunk{};
  while (in) {
    in.read(chunk.data(), chunk.size());
    const auto got = static_cast<std::size_t>(in.gcount());
    if (bytes->size() + got > limit) {
      r.error = "is larger than " + std::to_string(limit / (std::size_t{1024} * 1024)) + " MB";
      return r;
    }
    bytes->insert(bytes->end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
  }
  if (in.bad()) {
    r.error = "cannot be read";
    return r;
  }
  r.bytes = std::move(bytes);
  return r;
}

}  // namespace driveflash::platform

int ReadLine(int handle, char* buffer, int maxChars) {
  const auto entry = lookup(handle);
  if (!entry || buffer == nullptr || maxChars < 0) {
    return kFileReadError;
  }
  // Reads one line end (LF, or CR LF in text mode) if it comes next; gives back anything else.
  const auto take_line_end = [&entry]() {
    const int c = entry->get();
    if (c == '\n' || c == EOF) {
      return true;
    }
    if (entry->text && c == '\r') {
      const int n = entry->get();
      if (n == '\n' || n == EOF) {
        return true;
      }
      entry->unget(n);
    }
    entry->unget(c);
    return false;
  };
  const int first = entry->get();
  if (first == EOF) {
    buffer[0] = '\0';
    return entry->failed() ? kFileReadError : kEndOfFile;
  }
  entry->unget(first);
  int count = 0;
  for (;;) {
    if (take_line_end()) {
      if (entry->failed()) {
        buffer[count] = '\0';
        return kFileReadError;
      }
      break;
    }
    if (count == maxChars) {
      // A line longer than the limit is not cut: the rest waits for the next call.
      break;
    }
    buffer[count++] = static_cast<char>(entry->get());
  }
  buffer[count] = '\0';
  return count;
}

int CVI_ReadFile(int handle, char* buffer, int count) {
  const auto entry = lookup(handle);
  if (!entry || buffer == nullptr || count < 0) {
    return kFileReadError;
  }
  std::size_t got = 0;
  while (got < static_cast<std::size_t>(count) && !entry->pushed.empty()) {
    buffer[got++] = static_cast<char>(entry->get());
  }
  got += entry->read_raw(buffer + got, static_cast<std::size_t>(count) - got);
  if (got == 0 && entry->failed()) {
    return kFileReadError;
  }
  return static_cast<int>(got);
}

long SetFilePtr(int handle, long offset, int origin) {
  const auto entry = lookup(handle);
  if (!entry || origin < 0 || origin > 2) {
    return -1;
  }
  return entry->seek(offset, origin);
}

int CVI_CloseFile(int handle) {
  std::shared_ptr<driveflash::platform::OpenFile> entry;
  {
    std::lock_guard lock(driveflash::platform::g_mutex);
    const auto it = driveflash::platform::g_files.find(handle);
    if (it == driveflash::platform::g_files.end()) {
      return -1;
    }
    entry = std::move(it->second);
    driveflash::platform::g_files.erase(it);
  }
  return 0;
}
