#include "port/CodePage.h"

#include "port/Utf.h"

namespace nork::port {
namespace {

bool knownCodePage(unsigned cp) {
    return cp == CP_ACP || cp == CP_UTF8;
}

}  // namespace

std::size_t wideCharToMultiByte(unsigned codePage, std::u16string_view wide, std::string& out) {
    out.clear();
    if (!knownCodePage(codePage))
        return 0;
    std::string result;
    if (!utf::toUtf8(wide, result, true))
        return 0;
    result.push_back('\0');
    out = std::move(result);
    return out.size();
}

std::size_t multiByteToWideChar(unsigned codePage, std::string_view narrow, std::u16string& out) {
    out.clear();
    if (!knownCodePage(codePage))
        return 0;
    std::u16string result;
    if (!utf::toUtf16(narrow, result, true))
        return 0;
    result.push_back(u'\0');
    out = std::move(result);
    return out.size();
}

}  // namespace nork::port
