#include "image/firmware_file.h"

#include <span>

#include "crypto/sha256.h"
#include "platform/files.h"

namespace driveflash::image {

FirmwareFile read_firmware(const std::string& path, int filetype) {
  FirmwareFile f;
  f.path = path;
  f.filetype = filetype;
  f.report.kind = file_kind(filetype);
  const platform::ReadWhole whole = platform::read_whole_file(path, kMaxFirmwareFileBytes);
  if (!whole.bytes) {
    f.error = whole.error;
    return f;
  }
  f.size = whole.bytes->size();
  crypto::Sha256 digest;
  digest.update(
      std::span(reinterpret_cast<const std::uint8_t*>(whole.bytes->data()), whole.bytes->size()));
  f.sha256 = digest.hex_digest();
  const FileKind kind = file_kind(filetype);
  platform::FileHandle handle(
      platform::open_memory_file(whole.bytes, kind == FileKind::Ehex ? VAL_BINARY : VAL_ASCII));
  f.report = scan_open_file(handle.get(), kind);
  return f;
}

}  // namespace driveflash::image
