#include "image/download.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "bsl/erase_read.h"
#include "bsl/frames.h"
#include "bsl/resync.h"
#include "crypto/sha256.h"
#include "image/file_check.h"
#include "image/firmware_scan.h"
#include "image/page_builder.h"
#include "image/read_back.h"
#include "image/retry.h"
#include "platform/files.h"
#include "platform/panels.h"
#include "run/retry_policy.h"
#include "run/run_context.h"

namespace driveflash::image {
namespace {

constexpr const char* kEraseFailed = "Erase Flash failed!";
constexpr const char* kHexCheckFailed = "hex 文件校验错误!";
constexpr const char* kEhexCheckFailed = "Ehex 文件校验错误!";

void status_line(const std::string& text) {
  InsertTextBoxLine(prgpanel, PRGPANEL_STATUS, -1, text.c_str());
}

void show_progress(std::uint64_t done, std::uint64_t total) {
  SetCtrlVal(prgpanel, PRGPANEL_PROGRESS,
             100.0 * static_cast<double>(done) / static_cast<double>(total));
}

// A file that is not programmed: why, then the check's own line.
int refuse(FileKind kind, const std::string& reason) {
  status_line(reason);
  status_line(kind == FileKind::Ehex ? kEhexCheckFailed : kHexCheckFailed);
  return kStatusInvalidHexfile;
}

// The loader's frame operations; with the send switch off, every frame is taken as sent.
class LoaderSink final : public FrameSink {
 public:
  LoaderSink(int port, bool send) : port_(port), send_(send) {}

  int header(std::uint32_t page_address) override {
    if (!send_) {
      return kStatusOk;
    }
    bl_header_block header;
    header.mode = kModeProgram;
    header.word1 = page_address;
    header.word2 = 0;
    return bl_send_header(port_, header);
  }
  int data(std::span<const std::uint8_t, kFlashPage> page) override {
    if (!send_) {
      return kStatusOk;
    }
    bl_data_block block;
    block.data = page.data();
    block.mode = 1;
    const int status = bl_send_data(port_, block);
    if (status == kStatusOk) {
      run::count_page();
    }
    return status;
  }
  int eot() override { return send_ ? bl_send_EOT(port_) : kStatusOk; }

 private:
  int port_;
  bool send_;
};

// Retries on the port: the loader's own resynchronisation and erase, lines in the status box.
class PortRecovery final : public Recovery {
 public:
  explicit PortRecovery(int port) : port_(port) {}
  int resync() override { return bl_resync(port_); }
  int erase(std::uint32_t sector) override {
    const std::array<std::uint32_t, 1> one = {sector};
    return bl_erase_sectors(port_, one);
  }
  void say(const std::string& line) override { status_line(line); }
  int read_word(std::uint32_t address, std::uint32_t& word) override {
    return bl_read_word(port_, address, word);
  }
  void progress(double percent) override { SetCtrlVal(prgpanel, PRGPANEL_PROGRESS, percent); }

 private:
  int port_;
};

// The eight sectors of the whole-flash erase, then those further ones the file needs.
std::vector<std::uint32_t> sectors_to_erase(const FirmwareReport& report) {
  std::vector<std::uint32_t> sectors;
  sectors.reserve(kEraseSectorCount + report.erase_beyond.size());
  for (int i = 0; i < kEraseSectorCount; ++i) {
    sectors.push_back(kEraseFirstSector + static_cast<std::uint32_t>(i) * kSectorSize);
  }
  sectors.insert(sectors.end(), report.erase_beyond.begin(), report.erase_beyond.end());
  return sectors;
}

int erase_sectors_once(int port, const FirmwareReport& report) {
  if (const int erased = bl_erase_Wholepflash(port); erased != kStatusOk) {
    return erased;
  }
  return bl_erase_sectors(port, report.erase_beyond);
}

struct Download {
  int handle;
  FileKind kind;
  std::string path;
  const FirmwareReport& report;
  PageBuilder& builder;

  int changed() const {
    status_line("The firmware file changed during the download: " + path);
    return kStatusInvalidHexfile;
  }

