// Minimal JSON writing for --json output: objects of strings, numbers,
// booleans and nested arrays, escaped properly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qzctl {

std::string jsonEscape(std::string_view s);

// Builds one JSON object field by field.
class JsonObject {
  public:
    JsonObject& add(std::string_view key, std::string_view value);
    JsonObject& add(std::string_view key, const char* value) {
        return add(key, std::string_view(value));
    }
    JsonObject& add(std::string_view key, std::int64_t value);
    JsonObject& add(std::string_view key, bool value);
    // value is already JSON (an array or object).
    JsonObject& addRaw(std::string_view key, std::string_view json);
    std::string str() const { return "{" + m_body + "}"; }

  private:
    void key(std::string_view k);
    std::string m_body;
};

std::string jsonArray(const std::vector<std::string>& jsonItems);

}  // namespace qzctl
