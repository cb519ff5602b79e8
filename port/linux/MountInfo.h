// The mountinfo text (/proc/self/mountinfo) as the inventory reads it, kept
// apart from the file access so it can be checked on plain strings.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nork::port::linux_mountinfo {

// One field with its "\ooo" octal escapes (blank, tab, line end, backslash)
// replaced; anything else is kept as written.
std::string unescapeField(std::string_view field);

// Every mount as ("major:minor", mount point), in the text's order. Lines
// with fewer than five fields are skipped. Pure; never throws but for memory.
std::vector<std::pair<std::string, std::string>> entries(std::string_view text);

// "major:minor" -> the first mount point listed for it. Lines with fewer than
// five fields are skipped. Pure; never throws but for memory.
std::map<std::string, std::string> parse(std::string_view text);

}  // namespace nork::port::linux_mountinfo
