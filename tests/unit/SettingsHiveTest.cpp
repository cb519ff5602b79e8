#include "port/SettingsHive.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "RuntimeTestSupport.h"
#include "port/System.h"

namespace nork::port {
namespace {

using nork::testing::freshTestDir;
using nork::testing::readFile;
using nork::testing::ScopedEnv;
using nork::testing::writeFile;

constexpr HiveRoot HKCU = HiveRoot::CurrentUser;

class SettingsHiveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = freshTestDir();
        m_hkcu = (m_dir / "hkcu.reg").string();
    }
    SettingsHive hive() const {
        return SettingsHive((m_dir / "hkcr.reg").string(), m_hkcu, (m_dir / "hklm.reg").string());
    }

    std::filesystem::path m_dir;
    std::string m_hkcu;
};

TEST_F(SettingsHiveTest, ValuesOfEveryTypeSurviveTheFile) {
    const std::vector<std::pair<std::u16string, HiveValue>> values = {
        {u"Logger", HiveValue::ofDword(1)},
        {u"Max", HiveValue::ofDword(0xFFFFFFFFu)},
        {u"LogFilePath", HiveValue::ofString(u"/home/me/qzlogs")},
        {u"Tricky", HiveValue::ofString(u"a \"quoted\" C:\\path\\ and\nnew line\r")},
        {u"Wide", HiveValue::ofString(u"\u00e9\u4e2d\U0001F600")},
        {u"Empty", HiveValue::ofString(u"")},
        {u"Blob", HiveValue::ofBinary({0x01, 0x02, 0xff})},
        {u"NoBytes", HiveValue::ofBinary({})},
        {u"", HiveValue::ofString(u"default value")},
        {u"name with \"quote\"", HiveValue::ofDword(7)},
    };
    SettingsHive writer = hive();
    for (const auto& [name, value] : values) {
        ASSERT_TRUE(writer.writeValue(HKCU, u"SOFTWARE\\NORK\\SDK", name, value).ok());
    }
    SettingsHive reader = hive();
    for (const auto& [name, value] : values) {
        HiveValue got;
        HiveResult r = reader.readValue(HKCU, u"SOFTWARE\\NORK\\SDK", name, got);
        ASSERT_TRUE(r.ok()) << std::string(name.begin(), name.end());
        EXPECT_EQ(r.skippedLines, 0u);
        EXPECT_TRUE(got == value) << std::string(name.begin(), name.end());
    }
    std::string text = readFile(m_hkcu);
    EXPECT_NE(text.find("[SOFTWARE\\NORK\\SDK]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Logger\"=dword:00000001\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"LogFilePath\"=\"/home/me/qzlogs\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Blob\"=hex:01,02,ff\n"), std::string::npos) << text;
    EXPECT_NE(text.find("@=\"default value\"\n"), std::string::npos) << text;
}

TEST_F(SettingsHiveTest, HandWrittenFileIsReadAndKeptWhole) {
    writeFile(m_hkcu,
              "\xEF\xBB\xBF; my settings\r\n"
              "[ SOFTWARE\\NORK\\SDK ]\r\n"
              "  \"Logger\" = DWORD:1  \r\n"
              "# keep me\n"
              "\"Broken\"=dword:xyz\n"
              "\"Blob\"=HEX:0A, 0b ,FF\n"
              "\n"
              "[Other]\n"
              "\"Twice\"=dword:1\n"
              "\"Twice\"=dword:2\n");
    SettingsHive h = hive();
    HiveValue v;
    HiveResult r = h.readValue(HKCU, u"software\\nork\\sdk", u"logger", v);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(v.dword, 1u);
    EXPECT_EQ(r.skippedLines, 1u);
    EXPECT_EQ(r.firstSkippedLine, 5u);
    ASSERT_TRUE(h.readValue(HKCU, u"SOFTWARE\\NORK\\SDK", u"Blob", v).ok());
    EXPECT_EQ(v.bytes, (std::vector<std::uint8_t>{0x0a, 0x0b, 0xff}));
    ASSERT_TRUE(h.readValue(HKCU, u"Other", u"Twice", v).ok());
    EXPECT_EQ(v.dword, 2u);  // the last line of a name wins, as on import

    // A write keeps the comments and the unreadable line for the user to fix.
    ASSERT_TRUE(h.writeValue(HKCU, u"SOFTWARE\\NORK\\SDK", u"New", HiveValue::ofDword(3)).ok());
    std::string text = readFile(m_hkcu);
    EXPECT_NE(text.find("; my settings"), std::string::npos) << text;
    EXPECT_NE(text.find("# keep me"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Broken\"=dword:xyz"), std::string::npos) << text;
    ASSERT_TRUE(h.readValue(HKCU, u"SOFTWARE\\NORK\\SDK", u"Logger", v).ok());
    EXPECT_EQ(v.dword, 1u);
}

