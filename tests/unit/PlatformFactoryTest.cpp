#include <gtest/gtest.h>

#include <array>
#include <optional>

#include "LogCapture.h"
#include "PlatformFactory.h"
#include "SCSIExec.h"
#include "SdkSettings.h"
#include "SdkTestSupport.h"
#include "port/OsIdentity.h"

namespace nork {
namespace {

port::OsIdentity identity(int type, bool volumeWritable = false,
                          std::u16string driverVersion = u"") {
    port::OsIdentity id;
    id.platformType = type;
    id.systemVolumeWritable = volumeWritable;
    id.usbStorageDriverVersion = std::move(driverVersion);
    return id;
}

std::array<bool, 6> privileges(const CPlatformFactory& f) {
    std::array<bool, 6> p{};
    for (int i = 0; i < 6; ++i)
        p[i] = f.privilege(i);
    return p;
}

TEST(PlatformFactory, PrivilegesByTypeVolumeAccessAndForcedHid) {
    struct Case {
        const char* name;
        port::OsIdentity id;
        std::uint32_t settings;
        std::array<bool, 6> expected;  // S D O W F disable/enable
    };
    const std::uint32_t force = FORCE_HID_USAGE;
    const Case cases[] = {
        {"newest type", identity(12), 0, {1, 1, 1, 0, 1, 1}},
        {"newest type, forced HID", identity(12, true), force, {0, 0, 0, 0, 0, 0}},
        {"older type, volume opens", identity(8, true), 0, {1, 1, 1, 1, 1, 1}},
        {"older type, volume refused", identity(11, false), 0, {0, 0, 0, 0, 0, 0}},
        {"older type, admin but forced HID", identity(10, true), force | 0x400, {0, 0, 0, 0, 0, 0}},
        {"other bits do not force", identity(12), 0x400, {1, 1, 1, 0, 1, 1}},
    };
    for (const auto& c : cases) {
        CPlatformFactory f(c.id, c.settings);
        EXPECT_EQ(privileges(f), c.expected) << c.name;
        EXPECT_FALSE(f.privilege(-1)) << c.name;
        EXPECT_FALSE(f.privilege(6)) << c.name;
    }
}

TEST(PlatformFactory, StartupCheckComparesTheDriverVersionAsText) {
    struct Case {
        int type;
        const char16_t* version;
        STATUS expected;
    };
    const Case cases[] = {
        {0, u"", STATUS_OS_NOT_SUPPORTED},
        {4, u"", STATUS_OS_NOT_SUPPORTED},
        {7, u"9.9.9.9", STATUS_OS_NOT_SUPPORTED},
        {9, u"", STATUS_OK},
        {11, u"", STATUS_OK},
        {12, u"", STATUS_OK},
        {8, u"5.0.2195.4456", STATUS_OK},
        {8, u"5.0.2195.4455", STATUS_STORAGE_DRIVER_TOO_OLD},
        {8, u"5.1.2600.0", STATUS_OK},
        {8, u"5.0.2195.10000", STATUS_STORAGE_DRIVER_TOO_OLD},
        {10, u"5.0.2195.445", STATUS_STORAGE_DRIVER_TOO_OLD},  // shorter equal prefix
        {10, u"", STATUS_STORAGE_DRIVER_TOO_OLD},              // unreadable version
        {10, u"6", STATUS_OK},
    };
    for (const auto& c : cases) {
        CPlatformFactory f(identity(c.type, false, c.version), 0);
        EXPECT_EQ(f.checkPlatform(), c.expected) << "type " << c.type << ", case " << (&c - cases);
    }
}

TEST(PlatformFactory, DerivedPlatformTests) {
    const bool counting[13] = {0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1, 1, 1};
    const bool hidNotes[13] = {1, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1};
    for (int type = 0; type <= 12; ++type) {
        CPlatformFactory f(identity(type), 0);
        EXPECT_EQ(f.platformType(), type);
        EXPECT_EQ(f.isEventCountingPlatform(), counting[type]) << type;
        EXPECT_EQ(f.hasHidNotifications(), hidNotes[type]) << type;
    }
}

TEST(PlatformFactory, ScsiExecutorFollowsThePlatformAndIsMadeOnce) {
    for (int type = 0; type <= 12; ++type) {
        CPlatformFactory f(identity(type), 0);
        CSCSIExec& exec = f.scsiExecutor();
        EXPECT_EQ(&exec, &f.scsiExecutor()) << type;
        if (type == 2 || type == 3) {
            EXPECT_NE(dynamic_cast<CSCSIExecWin98*>(&exec), nullptr) << type;
        } else if (type == 4) {
            auto* me = dynamic_cast<CSCSIExecWinMe*>(&exec);
            ASSERT_NE(me, nullptr);
            EXPECT_FALSE(me->isAvailable());
        } else {
            EXPECT_NE(dynamic_cast<CSCSIExecWin2k*>(&exec), nullptr) << type;
        }
    }
}

TEST(PlatformFactory, DefaultConstructionReadsThePortAndTheSettingsWord) {
    port::setOsIdentity(identity(8, true, u"5.1.2600.0"));
    std::optional<testing::ScopedSdkSettings> settings;
    settings.emplace(FORCE_HID_USAGE);
    CPlatformFactory forced;
    settings.emplace(0);
    CPlatformFactory plain;
    settings.reset();
    port::resetOsIdentity();

    EXPECT_EQ(forced.platformType(), 8);
    EXPECT_EQ(privileges(forced), (std::array<bool, 6>{}));
    EXPECT_EQ(privileges(plain), (std::array<bool, 6>{1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(plain.checkPlatform(), STATUS_OK);
}

// Without a test's answer the older types ask the system's probe; the
// newest type and forced HID never depend on it.
TEST(PlatformFactory, OlderTypesTakeThePrivilegesFromTheProbe) {
    port::OsIdentity id;
    id.platformType = 10;
    const bool granted = port::canOpenSystemVolumeReadWrite();
    CPlatformFactory f(id, 0);
    for (int i = 0; i < CPlatformFactory::PRIVILEGE_COUNT; ++i)
        EXPECT_EQ(f.privilege(i), granted) << i;
}

TEST(PlatformFactory, ForcedHidIsLoggedBeforeThePrivileges) {
    static auto capture = nork::testing::LogCapture::onProcessLog("PlatformFactory.capture");
    capture->take();
    CPlatformFactory f(identity(12), FORCE_HID_USAGE);
    const auto lines = capture->takeNarrow();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("Going to run as FORCE_HID_USAGE"), std::string::npos);
    EXPECT_NE(lines[1].find("UserPrivileges are set to S[0] D[0] O[0] W[0] F[0]"),
              std::string::npos);
    EXPECT_NE(lines[2].find("Platform Type: 12"), std::string::npos);
}

// No device tree answers yet, so disable/enable fail with or without the
// privilege; the product id is never compared.
TEST(PlatformFactory, DisableAndEnableFailWithoutAMatchingDevice) {
    for (std::uint32_t settings : {0u, FORCE_HID_USAGE}) {
        CPlatformFactory f(identity(12), settings);
        EXPECT_EQ(f.disableDevice(0x1234, 0x5678, u"SER1"), CPlatformFactory::DEVICE_CHANGE_FAILED);
        EXPECT_EQ(f.enableDevice(0x1234, 0, u"SER1"), CPlatformFactory::DEVICE_CHANGE_FAILED);
    }
}

}  // namespace
}  // namespace nork
