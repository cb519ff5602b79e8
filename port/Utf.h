// UTF-8 and UTF-16 conversions shared by every part of the suite (the code
// page, the settings hive, the log, the text convertors). Pure functions:
// thread-safe, never block, never throw except std::bad_alloc.
//
// Strict conversions stop at the first ill-formed unit and answer false,
// leaving in `out` what was converted before it. Lenient ones put U+FFFD in
// place of each ill-formed unit and always succeed. Well-formed UTF-8 is as
// Unicode defines it: no overlong forms, no surrogate code points, nothing
// above U+10FFFF, no sequence cut short.
#pragma once

#include <string>
#include <string_view>

namespace nork::port::utf {

void appendUtf8(std::string& out, char32_t codePoint);

bool toUtf8(std::u16string_view in, std::string& out, bool strict);
std::string toUtf8(std::u16string_view in);  // lenient

bool toUtf16(std::string_view in, std::u16string& out, bool strict);
std::u16string toUtf16(std::string_view in);  // lenient

}  // namespace nork::port::utf
