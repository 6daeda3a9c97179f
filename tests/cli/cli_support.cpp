#include "cli/cli_support.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "support/hex_records.h"

namespace driveflash::test {

std::string record(int type, std::uint16_t address, const Bytes& data, int checksum) {
  std::string text = hex_record(static_cast<unsigned>(type), address, data);
  if (checksum >= 0) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(checksum) & 0xFFu);
    text.replace(text.size() - 2, 2, digits);
  }
  return text;
}

std::string hex_text(std::uint32_t address, const Bytes& data, int per_record) {
  std::string text;
  long upper = -1;
  for (std::size_t at = 0; at < data.size(); at += static_cast<std::size_t>(per_record)) {
    const std::uint32_t a = address + static_cast<std::uint32_t>(at);
    if (static_cast<long>(a >> 16) != upper) {
      upper = a >> 16;
      text +=
          record(4, 0, {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)}) +
          "\r\n";
    }
    const std::size_t n = std::min(data.size() - at, static_cast<std::size_t>(per_record));
    text += record(0, static_cast<std::uint16_t>(a & 0xFFFF),
                   Bytes(data.begin() + static_cast<std::ptrdiff_t>(at),
                         data.begin() + static_cast<std::ptrdiff_t>(at + n))) +
            "\r\n";
  }
  return text + record(1, 0, {}) + "\r\n";
}

Bytes filler(std::size_t count, unsigned seed) {
  Bytes out(count);
  unsigned x = seed;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return out;
}

void stage_run_directory(const std::filesystem::path& dir) {
  const std::filesystem::path resources = DRIVEFLASH_RESOURCES;
  std::filesystem::create_directories(dir / "XMC1300");
  std::filesystem::copy_file(resources / "XMC1300" / "XMC1x_ASCLoader.hex",
                             dir / "XMC1300" / "XMC1x_ASCLoader.hex",
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::copy_file(resources / "Brenfold.uir", dir / "Brenfold.uir",
                             std::filesystem::copy_options::overwrite_existing);
}

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace driveflash::test
