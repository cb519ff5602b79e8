// Classification of the running system and the facts it reads: the version
// record, the service-pack text in the hive, the IBM laptop keys, and the
// privilege probe over a /dev tree.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "PlatformFactory.h"
#include "Registry.h"
#include "RuntimeTestSupport.h"
#include "port/OsIdentity.h"
#include "port/SettingsHive.h"

namespace nork {
namespace {

namespace fs = std::filesystem;
using nork::testing::freshTestDir;
using nork::testing::writeFile;
using Record = port::OsVersionRecord;

constexpr const char16_t* CURRENT_VERSION = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

bool containsLine(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& l : lines) {
        if (l.find(text) != std::string::npos)
            return true;
    }
    return false;
}

class PlatformDetection : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = freshTestDir();
        m_hive.emplace((m_dir / "hkcr.reg").string(), (m_dir / "hkcu.reg").string(),
                       (m_dir / "hklm.reg").string());
        static auto capture = nork::testing::LogCapture::onProcessLog("PlatformDetection.capture");
        m_capture = capture;
        m_capture->take();
    }

    // Absent `csd` leaves the key without the value; `withKey` false leaves
    // no key at all.
    void setCsdVersion(std::optional<std::u16string> csd, bool withKey = true) {
        m_hive->deleteKey(port::HiveRoot::LocalMachine, CURRENT_VERSION, true);  // may be absent
        if (!withKey)
            return;
        ASSERT_TRUE(m_hive->createKey(port::HiveRoot::LocalMachine, CURRENT_VERSION).ok());
        if (csd) {
            ASSERT_TRUE(m_hive
                            ->writeValue(port::HiveRoot::LocalMachine, CURRENT_VERSION,
                                         u"CSDVersion", port::HiveValue::ofString(*csd))
                            .ok());
        }
    }

    static port::OsIdentity nt(std::uint32_t major, std::uint32_t minor) {
        port::OsIdentity id;
        id.version.platformId = Record::PLATFORM_WIN32_NT;
        id.version.majorVersion = major;
        id.version.minorVersion = minor;
        return id;
    }

    fs::path m_dir;
    std::optional<port::SettingsHive> m_hive;
    std::shared_ptr<nork::testing::LogCapture> m_capture;
};

TEST_F(PlatformDetection, VersionRecordsWithoutServicePackText) {
    struct Case {
        const char* name;
        Record::Source source;
        std::uint32_t platformId, major, minor;
        std::u16string csd;
        int expected;
    };
    const Case cases[] = {
        {"98", Record::Source::Extended, 1, 4, 10, u"", 2},
        {"98 SE by second character", Record::Source::Basic, 1, 4, 10, u" A", 3},
        {"98 with other text", Record::Source::Extended, 1, 4, 10, u"A ", 2},
        {"Me", Record::Source::Extended, 1, 4, 90, u"", 4},
        {"95", Record::Source::Extended, 1, 4, 0, u"", 0},
        {"9x major 5", Record::Source::Extended, 1, 5, 10, u"", 0},
        {"NT 3.51", Record::Source::Extended, 2, 3, 51, u"", 5},
        {"NT 4", Record::Source::Extended, 2, 4, 0, u"", 5},
        {"Server 2003", Record::Source::Extended, 2, 5, 2, u"", 9},
        {"NT 5.3", Record::Source::Extended, 2, 5, 3, u"", 0},
        {"Vista", Record::Source::Extended, 2, 6, 0, u"", 12},
        {"any 6.x", Record::Source::Basic, 2, 6, 1, u"", 12},
        {"NT 7", Record::Source::Extended, 2, 7, 0, u"", 0},
        {"unknown platform id", Record::Source::Extended, 3, 6, 0, u"", 0},
        {"both queries failed", Record::Source::None, 2, 6, 0, u"", 0},
    };
    for (const auto& c : cases) {
        port::OsIdentity id;
        id.version = Record{c.source, c.platformId, c.major, c.minor, c.csd};
        EXPECT_EQ(CPlatformType(id, *m_hive).value(), c.expected) << c.name;
    }
    // No service-pack lookup happened for any of them.
    EXPECT_TRUE(m_capture->take().empty());
}

