#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <random>
#include <system_error>

#include "platform/files.h"
#include "platform/replace_file.h"

namespace driveflash::platform {
namespace {

std::wstring random_suffix(std::random_device& random) {
  constexpr wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring s;
  for (int i = 0; i < 12; ++i) {
    s += kDigits[random() % 16];
  }
  return s;
}

}  // namespace

std::filesystem::path write_beside(const std::filesystem::path& target,
                                   std::span<const unsigned char> bytes, std::string& error) {
  namespace fs = std::filesystem;
  const fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  std::random_device random;
  fs::path temp;
  int fd = -1;
  // _O_EXCL: a name someone else holds is never opened; try another.
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = dir / (L".driveflash-" + random_suffix(random));
    fd = ::_wopen(temp.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
    if (fd < 0 && errno != EEXIST) {
      break;
    }
  }
  if (fd < 0) {
    error = "cannot create a file beside " + platform::utf8_of(target) + ": " +
            std::generic_category().message(errno);
    return {};
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t chunk = std::min<std::size_t>(bytes.size() - done, 1U << 20);
    const int n = ::_write(fd, bytes.data() + done, static_cast<unsigned>(chunk));
    if (n <= 0) {
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  const bool written = done == bytes.size() && ::_commit(fd) == 0;
  const int saved = errno;
  ::_close(fd);
  if (!written) {
    ::_wunlink(temp.c_str());
    error =
        "cannot write " + platform::utf8_of(target) + ": " + std::generic_category().message(saved);
    return {};
  }
  return temp;
}

Placement place_file(const std::filesystem::path& temp, const std::filesystem::path& target,
                     bool replace, std::string& error) {
  // Without MOVEFILE_REPLACE_EXISTING the move refuses an existing name, so a file that
  // appeared meanwhile is not replaced.
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (::MoveFileExW(temp.c_str(), target.c_str(), flags) != 0) {
    return Placement::kPlaced;
  }
  const DWORD why = ::GetLastError();
  ::DeleteFileW(temp.c_str());
  if (why == ERROR_ALREADY_EXISTS || why == ERROR_FILE_EXISTS) {
    return Placement::kExists;
  }
  error = std::system_category().message(static_cast<int>(why));
  return Placement::kFailed;
}

}  // namespace driveflash::platform
