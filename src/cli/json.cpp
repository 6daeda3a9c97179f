#include "cli/json.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "bsl/flash_map.h"
#include "bsl/frames.h"
#include "cli/program.h"

namespace driveflash::cli {
namespace {

// Length of the UTF-8 sequence starting at text[i], or 0 when it is not a valid one
// (overlong forms, surrogates and values above U+10FFFF included).
std::size_t utf8_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t n = 0;
  std::uint32_t min = 0;
  std::uint32_t cp = 0;
  if (lead < 0x80) {
    return 1;
  }
  if ((lead & 0xE0) == 0xC0) {
    n = 2, min = 0x80, cp = lead & 0x1Fu;
  } else if ((lead & 0xF0) == 0xE0) {
    n = 3, min = 0x800, cp = lead & 0x0Fu;
  } else if ((lead & 0xF8) == 0xF0) {
    n = 4, min = 0x10000, cp = lead & 0x07u;
  } else {
    return 0;
  }
  if (i + n > text.size()) {
    return 0;
  }
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      return 0;
    }
    cp = (cp << 6) | (byte(i + k) & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return n;
}

std::string format_double(double value, int decimals) {
  if (!std::isfinite(value)) {
    return "null";
  }
  // Not printf: once Qt has started, the command line runs under the user's locale, where
  // "%f" may write a decimal comma, which is no JSON number.
  std::array<char, 512> text{};
  const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), value,
                                          std::chars_format::fixed, decimals);
  if (error != std::errc{}) {
    return "null";
  }
  return {text.data(), end};
}

}  // namespace

std::string json_string(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
      ++i;
    } else if (c == '\n') {
      out += "\\n", ++i;
    } else if (c == '\r') {
      out += "\\r", ++i;
    } else if (c == '\t') {
      out += "\\t", ++i;
    } else if (c < 0x20 || c == 0x7F) {
      std::array<char, 8> escaped{};
      // NOLINTNEXTLINE(cert-err33-c): six characters in the 8-byte buffer
      std::snprintf(escaped.data(), escaped.size(), "\\u%04X", c);
      out += escaped.data();
      ++i;
    } else if (const std::size_t n = utf8_length(text, i); n > 0) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD for one stray byte
      ++i;
    }
  }
  out.push_back('"');
  return out;
}

JsonObject& JsonObject::put(std::string_view key, std::string value) {
  members_.push_back({json_string(key), std::move(value), {}, false});
  return *this;
}

JsonObject& JsonObject::add(std::string_view key, std::string_view value) {
  return put(key, json_string(value));
}

JsonObject& JsonObject::add(std::string_view key, bool value) {
  return put(key, value ? "true" : "false");
}

JsonObject& JsonObject::add(std::string_view key, std::int64_t value) {
  return put(key, std::to_string(value));
}

JsonObject& JsonObject::add(std::string_view key, std::uint64_t value) {
  return put(key, std::to_string(value));
}

JsonObject& JsonObject::add(std::string_view key, double value, int decimals) {
  return put(key, format_double(value, decimals));
}

JsonObject& JsonObject::add(std::string_view key, const std::vector<std::string>& values) {
  Member m{json_string(key), {}, {}, true};
  m.items.reserve(values.size());
  for (const std::string& v : values) {
    m.items.push_back(json_string(v));
  }
  members_.push_back(std::move(m));
  return *this;
}

JsonObject& JsonObject::add_null(std::string_view key) {
  return put(key, "null");
}

JsonObject& JsonObject::add_raw(std::string_view key, std::string_view json) {
  return put(key, std::string(json));
}

std::string JsonObject::str(bool pretty) const {
  if (members_.empty()) {
    return "{}";
  }
  const char* gap = pretty ? "\n  " : "";
  std::string out = "{";
  for (std::size_t i = 0; i < members_.size(); ++i) {
    const Member& m = members_[i];
    out += i == 0 ? "" : ",";
    out += gap;
    if (!pretty && i > 0) {
      out += ' ';
    }
    out += m.key;
    out += ": ";
    if (m.array) {
      out += pretty && !m.items.empty() ? json_array(m.items, true) : json_array(m.items);
    } else {
      out += m.value;
    }
  }
  out += pretty ? "\n}" : "}";
  return out;
}

std::string json_array(const std::vector<std::string>& items, bool pretty) {
  if (items.empty()) {
    return "[]";
  }
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    out += i == 0 ? "" : ",";
    out += pretty ? "\n    " : (i == 0 ? "" : " ");
    out += items[i];
  }
  out += pretty ? "\n  ]" : "]";
  return out;
}

// The program run's report.
namespace {

std::optional<std::int64_t> widen(const std::optional<long>& value) {
  return value ? std::optional<std::int64_t>(*value) : std::nullopt;
}

}  // namespace

std::string RunReport::result() const {
  switch (outcome.result) {
    case run::Result::kOk:
      return "success";
    case run::Result::kStopped:
      return "interrupted";
    case run::Result::kRefused:
      return "refused";
    case run::Result::kFailed:
    default:
      return "failed";
  }
}

std::string RunReport::message() const {
  if (!succeeded()) {
    return run::ending_text(outcome);
  }
  return lines.empty() ? outcome.line : lines.back();
}

std::optional<int> RunReport::download_status() const {
  if (succeeded() || outcome.cause == run::Cause::kDownload ||
      outcome.cause == run::Cause::kFlashDiffers) {
    return outcome.status;
  }
  return std::nullopt;
}

std::string RunReport::json(bool pretty) const {
  JsonObject o;
  const run::Outcome& out = outcome;
  const bool ran = out.result != run::Result::kRefused;
  o.add("result", result())
      .add("exit_status", exit_status)
      .add("file", file)
      .add("kind", kind)
      .add("port", port)
      .add_optional("drive_baud", widen(drive_baud))
      .add_optional("loader_baud", widen(loader_baud))
      .add("timing", out.timing == kTimingFast ? "fast" : "standard")
      .add("status_lines", lines)
      .add("reason", out.line)
      .add("cause", run::cause_name(out.cause))
      .add("status", out.status)
      .add("reason_line", out.reason)
      .add("advice", out.advice);
  if (const std::optional<int> status = download_status()) {
    o.add("download_status", *status).add("download_message", error_message(*status));
  } else {
    o.add_null("download_status").add_null("download_message");
  }
  o.add("elapsed_seconds", out.seconds, 3)
      .add_optional("pages_programmed", ran ? std::optional(out.pages) : std::nullopt)
      .add_optional("bytes_programmed",
                    ran ? std::optional<std::uint64_t>(out.pages * kFlashPage) : std::nullopt)
      .add("firmware_bytes", out.bytes)
      .add("sha256", out.sha256)
      .add("drive_id", out.drive_id)
      .add("unit", unit)
      .add("retries_used", out.retries_used)
      .add("read_back", run::read_back_name(out.read_back))
      .add("read_back_words", out.read_back_words)
      .add_optional("verified", verified)
      .add("stop_requested", stop_requested)
      .add("drive_left", run::drive_place_name(out.drive_left))
      .add("drive_left_in_loader", out.drive_left != run::DrivePlace::kFirmware)
      .add("rescued", out.found_in_loader);
  return o.str(pretty);
}

}  // namespace driveflash::cli
