#include "platform/resources.h"

#include <filesystem>
#include <mutex>

#include "build_config.h"
#include "platform/files.h"

namespace driveflash::platform {
namespace {
std::mutex g_mutex;
std::filesystem::path g_program_dir;
}  // namespace

void set_program_path(const std::string& argv0) {
  std::error_code ec;
  std::filesystem::path p = running_program();
  if (p.empty()) {
    p = std::filesystem::absolute(path_from_utf8(argv0), ec);
  }
  std::lock_guard lock(g_mutex);
  g_program_dir = p.parent_path();
}

std::vector<std::string> resource_directories() {
  std::vector<std::string> dirs;
  {
    std::lock_guard lock(g_mutex);
    if (!g_program_dir.empty()) {
      dirs.push_back(utf8_of(g_program_dir));
      // Installed or unpacked anywhere: bin/ beside share/driveflash/.
      dirs.push_back(utf8_of((g_program_dir / ".." / "share" / "driveflash").lexically_normal()));
      // A build tree keeps the programs in subdirectories and the resources at its top.
      dirs.push_back(utf8_of((g_program_dir / ".." / "resources").lexically_normal()));
      dirs.push_back(utf8_of((g_program_dir / ".." / ".." / "resources").lexically_normal()));
    }
  }
  dirs.emplace_back(DRIVEFLASH_DATA_DIR);
  return dirs;
}

std::string find_resource(const std::string& name) {
  std::error_code ec;
  const std::filesystem::path p = path_from_utf8(name);
  if (p.is_absolute()) {
    return std::filesystem::exists(p, ec) ? name : std::string();
  }
  if (std::filesystem::exists(p, ec)) {
    return name;
  }
  for (const std::string& dir : resource_directories()) {
    const std::filesystem::path candidate = path_from_utf8(dir) / p;
    if (std::filesystem::exists(candidate, ec)) {
      return utf8_of(candidate);
    }
  }
  return {};
}

}  // namespace driveflash::platform
