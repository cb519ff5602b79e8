#include "Json.h"

#include <cstdio>

namespace qzctl {

std::string jsonEscape(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
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
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
                    out += buf;
                } else {
                    out.push_back(c);
                }
        }
    }
    out.push_back('"');
    return out;
}

void JsonObject::key(std::string_view k) {
    if (!m_body.empty())
        m_body.push_back(',');
    m_body += jsonEscape(k);
    m_body.push_back(':');
}

JsonObject& JsonObject::add(std::string_view k, std::string_view value) {
    key(k);
    m_body += jsonEscape(value);
    return *this;
}

JsonObject& JsonObject::add(std::string_view k, std::int64_t value) {
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

}  // namespace qzctl
