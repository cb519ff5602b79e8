#include "Registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "LogHandler.h"
#include "RuntimeTestSupport.h"

namespace nork {
namespace {

using nork::testing::freshTestDir;
using nork::testing::writeFile;

using MessageCapture = nork::testing::LogCapture;

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto dir = freshTestDir();
        m_hkcu = dir / "hkcu.reg";
        writeFile(m_hkcu,
                  "[SOFTWARE\\NORK\\SDK]\n"
                  "\"Logger\"=dword:00000001\n"
                  "\"LogFilePath\"=\"/tmp/logs\"\n"
                  "\"Blob\"=hex:01,02,ff\n"
                  "[SOFTWARE\\NORK\\SDK\\Devices\\1234]\n"
                  "[SOFTWARE\\NORK\\SDK\\Devices\\ABCD]\n"
                  "[SOFTWARE\\NORK\\SDK\\Devices\\" +
                      std::string(261, 'x') + "]\n");
        m_hive = std::make_unique<port::SettingsHive>((dir / "hkcr.reg").string(), m_hkcu.string(),
                                                      (dir / "hklm.reg").string());
        CLogHandler::instance().setLineFormat("%M");
        CLogHandler::instance().setLevels(LOG_ALL_LEVELS);
        m_capture = MessageCapture::onProcessLog("RegistryTest");
    }

    std::filesystem::path m_hkcu;
    std::unique_ptr<port::SettingsHive> m_hive;
    std::shared_ptr<MessageCapture> m_capture;
};

TEST_F(RegistryTest, ReadsTypedValuesOfAnOpenKey) {
    CRegistry reg(*m_hive);
    EXPECT_EQ(reg.currentMode(), CRegistry::omClose);
    ASSERT_TRUE(reg.open(CRegistry::ROOT_CURRENT_USER, CRegistry::omRead, u"software\\nork\\sdk"));
    EXPECT_EQ(reg.currentMode(), CRegistry::omRead);

    std::uint32_t dword = 0;
    std::u16string text;
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(reg.readDword(u"Logger", dword));
    EXPECT_EQ(dword, 1u);
    EXPECT_TRUE(reg.readString(u"LogFilePath", text));
    EXPECT_EQ(text, u"/tmp/logs");
    EXPECT_TRUE(reg.readBinary(u"Blob", bytes));
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{1, 2, 0xff}));

    // Another type or a missing value is a miss and leaves the output alone.
    dword = 77;
    EXPECT_FALSE(reg.readDword(u"LogFilePath", dword));
    EXPECT_FALSE(reg.readString(u"Logger", text));
    EXPECT_FALSE(reg.readDword(u"Missing", dword));
    EXPECT_EQ(dword, 77u);
    EXPECT_FALSE(reg.writeDword(u"Logger", 2));  // opened for reading

    reg.close();
    EXPECT_EQ(reg.currentMode(), CRegistry::omClose);
    EXPECT_FALSE(reg.readDword(u"Logger", dword));  // closed
    EXPECT_TRUE(m_capture->take().empty());
}

TEST_F(RegistryTest, OpenRefusals) {
    CRegistry reg(*m_hive);
    EXPECT_FALSE(reg.open(CRegistry::ROOT_CURRENT_USER, CRegistry::omRead, u"SOFTWARE\\Missing"));
    EXPECT_FALSE(reg.open(CRegistry::ROOT_LOCAL_MACHINE, CRegistry::omRead, u"SOFTWARE\\NORK"));
    EXPECT_FALSE(reg.open(3, CRegistry::omRead, u"SOFTWARE"));
    EXPECT_FALSE(reg.open(-1, CRegistry::omRead, u"SOFTWARE"));
    EXPECT_FALSE(reg.open(CRegistry::ROOT_CURRENT_USER, CRegistry::omClose, u"SOFTWARE"));
    EXPECT_EQ(reg.currentMode(), CRegistry::omClose);
    EXPECT_TRUE(m_capture->take().empty());

    // Opening an open wrapper is a usage error: asserted, refused, the first
    // key stays open.
    ASSERT_TRUE(reg.open(CRegistry::ROOT_CURRENT_USER, CRegistry::omRead, u"SOFTWARE\\NORK\\SDK"));
    EXPECT_FALSE(reg.open(CRegistry::ROOT_CURRENT_USER, CRegistry::omWrite, u"SOFTWARE"));
    auto lines = m_capture->take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(u"zyk_assert --- [m_CurrentMode == omClose] (", 0), 0u);
    std::uint32_t dword = 0;
    EXPECT_TRUE(reg.readDword(u"Logger", dword));
    reg.close();
}

TEST_F(RegistryTest, ExistsLeavesTheOpenKeyAlone) {
    CRegistry reg(*m_hive);
    EXPECT_TRUE(reg.exists(CRegistry::ROOT_CURRENT_USER, u"SOFTWARE\\NORK"));
    EXPECT_FALSE(reg.exists(CRegistry::ROOT_CURRENT_USER, u"SOFTWARE\\NORK\\Other"));
    EXPECT_FALSE(reg.exists(CRegistry::ROOT_CLASSES_ROOT, u"SOFTWARE\\NORK"));
    ASSERT_TRUE(reg.open(CRegistry::ROOT_CURRENT_USER, CRegistry::omRead, u"SOFTWARE\\NORK\\SDK"));
    EXPECT_TRUE(reg.exists(CRegistry::ROOT_CURRENT_USER, u"SOFTWARE\\NORK\\SDK\\Devices"));
    EXPECT_EQ(reg.currentMode(), CRegistry::omRead);
    reg.close();
    EXPECT_TRUE(m_capture->take().empty());
}

