#include "StringConvertor.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include <new>

#include "port/CodePage.h"

namespace nork {

std::string wideToMultiString(std::u16string_view wide, unsigned codePage) {
    std::string out;
    if (port::wideCharToMultiByte(codePage, wide, out) == 0)
        return {};
    // Up to the first zero unit, as a C string would end.
    out.resize(out.find('\0'));
    return out;
}

std::u16string multiToWideString(std::string_view narrow, unsigned codePage) {
    std::u16string out;
    if (port::multiByteToWideChar(codePage, narrow, out) == 0)
        return {};
    out.resize(out.find(u'\0'));
    return out;
}

STATUS WideToMulti::convert(std::u16string_view in) {
    if (in.empty())
        return STATUS_OK;
    m_text = wideToMultiString(in, port::CP_ACP);
    return m_text.empty() ? STATUS_SDK_INTERNAL_ERROR : STATUS_OK;
}

STATUS MultiToWide::convert(std::string_view in) {
    if (in.empty())
        return STATUS_OK;
    m_text = multiToWideString(in, port::CP_ACP);
    return m_text.empty() ? STATUS_SDK_INTERNAL_ERROR : STATUS_OK;
}

STATUS TUTFConversionPolicy<char16_t, char, STATUS>::convert(std::u16string_view in) {
    m_buffer.assign(8 * in.size() + 1, '\0');
    std::size_t o = 0;
    auto put = [&](unsigned v) { m_buffer[o++] = static_cast<char>(v); };
    // The terminating zero is part of the input range, so the output is
    // terminated by the conversion itself.
    for (std::size_t i = 0; i <= in.size(); ++i) {
        char32_t cp = i < in.size() ? in[i] : 0;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= in.size() || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF) {
                return STATUS_SDK_INTERNAL_ERROR;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[++i] - 0xDC00);
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return STATUS_SDK_INTERNAL_ERROR;
        }
        if (cp < 0x80) {
            put(cp);
        } else if (cp < 0x800) {
            put(0xC0 | (cp >> 6));
            put(0x80 | (cp & 0x3F));
        } else if (cp <= 0xFFFF) {
            put(0xE0 | (cp >> 12));
            put(0x80 | ((cp >> 6) & 0x3F));
            put(0x80 | (cp & 0x3F));
        } else {
            put(0xF0 | (cp >> 18));
            put(0x80 | ((cp >> 12) & 0x3F));
            put(0x80 | ((cp >> 6) & 0x3F));
            put(0x80 | (cp & 0x3F));
        }
    }
    return STATUS_OK;
}

STATUS TUTFConversionPolicy<char, char16_t, STATUS>::convert(std::string_view in) {
    m_buffer.assign(2 * in.size() + 1, u'\0');
    std::size_t o = 0;
    std::size_t i = 0;
    while (i < in.size()) {
        auto lead = static_cast<unsigned char>(in[i]);
        std::size_t trail = lead < 0xC0   ? 0
                            : lead < 0xE0 ? 1
                            : lead < 0xF0 ? 2
                            : lead < 0xF8 ? 3
                                          : 4;
        if ((lead >= 0x80 && lead <= 0xC1) || lead > 0xF4)
            return STATUS_SDK_INTERNAL_ERROR;
        if (i + trail >= in.size())
            return STATUS_SDK_INTERNAL_ERROR;
        char32_t cp = trail == 0 ? lead : lead & (0x3F >> trail);
        for (std::size_t k = 1; k <= trail; ++k) {
            auto c = static_cast<unsigned char>(in[i + k]);
            if (c < 0x80 || c > 0xBF)
                return STATUS_SDK_INTERNAL_ERROR;
            if (k == 1 && ((lead == 0xE0 && c < 0xA0) || (lead == 0xF0 && c < 0x90) ||
                           (lead == 0xF4 && c > 0x8F))) {
                return STATUS_SDK_INTERNAL_ERROR;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return STATUS_SDK_INTERNAL_ERROR;
        if (cp > 0xFFFF) {
            cp -= 0x10000;
            m_buffer[o++] = static_cast<char16_t>(0xD800 + (cp >> 10));
            m_buffer[o++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            m_buffer[o++] = static_cast<char16_t>(cp);
        }
        i += trail + 1;
    }
    return STATUS_OK;
}

STATUS CStringToMD5ConversionPolicy::convert(std::u16string_view in) {
    std::vector<CryptoPP::byte> bytes;
    bytes.reserve(2 * (in.size() + 1));
    for (char16_t u : in) {
        bytes.push_back(static_cast<CryptoPP::byte>(u & 0xFF));
        bytes.push_back(static_cast<CryptoPP::byte>(u >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    CryptoPP::Weak::MD5 md5;
    md5.CalculateDigest(m_digest.data(), bytes.data(), bytes.size());
    return STATUS_OK;
}

TZykPasswordConvertor::TZykPasswordConvertor(std::u16string_view password)
    : TStringConvertor<WideToMulti>(password) {
    std::size_t n = TStringConvertor<WideToMulti>::convertedSize();
    const char* text = TStringConvertor<WideToMulti>::convertedData();
    for (std::size_t i = 0; i < n && i < FIELD_SIZE; ++i)
        m_field[i] = text[i];
}

ICharStringConvertor* createMultiConvertor(std::u16string_view wide) noexcept {
    try {
        return new TConvertorDynamicBinding<TStringConvertor<WideToMulti>, ICharStringConvertor>(
            wide);
    } catch (...) {
        return nullptr;
    }
}

IWCharStringConvertor* createWideConvertor(std::string_view narrow) noexcept {
    try {
        return new TConvertorDynamicBinding<TStringConvertor<MultiToWide>, IWCharStringConvertor>(
            narrow);
    } catch (...) {
        return nullptr;
    }
}

ICharStringConvertor* createPasswordConvertor(std::u16string_view password) noexcept {
    try {
        return new TConvertorDynamicBinding<TZykPasswordConvertor, ICharStringConvertor>(password);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace nork