TEST_F(SettingsHiveTest, MalformedLinesAreSkippedNeverFatal) {
    const char* badLines[] = {
        "\"NoValue\"",
        "\"NoValue\"=",
        "\"Open=dword:1",
        "NoQuotes=dword:1",
        "\"Big\"=dword:123456789",
        "\"Hex\"=hex:1",
        "\"Hex\"=hex:01,",
        "\"Hex\"=hex:01;02",
        "\"Str\"=\"unterminated",
        "\"Str\"=\"bad \\q escape\"",
        "\"Str\"=\"x\" trailing",
        "\"Utf8\"=\"\xC3\x28\"",
        "\"Kind\"=qword:01",
        "[]",
        "[unclosed",
    };
    for (const char* bad : badLines) {
        writeFile(m_hkcu, std::string("[K]\n\"Good\"=dword:5\n") + bad + "\n");
        HiveValue v;
        HiveResult r = hive().readValue(HKCU, u"K", u"Good", v);
        EXPECT_TRUE(r.ok()) << bad;
        EXPECT_EQ(v.dword, 5u) << bad;
        EXPECT_EQ(r.skippedLines, 1u) << bad;
        EXPECT_EQ(r.firstSkippedLine, 3u) << bad;
    }
    writeFile(m_hkcu, "\"Orphan\"=dword:1\n");  // a value before any key
    bool exists = true;
    HiveResult r = hive().keyExists(HKCU, u"K", exists);
    EXPECT_TRUE(r.ok());
    EXPECT_FALSE(exists);
    EXPECT_EQ(r.skippedLines, 1u);
}

// A byte-order mark counts only as the file's first bytes. A rewrite keeps
// it there, and a line further down that starts with the mark's bytes stays
// unreadable: dropping the blank lines before it must not move it to the
// front, where it once turned into a key.
TEST_F(SettingsHiveTest, ByteOrderMarkStaysWhereItWas) {
    const struct {
        const char* file;
        bool keyA;
        std::size_t skipped;
        bool startsWithMark;
    } cases[] = {
        {"\xEF\xBB\xBF[A]\n\"v\"=dword:1\n", true, 0, true},
        {"\xEF\xBB\xBF; note\n[A]\n", true, 0, true},
        {"\n\xEF\xBB\xBF[A]\n\"v\"=dword:1\n", false, 2, false},
        {"\xEF\xBB\xBF\n\xEF\xBB\xBF[A]\n", false, 1, true},
    };
    for (const auto& c : cases) {
        writeFile(m_hkcu, c.file);
        SettingsHive h = hive();
        for (int pass = 0; pass < 2; ++pass) {
            bool exists = !c.keyA;
            HiveResult r = h.keyExists(HKCU, u"A", exists);
            ASSERT_TRUE(r.ok()) << c.file;
            EXPECT_EQ(exists, c.keyA) << c.file << " pass " << pass;
            EXPECT_EQ(r.skippedLines, c.skipped) << c.file << " pass " << pass;
            // The second pass reads the file as a write left it.
            ASSERT_TRUE(h.writeValue(HKCU, u"Other", u"x", HiveValue::ofDword(1)).ok());
        }
        EXPECT_EQ(readFile(m_hkcu).compare(0, 3, "\xEF\xBB\xBF") == 0, c.startsWithMark) << c.file;
    }
}

TEST_F(SettingsHiveTest, NamesCompareWithoutCaseAndKeepTheirCase) {
    SettingsHive h = hive();
    ASSERT_TRUE(h.writeValue(HKCU, u"Software\\Nork\\Sdk", u"Logger", HiveValue::ofDword(1)).ok());
    ASSERT_TRUE(
        h.writeValue(HKCU, u"\\SOFTWARE\\\\NORK\\SDK\\", u"LOGGER", HiveValue::ofDword(2)).ok());
    ASSERT_TRUE(h.writeValue(HKCU, u"Software\\\u00c9T\u00c9", u"x", HiveValue::ofDword(3)).ok());

    HiveValue v;
    ASSERT_TRUE(h.readValue(HKCU, u"software\\nork\\sdk", u"logger", v).ok());
    EXPECT_EQ(v.dword, 2u);
    ASSERT_TRUE(h.readValue(HKCU, u"SOFTWARE\\\u00e9t\u00e9", u"X", v).ok());

    std::vector<std::pair<std::u16string, HiveValue>> values;
    ASSERT_TRUE(h.enumValues(HKCU, u"SOFTWARE\\NORK\\SDK", values).ok());
    ASSERT_EQ(values.size(), 1u);  // one value, not two spellings of it
    EXPECT_EQ(values[0].first, u"Logger");

    std::vector<std::u16string> names;
    ASSERT_TRUE(h.enumSubkeys(HKCU, u"", names).ok());
    EXPECT_EQ(names, std::vector<std::u16string>{u"Software"});
    ASSERT_TRUE(h.enumSubkeys(HKCU, u"SOFTWARE", names).ok());
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Nork", u"\u00c9T\u00c9"}));
}

