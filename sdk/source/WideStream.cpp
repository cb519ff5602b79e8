#include "WideStream.h"

#include "port/Utf.h"

namespace nork {
namespace {

using port::utf::appendUtf8;

bool isHigh(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool isLow(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

}  // namespace

void CUtf8StreamBuf::encode(char16_t unit, std::string& out) {
    if (m_pendingHigh != 0) {
        char16_t high = m_pendingHigh;
        m_pendingHigh = 0;
        if (isLow(unit)) {
            appendUtf8(out, 0x10000 + ((char32_t(high) - 0xD800) << 10) + (unit - 0xDC00));
            return;
        }
        appendUtf8(out, 0xFFFD);
    }
    if (isHigh(unit)) {
        m_pendingHigh = unit;
    } else {
        appendUtf8(out, isLow(unit) ? char32_t(0xFFFD) : char32_t(unit));
    }
}

CUtf8StreamBuf::int_type CUtf8StreamBuf::overflow(int_type ch) {
    if (traits_type::eq_int_type(ch, traits_type::eof()))
        return traits_type::not_eof(ch);
    std::string bytes;
    encode(traits_type::to_char_type(ch), bytes);
    if (!bytes.empty())
        m_target.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return m_target.fail() ? traits_type::eof() : ch;
}

std::streamsize CUtf8StreamBuf::xsputn(const char16_t* s, std::streamsize n) {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(n));
    for (std::streamsize i = 0; i < n; ++i)
        encode(s[i], bytes);
    if (!bytes.empty())
        m_target.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return m_target.fail() ? 0 : n;
}

int CUtf8StreamBuf::sync() {
    m_target.flush();
    return m_target.fail() ? -1 : 0;
}

CUtf8WideStream::CUtf8WideStream(std::ostream& target)
    : std::basic_ostream<char16_t>(nullptr), m_buffer(target) {
    rdbuf(&m_buffer);
}

}  // namespace nork
