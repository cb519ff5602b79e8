// The hive's text format on its own: what a file reads as, what a document
// writes, and what damaged input does to the rest of the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "port/HiveFormat.h"

namespace nork::port {
namespace {

using hive::Document;

std::uint32_t dwordOf(const Document& doc, std::u16string_view key, std::u16string_view name) {
    const HiveValue* v = doc.findValue(key, name);
    return v != nullptr && v->type == HiveValueType::Dword ? v->dword : 0xDEADBEEF;
}

TEST(HiveFormat, ValuesSurviveWritingAndReading) {
    using namespace std::string_literals;
    const std::u16string awkward =
        u"quote \" backslash \\ lf \n cr \r tab \t nul \0 end \u00e9\u4e2d\U0001F600"s;
    const HiveValue values[] = {
        HiveValue::ofDword(0),    HiveValue::ofDword(0xFFFFFFFF),
        HiveValue::ofString(u""), HiveValue::ofString(awkward),
        HiveValue::ofBinary({}),  HiveValue::ofBinary({0x00, 0x7F, 0x80, 0xFF}),
    };
    const std::u16string names[] = {u"",        u"plain",       u"with \"quotes\" and \\",
                                    u"a=b ; c", u"line\nbreak", u"\u00c9t\u00e9"};
    Document doc;
    for (std::size_t i = 0; i < std::size(values); ++i)
        doc.setValue(u"Root\\Key [1]", names[i], values[i]);

    const std::string text = hive::serialise(doc);
    const Document back = hive::parse(text);
    EXPECT_EQ(back.skippedLines(), 0u) << text;
    for (std::size_t i = 0; i < std::size(values); ++i) {
        const HiveValue* v = back.findValue(u"root\\KEY [1]", names[i]);
        ASSERT_NE(v, nullptr) << i << "\n" << text;
        EXPECT_EQ(*v, values[i]) << i;
    }
    // Writing what was read gives the same text again.
    EXPECT_EQ(hive::serialise(back), text);
}

// A file as the writer leaves it, with everything a user may add, comes back
// byte for byte: nothing is lost or moved when a program rewrites it.
TEST(HiveFormat, UnchangedFileIsWrittenBackAsItWas) {
    const std::string text =
        "; my settings\n"
        "# more\n"
        "\n"
        "[SOFTWARE\\NORK\\SDK]\n"
        "\"Logger\"=dword:00000001\n"
        "; between values\n"
        "\"Broken\"=dword:xyz\n"
        "\"Path\"=\"/home/me/q\\\"z\\\\logs\"\n"
        "@=hex:01,02,ff\n"
        "[Damaged\n"
        "\"Under\"=dword:00000002\n"
        "   indented junk\n"
        "\n"
        "[Other]\n"
        "\"Empty\"=hex:\n"
        "\n";
    const Document doc = hive::parse(text);
    EXPECT_EQ(doc.skippedLines(), 4u);
    EXPECT_EQ(doc.firstSkippedLine(), 7u);
    EXPECT_EQ(hive::serialise(doc), text);
}

// One bad line among good ones, before and after a change of the same key:
// the good values are read, the bad line is kept, nothing else moves.
TEST(HiveFormat, DamagedValueLineCostsOnlyItself) {
    const char* badLines[] = {
        "\"Truncated\"=\"no end quote",
        "\"Truncated\"=dword:",
        "\"Truncated\"=hex:01,",
        "\"Truncated\"",
        "\"Open name=dword:1",
        "\"Escape\"=\"tab \\t is not one\"",
        "\"Escape\"=\"ends in \\",
        "\"Utf8\"=\"\xC3\x28\"",
        "\"Utf8\xFF\"=dword:1",
        "\"Kind\"=qword:01",
        "\"Big\"=dword:100000000",
        "\"Nul\"=dword:1\0",
        "bare words",
        "bare words on a line ending CR CR LF\r\r",
        "=dword:1",
    };
    for (std::string bad : badLines) {
        if (bad == "\"Nul\"=dword:1")
            bad.push_back('\0');
        const std::string text = "[K]\n\"Before\"=dword:00000001\n" + bad +
                                 "\n\"After\"=dword:00000002\n\n[L]\n\"Next\"=dword:00000003\n\n";
        Document doc = hive::parse(text);
        EXPECT_EQ(doc.skippedLines(), 1u) << bad;
        EXPECT_EQ(doc.firstSkippedLine(), 3u) << bad;
        EXPECT_EQ(dwordOf(doc, u"K", u"Before"), 1u) << bad;
        EXPECT_EQ(dwordOf(doc, u"K", u"After"), 2u) << bad;
        EXPECT_EQ(dwordOf(doc, u"L", u"Next"), 3u) << bad;
        EXPECT_EQ(hive::serialise(doc), text) << bad;

        doc.setValue(u"K", u"New", HiveValue::ofDword(4));
        doc.setValue(u"K", u"After", HiveValue::ofDword(5));
        const std::string changed = hive::serialise(doc);
        EXPECT_NE(changed.find("\n" + bad + "\n"), std::string::npos) << bad;
        const Document back = hive::parse(changed);
        EXPECT_EQ(back.skippedLines(), 1u) << bad;
        EXPECT_EQ(dwordOf(back, u"K", u"Before"), 1u) << bad;
        EXPECT_EQ(dwordOf(back, u"K", u"After"), 5u) << bad;
        EXPECT_EQ(dwordOf(back, u"K", u"New"), 4u) << bad;
        EXPECT_EQ(dwordOf(back, u"L", u"Next"), 3u) << bad;
    }
}

// The lines under a key line that cannot be read belong to a key nobody can
// name: they are kept but never read into the key above, where they would
// take the place of its own values.
TEST(HiveFormat, DamagedKeyLineTakesItsLinesAlong) {
    // "[B \]" names "B " once its stray backslash goes: a key line cannot
    // hold a blank at the path's end, so it would be read back as "B".
    for (const char* header : {"[B", "[]", "[\\\\]", "[B\xFF]", "[B \\]"}) {
        const std::string text = std::string("[A]\n\"x\"=dword:00000001\n") + header +
                                 "\n\"x\"=dword:00000002\n\"y\"=dword:00000003\n"
                                 "[C]\n\"z\"=dword:00000004\n";
        Document doc = hive::parse(text);
        EXPECT_EQ(dwordOf(doc, u"A", u"x"), 1u) << header;
        EXPECT_EQ(doc.findValue(u"A", u"y"), nullptr) << header;
        EXPECT_EQ(dwordOf(doc, u"C", u"z"), 4u) << header;
        EXPECT_EQ(doc.skippedLines(), 3u) << header;
        EXPECT_EQ(doc.firstSkippedLine(), 3u) << header;

        // A value added to the key above goes above the damaged block, so it
        // is read back there.
        doc.setValue(u"A", u"added", HiveValue::ofDword(5));
        Document back = hive::parse(hive::serialise(doc));
        EXPECT_EQ(dwordOf(back, u"A", u"added"), 5u) << header;
        EXPECT_EQ(dwordOf(back, u"A", u"x"), 1u) << header;
        EXPECT_EQ(back.skippedLines(), 3u) << header;

        // Deleting the key above keeps the damaged block for the user.
        ASSERT_TRUE(back.deleteTree(u"A"));
        const std::string left = hive::serialise(back);
        EXPECT_NE(left.find(std::string(header) + "\n\"x\"=dword:00000002\n"), std::string::npos)
            << left;
        EXPECT_EQ(hive::parse(left).skippedLines(), 3u) << left;
    }
    // Before any key, the lines have no key to fall into anyway.
    const Document first = hive::parse("[B\n\"x\"=dword:1\n[C]\n\"z\"=dword:4\n");
    EXPECT_EQ(first.skippedLines(), 2u);
    EXPECT_EQ(dwordOf(first, u"C", u"z"), 4u);
}

TEST(HiveFormat, RepeatedKeysAndValuesMerge) {
    const Document doc = hive::parse(
        "[Key]\n\"Name\"=dword:1\n\"Other\"=dword:7\n"
        "[Second]\n"
        "[KEY]\n\"NAME\"=dword:2\n\"Third\"=dword:3\n");
    EXPECT_EQ(doc.skippedLines(), 0u);
    EXPECT_EQ(dwordOf(doc, u"key", u"name"), 2u);  // the last line wins
    std::vector<Document::Value> values;
    ASSERT_TRUE(doc.values(u"Key", values));
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].name, u"Name");  // its first place and spelling
    EXPECT_EQ(values[1].name, u"Other");
    EXPECT_EQ(values[2].name, u"Third");
    EXPECT_EQ(hive::serialise(doc),
              "[Key]\n\"Name\"=dword:00000002\n\"Other\"=dword:00000007\n"
              "\"Third\"=dword:00000003\n\n[Second]\n\n");
}