TEST_F(SettingsHiveTest, KeyTreeCreateEnumerateDelete) {
    SettingsHive h = hive();
    ASSERT_TRUE(h.createKey(HKCU, u"A\\B\\C").ok());
    ASSERT_TRUE(h.writeValue(HKCU, u"A\\B2", u"v", HiveValue::ofDword(1)).ok());
    ASSERT_TRUE(h.createKey(HKCU, u"A\\B").ok());  // exists already: no change

    bool exists = false;
    for (const char16_t* key : {u"A", u"a\\b", u"A\\B\\C", u"A\\B2"}) {
        ASSERT_TRUE(h.keyExists(HKCU, key, exists).ok());
        EXPECT_TRUE(exists);
    }
    ASSERT_TRUE(h.keyExists(HKCU, u"A\\B\\C\\D", exists).ok());
    EXPECT_FALSE(exists);
    ASSERT_TRUE(h.keyExists(HKCU, u"A\\B\\", exists).ok());
    EXPECT_TRUE(exists);

    std::vector<std::u16string> names;
    ASSERT_TRUE(h.enumSubkeys(HKCU, u"A", names).ok());
    EXPECT_EQ(names, (std::vector<std::u16string>{u"B", u"B2"}));
    EXPECT_EQ(h.enumSubkeys(HKCU, u"Nope", names).error.code, PortErrc::NotFound);

    // A key with subkeys goes only on request; its parent stays.
    EXPECT_EQ(h.deleteKey(HKCU, u"A\\B").error.code, PortErrc::AccessDenied);
    ASSERT_TRUE(h.deleteKey(HKCU, u"A\\B", true).ok());
    ASSERT_TRUE(h.keyExists(HKCU, u"A\\B\\C", exists).ok());
    EXPECT_FALSE(exists);
    ASSERT_TRUE(h.deleteKey(HKCU, u"A\\B2").ok());
    ASSERT_TRUE(h.keyExists(HKCU, u"A", exists).ok());
    EXPECT_TRUE(exists);
    EXPECT_EQ(h.deleteKey(HKCU, u"A\\B2").error.code, PortErrc::NotFound);
    EXPECT_EQ(h.deleteKey(HKCU, u"").error.code, PortErrc::InvalidArgument);

    ASSERT_TRUE(h.writeValue(HKCU, u"A", u"x", HiveValue::ofDword(1)).ok());
    ASSERT_TRUE(h.deleteValue(HKCU, u"A", u"X").ok());
    HiveValue v;
    EXPECT_EQ(h.readValue(HKCU, u"A", u"x", v).error.code, PortErrc::NotFound);
    EXPECT_EQ(h.deleteValue(HKCU, u"A", u"x").error.code, PortErrc::NotFound);
    EXPECT_EQ(h.deleteValue(HKCU, u"Nope", u"x").error.code, PortErrc::NotFound);
}

TEST_F(SettingsHiveTest, MissingFileIsAnEmptyRootAndRootsAreSeparate) {
    SettingsHive h = hive();
    bool exists = true;
    ASSERT_TRUE(h.keyExists(HKCU, u"SOFTWARE", exists).ok());
    EXPECT_FALSE(exists);
    HiveValue v;
    EXPECT_EQ(h.readValue(HKCU, u"SOFTWARE", u"x", v).error.code, PortErrc::NotFound);
    EXPECT_FALSE(std::filesystem::exists(m_hkcu));  // reads create no hive

    ASSERT_TRUE(h.writeValue(HiveRoot::LocalMachine, u"K", u"x", HiveValue::ofDword(1)).ok());
    ASSERT_TRUE(h.keyExists(HKCU, u"K", exists).ok());
    EXPECT_FALSE(exists);
    ASSERT_TRUE(h.keyExists(HiveRoot::ClassesRoot, u"K", exists).ok());
    EXPECT_FALSE(exists);
    EXPECT_TRUE(std::filesystem::exists(m_dir / "hklm.reg"));
    EXPECT_EQ(h.keyExists(static_cast<HiveRoot>(3), u"K", exists).error.code,
              PortErrc::InvalidArgument);
}

