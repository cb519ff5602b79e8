// UTF-16 <-> UTF-8 for log lines and settings text. Lenient on purpose: a log
// line must never be lost to one bad unit, so an unpaired surrogate or an
// invalid byte becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace nork::logtext {

std::string toUtf8(std::u16string_view text);
std::u16string fromUtf8(std::string_view text);

// Strict form for paths and other text that must round-trip: false (and
// `out` unspecified) when `text` holds an unpaired surrogate.
bool toUtf8Strict(std::u16string_view text, std::string& out);

}  // namespace nork::logtext
