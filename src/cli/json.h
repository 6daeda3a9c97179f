// A small JSON writer for the machine-readable reports (one object, members in order), and
// the program run's report (RunReport::json, declared with the run).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace driveflash::cli {

// `text` as a JSON string literal, quotes included. Bytes that are not valid UTF-8 (a file
// name from an old code page, say) become U+FFFD, so the result always parses.
std::string json_string(std::string_view text);

// Builds `{"key": value, ...}` with members in the order they are added.
class JsonObject {
 public:
  JsonObject& add(std::string_view key, std::string_view value);
  JsonObject& add(std::string_view key, const char* value) {
    return add(key, std::string_view(value));
  }
  JsonObject& add(std::string_view key, bool value);
  JsonObject& add(std::string_view key, std::int64_t value);
  JsonObject& add(std::string_view key, int value) {
    return add(key, static_cast<std::int64_t>(value));
  }
  JsonObject& add(std::string_view key, std::uint64_t value);
  JsonObject& add(std::string_view key, double value, int decimals);
  JsonObject& add(std::string_view key, const std::vector<std::string>& values);
  JsonObject& add_null(std::string_view key);
  // A member whose value is already JSON text (a nested object or array).
  JsonObject& add_raw(std::string_view key, std::string_view json);
  template <typename T>
  JsonObject& add_optional(std::string_view key, const std::optional<T>& value) {
    return value ? add(key, *value) : add_null(key);
  }

  // The object on one line, or indented by two blanks per level with `pretty`.
  std::string str(bool pretty = true) const;

 private:
  struct Member {
    std::string key;                 // JSON text, quoted
    std::string value;               // JSON text; for arrays, empty
    std::vector<std::string> items;  // array items as JSON text
    bool array = false;
  };
  JsonObject& put(std::string_view key, std::string value);
  std::vector<Member> members_;
};

// `[a, b, ...]` from values that are already JSON text.
std::string json_array(const std::vector<std::string>& items, bool pretty = false);

}  // namespace driveflash::cli
