#include "sim/faults.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <set>

namespace driveflash::sim {
namespace {

constexpr std::array<std::string_view, kFrameKindCount> kKindNames = {
    "header", "erase", "read", "run", "other", "data", "eot", "unknown-type"};

// Kinds a trigger may name: the ones the host sends in a run, and the read.
constexpr std::array<FrameKind, 5> kTriggerKinds = {
    FrameKind::kHeader, FrameKind::kErase, FrameKind::kRead, FrameKind::kData, FrameKind::kEot};

constexpr std::string_view kKnownOptions =
    "silent, short-identity, no-bsl, handshake=HH, length-reply=HH, loader-reply=HH, "
    "reply:KIND@K=HH, protect=N, silent-from:KIND@K, disconnect:KIND@K, flood-from:KIND@K, "
    "slow=N(us|ms|s), drip=N(us|ms|s), line-time, page-time=MS, erase-time=MS, "
    "start=rom-loader|stuck-loader, power-cycle-after=N(us|ms|s), modbus-gap=on|off, "
    "loader-startup=MS, boot-time=MS, power-cycle-junk=HEX, noise=RATE, seed=S, "
    "lose-reply:KIND@K, lose-byte:KIND@K, corrupt-page:data@K";

// Enough for a break and the odd bytes a drive's transceiver sends as it powers up.
constexpr std::size_t kMaxJunkBytes = 16;
constexpr std::uint64_t kMaxMs = 60'000;

std::string_view trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool parse_unsigned(std::string_view text, std::uint64_t max, std::uint64_t& out) {
  if (text.empty()) return false;
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value > max) return false;
  out = value;
  return true;
}

bool parse_byte(std::string_view text, std::uint8_t& out) {
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  if (text.empty() || text.size() > 2) return false;
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  out = static_cast<std::uint8_t>(value);
  return true;
}

// "data@5"
bool parse_trigger(std::string_view text, FrameTrigger& out, std::string& why) {
  const auto at = text.find('@');
  if (at == std::string_view::npos) {
    why = "expected KIND@K, e.g. data@5";
    return false;
  }
  const std::string_view name = text.substr(0, at);
  bool found = false;
  for (const FrameKind kind : kTriggerKinds) {
    if (frame_kind_name(kind) == name) {
      out.kind = kind;
      found = true;
    }
  }
  if (!found) {
    why = "unknown frame kind '" + std::string(name) + "' (header, erase, read, data, eot)";
    return false;
  }
  if (!parse_unsigned(text.substr(at + 1), 1'000'000'000, out.index) || out.index == 0) {
    why = "'" + std::string(text.substr(at + 1)) + "' is not a frame number (1, 2, ...)";
    return false;
  }
  return true;
}

// "00FF": two hex digits a byte.
bool parse_hex_bytes(std::string_view text, std::vector<std::uint8_t>& out) {
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  if (text.empty() || text.size() % 2 != 0 || text.size() / 2 > kMaxJunkBytes) return false;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    std::uint8_t b = 0;
    const std::string_view pair = text.substr(i, 2);
    if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos ||
        !parse_byte(pair, b)) {
      return false;
    }
    bytes.push_back(b);
  }
  out = std::move(bytes);
  return true;
}

// "2e-5", "0.001", "1": a rate from 0 to 1.
bool parse_rate(std::string_view text, double& out) {
  if (text.empty() || text.front() == '+' || text.front() == '-') return false;
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !(value >= 0 && value <= 1)) {
    return false;
  }
  out = value;
  return true;
}

// A minute is far beyond any read time-out of the tool; more is a typing error.
constexpr std::uint64_t kMaxReplyMicros = 60'000'000;
// A power cycle may come after a long wait, as an operator takes their time.
constexpr std::uint64_t kMaxPowerCycleMicros = 3'600'000'000;