TEST_F(RegistryTest, EnumeratesSubkeysIntoTheSet) {
    CRegistry reg(*m_hive);
    std::set<std::u16string> names{u"kept"};
    EXPECT_FALSE(reg.enumSubkeys(names));  // closed
    ASSERT_TRUE(
        reg.open(CRegistry::ROOT_CURRENT_USER, CRegistry::omRead, u"SOFTWARE\\NORK\\SDK\\Devices"));
    ASSERT_TRUE(reg.enumSubkeys(names));
    // The 261-character name does not fit the name buffer.
    EXPECT_EQ(names, (std::set<std::u16string>{u"kept", u"1234", u"ABCD"}));
    reg.close();
}

TEST_F(RegistryTest, WritesNeedAKeyOpenForWriting) {
    {
        CRegistry reg(*m_hive);
        ASSERT_TRUE(reg.create(CRegistry::ROOT_CURRENT_USER, u"SOFTWARE\\NORK\\Marker"));
        EXPECT_EQ(reg.currentMode(), CRegistry::omWrite);
        EXPECT_TRUE(reg.writeDword(u"Count", 3));
        EXPECT_TRUE(reg.writeString(u"Name", u"drive \u00e9"));
        EXPECT_TRUE(reg.writeBinary(u"Raw", {9}));
        EXPECT_TRUE(reg.deleteValue(u"Raw"));
        std::uint32_t dword = 0;
        EXPECT_FALSE(reg.readDword(u"Count", dword));  // write access only
        reg.close();
    }
    CRegistry reg(*m_hive);
    ASSERT_TRUE(
        reg.open(CRegistry::ROOT_CURRENT_USER, CRegistry::omRead, u"SOFTWARE\\NORK\\Marker"));
    std::uint32_t dword = 0;
    std::u16string text;
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(reg.readDword(u"Count", dword));
    EXPECT_EQ(dword, 3u);
    EXPECT_TRUE(reg.readString(u"Name", text));
    EXPECT_EQ(text, u"drive \u00e9");
    EXPECT_FALSE(reg.readBinary(u"Raw", bytes));
    reg.close();
}

// A program reads several values of one key of a large hive (the drives-seen
// list of years): the file is read once, when the key is opened, and the
// values are the file's, its blocks merged wherever they lie. A change made
// meanwhile is seen the next time the key is opened.
TEST_F(RegistryTest, SeveralValuesOfALargeHiveCostOneReadOfIt) {
    std::string text = "[SOFTWARE\\NORK\\SDK]\n\"Logger\"=dword:00000001\n\"Blob\"=hex:07\n";
    auto drives = [&text](int from, int to) {
        for (int i = from; i < to; ++i)
            text += "[Software\\1234\\SN" + std::to_string(i) +
                    "\\5678\\1]\n\"Seen\"=dword:00000001\n\"Name\"=\"drive\"\n";
    };
    drives(0, 10000);
    text +=
        "[software\\nork\\sdk]\n\"LogFilePath\"=\"/tmp/logs\"\n\"Blob\"=hex:01,02,ff\n"
        "[SOFTWARE\\NORK\\SDK\\Devices\\1234]\n";
    drives(10000, 20000);
    text += "[Software\\NORK\\SDK]\n\"logger\"=dword:00000002\n";
    writeFile(m_hkcu, text);

    CRegistry reg(*m_hive);
    const std::uint64_t readsBefore = m_hive->fileReads();
    ASSERT_TRUE(reg.open(CRegistry::ROOT_CURRENT_USER, CRegistry::omRead, u"SOFTWARE\\NORK\\SDK"));
    std::uint32_t dword = 0;
    std::u16string path;
    std::vector<std::uint8_t> bytes;
    std::set<std::u16string> subkeys;
    EXPECT_TRUE(reg.readDword(u"Logger", dword));
    EXPECT_EQ(dword, 2u);  // the last line of the name, in the last block
    EXPECT_TRUE(reg.readString(u"LogFilePath", path));
    EXPECT_EQ(path, u"/tmp/logs");
    EXPECT_TRUE(reg.readBinary(u"Blob", bytes));
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{1, 2, 0xff}));
    EXPECT_FALSE(reg.readDword(u"JxLogger", dword));
    EXPECT_TRUE(reg.enumSubkeys(subkeys));
    EXPECT_EQ(subkeys, std::set<std::u16string>{u"Devices"});
    EXPECT_EQ(m_hive->fileReads() - readsBefore, 1u);

    port::SettingsHive other("", m_hkcu.string(), "");
    ASSERT_TRUE(other
                    .writeValue(port::HiveRoot::CurrentUser, u"SOFTWARE\\NORK\\SDK", u"Logger",
                                port::HiveValue::ofDword(3))
                    .ok());
    EXPECT_TRUE(reg.readDword(u"Logger", dword));
    EXPECT_EQ(dword, 2u);
    reg.close();
    ASSERT_TRUE(reg.open(CRegistry::ROOT_CURRENT_USER, CRegistry::omRead, u"SOFTWARE\\NORK\\SDK"));
    EXPECT_TRUE(reg.readDword(u"Logger", dword));
    EXPECT_EQ(dword, 3u);
    reg.close();
    EXPECT_TRUE(m_capture->take().empty());
}

TEST_F(RegistryTest, DestroyingAnOpenWrapperAssertsAndCloses) {
    {
        CRegistry reg(*m_hive);
        ASSERT_TRUE(reg.open(CRegistry::ROOT_CURRENT_USER, CRegistry::omRead, u"SOFTWARE"));
    }
    auto lines = m_capture->take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(u"zyk_assert --- [m_CurrentMode == omClose] (", 0), 0u);
    { CRegistry closed(*m_hive); }
    EXPECT_TRUE(m_capture->take().empty());
}

}  // namespace
}  // namespace nork
