#include "MaskConvert.h"

namespace nork {
namespace {

constexpr std::uint32_t LETTER_BITS = 0x03FFFFFFu;

}  // namespace

std::uint32_t CMaskConvert::neededLength(std::uint32_t mask) {
    std::uint32_t letters = 0;
    for (std::uint32_t m = mask & LETTER_BITS; m != 0; m &= m - 1)
        ++letters;
    return letters * 4 + 1;
}

STATUS CMaskConvertWin::maskToRootPaths(std::uint32_t mask, char16_t* buffer,
                                        std::uint32_t& length) const {
    mask &= LETTER_BITS;
    if (mask == 0)
        return STATUS_PATH_ERROR;
    const std::uint32_t needed = neededLength(mask);
    if (buffer == nullptr || length < needed) {
        length = needed;
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::uint32_t at = 0;
    for (int bit = 0; bit < 26; ++bit) {
        if (((mask >> bit) & 1u) == 0)
            continue;
        buffer[at++] = static_cast<char16_t>(u'A' + bit);
        buffer[at++] = u':';
        buffer[at++] = u'\\';
        buffer[at++] = u'\0';
    }
    buffer[at] = u'\0';
    return STATUS_OK;
}

CMaskConvert& platformMaskConvert() {
    static CMaskConvertWin converter;
    return converter;
}

}  // namespace nork
