#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "StringConvertor.h"

namespace nork {
namespace {

std::vector<unsigned char> bytesOf(const char* p, std::size_t n) {
    return std::vector<unsigned char>(reinterpret_cast<const unsigned char*>(p),
                                      reinterpret_cast<const unsigned char*>(p) + n);
}

std::string hex(const std::uint8_t* p, std::size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

TEST(CodePage, RoundTripsTextThroughTheAnsiCodePage) {
    const std::u16string text = u"Qz Pellix \u00e9\u20ac \U0001F600";
    std::string narrow = wideToMultiString(text, 0);
    EXPECT_EQ(narrow, "Qz Pellix \xC3\xA9\xE2\x82\xAC \xF0\x9F\x98\x80");
    EXPECT_EQ(multiToWideString(narrow, 0), text);
}

TEST(CodePage, FailedConversionIsEmpty) {
    EXPECT_EQ(wideToMultiString(std::u16string(1, char16_t(0xD800)), 0), "");
    EXPECT_EQ(multiToWideString("\xFF\xFE", 0), u"");
    EXPECT_EQ(multiToWideString("abc", 1252), u"") << "only the ANSI code page exists here";
}

TEST(Factories, EmptyWideTextConvertsToEmptyWithOk) {
    std::unique_ptr<ICharStringConvertor> c(createMultiConvertor(u""));
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->convertedData(), "");
    EXPECT_EQ(c->conversionStatus(), STATUS_OK);
    EXPECT_EQ(c->convertedSize(), 0u);
}

TEST(Factories, MultiAndWideConvertorsCarryTextAndStatus) {
    std::unique_ptr<ICharStringConvertor> m(createMultiConvertor(u"Jx App \u00e9"));
    EXPECT_STREQ(m->convertedData(), "Jx App \xC3\xA9");
    EXPECT_EQ(m->convertedSize(), 9u);
    EXPECT_EQ(m->conversionStatus(), STATUS_OK);

    std::unique_ptr<IWCharStringConvertor> w(createWideConvertor("OptedOut"));
    EXPECT_EQ(std::u16string(w->convertedData()), u"OptedOut");
    EXPECT_EQ(w->convertedSize(), 8u);

    // The ANSI code page cannot take this text: empty, and the status says so.
    std::unique_ptr<IWCharStringConvertor> bad(createWideConvertor("\xC3\x28"));
    EXPECT_EQ(std::u16string(bad->convertedData()), u"");
    EXPECT_EQ(bad->conversionStatus(), STATUS_SDK_INTERNAL_ERROR);
}

TEST(Factories, ZykPasswordFieldIsSixteenBytes) {
    struct Case {
        std::u16string password;
        std::string field;  // exactly 16 bytes
    };
    const Case cases[] = {
        {u"abc", std::string("abc") + std::string(13, '\0')},
        {u"", std::string(16, '\0')},
        {u"0123456789abcdef", "0123456789abcdef"},     // fills the field, no terminator
        {u"0123456789abcdefXYZ", "0123456789abcdef"},  // longer: cut to the field
    };
    for (const auto& c : cases) {
        std::unique_ptr<ICharStringConvertor> p(createPasswordConvertor(c.password));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->convertedSize(), 16u);
        EXPECT_EQ(p->conversionStatus(), STATUS_OK);
        EXPECT_EQ(std::string(p->convertedData(), 16), c.field);
    }
}

TEST(Utf8, WideToUtf8IsStrictAndTerminated) {
    TStringConvertor<UTF16ToUTF8> e(u"\u00e9");
    EXPECT_EQ(e.conversionStatus(), STATUS_OK);
    EXPECT_EQ(bytesOf(e.convertedData(), 3), (std::vector<unsigned char>{0xC3, 0xA9, 0x00}));
    EXPECT_EQ(e.convertedSize(), 2u);

    TStringConvertor<UTF16ToUTF8> smile(u"\U0001F600");
    EXPECT_EQ(smile.conversionStatus(), STATUS_OK);
    EXPECT_EQ(bytesOf(smile.convertedData(), 5),
              (std::vector<unsigned char>{0xF0, 0x9F, 0x98, 0x80, 0x00}));

    for (std::u16string bad :
         {std::u16string(1, char16_t(0xD800)), std::u16string{u'a', char16_t(0xD800), u'b'},
          std::u16string(1, char16_t(0xDC00))}) {
        TStringConvertor<UTF16ToUTF8> c(bad);
        EXPECT_EQ(c.conversionStatus(), STATUS_SDK_INTERNAL_ERROR);
    }
    // What was converted before the illegal unit stays readable.
    TStringConvertor<UTF16ToUTF8> partial(std::u16string{u'a', char16_t(0xD800), u'b'});
    EXPECT_STREQ(partial.convertedData(), "a");
}

TEST(Utf8, Utf8ToWideAcceptsWellFormedText) {
    struct Case {
        std::string in;
        std::u16string out;
    };
    const Case cases[] = {
        {"", u""},
        {"abc", u"abc"},
        {"\xC3\xA9", u"\u00e9"},
        {"\xE2\x82\xAC", u"\u20ac"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {"\xEF\xBF\xBF", u"\uFFFF"},
    };
    for (const auto& c : cases) {
        TStringConvertor<UTF8ToUTF16> w(c.in);
        EXPECT_EQ(w.conversionStatus(), STATUS_OK) << c.in;
        EXPECT_EQ(std::u16string(w.convertedData(), w.convertedSize()), c.out);
    }
}

TEST(Utf8, Utf8ToWideRejectsIllegalSequences) {
    const char* cases[] = {
        "\x80",              // continuation byte as lead
        "\xC1\xBF",          // overlong lead
        "\xC3",              // runs past the input
        "\xE2\x82",          // runs past the input
        "\xC3\x28",          // bad continuation
        "\xE0\x9F\xBF",      // overlong three-byte form
        "\xF0\x8F\xBF\xBF",  // overlong four-byte form
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xED\xA0\x80",      // surrogate code point
        "\xF5\x80\x80\x80",  // lead above 0xF4
        "\xFF",
    };
    for (const char* bad : cases) {
        TStringConvertor<UTF8ToUTF16> w(bad);
        EXPECT_EQ(w.conversionStatus(), STATUS_SDK_INTERNAL_ERROR)
            << hex(reinterpret_cast<const std::uint8_t*>(bad), std::string(bad).size());
    }
}

TEST(Md5Password, DigestCoversTheTerminatingZeroUnit) {
    struct Case {
        std::u16string password;
        const char* digest;
    };
    const Case cases[] = {
        {u"", "c4103f122d27677c9db144cae1394a66"},  // MD5 of 00 00, not of nothing
        {u"abc", "0325b2bc5bc6ecfbac751818498ece3f"},
        {u"p\u00e4ssw\u00f6rd", "72050382ca5c03a4697f517d14782d30"},
    };
    for (const auto& c : cases) {
        TStringConvertor<CStringToMD5ConversionPolicy> md5(c.password);
        EXPECT_EQ(md5.conversionStatus(), STATUS_OK);
        EXPECT_EQ(hex(md5.convertedData(), 16), c.digest);
    }
}

}  // namespace
}  // namespace nork
