#include "StringConvertor.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include <algorithm>
#include <new>

#include "port/CodePage.h"
#include "port/Utf.h"

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
    // Zero-filled and larger than any conversion of the input, so the text is
    // terminated whatever happens, and a failed conversion keeps what came
    // before the illegal unit.
    m_buffer.assign(8 * in.size() + 1, '\0');
    std::string out;
    const bool ok = port::utf::toUtf8(in, out, true);
    std::copy(out.begin(), out.end(), m_buffer.begin());
    return ok ? STATUS_OK : STATUS_SDK_INTERNAL_ERROR;
}

STATUS TUTFConversionPolicy<char, char16_t, STATUS>::convert(std::string_view in) {
    m_buffer.assign(2 * in.size() + 1, u'\0');
    std::u16string out;
    const bool ok = port::utf::toUtf16(in, out, true);
    std::copy(out.begin(), out.end(), m_buffer.begin());
    return ok ? STATUS_OK : STATUS_SDK_INTERNAL_ERROR;
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
