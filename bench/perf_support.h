// What the performance programs share: firmware of a chosen size, a working directory laid out
// as an installed tool expects it, and a virtual drive whose lines count the bytes they carry.
#pragma once

#include <sys/resource.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sim/virtual_drive.h"

namespace driveflash::bench {

// Intel HEX (CR LF, 16-byte records) holding `bytes` of pseudo-random code from the start of the
// flash, in one region.
std::string firmware_hex(std::size_t bytes, unsigned seed = 1);

// A working directory with the panel file and the stand-in loader, as the window and the command
// line look for them; removed with everything in it when the object goes.
class WorkDir {
 public:
  explicit WorkDir(const std::string& tag);
  ~WorkDir();
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes fw-<KB>k.hex and its enciphered twin fw-<KB>k.ehex; returns the .hex path.
  std::filesystem::path write_firmware(std::size_t kilobytes);

 private:
  std::filesystem::path path_;
};

// Bytes carried by the lines of one port, by the baud rate the line was opened with.
class LineTally {
 public:
  struct Count {
    std::uint64_t sent = 0;      // host to drive
    std::uint64_t received = 0;  // drive to host, as the host read them
  };
  void add(long baud, std::uint64_t sent, std::uint64_t received);
  Count at(long baud) const;
  std::map<long, Count> all() const;

 private:
  mutable std::mutex mutex_;
  std::map<long, Count> counts_;
};

// Puts `drive` behind port `port` as the in-process virtual drive, each line counted in `tally`.
void map_counted_drive(int port, std::shared_ptr<sim::VirtualDrive> drive,
                       std::shared_ptr<LineTally> tally);

// Whether the drive's flash holds every data byte of `file` (read as `kind`); says why not in
// `why`.
bool flash_holds(const sim::VirtualDrive& drive, const std::string& file, int kind,
                 std::string& why);

// Seconds of user plus system time in `usage`.
double cpu_seconds(const rusage& usage);

// The p-th percentile (0..100) of `values`, nearest rank; 0 for none. Sorts `values`.
double percentile(std::vector<double>& values, double p);

// The comma-separated words of a command-line value ("8,64,200"), empty ones left out.
std::vector<std::string> split(std::string_view text);

}  // namespace driveflash::bench
