#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "platform/replace_file.h"

namespace driveflash::platform {

std::filesystem::path write_beside(const std::filesystem::path& target,
                                   std::span<const unsigned char> bytes, std::string& error) {
  namespace fs = std::filesystem;
  std::string temp =
      ((target.parent_path().empty() ? fs::path(".") : target.parent_path()) / ".driveflash-XXXXXX")
          .string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    error = "cannot create a file beside " + target.string() + ": " +
            std::generic_category().message(errno);
    return {};
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  const bool written = done == bytes.size() && ::fsync(fd) == 0;
  const int saved = errno;
  ::fchmod(fd, 0644);
  ::close(fd);
  if (!written) {
    ::unlink(temp.c_str());
    error = "cannot write " + target.string() + ": " + std::generic_category().message(saved);
    return {};
  }
  return temp;
}

Placement place_file(const std::filesystem::path& temp, const std::filesystem::path& target,
                     bool replace, std::string& error) {
  // link() refuses an existing name, so a file that appeared meanwhile is not replaced.
  const int placed =
      replace ? ::rename(temp.c_str(), target.c_str()) : ::link(temp.c_str(), target.c_str());
  const int place_errno = errno;
  if (!replace || placed != 0) {
    ::unlink(temp.c_str());
  }
  if (placed == 0) {
    return Placement::kPlaced;
  }
  if (place_errno == EEXIST) {
    return Placement::kExists;
  }
  error = std::generic_category().message(place_errno);
  return Placement::kFailed;
}

}  // namespace driveflash::platform
