// 'check': what programming a file would send, read exactly as the download reads it.
#include <algorithm>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "bsl/flash_map.h"
#include "cli/commands.h"
#include "cli/json.h"
#include "image/download.h"
#include "image/firmware_scan.h"

namespace driveflash::cli {
namespace {

struct Range {
  std::uint64_t first = 0;
  std::uint64_t end = 0;  // one past the last byte
  std::uint64_t size() const { return end - first; }
};

constexpr Range kFlash{kFlashBase, kFlashEnd};

std::string hex32(std::uint64_t value) {
  std::array<char, 24> text{};
  // NOLINTNEXTLINE(cert-err33-c): at most 18 characters in the 24-byte buffer
  std::snprintf(text.data(), text.size(), "0x%08llX", static_cast<unsigned long long>(value));
  return text.data();
}

std::string range_text(const Range& r) {
  return hex32(r.first) + "-" + hex32(r.end - 1);
}

// The parts of `data` that lie outside `area`, and those inside it.
void split(const Range& data, const Range& area, std::vector<Range>& outside,
           std::vector<Range>& inside) {
  if (data.first < area.first) {
    outside.push_back({data.first, std::min(data.end, area.first)});
  }
  if (data.end > area.end) {
    outside.push_back({std::max(data.first, area.end), data.end});
  }
  const Range common{std::max(data.first, area.first), std::min(data.end, area.end)};
  if (common.first < common.end) {
    inside.push_back(common);
  }
}

struct Findings {
  std::vector<Range> ranges;
  std::vector<Range> outside_flash;
  int smallest_flash_kb = 0;  // 0: none of the sizes holds the data
};

// The numbers of the sectors a run erases: the eight, then those the data needs above them.
std::vector<std::uint32_t> erased_sectors(const image::FirmwareReport& rep) {
  std::vector<std::uint32_t> sectors;
  for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(kEraseSectorCount); ++i) {
    sectors.push_back(i);
  }
  for (const std::uint32_t address : rep.erase_beyond) {
    sectors.push_back((address - kEraseFirstSector) / kSectorSize);
  }
  return sectors;
}

// "0-7, 9, 12-15": runs of consecutive numbers.
std::string sector_list(const std::vector<std::uint32_t>& sectors) {
  std::string text;
  for (std::size_t i = 0; i < sectors.size();) {
    std::size_t j = i;
    while (j + 1 < sectors.size() && sectors[j + 1] == sectors[j] + 1) {
      ++j;
    }
    text += (text.empty() ? "" : ", ") + std::to_string(sectors[i]);
    if (j > i) {
      text += "-" + std::to_string(sectors[j]);
    }
    i = j + 1;
  }
  return text;
}

Findings examine(const image::FirmwareReport& rep) {
  Findings f;
  std::uint64_t top = 0;
  for (const image::DataChunk& run : rep.runs) {
    const Range r{run.address, run.end()};
    f.ranges.push_back(r);
    std::vector<Range> in_flash;
    split(r, kFlash, f.outside_flash, in_flash);
    for (const Range& part : in_flash) {
      top = std::max(top, part.end);
    }
  }
  if (f.outside_flash.empty()) {
    for (const FlashSize& s : kFlashSizes) {
      if (top <= s.end) {
        f.smallest_flash_kb = s.kilobytes;
        break;
      }
    }
  }
  return f;
}

std::vector<std::string> ranges_json(const std::vector<Range>& ranges) {
  std::vector<std::string> items;
  items.reserve(ranges.size());
  for (const Range& r : ranges) {
    items.push_back(JsonObject()
                        .add("first", hex32(r.first))
                        .add("last", hex32(r.end - 1))
                        .add("bytes", std::uint64_t{r.size()})
                        .str(false));
  }
  return items;
}

std::string progress_unit(const image::FirmwareReport& rep) {
  return rep.ascending ? "records" : "bytes";
}

std::uint64_t progress_total(const image::FirmwareReport& rep) {
  return rep.ascending ? rep.records : rep.data_bytes;
}

std::vector<std::string> sector_numbers(const image::FirmwareReport& rep) {
  std::vector<std::string> items;
  if (!rep.refused()) {
    for (const std::uint32_t n : erased_sectors(rep)) {
      items.push_back(std::to_string(n));
    }
  }
  return items;
}

void print_json(const Arguments& args, const image::FirmwareReport& rep, const Findings& f,
                std::ostream& out) {
  std::vector<std::string> regions;
  for (const image::PlannedRegion& r : rep.regions) {
    regions.push_back(JsonObject()
                          .add("first_page", hex32(r.first_page))
                          .add("pages", std::uint64_t{r.pages})
                          .str(false));
  }
  std::vector<std::string> issues;
  for (const image::RecordIssue& i : rep.issues) {
    issues.push_back(JsonObject()
                         .add("record", std::uint64_t{i.record})
                         .add("issue", image::issue_text(i.issue))
                         .add("refuses", image::refuses(i.issue))
                         .str(false));
  }
  JsonObject o;
  o.add("file", args.file)
      .add("kind", rep.kind == image::FileKind::Ehex ? "ehex" : "hex")
      .add("refused", rep.refused())
      .add("problem", rep.problem())
      .add("records", std::uint64_t{rep.records})
      .add("progress_total", progress_total(rep))
      .add("progress_unit", progress_unit(rep))
      .add("data_bytes", rep.data_bytes)
      .add("ascending", rep.ascending)
      .add_raw("ranges", json_array(ranges_json(f.ranges)))
      .add_raw("regions", json_array(regions))
      .add("pages", std::uint64_t{rep.data_frames})
      .add("eot_frames", std::uint64_t{rep.eot_frames})
      .add_raw("outside_flash", json_array(ranges_json(f.outside_flash)))
      .add_raw("erase_sectors", json_array(sector_numbers(rep)));
  if (f.smallest_flash_kb > 0) {
    o.add("smallest_flash_kb", f.smallest_flash_kb);
  } else {
    o.add_null("smallest_flash_kb");
  }
  o.add_raw("issues", json_array(issues)).add("issue_total", std::uint64_t{rep.issue_total});
  out << o.str() << '\n';
}

void print_text(const Arguments& args, const image::FirmwareReport& rep, const Findings& f,
                std::ostream& out) {
  const bool ehex = rep.kind == image::FileKind::Ehex;
  out << args.file << ": " << (ehex ? "encrypted hex" : "Intel HEX") << ", " << rep.records
      << (ehex ? " records" : " lines") << '\n';
  if (!rep.opened || rep.read_error) {
    out << "refused: " << rep.problem() << '\n';
    return;
  }
  out << "data: " << rep.data_bytes << " bytes in " << f.ranges.size()
      << (f.ranges.size() == 1 ? " range" : " ranges") << '\n';
  for (const Range& r : f.ranges) {
    out << "  " << range_text(r) << "  " << r.size() << " bytes\n";
  }
  if (!rep.refused()) {
    out << "regions: " << rep.regions.size() << ", pages: " << rep.data_frames
        << ", end-of-transmission frames: " << rep.eot_frames << '\n';
    for (const image::PlannedRegion& r : rep.regions) {
      out << "  " << hex32(r.first_page) << "  " << r.pages << (r.pages == 1 ? " page" : " pages")
          << '\n';
    }
    out << "progress total: " << progress_total(rep) << ' ' << progress_unit(rep) << '\n';
    const std::vector<std::uint32_t> sectors = erased_sectors(rep);
    out << "erase: " << sectors.size() << " sectors of 4 KB: " << sector_list(sectors) << '\n';
    if (f.smallest_flash_kb > 0) {
      out << "fits: devices with " << f.smallest_flash_kb << " KB of flash or more\n";
    }
  }
  for (const image::RecordIssue& i : rep.issues) {
    out << (image::refuses(i.issue) ? "error: record " : "warning: record ") << i.record << ": "
        << image::issue_text(i.issue) << '\n';
  }
  if (rep.issue_total > rep.issues.size()) {
    out << "warning: " << rep.issue_total - rep.issues.size() << " more issues not listed\n";
  }
  if (!rep.ascending) {
    out << "warning: records out of address order; the download sends the data sorted by "
           "address\n";
  }
  for (const Range& r : f.outside_flash) {
    out << "error: data outside the flash (" << range_text(kFlash) << "): " << range_text(r)
        << '\n';
  }
  out << (rep.refused() ? "refused: " + rep.problem() : std::string("would program")) << '\n';
}

}  // namespace

int run_check(const Arguments& args, std::ostream& out, std::ostream& err) {
  const int kind = args.kind.value_or(kind_from_name(args.file));
  const image::FirmwareReport rep = image::scan_firmware(args.file.c_str(), kind);
  const Findings f = examine(rep);
  if (args.json) {
    print_json(args, rep, f, out);
  } else {
    print_text(args, rep, f, out);
  }
  if (rep.refused()) {
    err << "driveflash-cli: " << args.file << " is refused: " << rep.problem() << '\n';
    return kExitUsage;
  }
  return kExitOk;
}

}  // namespace driveflash::cli
