#include "Version.h"

#include <charconv>
#include <string>

#include "Log.h"

namespace nork {

CVersion::CVersion(const char16_t* text) {
    zyk_assert(text != nullptr, "szVersion");
    if (text == nullptr)
        return;
    std::size_t end = 0;
    while (text[end] == u'.' || (text[end] >= u'0' && text[end] <= u'9'))
        ++end;

    // The number: digits, at most one dot, digits.
    std::string number;
    bool dot = false;
    for (std::size_t i = 0; i < end; ++i) {
        if (text[i] == u'.') {
            if (dot)
                break;
            dot = true;
        }
        number.push_back(static_cast<char>(text[i]));
    }
    if (number == "." || number.empty()) {
        m_number = 0.0;
    } else {
        if (number.front() == '.')
            number.insert(number.begin(), '0');
        double value = 0.0;
        const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
        m_number = result.ec == std::errc() ? value : 0.0;
    }

    const char16_t next = text[end];
    if ((next >= u'A' && next <= u'Z') || (next >= u'a' && next <= u'z'))
        m_suffix = next;
}

std::u16string CVersion::toString() const {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, m_number);
    if (result.ec != std::errc())
        return {};
    std::u16string text(buffer, result.ptr);
    if (text.size() == 1)
        text.push_back(u'.');
    while (text.size() < 5)
        text.push_back(u'0');
    if (m_suffix != 0)
        text.push_back(m_suffix);
    return text;
}

}  // namespace nork
