// Firmware versions: parsing, comparison and the text form the library
// hands out (getVersion) and compares (the Zyk version gates).
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "LogCapture.h"
#include "Version.h"

namespace nork {
namespace {

struct ParseCase {
    const char16_t* text;
    double number;
    char16_t suffix;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << '"' << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text)) << '"';
}

class VersionParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(VersionParse, ReadsNumberAndSuffix) {
    const CVersion v(GetParam().text);
    EXPECT_DOUBLE_EQ(v.number(), GetParam().number);
    EXPECT_EQ(v.suffix(), GetParam().suffix);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, VersionParse,
    ::testing::Values(ParseCase{u"4.3", 4.3, 0}, ParseCase{u"4.30", 4.3, 0},
                      ParseCase{u"4.3a", 4.3, u'a'}, ParseCase{u"6.520", 6.52, 0},
                      // A second dot ends the number.
                      ParseCase{u"4.7.0.9", 4.7, 0}, ParseCase{u"4.7.0.9 Unicode", 4.7, 0},
                      // Only an ASCII letter right after the number is a suffix.
                      ParseCase{u"2.01 beta", 2.01, 0}, ParseCase{u"1.11Z", 1.11, u'Z'},
                      ParseCase{u"", 0.0, 0}, ParseCase{u"x1.2", 0.0, u'x'},
                      ParseCase{u".5", 0.5, 0}, ParseCase{u"7", 7.0, 0}));

TEST(Version, ComparesByNumberThenSuffix) {
    EXPECT_EQ(CVersion(u"4.30"), CVersion(u"4.3"));
    EXPECT_GT(CVersion(u"4.3a"), CVersion(u"4.3"));
    EXPECT_LT(CVersion(u"4.3a"), CVersion(u"4.3b"));
    EXPECT_FALSE(CVersion(u"2.5") < CVersion(u"2.01"));
    EXPECT_GT(CVersion(u"2.5"), CVersion(u"2.01"));
    EXPECT_LT(CVersion(u"2.51"), CVersion(u"2.7"));
    EXPECT_GE(CVersion(u"4.3"), CVersion(u"4.300"));
}

TEST(Version, TextForm) {
    struct Case {
        const char16_t* in;
        const char16_t* out;
    };
    const Case cases[] = {
        {u"4.3", u"4.300"},   {u"6.510", u"6.510"}, {u"2.01", u"2.010"},  {u"4", u"4.000"},
        {u"4.3a", u"4.300a"}, {u"", u"0.000"},      {u"6.6.1", u"6.600"}, {u"10.25", u"10.25"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CVersion(c.in).toString(), std::u16string(c.out));
}

TEST(Version, ZeroUntilKnown) {
    EXPECT_TRUE(CVersion().isZero());
    EXPECT_FALSE(CVersion(u"0.0a").isZero());
    CVersion v(u"6.52");
    v.clear();
    EXPECT_TRUE(v.isZero());
}

TEST(Version, NullTextIsAnAssertion) {
    auto log = testing::LogCapture::onProcessLog("VersionNullText");
    const CVersion v(static_cast<const char16_t*>(nullptr));
    EXPECT_TRUE(v.isZero());
    bool asserted = false;
    for (const auto& line : log->takeNarrow())
        asserted = asserted || line.find("zyk_assert --- [szVersion]") != std::string::npos;
    EXPECT_TRUE(asserted);
}

}  // namespace
}  // namespace nork
