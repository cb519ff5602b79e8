#include "port/Utf.h"

namespace nork::port::utf {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool isHighSurrogate(char32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool isLowSurrogate(char32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

void appendUtf16(std::u16string& out, char32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

// Decodes one well-formed sequence at in[i]; answers its length, 0 when the
// bytes there are ill-formed.
std::size_t decodeOne(std::string_view in, std::size_t i, char32_t& cp) {
    auto lead = static_cast<unsigned char>(in[i]);
    std::size_t trail;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        trail = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trail = 2;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trail = 3;
        cp = lead & 0x07;
    } else {
        return 0;  // a continuation byte, an overlong lead (C0, C1) or above F4
    }
    if (i + trail >= in.size())
        return 0;  // runs past the input
    for (std::size_t k = 1; k <= trail; ++k) {
        auto c = static_cast<unsigned char>(in[i + k]);
        if (c < 0x80 || c > 0xBF)
            return 0;
        if (k == 1 && ((lead == 0xE0 && c < 0xA0) || (lead == 0xF0 && c < 0x90) ||
                       (lead == 0xF4 && c > 0x8F))) {
            return 0;  // overlong, or above U+10FFFF
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp >= 0xD800 && cp <= 0xDFFF)
        return 0;
    return trail + 1;
}

}  // namespace

void appendUtf8(std::string& out, char32_t cp) {
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

bool toUtf8(std::u16string_view in, std::string& out, bool strict) {
    out.clear();
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        char32_t cp = in[i];
        if (isHighSurrogate(cp) && i + 1 < in.size() && isLowSurrogate(in[i + 1])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[++i] - 0xDC00);
        } else if (isHighSurrogate(cp) || isLowSurrogate(cp)) {
            if (strict)
                return false;
            cp = REPLACEMENT;
        }
        appendUtf8(out, cp);
    }
    return true;
}

std::string toUtf8(std::u16string_view in) {
    std::string out;
    toUtf8(in, out, false);
    return out;
}

bool toUtf16(std::string_view in, std::u16string& out, bool strict) {
    out.clear();
    out.reserve(in.size());
    std::size_t i = 0;
    while (i < in.size()) {
        char32_t cp = 0;
        std::size_t n = decodeOne(in, i, cp);
        if (n == 0) {
            if (strict)
                return false;
            cp = REPLACEMENT;
            n = 1;
        }
        appendUtf16(out, cp);
        i += n;
    }
    return true;
}

std::u16string toUtf16(std::string_view in) {
    std::u16string out;
    toUtf16(in, out, false);
    return out;
}

}  // namespace nork::port::utf