TEST_F(SettingsHiveTest, RefusesWhatCannotBeStored) {
    SettingsHive h = hive();
    ASSERT_TRUE(h.writeValue(HKCU, u"K", u"x", HiveValue::ofDword(1)).ok());
    std::string before = readFile(m_hkcu);
    const std::u16string lone(1, char16_t(0xD800));
    EXPECT_EQ(h.writeValue(HKCU, u"K", u"s", HiveValue::ofString(lone)).error.code,
              PortErrc::InvalidArgument);
    EXPECT_EQ(h.writeValue(HKCU, u"K", lone, HiveValue::ofDword(1)).error.code,
              PortErrc::InvalidArgument);
    EXPECT_EQ(h.writeValue(HKCU, u"\\\\", u"x", HiveValue::ofDword(1)).error.code,
              PortErrc::InvalidArgument);
    // Key paths a key line cannot hold: they would read back as another key
    // or break the file apart.
    for (const std::u16string key : {u"A\nB", u"A\rB", u" A", u"A\\B\t"}) {
        EXPECT_EQ(h.writeValue(HKCU, key, u"x", HiveValue::ofDword(1)).error.code,
                  PortErrc::InvalidArgument);
        EXPECT_EQ(h.createKey(HKCU, key).error.code, PortErrc::InvalidArgument);
    }
    EXPECT_EQ(readFile(m_hkcu), before);

    // A hive whose directory cannot exist (its parent is a file).
    writeFile(m_dir / "plainfile", "x");
    SettingsHive broken("", (m_dir / "plainfile" / "hkcu.reg").string(), "");
    EXPECT_FALSE(broken.writeValue(HKCU, u"K", u"x", HiveValue::ofDword(1)).ok());
    EXPECT_EQ(
        broken.writeValue(HiveRoot::ClassesRoot, u"K", u"x", HiveValue::ofDword(1)).error.code,
        PortErrc::InvalidArgument);
}

TEST_F(SettingsHiveTest, DefaultInstanceFollowsTheEnvironment) {
    SettingsHive& h = SettingsHive::processDefault();
    std::string mine = (m_dir / "env-hkcu.reg").string();
    std::optional<ScopedEnv> hkcu(std::in_place, "QZ_HKCU_HIVE", mine);
    ScopedEnv hklm("QZ_HKLM_HIVE", "/x/hklm.reg");
    ScopedEnv hkcr("QZ_HKCR_HIVE", nullptr);
    EXPECT_EQ(h.filePath(HKCU), mine);
    EXPECT_EQ(h.filePath(HiveRoot::LocalMachine), "/x/hklm.reg");
    EXPECT_EQ(h.filePath(HiveRoot::ClassesRoot), "/var/lib/qz/hkcr.reg");
    ASSERT_TRUE(h.writeValue(HKCU, u"K", u"x", HiveValue::ofDword(9)).ok());
    EXPECT_NE(readFile(mine).find("\"x\"=dword:00000009"), std::string::npos);

    hkcu.emplace("QZ_HKCU_HIVE", nullptr);
    ScopedEnv config("XDG_CONFIG_HOME", (m_dir / "cfg").string());
    EXPECT_EQ(h.filePath(HKCU), (m_dir / "cfg" / "qz" / "hkcu.reg").string());
}

// Two processes writing different values at once lose nothing, and a third
// reading meanwhile never sees a partial file.
TEST_F(SettingsHiveTest, ConcurrentProcessesLoseNothing) {
    if (nork::testing::rerunAloneUnlessSingleThreaded())
        return;
    constexpr int kValues = 40;
    SettingsHive h = hive();
    ASSERT_TRUE(h.writeValue(HKCU, u"K", u"sentinel", HiveValue::ofDword(1)).ok());
    auto writer = [this](char16_t tag) {
        return [this, tag]() {
            SettingsHive mine = hive();
            for (int i = 0; i < kValues; ++i) {
                std::u16string name(1, tag);
                for (char c : std::to_string(i))
                    name.push_back(static_cast<char16_t>(c));
                if (!mine.writeValue(HKCU, u"K", name, HiveValue::ofDword(i)).ok())
                    return 1;
            }
            return 0;
        };
    };
    auto reader = [this]() {
        SettingsHive mine = hive();
        for (int i = 0; i < 200; ++i) {
            HiveValue v;
            HiveResult r = mine.readValue(HKCU, u"K", u"sentinel", v);
            if (!r.ok() || r.skippedLines != 0 || v.dword != 1)
                return 1;
        }
        return 0;
    };
    std::int64_t pids[3] = {};
    ASSERT_FALSE(startChildProcess(writer(u'a'), false, pids[0]));
    ASSERT_FALSE(startChildProcess(writer(u'b'), false, pids[1]));
    ASSERT_FALSE(startChildProcess(reader, false, pids[2]));
    for (auto pid : pids) {
        int code = -1;
        ASSERT_FALSE(waitChildProcess(pid, code));
        EXPECT_EQ(code, 0);
    }
    std::vector<std::pair<std::u16string, HiveValue>> values;
    ASSERT_TRUE(h.enumValues(HKCU, u"K", values).ok());
    EXPECT_EQ(values.size(), 1u + 2u * kValues);
}

}  // namespace
}  // namespace nork::port
