// JSON writing for the tools' --json output. Text from drives is not trusted
// to be UTF-8: a byte that does not start or continue a valid UTF-8 sequence
// is written as U+FFFD, so every output is valid JSON whatever the drive said.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qzcli {

// `s` as a quoted JSON string.
std::string jsonString(std::string_view s);

// One JSON object, built field by field.
class JsonObject {
  public:
    JsonObject& add(std::string_view key, std::string_view value);
    JsonObject& add(std::string_view key, const std::string& value) {
        return add(key, std::string_view(value));
    }
    JsonObject& add(std::string_view key, const char* value) {
        return add(key, std::string_view(value));
    }
    JsonObject& add(std::string_view key, std::int64_t value);
    JsonObject& add(std::string_view key, std::uint64_t value);
    JsonObject& add(std::string_view key, std::uint32_t value) {
        return add(key, std::uint64_t{value});
    }
    JsonObject& add(std::string_view key, std::int32_t value) {
        return add(key, std::int64_t{value});
    }
    JsonObject& add(std::string_view key, bool value);
    // `json` is already JSON (an array, object or null).
    JsonObject& addRaw(std::string_view key, std::string_view json);
    std::string str() const { return "{" + m_body + "}"; }

  private:
    void key(std::string_view k);
    std::string m_body;
};

// Items that are already JSON, as an array.
std::string jsonArray(const std::vector<std::string>& jsonItems);
// Plain strings as a JSON array of strings.
std::string jsonStrings(const std::vector<std::string>& items);

}  // namespace qzcli