bool parse_duration(std::string_view text, std::chrono::microseconds& out,
                    std::uint64_t max_micros = kMaxReplyMicros, bool bare_seconds = false) {
  if (bare_seconds && !text.empty() && text.back() >= '0' && text.back() <= '9') {
    std::uint64_t seconds = 0;
    if (!parse_unsigned(text, max_micros / 1'000'000, seconds)) return false;
    out = std::chrono::microseconds(static_cast<std::int64_t>(seconds * 1'000'000));
    return true;
  }
  std::uint64_t scale = 0;
  if (text.ends_with("us")) {
    scale = 1;
    text.remove_suffix(2);
  } else if (text.ends_with("ms")) {
    scale = 1000;
    text.remove_suffix(2);
  } else if (text.ends_with("s")) {
    scale = 1'000'000;
    text.remove_suffix(1);
  } else {
    return false;
  }
  std::uint64_t value = 0;
  if (!parse_unsigned(text, max_micros, value) || value * scale > max_micros) return false;
  out = std::chrono::microseconds(static_cast<std::int64_t>(value * scale));
  return true;
}

bool parse_one(std::string_view option, Faults& f, std::set<std::string>& seen,
               std::string& error) {
  const auto fail = [&](const std::string& why) {
    error = "fault option '" + std::string(option) + "': " + why;
    return false;
  };
  const auto eq = option.find('=');
  const auto colon = option.find(':');
  // The name ends at the first ':' (triggered options) or '='.
  const auto name_end = std::min(colon, eq);
  const std::string_view name = option.substr(0, name_end);
  const std::string_view value =
      name_end == std::string_view::npos ? std::string_view{} : option.substr(name_end + 1);
  std::string key(name);

  const auto byte_value = [&](std::optional<std::uint8_t>& field) {
    std::uint8_t b = 0;
    if (eq != name_end || !parse_byte(value, b)) {
      return fail("expected " + std::string(name) + "=HH with HH a byte in hex (00..FF)");
    }
    field = b;
    return true;
  };
  const auto trigger_value = [&](std::optional<FrameTrigger>& field) {
    FrameTrigger t;
    std::string why;
    if (colon != name_end) return fail("expected " + std::string(name) + ":KIND@K");
    if (!parse_trigger(value, t, why)) return fail(why);
    field = t;
    return true;
  };
  // Triggers that may be given for several frames, once each.
  const auto trigger_list = [&](std::vector<FrameTrigger>& field) {
    std::optional<FrameTrigger> t;
    if (!trigger_value(t)) return false;
    key += ":" + std::string(value);
    field.push_back(*t);
    return true;
  };
  const auto milliseconds = [&](std::chrono::microseconds& field) {
    std::uint64_t ms = 0;
    if (eq != name_end || !parse_unsigned(value, kMaxMs, ms)) {
      return fail("expected " + std::string(name) +
                  "=MS with MS whole milliseconds, at most 60000");
    }
    field = std::chrono::milliseconds(static_cast<std::int64_t>(ms));
    return true;
  };

  bool ok = false;
  if (name == "silent" || name == "short-identity" || name == "no-bsl" || name == "line-time") {
    if (name_end != std::string_view::npos) return fail("takes no value");
    (name == "silent"           ? f.silent
     : name == "short-identity" ? f.short_identity
     : name == "no-bsl"         ? f.no_bsl
                                : f.line_time) = true;
    ok = true;
  } else if (name == "handshake") {
    ok = byte_value(f.handshake_reply);
  } else if (name == "length-reply") {
    ok = byte_value(f.length_reply);
  } else if (name == "loader-reply") {
    ok = byte_value(f.loader_reply);
  } else if (name == "protect") {
    if (eq != name_end || !parse_unsigned(value, 1'000'000, f.protect)) {
      return fail("expected protect=N with N a count of headers");
    }
    ok = true;
  } else if (name == "slow") {
    if (eq != name_end || !parse_duration(value, f.delay)) {
      return fail("expected slow=N with a unit us, ms or s, at most 60s, e.g. slow=50ms");
    }
    ok = true;
  } else if (name == "drip") {
    if (eq != name_end || !parse_duration(value, f.drip)) {
      return fail("expected drip=N with a unit us, ms or s, at most 60s, e.g. drip=10ms");
    }
    ok = true;
  } else if (name == "page-time" || name == "erase-time" || name == "boot-time") {
    ok = milliseconds(name == "page-time"    ? f.page_time
                      : name == "erase-time" ? f.erase_time
                                             : f.boot_time);
  } else if (name == "loader-startup") {
    std::chrono::microseconds startup{0};
    ok = milliseconds(startup);
    f.loader_startup = startup;
  } else if (name == "modbus-gap") {
    if (eq != name_end || (value != "on" && value != "off")) {
      return fail("expected modbus-gap=on or modbus-gap=off");
    }
    f.modbus_gap = value == "on";
    ok = true;
  } else if (name == "power-cycle-junk") {
    if (eq != name_end || !parse_hex_bytes(value, f.power_cycle_junk)) {
      return fail("expected power-cycle-junk=HEX with 1 to 16 bytes of two hex digits, e.g. 00FF");
    }
    ok = true;
  } else if (name == "noise") {
    if (eq != name_end || !parse_rate(value, f.noise)) {
      return fail("expected noise=RATE with RATE a fraction of the bytes from 0 to 1, e.g. 2e-5");
    }
    ok = true;
  } else if (name == "seed") {
    if (eq != name_end || !parse_unsigned(value, UINT64_MAX, f.seed)) {
      return fail("expected seed=S with S a whole number, e.g. seed=7");
    }
    ok = true;
  } else if (name == "lose-reply") {
    ok = trigger_list(f.lose_reply);
  } else if (name == "lose-byte") {
    ok = trigger_list(f.lose_byte);
  } else if (name == "corrupt-page") {
    ok = trigger_list(f.corrupt_page);
    if (ok && f.corrupt_page.back().kind != FrameKind::kData) {
      return fail("only data frames carry a page: corrupt-page:data@K");
    }
  } else if (name == "start") {
    if (eq != name_end || (value != "rom-loader" && value != "stuck-loader")) {
      return fail("expected start=rom-loader or start=stuck-loader");
    }
    f.start = value == "rom-loader" ? StartIn::kRomLoader : StartIn::kStuckLoader;
    ok = true;
  } else if (name == "power-cycle-after") {
    if (eq != name_end || !parse_duration(value, f.power_cycle_after, kMaxPowerCycleMicros, true) ||
        f.power_cycle_after.count() == 0) {
      return fail(
          "expected power-cycle-after=N with N seconds (or a unit us, ms or s), more than 0 "
          "and at most an hour");
    }
    ok = true;
  } else if (name == "silent-from") {
    ok = trigger_value(f.silent_from);
  } else if (name == "disconnect") {
    ok = trigger_value(f.disconnect_at);
  } else if (name == "flood-from") {
    ok = trigger_value(f.flood_from);
  } else if (name == "reply") {
    // reply:KIND@K=HH
    ReplyOverride r;
    std::string why;
    const auto last_eq = value.rfind('=');
    if (colon != name_end || last_eq == std::string_view::npos) {
      return fail("expected reply:KIND@K=HH, e.g. reply:data@3=F9");
    }
    if (!parse_trigger(value.substr(0, last_eq), r.at, why)) return fail(why);
    if (!parse_byte(value.substr(last_eq + 1), r.reply)) {
      return fail("'" + std::string(value.substr(last_eq + 1)) + "' is not a byte in hex");
    }
    key = "reply:" + std::string(value.substr(0, last_eq));
    f.replies.push_back(r);
    ok = true;
  } else {
    return fail(std::string("unknown option (known: ") + std::string(kKnownOptions) + ")");
  }
  if (ok && !seen.insert(key).second) return fail("given twice");
  return ok;
}

}  // namespace

std::string_view frame_kind_name(FrameKind kind) {
  return kKindNames.at(static_cast<std::size_t>(kind));
}

bool parse_faults(std::string_view text, Faults& out, std::string& error) {
  Faults f;
  std::set<std::string> seen;
  text = trim(text);
  if (text.empty()) {
    out = f;
    return true;
  }
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto comma = text.find(',', start);
    const auto end = comma == std::string_view::npos ? text.size() : comma;
    const std::string_view option = trim(text.substr(start, end - start));
    if (option.empty()) {
      error = "fault options: empty option in '" + std::string(text) + "'";
      return false;
    }
    if (!parse_one(option, f, seen, error)) return false;
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (seen.contains("seed") && !seen.contains("noise")) {
    error = "fault option 'seed': a seed goes with noise=RATE";
    return false;
  }
  out = std::move(f);
  return true;
}

}  // namespace driveflash::sim
