// The resource compiler's formats (list, string table, RT_STRING blocks) and
// the resources it compiled into this binary from tests/gui/resources/.
#include <gtest/gtest.h>

#include "SkinTestSupport.h"
#include "guilib/src/Properties.h"
#include "guilib/src/ResourceText.h"
#include "guilib/src/Resources.h"

namespace nork::gui::test {
namespace {

namespace text = res::text;

TEST(ResourceList, ParsesEntriesAndComments) {
    std::vector<text::ListEntry> entries;
    std::string error;
    ASSERT_TRUE(
        text::parseResourceList("# comment\n\n#23 #600 0 skin.xml\r\n"
                                "  GIF #130 1033 pictures/logo one.gif\n"
                                "strings 1031 de.txt\n",
                                entries, error))
        << error;
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].type, "#23");
    EXPECT_EQ(entries[0].name, "#600");
    EXPECT_EQ(entries[0].file, "skin.xml");
    EXPECT_EQ(entries[0].line, 3);
    EXPECT_EQ(entries[1].type, "GIF");
    EXPECT_EQ(entries[1].language, 1033);
    EXPECT_EQ(entries[1].file, "pictures/logo one.gif");
    EXPECT_TRUE(entries[2].strings);
    EXPECT_EQ(entries[2].language, 1031);
    EXPECT_EQ(entries[2].file, "de.txt");
}

TEST(ResourceList, RejectsBadLines) {
    const char* bad[] = {
        "#23 #600 0\n",            // no file
        "#23 #600 en skin.xml\n",  // language not decimal
        "#23 #600 70000 a\n",      // language out of range
        "#23 #70000 0 a\n",        // number out of range
        "#23 a\"b 0 a\n",          // a name the generated source could not hold
        "strings x.txt\n",
    };
    for (const char* list : bad) {
        std::vector<text::ListEntry> entries;
        std::string error;
        EXPECT_FALSE(text::parseResourceList(list, entries, error)) << list;
        EXPECT_EQ(error.rfind("line 1: ", 0), 0u) << error;
    }
}

TEST(StringTable, ParsesEscapesAndUtf8) {
    std::map<int, std::u16string> table;
    std::string error;
    ASSERT_TRUE(
        text::parseStringTable("\xEF\xBB\xBF# header\n"
                               "1 a\\nb\\r\\t\\\\c\r\n"
                               "\n"
                               "17  two leading blanks keep one\n"
                               "18 Gr\xC3\xB6\xC3\x9F"
                               "e \\u00FC\\uD83D\\uDE00 \xF0\x9F\x98\x80\n"
                               "65535\n",
                               table, error))
        << error;
    EXPECT_EQ(table.at(1), u"a\nb\r\t\\c");
    EXPECT_EQ(table.at(17), u" two leading blanks keep one");
    EXPECT_EQ(table.at(18), u"Größe ü\U0001F600 \U0001F600");
    EXPECT_EQ(table.at(65535), u"");
}

TEST(StringTable, RejectsBadLines) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"1 ok\nx text\n", "line 2: bad string id"},
        {"65536 big\n", "line 1: bad string id"},
        {"-1 negative\n", "line 1: bad string id"},
        {"1 a\n1 b\n", "line 2: string id given twice"},
        {"1 bad \\q\n", "line 1: unknown escape"},
        {"1 ends \\\n", "line 1: backslash at the end"},
        {"1 \\u12\n", "line 1: \\u needs four"},
        {"1 \\u12G4\n", "line 1: \\u needs four"},
        {"1 \xC3\n", "line 1: text is not UTF-8"},
        {"1 \xC0\xAF\n", "line 1: text is not UTF-8"},      // overlong
        {"1 \xED\xA0\x80\n", "line 1: text is not UTF-8"},  // encoded surrogate
    };
    for (const auto& c : cases) {
        std::map<int, std::u16string> table;
        std::string error;
        EXPECT_FALSE(text::parseStringTable(c.text, table, error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << " -> " << error;
    }
}

TEST(StringTable, BlockEncoding) {
    std::map<int, std::u16string> table{{16, u"A"}, {18, u"\u00e9z"}, {31, u""}, {32, u"next"}};
    std::vector<std::uint8_t> block = res::encodeStringBlock(table, 2);  // ids 16..31
    std::vector<std::uint8_t> expected{1, 0, 'A',  0,                    // 16
                                       0, 0,                             // 17
                                       2, 0, 0xE9, 0, 'z', 0};           // 18
    expected.resize(expected.size() + 13 * 2, 0);                        // 19..31 empty
    EXPECT_EQ(block, expected);
    EXPECT_EQ(text::blocksOf(table), (std::vector<std::uint16_t>{2, 3}));
    EXPECT_EQ(text::blockEntry(block.data(), block.size(), 2), u"\u00e9z");
    EXPECT_EQ(text::blockEntry(block.data(), block.size(), 15), u"");
    // A block cut short never reads past its end.
    EXPECT_EQ(text::blockEntry(block.data(), 9, 2), u"");
    EXPECT_EQ(text::blockEntry(block.data(), 3, 0), u"");
}

class CompiledResourcesTest : public SkinStateTest {};

TEST_F(CompiledResourcesTest, SkinWithByteOrderMarkLoads) {
    auto skinBytes = res::findResource(res::ResId("#23"), res::ResId("#600"));
    ASSERT_TRUE(skinBytes.has_value());
    ASSERT_GE(skinBytes->size(), 3u);
    EXPECT_EQ((*skinBytes)[0], 0xEF) << "the file's bytes, unchanged";

    CProperties& p = CProperties::instance();
    ASSERT_TRUE(p.load(600));
    CSkinElement dialog = p.GetElementByID(200);
    LogFont font;
    EXPECT_TRUE(CUTPropertiesReader(dialog).GetFont("Font", font));
    EXPECT_EQ(font.weight, 700);
    EXPECT_EQ(p.GetGeneralValue(p.GetGeneral(), "RunWin2kGuest"), u"1");
}

TEST_F(CompiledResourcesTest, StringTablesInBothLanguages) {
    // Block 3001 / 16 + 1 = 188, in the languages in list order.
    EXPECT_EQ(res::resourceLanguages(res::ResId(res::RT_STRING), res::ResId(188)),
              (std::vector<std::uint16_t>{1033, 1031}));
    auto de = res::findResource(res::ResId(res::RT_STRING), res::ResId(188), 1031);
    ASSERT_TRUE(de.has_value());
    EXPECT_EQ(de->size(), 2u * 16 + 2 * (7 + 13)) << "Deutsch and the 3002 text, 14 empty";
    EXPECT_EQ(text::blockEntry(de->data(), de->size(), 3001 % 16), u"Deutsch");
    EXPECT_EQ(text::blockEntry(de->data(), de->size(), 3002 % 16), u"Größe über \U0001F600");
}

}  // namespace
}  // namespace nork::gui::test