TEST(HiveFormat, LooseInputIsRead) {
    struct Case {
        const char* name;
        std::string text;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"no final newline", "[K]\n\"v\"=dword:2a", 0x2a},
        {"CR LF", "[K]\r\n\"v\"=dword:2a\r\n", 0x2a},
        {"byte order mark", "\xEF\xBB\xBF[K]\n\"v\"=dword:2a\n", 0x2a},
        {"blanks", "  [ \\K\\ ]  \n\t\"v\" =  DWORD: 2a \t\n", 0x2a},
        {"upper-case hex", "[K]\n\"v\"=dword:0000002A\n", 0x2a},
        {"blank lines", "\n\n[K]\n\n\n\"v\"=dword:2a\n\n", 0x2a},
    };
    for (const auto& c : cases) {
        const Document doc = hive::parse(c.text);
        EXPECT_EQ(doc.skippedLines(), 0u) << c.name;
        EXPECT_EQ(dwordOf(doc, u"K", u"v"), c.expected) << c.name;
    }
    const Document empty = hive::parse("");
    EXPECT_EQ(hive::serialise(empty), "");
    EXPECT_TRUE(empty.keyExists(u""));
    EXPECT_FALSE(empty.keyExists(u"K"));
}

// A key read alone, from a file given in pieces of any size, answers as the
// whole document does: its blocks merged wherever they lie, its subkeys from
// key lines in any case, nothing taken from damaged blocks or other keys.
TEST(HiveFormat, OneKeyReadAloneAnswersAsTheWholeFile) {
    const std::string longLine = "\"blob\"=hex:" + [] {
        std::string bytes;
        for (int i = 0; i < 5000; ++i)
            bytes += "ab,";
        return bytes + "ab";
    }();
    const std::string texts[] = {
        // Blocks of one key in three spellings, a subkey line before its
        // parent's, comments and a damaged value among them.
        "; top\n[Software\\Nork]\n\"a\"=dword:1\n[software\\nork\\SDK]\n\"Logger\"=dword:1\n"
        "; c\n\"Bad\"=dword:zz\n[Other]\n\"x\"=\"y\"\n[SOFTWARE\\NORK\\sdk\\Deep\\Er]\n"
        "[Software\\Nork]\n\"A\"=dword:2\n\"b\"=hex:01,02\n@=\"default\"\n"
        "[Software\\NORK\\sdk]\n\"logger\"=dword:3\n",
        // Damaged key lines take their lines along; a blank-led key line.
        "[A]\n\"x\"=dword:1\n[A\n\"x\"=dword:2\n[B]\n  [ A ]  "
        "\n\t\"y\"=dword:3\n[]\n\"y\"=dword:4\n",
        // A byte-order mark and CR LF line ends.
        "\xEF\xBB\xBF[K]\r\n\"v\"=dword:2a\r\n[K\\Sub]\r\n\"w\"=\"x\"\r\n",
        // Lines before any key, blank lines, a line that starts with CR.
        "\"Orphan\"=dword:1\n   \n  ; note\n\t\"v\"=dword:1\n[K]\n  \"v\"=dword:5\n   [K\\A]\n"
        "\r x\n[k\\a\\b]\n",
        // The mark's bytes further down are no mark; no final line break.
        "\n\xEF\xBB\xBF[K]\n\"v\"=dword:1\n[K]\n\"w\"=dword:2",
        // Only the first three bytes can be the mark, and only all three.
        "\xEF\xBB\xBF\xEF\xBB\xBF[K]\n\"v\"=dword:1\n[A]\n\"x\"=dword:1\n",
        " \xEF\xBB\xBF[K]\n\"v\"=dword:1\n",
        "\xEF\xBB[K]\n\"v\"=dword:1\n",
        "\xEF\xBB",
        // A long line of another key.
        "[Big]\n" + longLine + "\n[K]\n\"v\"=dword:7\n[Big\\Sub]\n" + longLine,
        "",
    };
    const std::u16string keys[] = {
        u"",
        u"Software",
        u"software\\nork",
        u"\\SOFTWARE\\\\NORK\\SDK\\",
        u"Software\\Nork\\SDK\\Deep",
        u"Other",
        u"A",
        u"a",
        u"B",
        u"K",
        u"k\\a",
        u"K\\Sub",
        u"Big",
        u"Missing",
        u"A\nB",
    };
    for (const std::string& text : texts) {
        const Document doc = hive::parse(text);
        for (const std::u16string& key : keys) {
            std::vector<Document::Value> values;
            std::vector<std::u16string> subkeys;
            const bool exists = doc.keyExists(key);
            EXPECT_EQ(doc.values(key, values), exists);
            EXPECT_EQ(doc.subkeys(key, subkeys), exists);
            for (std::size_t piece :
                 {std::size_t{1}, std::size_t{2}, std::size_t{7}, text.size()}) {
                hive::KeyReader reader(key);
                for (std::size_t at = 0; at < text.size(); at += std::max<std::size_t>(piece, 1))
                    reader.feed(std::string_view(text).substr(at, piece));
                const hive::KeyView view = reader.finish();
                const std::string where = text.substr(0, 60) + " | key " +
                                          std::string(key.begin(), key.end()) + " | piece " +
                                          std::to_string(piece);
                EXPECT_EQ(view.exists(), exists) << where;
                std::vector<Document::Value> readValues;
                std::vector<std::u16string> readSubkeys;
                EXPECT_EQ(view.values(readValues), exists) << where;
                EXPECT_EQ(view.subkeys(readSubkeys), exists) << where;
                EXPECT_EQ(readSubkeys, subkeys) << where;
                ASSERT_EQ(readValues.size(), values.size()) << where;
                for (std::size_t i = 0; i < values.size(); ++i) {
                    EXPECT_EQ(readValues[i].name, values[i].name) << where;
                    EXPECT_EQ(readValues[i].value, values[i].value) << where;
                    const HiveValue* found = view.findValue(values[i].name);
                    ASSERT_NE(found, nullptr) << where;
                    EXPECT_EQ(*found, values[i].value) << where;
                }
                EXPECT_EQ(view.findValue(u"no such value"), nullptr) << where;
            }
        }
    }
}

