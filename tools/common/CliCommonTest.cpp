// The shared command-line layer: numbers, option splitting and the JSON
// writer's handling of text that is not UTF-8.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Json.h"
#include "Numbers.h"

namespace qzcli {
namespace {

struct UnsignedCase {
    const char* text;
    std::uint64_t max;
    std::optional<std::uint64_t> expected;
};

TEST(CliNumbers, UnsignedAcceptsDecimalAndHexOnly) {
    const UnsignedCase cases[] = {
        {"0", 10, 0},
        {"10", 10, 10},
        {"010", 100, 10},  // a leading zero is not octal
        {"0x1F", 100, 31},
        {"0X1f", 100, 31},
        {"18446744073709551615", UINT64_MAX, UINT64_MAX},
        {"18446744073709551616", UINT64_MAX, std::nullopt},  // overflows 64 bits
        {"0x10000000000000000", UINT64_MAX, std::nullopt},
        {"11", 10, std::nullopt},  // above the option's range
        {"-1", 10, std::nullopt},
        {"+1", 10, std::nullopt},
        {" 1", 10, std::nullopt},
        {"1 ", 10, std::nullopt},
        {"\t1", 10, std::nullopt},
        {"", 10, std::nullopt},
        {"0x", 10, std::nullopt},
        {"0x-1", UINT64_MAX, std::nullopt},
        {"1e3", 10000, std::nullopt},
        {"08", 10, 8},
        {"0b1", 10, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseUnsigned(c.text, 0, c.max), c.expected) << "\"" << c.text << "\"";
    EXPECT_EQ(parseUnsigned("0", 1, 5), std::nullopt) << "below the range";
}

TEST(CliNumbers, SignedTakesOneLeadingMinus) {
    EXPECT_EQ(parseSigned("-2147483648", INT32_MIN, INT32_MAX), INT32_MIN);
    EXPECT_EQ(parseSigned("-2147483649", INT32_MIN, INT32_MAX), std::nullopt);
    EXPECT_EQ(parseSigned("-0x10", -100, 100), -16);
    EXPECT_EQ(parseSigned("-9223372036854775808", INT64_MIN, INT64_MAX), INT64_MIN);
    EXPECT_EQ(parseSigned("9223372036854775808", INT64_MIN, INT64_MAX), std::nullopt);
    for (const char* bad : {"--1", "- 1", "-", " -1", "+5", "-010x"})
        EXPECT_EQ(parseSigned(bad, -100, 100), std::nullopt) << "\"" << bad << "\"";
    EXPECT_EQ(parseSigned("-010", -100, 100), -10);
}

TEST(CliJson, InvalidUtf8BecomesReplacementCharacters) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"plain", "\"plain\""},
        {"quote \" back \\ nl \n", "\"quote \\\" back \\\\ nl \\n\""},
        {std::string("nul\0x", 5), "\"nul\\u0000x\""},
        {"caf\xC3\xA9", "\"caf\xC3\xA9\""},                        // valid two-byte sequence kept
        {"\xF0\x9F\x92\xBE", "\"\xF0\x9F\x92\xBE\""},              // valid four-byte sequence kept
        {"a\xFFz", "\"a\\ufffdz\""},                               // never valid
        {"\xC3", "\"\\ufffd\""},                                   // cut at the end
        {"\xC3(", "\"\\ufffd(\""},                                 // bad continuation
        {"\xC0\xAF", "\"\\ufffd\\ufffd\""},                        // overlong '/'
        {"\xED\xA0\x80", "\"\\ufffd\\ufffd\\ufffd\""},             // UTF-16 surrogate
        {"\xF4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // past U+10FFFF
        {"\x80\xBF", "\"\\ufffd\\ufffd\""},                        // lone continuations
    };
    for (const auto& c : cases)
        EXPECT_EQ(jsonString(c.in), c.out) << c.in;
}

TEST(CliJson, ObjectsAndArrays) {
    EXPECT_EQ(JsonObject()
                  .add("s", "x")
                  .add("n", std::int64_t{-3})
                  .add("u", std::uint64_t{UINT64_MAX})
                  .add("b", true)
                  .addRaw("a", jsonStrings({"p", "q\xFF"}))
                  .str(),
              "{\"s\":\"x\",\"n\":-3,\"u\":18446744073709551615,\"b\":true,"
              "\"a\":[\"p\",\"q\\ufffd\"]}");
    EXPECT_EQ(jsonArray({}), "[]");
}

TEST(CliCommandLine, SplitsOptionsFromWords) {
    const std::vector<OptionDef> known = {
        {"--json", false}, {"--timeout", true}, {"--help", false}};
    struct Case {
        std::vector<std::string> args;
        bool ok;
        std::vector<std::string> words;
        std::string timeout;  // value of --timeout when given
        std::string error;
    };
    const Case cases[] = {
        {{"watch", "--timeout", "5", "--json"}, true, {"watch"}, "5", ""},
        {{"--timeout=7", "watch"}, true, {"watch"}, "7", ""},
        {{"status", "-300"}, true, {"status", "-300"}, "", ""},
        {{"cookie", "--", "--json"}, true, {"cookie", "--json"}, "", ""},
        {{"-h"}, true, {}, "", ""},
        {{"watch", "--timeout"}, false, {}, "", "--timeout needs a value"},
        {{"watch", "--frob"}, false, {}, "", "unknown option --frob"},
        {{"watch", "-x"}, false, {}, "", "unknown option -x"},
        {{"--json=1"}, false, {}, "", "--json takes no value"},
        {{"--json", "x", "--json"}, false, {}, "", "--json given twice"},
    };
    for (const auto& c : cases) {
        CommandLine line;
        std::string error;
        ASSERT_EQ(splitCommandLine(c.args, known, line, error), c.ok) << c.args.front();
        if (!c.ok) {
            EXPECT_EQ(error, c.error);
            continue;
        }
        EXPECT_EQ(line.words, c.words);
        EXPECT_EQ(line.value("--timeout").value_or(""), c.timeout);
    }
    CommandLine help;
    std::string error;
    ASSERT_TRUE(splitCommandLine({"-h"}, known, help, error));
    EXPECT_TRUE(help.has("--help"));
    EXPECT_EQ(optionNotIn(help, {"--json"}), std::optional<std::string>("--help"));
    EXPECT_EQ(optionNotIn(help, {"--help"}), std::nullopt);
}

}  // namespace
}  // namespace qzcli
