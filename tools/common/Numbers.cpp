#include "Numbers.h"

namespace qzcli {

namespace {

// The magnitude without any range check other than 64 bits.
std::optional<std::uint64_t> magnitude(std::string_view text) {
    unsigned base = 10;
    if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        const int d = digitValue(c, base);
        if (d < 0 || value > (UINT64_MAX - static_cast<unsigned>(d)) / base)
            return std::nullopt;
        value = value * base + static_cast<unsigned>(d);
    }
    return value;
}

}  // namespace

std::optional<std::uint64_t> parseUnsigned(std::string_view text, std::uint64_t min,
                                           std::uint64_t max) {
    const std::optional<std::uint64_t> v = magnitude(text);
    if (!v || *v < min || *v > max)
        return std::nullopt;
    return v;
}

std::optional<std::int64_t> parseSigned(std::string_view text, std::int64_t min, std::int64_t max) {
    const bool negative = !text.empty() && text[0] == '-';
    if (negative)
        text.remove_prefix(1);
    const std::optional<std::uint64_t> v = magnitude(text);
    if (!v)
        return std::nullopt;
    std::int64_t value;
    if (negative) {
        // -2^63 is the one magnitude beyond INT64_MAX that still fits.
        if (*v > static_cast<std::uint64_t>(INT64_MAX) + 1)
            return std::nullopt;
        value = *v == static_cast<std::uint64_t>(INT64_MAX) + 1 ? INT64_MIN
                                                                : -static_cast<std::int64_t>(*v);
    } else {
        if (*v > static_cast<std::uint64_t>(INT64_MAX))
            return std::nullopt;
        value = static_cast<std::int64_t>(*v);
    }
    if (value < min || value > max)
        return std::nullopt;
    return value;
}

int digitValue(char c, unsigned base) {
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return v >= 0 && static_cast<unsigned>(v) < base ? v : -1;
}

}  // namespace qzcli
