#include "DevicePath.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>

#include "DeviceParams.h"
#include "LogCapture.h"
#include "PlatformFactory.h"
#include "RuntimeTestSupport.h"
#include "port/OsIdentity.h"

namespace nork {
namespace {

using nork::testing::freshTestDir;
using nork::testing::writeFile;

constexpr std::uint32_t LETTER_E = 1u << 4;
constexpr std::uint32_t LETTER_G = 1u << 6;

// A wide text as the registry stores it in a binary value (UTF-16LE), in
// the hive file's hex form.
std::string wideHex(const std::string& text) {
    std::string out = "hex:";
    char byte[4];
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(text[i]));
        out += (i == 0 ? "" : ",") + std::string(byte) + ",00";
    }
    return out;
}

class DevicePathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = freshTestDir();
        m_hive.emplace((m_dir / "hkcr.reg").string(), (m_dir / "hkcu.reg").string(),
                       (m_dir / "hklm.reg").string());
    }
    void TearDown() override { CDevicePath::setVolumeQuery(nullptr); }

    void writeHklm(const std::string& text) { writeFile(m_dir / "hklm.reg", text); }

    std::filesystem::path m_dir;
    std::optional<port::SettingsHive> m_hive;
};

TEST_F(DevicePathTest, Win2kPathOfTheFirstAcceptedLetter) {
    struct Case {
        const char* name;
        std::uint32_t mask;
        std::uint32_t length;
        int selector;
        std::uint32_t filter;
        bool withQuery;
        STATUS status;
        const char16_t* path;
    };
    const Case cases[] = {
        {"empty mask", 0, 64, -1, 0, false, STATUS_PATH_ERROR, u""},
        {"empty mask before a short buffer", 0, 2, -1, 0, false, STATUS_PATH_ERROR, u""},
        {"buffer of 6", LETTER_E, 6, -1, 0, false, STATUS_BUFFER_TOO_SMALL, u""},
        {"buffer of 7", LETTER_E, 7, -1, 0, false, STATUS_OK, u"\\\\.\\E:"},
        {"any letter", LETTER_E | LETTER_G, 64, -1, 0, false, STATUS_OK, u"\\\\.\\E:"},
        {"selected letter", LETTER_E | LETTER_G, 64, 6, 0, false, STATUS_OK, u"\\\\.\\G:"},
        {"selected letter absent", LETTER_E | LETTER_G, 64, 3, 0, false, STATUS_PATH_ERROR, u""},
        {"filter without query", LETTER_E | LETTER_G, 64, -1, 2, false, STATUS_PATH_ERROR, u""},
        {"filter picks by query, selector ignored", LETTER_E | LETTER_G, 64, 4, 2, true, STATUS_OK,
         u"\\\\.\\G:"},
        {"filter nobody answers", LETTER_E | LETTER_G, 64, -1, 3, true, STATUS_PATH_ERROR, u""},
    };
    for (const Case& c : cases) {
        CDevicePath::setVolumeQuery(nullptr);
        if (c.withQuery) {
            // E: shows LUN 1, G: LUN 2.
            CDevicePath::setVolumeQuery([](std::u16string_view root) -> std::uint32_t {
                return root == u"G:\\" ? 2 : root == u"E:\\" ? 1 : 0;
            });
        }
        CDevicePathWin2k builder(c.filter, *m_hive, [](std::u16string_view) { return u'\0'; });
        CDeviceParams params;
        params.setDriveMask(c.mask);
        char16_t buffer[64] = {};
        EXPECT_EQ(builder.getPath(params, buffer, c.length, c.selector), c.status) << c.name;
        EXPECT_EQ(std::u16string(buffer), c.path) << c.name;
    }
}

TEST_F(DevicePathTest, FindDriveByInterfacePathOverTheMountedDevicesRecord) {
    const std::string device = "\\??\\STORAGE#RemovableMedia#7&2f1e&0&RM#{53f5630d-b6bf}";
    writeHklm(
        "[SYSTEM\\MountedDevices]\n"
        "\"\\\\??\\\\Volume{0c6d0a7e-1f3b}\"=" +
        wideHex(device) +
        "\n"
        "\"\\\\DosDevices\\\\C:\"=" +
        wideHex("\\??\\IDE#DiskFixed#5&1&0#{53f56307}") +
        "\n"
        "\"\\\\DosDevices\\\\F:\"=" +
        wideHex(device) + "\n");

    std::u16string fallbackAsked;
    CDevicePathWin2k builder(0, *m_hive, [&](std::u16string_view fragment) {
        fallbackAsked = fragment;
        return fragment == u"STORAGE#Volume#KNOWN" ? u'K' : u'\0';
    });
    std::u16string root;
    EXPECT_EQ(builder.findDriveByInterfacePath(
                  u"\\\\?\\STORAGE#RemovableMedia#7&2f1e&0&RM#{53f5630d-b6bf}", root),
              STATUS_OK);
    EXPECT_EQ(root, u"F:\\");
    EXPECT_TRUE(fallbackAsked.empty());

    // Paths the record does not hold are asked of the storage units.
    root.clear();
    EXPECT_EQ(builder.findDriveByInterfacePath(u"\\\\?\\STORAGE#Volume#KNOWN", root), STATUS_OK);
    EXPECT_EQ(root, u"K:\\");
    EXPECT_EQ(builder.findDriveByInterfacePath(u"\\\\?\\STORAGE#Volume#OTHER", root), STATUS_ERROR);
    EXPECT_EQ(fallbackAsked, u"STORAGE#Volume#OTHER");
    EXPECT_EQ(root, u"K:\\");  // untouched on failure
}

