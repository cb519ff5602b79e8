#include <gtest/gtest.h>

#include <string>

#include "Log.h"

namespace nork {
namespace {

struct FormatCase {
    const char* name;
    std::u16string got;
    std::u16string expected;
};

std::string narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

TEST(FormatWide, AppliesNarrowFormatsWithWideArguments) {
    const std::u16string wide = u"CConfigServiceImpl";
    const char16_t* nullWide = nullptr;
    const FormatCase cases[] = {
        {"plain text", formatWide("enter", {}), u"enter"},
        {"wide %s", formatWide("%s --- enter", {wide}), u"CConfigServiceImpl --- enter"},
        {"wide pointer %s", formatWide("[%s]", {u"Ok"}), u"[Ok]"},
        {"narrow %s", formatWide("[%s]", {"abc"}), u"[abc]"},
        {"narrow %S", formatWide("[%S]", {std::string("abc")}), u"[abc]"},
        {"null wide", formatWide("[%s]", {nullWide}), u"[(null)]"},
        {"left pad %-60s", formatWide("%-10s|", {u"abc"}), u"abc       |"},
        {"left pad 60", formatWide("%-60s|", {u"x"}), u"x" + std::u16string(59, u' ') + u"|"},
        {"right pad", formatWide("%6s|", {u"abc"}), u"   abc|"},
        {"precision", formatWide("%.2s|", {u"abcdef"}), u"ab|"},
        {"star width", formatWide("%*d|", {5, 42}), u"   42|"},
        {"%04x", formatWide("%04x", {0x1a}), u"001a"},
        {"%08X", formatWide("%08X", {0xBEEFu}), u"0000BEEF"},
        {"%d negative", formatWide("%d", {-5}), u"-5"},
        {"%d long long", formatWide("%lld", {-9000000000LL}), u"-9000000000"},
        {"%I64d", formatWide("%I64d", {1LL << 40}), u"1099511627776"},
        {"%u", formatWide("%u", {4000000000u}), u"4000000000"},
        {"%x of negative", formatWide("%x", {-1}), u"ffffffffffffffff"},
        {"%ld", formatWide("%ld", {123L}), u"123"},
        {"%c", formatWide("%c%c", {u'O', u'k'}), u"Ok"},
        {"%5.1f", formatWide("%5.1f", {3.14159}), u"  3.1"},
        {"percent", formatWide("100%%", {}), u"100%"},
        {"missing argument", formatWide("a %d b %s", {7}), u"a 7 b %s"},
        {"no arguments", formatWide("%d and %-60s", {}), u"%d and %-60s"},
        {"unknown conversion keeps its argument", formatWide("%q %d", {5}), u"%q 5"},
        {"trailing percent", formatWide("50%", {}), u"50%"},
        {"string for number", formatWide("%s", {12}), u"(?)"},
        {"extra arguments ignored", formatWide("%d", {1, 2}), u"1"},
        {"utf-8 format text", formatWide("caf\xC3\xA9 %s", {u"\u4e2d"}), u"caf\u00e9 \u4e2d"},
        {"bad utf-8 byte", formatWide("a\xFFz", {}), u"a\uFFFDz"},
        {"surrogate pair kept", formatWide("%s", {u"\U0001F600"}), u"\U0001F600"},
        {"null format", formatWide(nullptr, {1}), u""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.got, c.expected) << c.name << ": got \"" << narrow(c.got) << "\"";
    }
}

}  // namespace
}  // namespace nork
