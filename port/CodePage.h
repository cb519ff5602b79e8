// The system's text code pages, standing for WideCharToMultiByte and
// MultiByteToWideChar. On Linux the "ANSI code page" (code page 0) is UTF-8
// for every user; other code page numbers are not available.
//
// Both calls are pure functions of their input: thread-safe, never block,
// take no lock. Unlike the Windows calls with flags 0, invalid input (an
// unpaired surrogate, a malformed UTF-8 sequence) is not silently replaced:
// the call fails and answers 0, so no caller stores text that differs from
// what it was given.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nork::port {

inline constexpr unsigned CP_ACP = 0;
inline constexpr unsigned CP_UTF8 = 65001;

// Converts `wide` followed by a terminating zero. Returns the size of the
// output in bytes including its terminator (the whole output is written to
// `out`, terminator included), or 0 on failure (unknown code page, invalid
// input); `out` is then left empty.
std::size_t wideCharToMultiByte(unsigned codePage, std::u16string_view wide, std::string& out);

// Converts `narrow` followed by a terminating zero. Returns the size of the
// output in UTF-16 units including its terminator, or 0 on failure.
std::size_t multiByteToWideChar(unsigned codePage, std::string_view narrow, std::u16string& out);

}  // namespace nork::port
