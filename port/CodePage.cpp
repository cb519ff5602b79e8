#include "port/CodePage.h"

namespace nork::port {
namespace {

bool knownCodePage(unsigned cp) {
    return cp == CP_ACP || cp == CP_UTF8;
}

void putUtf8(std::string& out, char32_t cp) {
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

}  // namespace

std::size_t wideCharToMultiByte(unsigned codePage, std::u16string_view wide, std::string& out) {
    out.clear();
    if (!knownCodePage(codePage))
        return 0;
    std::string result;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char32_t u = wide[i];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= wide.size() || wide[i + 1] < 0xDC00 || wide[i + 1] > 0xDFFF)
                return 0;
            u = 0x10000 + ((u - 0xD800) << 10) + (wide[++i] - 0xDC00);
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return 0;
        }
        putUtf8(result, u);
    }
    result.push_back('\0');
    out = std::move(result);
    return out.size();
}

std::size_t multiByteToWideChar(unsigned codePage, std::string_view narrow, std::u16string& out) {
    out.clear();
    if (!knownCodePage(codePage))
        return 0;
    std::u16string result;
    std::size_t i = 0;
    while (i < narrow.size()) {
        auto b = static_cast<unsigned char>(narrow[i]);
        char32_t cp;
        std::size_t trail;
        if (b < 0x80) {
            cp = b;
            trail = 0;
        } else if (b >= 0xC2 && b <= 0xDF) {
            cp = b & 0x1F;
            trail = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            cp = b & 0x0F;
            trail = 2;
        } else if (b >= 0xF0 && b <= 0xF4) {
            cp = b & 0x07;
            trail = 3;
        } else {
            return 0;
        }
        if (i + trail >= narrow.size())
            return 0;  // sequence runs past the input
        for (std::size_t k = 1; k <= trail; ++k) {
            auto c = static_cast<unsigned char>(narrow[i + k]);
            if ((c & 0xC0) != 0x80)
                return 0;
            cp = (cp << 6) | (c & 0x3F);
        }
        const char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < minimum[trail] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return 0;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            result.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            result.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            result.push_back(static_cast<char16_t>(cp));
        }
        i += trail + 1;
    }
    result.push_back(u'\0');
    out = std::move(result);
    return out.size();
}

}  // namespace nork::port
