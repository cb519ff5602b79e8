// The shipped string tables: every language has every id, the fixed entries
// (language name, right-to-left flag, learn-more address) hold the values the
// program relies on, translations keep the English placeholders, and the
// texts shown first render with the installed fonts.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "guilib/port/Graphics.h"
#include "guilib/port/Window.h"
#include "guilib/src/ResourceText.h"

namespace {

using Table = std::map<int, std::u16string>;

struct Language {
    int langId;
    const char16_t* name;
    const char16_t* rtl;
    const char16_t* tourLang;
};

// Language name (3001) and right-to-left flag (3021) as the program expects
// them, and the "lang=" value of the learn-more address (3009).
const Language kLanguages[] = {
    {1025, u"Arabic", u"1", u"en"},     {1028, u"Traditional Chinese", u"0", u"ch"},
    {1029, u"Czech", u"0", u"en"},      {1030, u"Danish", u"0", u"en"},
    {1031, u"Deutsch", u"0", u"de"},    {1032, u"Greek", u"0", u"en"},
    {1033, u"English", u"0", u"en"},    {1035, u"Finnish", u"0", u"en"},
    {1036, u"Français", u"0", u"fr"},   {1037, u"עברית", u"1", u"en"},
    {1040, u"Italiano", u"0", u"it"},   {1041, u"日本語", u"0", u"jp"},
    {1042, u"Korean", u"0", u"en"},     {1043, u"Dutch", u"0", u"en"},
    {1045, u"Polish", u"0", u"en"},     {1048, u"Romanian", u"0", u"en"},
    {1049, u"Russian", u"0", u"en"},    {1053, u"Swedish", u"0", u"en"},
    {1055, u"Turkish", u"0", u"en"},    {1058, u"Ukranian", u"0", u"en"},
    {1060, u"Slovenian", u"0", u"en"},  {1061, u"Estonian", u"0", u"en"},
    {1066, u"Vietnamese", u"0", u"en"}, {2052, u"中文", u"0", u"ch"},
    {2068, u"Norwegian", u"0", u"en"},  {2070, u"Portuguese", u"0", u"en"},
    {3082, u"Español", u"0", u"es"},    {3098, u"Serbian", u"0", u"en"},
};

Table load(int langId) {
    const std::string path =
        std::string(RESTORE_STRINGS_DIR) + "/" + std::to_string(langId) + ".txt";
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    Table table;
    std::string error;
    EXPECT_TRUE(in.good() || in.eof()) << path;
    EXPECT_TRUE(nork::gui::res::text::parseStringTable(text.str(), table, error))
        << path << ": " << error;
    return table;
}

// printf conversions ("%%" is no placeholder), and line breaks.
int placeholders(const std::u16string& s) {
    int n = 0;
    for (std::size_t i = 0; i + 1 < s.size(); ++i) {
        if (s[i] == u'%') {
            if (s[i + 1] != u'%')
                ++n;
            ++i;
        }
    }
    return n;
}

int lineBreaks(const std::u16string& s) {
    int n = 0;
    for (std::size_t i = 0; i + 1 < s.size(); ++i)
        n += (s[i] == u'\r' && s[i + 1] == u'\n') ? 1 : 0;
    return n;
}

TEST(StringTablesTest, EveryLanguageHasEveryIdAndTheFixedEntries) {
    const Table english = load(1033);
    for (const Language& lang : kLanguages) {
        SCOPED_TRACE(lang.langId);
        const Table table = load(lang.langId);
        for (int id = 3000; id <= 3024; ++id) {
            ASSERT_EQ(table.count(id), 1u) << "missing id " << id;
            ASSERT_FALSE(table.at(id).empty()) << "empty id " << id;
            EXPECT_EQ(placeholders(table.at(id)), placeholders(english.at(id))) << "id " << id;
            EXPECT_EQ(lineBreaks(table.at(id)), lineBreaks(english.at(id))) << "id " << id;
        }
        EXPECT_EQ(table.at(3001), lang.name);
        EXPECT_EQ(table.at(3021), lang.rtl);
        EXPECT_EQ(table.at(3022), u"0");
        EXPECT_EQ(
            table.at(3009),
            std::u16string(u"https://www.qz-drives.example/tour/tour.asp?lang=") + lang.tourLang);
    }
}

TEST(StringTablesTest, EnglishKeepsItsExactPunctuation) {
    const Table english = load(1033);
    EXPECT_NE(english.at(3020).find(u"It\u2019s recommended"), std::u16string::npos);
    EXPECT_NE(english.at(3002).find(u"Error code %d. \r\nTry"), std::u16string::npos);
}

TEST(StringTablesTest, TitleAndProgressTextRenderWithoutMissingGlyphs) {
    nork::gui::useOffscreenBackend();
    nork::gui::LogFont font;
    font.height = nork::gui::pointsToPixelHeight(9);
    font.faceName = u"Tahoma";
    for (const Language& lang : kLanguages) {
        const Table table = load(lang.langId);
        for (int id : {3000, 3004})
            EXPECT_EQ(nork::gui::countMissingGlyphs(table.at(id), font), 0)
                << lang.langId << " id " << id;
    }
}

}  // namespace
