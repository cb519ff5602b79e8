// The device manager: one device object per serial number, kept across
// removals, merged when a drive is seen again.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "DeviceManager.h"
#include "DeviceParams.h"
#include "LogCapture.h"
#include "PlatformFactory.h"
#include "RuntimeTestSupport.h"
#include "SDK.h"
#include "SdkSettings.h"
#include "SdkTestSupport.h"
#include "Singleton.h"
#include "UFDImpl.h"
#include "VendorTraits.h"
#include "port/OsIdentity.h"

namespace nork {
namespace {

const CVendorDeviceTraitsANY kAny;

CDeviceParams drive(const char16_t* serial, std::uint32_t mask, const char16_t* path) {
    CDeviceParams p;
    p.setSerialNumber(serial);
    p.setDriveMask(mask);
    p.setPath(CDeviceParams::PATH_DISK, path);
    p.setDeviceState(STATUS_OK);
    p.setTraits(const_cast<CVendorDeviceTraitsANY*>(&kAny));
    return p;
}

TEST(DeviceManager, RemovedDriveComesBackAsTheSameObject) {
    CDeviceManager manager;
    const CDeviceParams params = drive(u"SER1", 0x10, u"/dev/sg1");

    ASSERT_EQ(manager.deviceConnected(params), CDeviceManager::CONNECT_NEW_OR_CHANGED);
    const CUFD first = manager.getCUFD(u"SER1");
    ASSERT_TRUE(first.isValid());
    EXPECT_EQ(first.impl()->deviceState(), STATUS_OK);
    EXPECT_EQ(first.impl()->serviceKeys().size(), 2u);  // registered at creation

    EXPECT_EQ(manager.deviceDisconnected(params), CDeviceManager::DISCONNECT_REMOVED);
    EXPECT_EQ(first.impl()->deviceState(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(first.impl()->driveMask(), 0u);
    EXPECT_FALSE(manager.getCUFD(u"SER1").isValid());
    EXPECT_EQ(manager.pooledCount(), 1u);
    EXPECT_EQ(manager.connectedCount(), 0u);

    ASSERT_EQ(manager.deviceConnected(params), CDeviceManager::CONNECT_NEW_OR_CHANGED);
    const CUFD again = manager.getCUFD(u"SER1");
    EXPECT_EQ(again, first);
    EXPECT_EQ(again.impl()->deviceState(), STATUS_OK);
    EXPECT_EQ(again.impl()->driveMask(), 0x10u);
    EXPECT_EQ(manager.pooledCount(), 0u);
}

TEST(DeviceManager, SeenAgainMergesOrReplaces) {
    CDeviceManager manager;
    ASSERT_EQ(manager.deviceConnected(drive(u"SER2", 0x10, u"/dev/sg1")), 1);
    CUFDImpl& device = *manager.getCUFD(u"SER2").impl();

    // Same path: letters and flags are added, the identity stays.
    CDeviceParams more = drive(u"SER2", 0x20, u"/dev/sg1");
    more.setFlags(CDeviceParams::FLAG_NON_ADMIN_PATH);
    more.setPath(CDeviceParams::PATH_HID, u"hid:SER2");
    EXPECT_EQ(manager.deviceConnected(more), CDeviceManager::CONNECT_KNOWN);
    EXPECT_EQ(device.driveMask(), 0x30u);
    EXPECT_EQ(device.flags(), CDeviceParams::FLAG_NON_ADMIN_PATH);
    EXPECT_EQ(device.storedPath(CDeviceParams::PATH_HID), u"hid:SER2");

    // Another path: the new params replace the old ones, services are
    // registered again.
    device.clearServices();
    EXPECT_EQ(manager.deviceConnected(drive(u"SER2", 0x40, u"/dev/sg7")),
              CDeviceManager::CONNECT_NEW_OR_CHANGED);
    EXPECT_EQ(manager.getCUFD(u"SER2").impl(), &device);
    EXPECT_EQ(device.driveMask(), 0x40u);
    EXPECT_EQ(device.storedPath(CDeviceParams::PATH_DISK), u"/dev/sg7");
    EXPECT_EQ(device.serviceKeys().size(), 2u);
}

TEST(DeviceManager, EmptySerialAndUnknownDrives) {
    auto log = testing::LogCapture::onProcessLog("ManagerEmptySerial");
    CDeviceManager manager;
    EXPECT_EQ(manager.deviceConnected(drive(u"", 1, u"/dev/sg1")), CDeviceManager::CONNECT_IGNORED);
    EXPECT_EQ(manager.connectedCount(), 0u);
    const auto lines = log->takeNarrow();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("[params.serialNumber() && *(params.serialNumber()) != '\\0']") !=
               std::string::npos;
    }));