TEST_F(PlatformDetection, ServicePackOf2000AndXpFromTheHive) {
    struct Case {
        const char* name;
        std::uint32_t minor;  // 0 = 2000, 1 = XP
        std::optional<std::u16string> csd;
        int expected;
        const char* logged;  // nullptr: nothing logged
    };
    const char* parseFailed =
        "CPlatformType::detectWinNTSP - failed to parse CSDVersion registry key";
    const char* noNumber =
        "CPlatformType::detectWinNTSP - failed to find sp number while parsing CSDVersion registry "
        "key";
    const Case cases[] = {
        {"2000 SP1", 0, u"Service Pack 1", 6, nullptr},
        {"2000 SP2", 0, u"Service Pack 2", 6, nullptr},
        {"2000 SP3", 0, u"Service Pack 3", 7, nullptr},
        {"2000 SP4", 0, u"Service Pack 4", 8, nullptr},
        {"2000 SP5", 0, u"Service Pack 5", 8, nullptr},
        {"2000 SP0 counts as newest", 0, u"Service Pack 0", 8, nullptr},
        {"2000 non-numeric counts as newest", 0, u"Service Pack X", 8, nullptr},
        {"2000 leading digits only", 0, u"Service Pack 3a", 7, nullptr},
        {"2000 negative", 0, u"Service Pack -1", 8, nullptr},
        {"2000 huge number", 0, u"Service Pack 99999999999999", 8, nullptr},
        {"2000 value missing", 0, std::nullopt, 6, nullptr},
        {"2000 no space", 0, u"SP3", 6, parseFailed},
        {"2000 trailing space", 0, u"Service Pack ", 6, noNumber},
        {"XP SP2", 1, u"Service Pack 2", 11, nullptr},
        {"XP SP1", 1, u"Service Pack 1", 10, nullptr},
        {"XP SP3", 1, u"Service Pack 3", 10, nullptr},
        {"XP value missing", 1, std::nullopt, 10, nullptr},
        {"XP no space", 1, u"SP2", 10, parseFailed},
        {"XP trailing space", 1, u"Service Pack 2 ", 10, noNumber},
    };
    for (const auto& c : cases) {
        setCsdVersion(c.csd);
        EXPECT_EQ(CPlatformType(nt(5, c.minor), *m_hive).value(), c.expected) << c.name;
        const auto lines = m_capture->takeNarrow();
        if (c.logged != nullptr) {
            ASSERT_EQ(lines.size(), 1u) << c.name;
            EXPECT_NE(lines[0].find(c.logged), std::string::npos) << c.name;
        } else {
            EXPECT_TRUE(lines.empty()) << c.name;
        }
    }
}

TEST_F(PlatformDetection, EmptyServicePackTextIsUnknownWithAnAssertion) {
    for (std::uint32_t minor : {0u, 1u}) {
        setCsdVersion(u"");
        EXPECT_EQ(CPlatformType(nt(5, minor), *m_hive).value(), 0) << minor;
        const auto lines = m_capture->takeNarrow();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_NE(lines[0].find("CPlatformType::detectWinNTSP - CSDVersion registry key is empty"),
                  std::string::npos);
        EXPECT_NE(lines[1].find("zyk_assert --- ["), std::string::npos);
    }
}

// A missing key says no more than a missing value: the base type stays (an
// XP system must not be taken for 2000 and refused at start-up).
TEST_F(PlatformDetection, MissingCurrentVersionKeyKeepsTheBaseType) {
    setCsdVersion(std::nullopt, false);
    EXPECT_EQ(CPlatformType(nt(5, 0), *m_hive).value(), 6);
    EXPECT_EQ(CPlatformType(nt(5, 1), *m_hive).value(), 10);
    // A value of another type is no text either.
    ASSERT_TRUE(m_hive
                    ->writeValue(port::HiveRoot::LocalMachine, CURRENT_VERSION, u"CSDVersion",
                                 port::HiveValue::ofDword(3))
                    .ok());
    EXPECT_EQ(CPlatformType(nt(5, 0), *m_hive).value(), 6);
}

TEST_F(PlatformDetection, FixedTypeOfATestIdentityWinsOverTheRecord) {
    setCsdVersion(u"Service Pack 4");
    port::OsIdentity id = nt(5, 0);
    id.platformType = 3;
    EXPECT_EQ(CPlatformType(id, *m_hive).value(), 3);
}

TEST_F(PlatformDetection, FactoryClassifiesAndReadsTheMachineFacts) {
    setCsdVersion(u"Service Pack 3");
    port::OsIdentity id = nt(5, 0);
    id.systemVolumeWritable = true;
    id.wow64 = true;
    {
        CPlatformFactory f(id, 0, *m_hive);
        EXPECT_EQ(f.platformType(), 7);
        EXPECT_FALSE(f.isIBMLaptop());
        EXPECT_TRUE(f.isWow64());
        EXPECT_EQ(f.checkPlatform(), STATUS_OS_NOT_SUPPORTED);
        const auto lines = m_capture->takeNarrow();
        EXPECT_TRUE(containsLine(lines, "UserPrivileges are set to S[1] D[1] O[1] W[1] F[1]"));
        EXPECT_TRUE(containsLine(lines, "Platform Type: 7"));
        EXPECT_FALSE(containsLine(lines, "IBM Laptop"));
    }
    for (const char16_t* key : {u"SOFTWARE\\IBM\\QConnect", u"software\\ibm\\TPHOTKEY\\Sub"}) {
        m_hive->deleteKey(port::HiveRoot::LocalMachine, u"SOFTWARE\\IBM", true);  // may be absent
        ASSERT_TRUE(m_hive->createKey(port::HiveRoot::LocalMachine, key).ok());
        CPlatformFactory f(port::OsIdentity{}, 0, *m_hive);
        EXPECT_TRUE(f.isIBMLaptop());
        EXPECT_FALSE(f.isWow64());
        EXPECT_TRUE(containsLine(m_capture->takeNarrow(), "The Current Machine Is IBM Laptop"));
    }
}