  // Ascending files: the records again from the file's start, each placed as it comes. What
  // is read must be what was checked; a file changed since is stopped at the first record
  // that differs.
  int stream() const {
    if (SetFilePtr(handle, 0, 0) < 0) {
      status_line("The firmware file cannot be read: " + path);
      return kStatusInvalidHexfile;
    }
    RecordReader reader(handle, kind);
    ParsedRecord rec;
    std::uint32_t read = 0;
    std::uint32_t upper = 0;
    std::uint32_t address = 0;
    std::size_t chunk = 0;
    for (;;) {
      const ReadStatus status = reader.next(rec);
      if (status == ReadStatus::End) {
        break;
      }
      if (status == ReadStatus::Error) {
        status_line("The firmware file cannot be read: " + path);
        return kStatusInvalidHexfile;
      }
      if (++read > report.records || refuses_any(rec.issues)) {
        return changed();
      }
      show_progress(read, report.records);
      if (data_address(rec, upper, address)) {
        if (chunk >= report.chunks.size() || report.chunks[chunk].address != address ||
            !std::ranges::equal(report.chunks[chunk].bytes, rec.data())) {
          return changed();
        }
        ++chunk;
      }
      if (const int s = builder.record(rec.hex()); s != 0) {
        return s;
      }
    }
    if (read != report.records || chunk != report.chunks.size()) {
      return changed();
    }
    return builder.finish();
  }

  // Files out of address order: the checked data sorted by address, so that every byte
  // lands at its own address and no page goes out twice.
  int sorted() const {
    std::uint64_t fed = 0;
    for (const DataChunk& run : report.runs) {
      const std::span<const std::uint8_t> bytes(run.bytes);
      for (std::size_t at = 0; at < bytes.size(); at += kFlashPage) {
        const auto piece = bytes.subspan(at, std::min(kFlashPage, bytes.size() - at));
        if (const int s = builder.place(run.address + static_cast<std::uint32_t>(at), piece);
            s != 0) {
          return s;
        }
        fed += piece.size();
        show_progress(fed, report.data_bytes);
      }
    }
    return builder.finish();
  }
};

}  // namespace
}  // namespace driveflash::image

int bl_download_pflash(int port, bl_download_request request, int file_type) {
  using namespace driveflash::image;
  const FileKind kind = file_kind(file_type);
  const std::string path = request.file != nullptr ? request.file : "";

  // Everything about the file is settled before the erase: a file that cannot be programmed
  // must not cost the drive the firmware it has.
  driveflash::platform::FileHandle file(open_firmware(request.file, kind));
  if (!file.valid()) {
    return refuse(kind, "The firmware file cannot be opened: " + path);
  }
  // The check reads the whole file: its bytes are what the run records as the firmware it read.
  driveflash::crypto::Sha256 digest;
  driveflash::platform::set_read_tap(
      file.get(), [&digest](std::span<const std::uint8_t> bytes) { digest.update(bytes); });
  int total = 0;
  const int check =
      kind == FileKind::Ehex ? ehexfilecheck(file.get(), &total) : hexfilecheck(file.get(), &total);
  driveflash::platform::set_read_tap(file.get(), {});
  // The scan reads the records as the download will, so its count is the progress total;
  // it also names what is wrong with a file the check refuses.
  const bool rewound = SetFilePtr(file.get(), 0, 0) >= 0;
  FirmwareReport report;
  if (rewound) {
    report = scan_open_file(file.get(), kind);
  }
  if (!rewound || report.read_error) {
    return refuse(kind, "The firmware file cannot be read: " + path);
  }
  if (report.refused()) {
    return refuse(kind, "The firmware file is refused, " + report.problem() + ": " + path);
  }
  if (check != 0) {
    return refuse(kind, "The firmware file cannot be read: " + path);
  }
  driveflash::run::note_firmware(report.data_bytes, digest.hex_digest());

  LoaderSink loader(port, request.send == 1);
  PortRecovery recovery(port);
  SectorRetries budget(retry_limit_of(retrylimit.load()));
  RetryingSink retrying(loader, recovery, budget);
  // Without retries the run is the run as it always was; with them it sends the same frames
  // and lines in the same order while nothing goes wrong.
  const bool retry = budget.limit() > 0;
  const int erased = retry ? erase_with_retries(sectors_to_erase(report), recovery, budget)
                           : erase_sectors_once(port, report);
  if (erased != kStatusOk) {
    status_line(kEraseFailed);
    return erased;
  }
  // The read-back takes the pages from the retries' journal, which sends every frame as it
  // comes while no retry is allowed.
  const bool verify = verifyflash.load() != 0 && request.send == 1;
  PageBuilder builder(retry || verify ? static_cast<FrameSink&>(retrying) : loader);
  const Download download{file.get(), kind, path, report, builder};
  const int status = report.ascending ? download.stream() : download.sorted();
  if (status != kStatusOk || !verify) {
    return status;
  }
  return read_back(retrying, recovery, budget);
}
