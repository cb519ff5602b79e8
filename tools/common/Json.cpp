#include "Json.h"

#include <cstdio>

namespace qzcli {

namespace {

// Length of the valid UTF-8 sequence at s[i], 0 when the byte there does not
// start one (overlong forms, surrogates and values past U+10FFFF included).
std::size_t validSequence(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b = byte(i);
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        if (b == 0xE0)
            lo = 0xA0;
        if (b == 0xED)
            hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        if (b == 0xF0)
            lo = 0x90;
        if (b == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size() || byte(i + 1) < lo || byte(i + 1) > hi)
        return 0;
    for (std::size_t k = 2; k < n; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF)
            return 0;
    }
    return n;
}

}  // namespace

std::string jsonString(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            const std::size_t n = validSequence(s, i);
            if (n == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(s.substr(i, n));
                i += n;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
                    out += buf;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
        ++i;
    }
    out.push_back('"');
    return out;
}

void JsonObject::key(std::string_view k) {
    if (!m_body.empty())
        m_body.push_back(',');
    m_body += jsonString(k);
    m_body.push_back(':');
}

JsonObject& JsonObject::add(std::string_view k, std::string_view value) {
    key(k);
    m_body += jsonString(value);
    return *this;
}

JsonObject& JsonObject::add(std::string_view k, std::int64_t value) {
    key(k);
    m_body += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::add(std::string_view k, std::uint64_t value) {
    key(k);
    m_body += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::add(std::string_view k, bool value) {
    key(k);
    m_body += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::addRaw(std::string_view k, std::string_view json) {
    key(k);
    m_body += json;
    return *this;
}

std::string jsonArray(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            out.push_back(',');
        out += items[i];
    }
    return out + "]";
}

std::string jsonStrings(const std::vector<std::string>& items) {
    std::vector<std::string> quoted;
    quoted.reserve(items.size());
    for (const auto& item : items)
        quoted.push_back(jsonString(item));
    return jsonArray(quoted);
}

}  // namespace qzcli
