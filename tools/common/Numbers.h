// Numbers on the tools' command lines: decimal, or hexadecimal after 0x.
// Nothing else is a number: no sign where none is allowed, no blanks, no
// octal reading of a leading zero ("010" is ten), no wrap-around.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qzcli {

// The value of one digit in `base` (up to 16, either case); -1 for any other
// character.
int digitValue(char c, unsigned base);

// An unsigned number within [min, max]; nullopt for anything else.
std::optional<std::uint64_t> parseUnsigned(std::string_view text, std::uint64_t min = 0,
                                           std::uint64_t max = UINT64_MAX);

// As parseUnsigned with an optional leading '-'; within [min, max].
std::optional<std::int64_t> parseSigned(std::string_view text, std::int64_t min, std::int64_t max);

}  // namespace qzcli