    EXPECT_EQ(manager.deviceDisconnected(drive(u"NOPE", 1, u"/dev/sg1")),
              CDeviceManager::DISCONNECT_UNKNOWN);
    // Without a serial number the removed drive is found by its path.
    ASSERT_EQ(manager.deviceConnected(drive(u"SER3", 1, u"/dev/sg3")), 1);
    EXPECT_EQ(manager.deviceDisconnected(drive(u"", 1, u"/dev/sg9")),
              CDeviceManager::DISCONNECT_UNKNOWN);
    EXPECT_EQ(manager.deviceDisconnected(drive(u"", 1, u"/dev/sg3")),
              CDeviceManager::DISCONNECT_REMOVED);
}

TEST(DeviceManager, ReleasePoolDropsEverything) {
    CDeviceManager manager;
    manager.deviceConnected(drive(u"A", 1, u"/dev/sg1"));
    manager.deviceConnected(drive(u"B", 2, u"/dev/sg2"));
    manager.deviceDisconnected(drive(u"B", 2, u"/dev/sg2"));
    manager.releasePool();
    EXPECT_EQ(manager.connectedCount(), 0u);
    EXPECT_EQ(manager.pooledCount(), 0u);
}

// Without raw device access, a removal that takes away only some letters of
// a composite drive, not its first one, leaves the drive connected.
TEST(DeviceManager, PartialRemovalWithoutRawAccessIsIgnored) {
    // The platform object reads the settings word once, when it is built, and
    // stays for the process: a forced one must not reach later tests.
    if (testing::rerunAloneIf(true))
        return;
    testing::ScopedSdkSettings forced(FORCE_HID_USAGE);
    CDeviceManager manager;
    ASSERT_EQ(manager.deviceConnected(drive(u"C", 0x30, u"/dev/sg1")), 1);  // E and F
    EXPECT_EQ(manager.deviceDisconnected(drive(u"C", 0x20, u"/dev/sg1")),
              CDeviceManager::DISCONNECT_IGNORED);
    EXPECT_TRUE(manager.getCUFD(u"C").isValid());
    // Losing the first letter is a removal.
    EXPECT_EQ(manager.deviceDisconnected(drive(u"C", 0x10, u"/dev/sg1")),
              CDeviceManager::DISCONNECT_REMOVED);
}

TEST(DeviceManager, PartialRemovalWithRawAccessIsARemoval) {
    CDeviceManager manager;
    ASSERT_EQ(manager.deviceConnected(drive(u"D", 0x30, u"/dev/sg1")), 1);
    EXPECT_EQ(manager.deviceDisconnected(drive(u"D", 0x20, u"/dev/sg1")),
              CDeviceManager::DISCONNECT_REMOVED);
}

// The SDK's device manager is created by the first SDK::init and its pool
// released by the last fini.
TEST(DeviceManager, SdkOwnsTheManager) {
    std::uint32_t settings = 0;
    ASSERT_EQ(SDK::init(settings, {}), STATUS_OK);
    CDeviceManager& manager = CZykSDK::instance().deviceManager();
    manager.deviceConnected(drive(u"E", 1, u"/dev/sg1"));
    EXPECT_EQ(manager.connectedCount(), 1u);
    SDK::fini();
    EXPECT_EQ(manager.connectedCount(), 0u);
}

}  // namespace
}  // namespace nork