// What a key read alone counts as unreadable: its own damaged lines, damaged
// key lines with the lines under them and lines above the first key; not
// the damaged lines of other keys, which it does not read. Key lines that
// cannot be read still count when they name no part of the key.
TEST(HiveFormat, OneKeyReadAloneCountsTheLinesItMeets) {
    const std::string text =
        "\"above\"=dword:1\n"  // 1
        "\r\n"                 // 2 (blank)
        "[A]\n"                // 3
        "\"bad\"=dword:zz\n"   // 4
        "\"bad\"=\"open\n"     // 5
        "[B]\n"                // 6
        "\"bad\"=dword:zz\n"   // 7
        "[C\n"                 // 8
        "\"under\"=dword:1\n"  // 9
        "  \r\n"               // 10 (blank)
        "\r x\n"               // 11
        "; a comment\n"        // 12
        "[X \\]\n"             // 13
        "\"v\"=dword:1\n"      // 14
        "[\\ X]\n"             // 15
        "[X\rY]\n"             // 16
        "[Y]\n"                // 17
        "\"bad\"=dword:zz\n";  // 18
    const struct {
        const char16_t* key;
        std::size_t skipped;
    } cases[] = {{u"A", 10}, {u"b", 9}, {u"Missing", 8}};
    for (const auto& c : cases) {
        hive::KeyReader reader(c.key);
        reader.feed(text);
        const hive::KeyView view = reader.finish();
        const std::u16string key = c.key;
        EXPECT_EQ(view.skippedLines(), c.skipped) << std::string(key.begin(), key.end());
        EXPECT_EQ(view.firstSkippedLine(), 1u) << std::string(key.begin(), key.end());
    }
    EXPECT_EQ(hive::parse(text).skippedLines(), 12u);

    hive::KeyReader clean(u"A");
    clean.feed("[A]\n\"v\"=dword:1\n[B]\n\"bad\"=x\n");
    const hive::KeyView view = clean.finish();
    EXPECT_EQ(view.skippedLines(), 0u);
    EXPECT_EQ(view.firstSkippedLine(), 0u);
}

TEST(HiveFormat, KeysThatALineCannotHoldAreRefused) {
    struct Case {
        std::u16string path;
        bool storable;
    };
    const Case cases[] = {
        {u"A\\B", true}, {u"A\\ B", true}, {u"A]", true},
        {u"", false},    {u"A\nB", false}, {u"A\rB", false},
        {u" A", false},  {u"A\t", false},  {std::u16string(1, char16_t(0xDC00)), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hive::storableKey(c.path), c.storable);
        if (!c.storable)
            continue;
        // What is storable reads back as the same key.
        Document doc;
        doc.setValue(c.path, u"v", HiveValue::ofDword(1));
        EXPECT_EQ(dwordOf(hive::parse(hive::serialise(doc)), c.path, u"v"), 1u);
    }
}

}  // namespace
}  // namespace nork::port
