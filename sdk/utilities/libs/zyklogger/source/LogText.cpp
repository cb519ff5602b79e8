#include "LogText.h"

#include <initializer_list>

#include "Log.h"

namespace nork::logtext {
namespace {

void appendCodePoint(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Returns false at the first unpaired surrogate when `strict`.
bool convert(std::u16string_view text, std::string& out, bool strict) {
    out.clear();
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            if (strict)
                return false;
            cp = 0xFFFD;
        }
        appendCodePoint(out, cp);
    }
    return true;
}

}  // namespace

std::string toUtf8(std::u16string_view text) {
    std::string out;
    convert(text, out, false);
    return out;
}

bool toUtf8Strict(std::u16string_view text, std::string& out) {
    return convert(text, out, true);
}

std::u16string fromUtf8(std::string_view text) {
    // The log formatter already decodes narrow text leniently; reuse it.
    return formatWide("%S", {std::string(text)});
}

}  // namespace nork::logtext