TEST_F(PlatformDetection, StartupCheckPassesWhenTheSystemDirectoryIsUnknown) {
    port::OsIdentity id;
    id.platformType = 8;
    id.usbStorageDriverVersion = u"5.0.2195.4455";
    EXPECT_EQ(CPlatformFactory::checkPlatform(id), STATUS_STORAGE_DRIVER_TOO_OLD);
    id.systemDirectory.reset();
    EXPECT_EQ(CPlatformFactory::checkPlatform(id), STATUS_OK);
    EXPECT_EQ(CPlatformFactory(id, 0, *m_hive).checkPlatform(), STATUS_OK);
    // Below type 8 the system directory does not matter.
    id.platformType = 7;
    EXPECT_EQ(CPlatformFactory::checkPlatform(id), STATUS_OS_NOT_SUPPORTED);
}

// The start-up check of SDK::init classifies the record with the process
// hive: an XP SP2 record read from $QZ_HKLM_HIVE passes, SP1 needs the
// storage driver.
TEST_F(PlatformDetection, StaticStartupCheckReadsTheProcessHive) {
    const fs::path hklm = m_dir / "process-hklm.reg";
    writeFile(hklm,
              "[SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\n"
              "\"CSDVersion\"=\"Service Pack 2\"\n");
    nork::testing::ScopedEnv hive("QZ_HKLM_HIVE", hklm.string());
    EXPECT_EQ(CPlatformFactory::checkPlatform(nt(5, 1)), STATUS_OK);
    writeFile(hklm,
              "[SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\n"
              "\"CSDVersion\"=\"Service Pack 1\"\n");
    EXPECT_EQ(CPlatformFactory::checkPlatform(nt(5, 1)), STATUS_STORAGE_DRIVER_TOO_OLD);
}

TEST_F(PlatformDetection, LinuxDefaultIdentityIsTheNewestType) {
    port::resetOsIdentity();
    const port::OsIdentity detected = port::osIdentity();
    EXPECT_FALSE(detected.platformType.has_value());
    EXPECT_EQ(detected.version.source, Record::Source::Extended);
    EXPECT_EQ(detected.version.platformId, Record::PLATFORM_WIN32_NT);
    EXPECT_EQ(detected.version.majorVersion, 6u);
    EXPECT_FALSE(detected.wow64);
    EXPECT_TRUE(detected.usbStorageDriverVersion.empty());
    EXPECT_FALSE(detected.systemVolumeWritable.has_value());
    EXPECT_EQ(CPlatformType(detected, *m_hive).value(), 12);
    EXPECT_EQ(CPlatformFactory::checkPlatform(detected), STATUS_OK);
}

// The probe over a fake /dev: any sg* or sd* entry that opens read-write
// grants; directories and other names do not count.
class PrivilegeProbe : public ::testing::Test {
  protected:
    void SetUp() override { m_dev = freshTestDir() / "dev"; }
    void node(const std::string& name,
              fs::perms perms = fs::perms::owner_read | fs::perms::owner_write) {
        writeFile(m_dev / name, "");
        fs::permissions(m_dev / name, perms);
    }
    // Whether this process is subject to file permissions at all (root is
    // not), judged by a file it may not read.
    bool permissionsEnforced() {
        const fs::path probe = m_dev / "locked";
        writeFile(probe, "x");
        fs::permissions(probe, fs::perms::none);
        std::ifstream in(probe);
        const bool enforced = !in.is_open();
        fs::remove(probe);
        return enforced;
    }
    fs::path m_dev;
};

TEST_F(PrivilegeProbe, GrantsOnlyForAnAccessibleScsiNode) {
    EXPECT_FALSE(port::canOpenSystemVolumeReadWrite((m_dev / "missing").string()));
    fs::create_directories(m_dev);
    EXPECT_FALSE(port::canOpenSystemVolumeReadWrite(m_dev.string()));

    node("sr0");
    node("sg");  // the bare prefix is not a node name
    node("tty0");
    fs::create_directories(m_dev / "sda-dir");
    fs::create_directories(m_dev / "sg1");
    EXPECT_FALSE(port::canOpenSystemVolumeReadWrite(m_dev.string()));

    node("sdb1");
    EXPECT_TRUE(port::canOpenSystemVolumeReadWrite(m_dev.string()));
    fs::remove(m_dev / "sdb1");
    node("sg0");
    EXPECT_TRUE(port::canOpenSystemVolumeReadWrite(m_dev.string()));
}

TEST_F(PrivilegeProbe, ReadOnlyNodesDoNotGrant) {
    fs::create_directories(m_dev);
    if (!permissionsEnforced())
        GTEST_SKIP() << "file permissions are not enforced for this user (root)";
    node("sg0", fs::perms::owner_read | fs::perms::group_read);
    node("sda", fs::perms::owner_write);
    EXPECT_FALSE(port::canOpenSystemVolumeReadWrite(m_dev.string()));
    node("sg1");
    EXPECT_TRUE(port::canOpenSystemVolumeReadWrite(m_dev.string()));
}

}  // namespace
}  // namespace nork