TEST_F(DevicePathTest, FindDriveWithoutRecordUsesOnlyTheStorageUnits) {
    CDevicePathWin2k builder(0, *m_hive, [](std::u16string_view) { return u'\0'; });
    std::u16string root;
    EXPECT_EQ(builder.findDriveByInterfacePath(u"\\\\?\\X", root), STATUS_ERROR);
    // Four characters or fewer are taken whole.
    CDevicePathWin2k whole(0, *m_hive,
                           [](std::u16string_view f) { return f == u"ABCD" ? u'Q' : u'\0'; });
    EXPECT_EQ(whole.findDriveByInterfacePath(u"ABCD", root), STATUS_OK);
    EXPECT_EQ(root, u"Q:\\");
}

TEST_F(DevicePathTest, Win98PathIsTheRegisteredSymbolicName) {
    writeHklm(
        "[Config Manager\\Enum\\C1029000]\n"
        "\"HardWareKey\"=\"ROOT\\\\Other\\\\0000\"\n"
        "[Config Manager\\Enum\\C1029100]\n"
        "\"HardWareKey\"=\"SCSI\\\\CORVANE_QZ_PELLIX_4\\\\SER0001\"\n"
        "[Enum\\SCSI\\CORVANE_QZ_PELLIX_4\\SER0001]\n"
        "\"CurrentDriveLetterAssignment\"=\"EG\"\n"
        // The device id is cut to 17 characters.
        "[Software\\Trivanta\\CORVANE_QZ_PELLIX\\SER0001]\n"
        "\"SymbolicName\"=\"\\\\\\\\.\\\\QZSTOR0\"\n");
    CDevicePathWin98 builder(0, *m_hive);
    CDeviceParams params;
    params.setDriveMask(LETTER_G);
    char16_t buffer[128] = {};
    EXPECT_EQ(builder.getPath(params, buffer, 128, -1), STATUS_OK);
    EXPECT_EQ(std::u16string(buffer), u"\\\\.\\QZSTOR0");
    EXPECT_EQ(builder.getPath(params, buffer, 127, -1), STATUS_BUFFER_TOO_SMALL);
    params.setDriveMask(1u << 7);  // H: is nobody's
    EXPECT_EQ(builder.getPath(params, buffer, 128, -1), STATUS_PATH_ERROR);
}

TEST_F(DevicePathTest, WinMeLeavesThePathToTheAspiLayer) {
    CDevicePathWinMe builder;
    CDeviceParams params;
    char16_t buffer[8] = {u'x', u'y'};
    EXPECT_EQ(builder.getPath(params, buffer, 8, -1), STATUS_OK);
    EXPECT_EQ(buffer[0], u'\0');
}

TEST_F(DevicePathTest, FactoryBuilderPerPlatformAndLunIndex) {
    static auto log = nork::testing::LogCapture::onProcessLog("DevicePathTest");
    for (int type = 0; type <= 12; ++type) {
        port::OsIdentity id;
        id.platformType = type;
        id.systemVolumeWritable = false;
        CPlatformFactory factory(id, 0);
        for (int lun = 0; lun < 8; ++lun) {
            CDevicePath& builder = factory.devicePath(lun);
            EXPECT_EQ(&builder, &factory.devicePath(lun));
            EXPECT_EQ(builder.filter(), static_cast<std::uint32_t>(lun));
            const std::type_info& kind = typeid(builder);
            if (type == 2 || type == 3)
                EXPECT_EQ(kind, typeid(CDevicePathWin98)) << type;
            else if (type == 4)
                EXPECT_EQ(kind, typeid(CDevicePathWinMe)) << type;
            else
                EXPECT_EQ(kind, typeid(CDevicePathWin2k)) << type;
        }
        log->take();
        EXPECT_EQ(&factory.devicePath(8), &factory.devicePath(0));
        const auto lines = log->takeNarrow();
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines[0].find("zyk_assert"), std::string::npos);
    }
}

}  // namespace
}  // namespace nork
