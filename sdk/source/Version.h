// A firmware version: a decimal number and an optional suffix letter, as in
// "4.3", "6.510" or "4.3a". Versions compare by number, then by suffix.
#pragma once

#include <cstdint>
#include <string>

namespace nork {

class CVersion {
  public:
    CVersion() = default;
    // Reads the longest prefix of digits and dots as a decimal number (a
    // second dot ends the number: "4.7.0.9" is 4.7); the character after
    // the prefix becomes the suffix when it is an ASCII letter. A null text
    // is an assertion and gives zero.
    explicit CVersion(const char16_t* text);
    explicit CVersion(const std::u16string& text) : CVersion(text.c_str()) {}
    CVersion(double number, char16_t suffix = 0) : m_number(number), m_suffix(suffix) {}

    double number() const { return m_number; }
    char16_t suffix() const { return m_suffix; }
    bool isZero() const { return m_number == 0.0 && m_suffix == 0; }
    void clear() { *this = CVersion(); }

    // The number in shortest form, a dot added after a single character,
    // zeros up to five characters, then the suffix: 4.3 -> "4.300",
    // 2.01 -> "2.010", 4.3a -> "4.300a".
    std::u16string toString() const;

    friend bool operator==(const CVersion& a, const CVersion& b) {
        return a.m_number == b.m_number && a.m_suffix == b.m_suffix;
    }
    friend bool operator!=(const CVersion& a, const CVersion& b) { return !(a == b); }
    friend bool operator<(const CVersion& a, const CVersion& b) {
        if (a.m_number != b.m_number)
            return a.m_number < b.m_number;
        return a.m_suffix < b.m_suffix;
    }
    friend bool operator>(const CVersion& a, const CVersion& b) { return b < a; }
    friend bool operator<=(const CVersion& a, const CVersion& b) { return !(b < a); }
    friend bool operator>=(const CVersion& a, const CVersion& b) { return !(a < b); }

  private:
    double m_number = 0.0;
    char16_t m_suffix = 0;
};

}  // namespace nork
