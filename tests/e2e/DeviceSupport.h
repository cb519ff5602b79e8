// Library-side helpers of the end-to-end tests: an emulated drive's device
// object made as the device manager makes it for an arriving drive, and a
// fixture of a daemon with such drives and their hidden-area images.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "DeviceHandle.h"
#include "DeviceManager.h"
#include "DeviceParams.h"
#include "E2eSupport.h"
#include "HATestSupport.h"
#include "UFD.h"
#include "UFDImpl.h"
#include "VendorIdentifier.h"
#include "model/HiddenArea.h"
#include "port/emu/EmuDeviceBackend.h"

namespace qzemu::e2e {

// The drive's device object: identified by its disk path (vendor traits,
// discovered services) and entered in `manager`; null when it is not.
inline nork::CUFDImpl* connectEmulatedDrive(nork::CDeviceManager& manager,
                                            const std::string& serial) {
    const auto wide = [](const std::string& s) { return std::u16string(s.begin(), s.end()); };
    nork::CDeviceParams params;
    params.setPath(nork::CDeviceParams::PATH_DISK,
                   wide(nork::port::emu::makeDevicePath(serial, 0)));
    params.setFlags(nork::CDeviceParams::FLAG_NON_ADMIN_PATH);
    nork::CDeviceHandle handle(&params);
    EXPECT_EQ(nork::CVendorIdentifier::instance().identify(handle, params), 0) << serial;
    EXPECT_EQ(manager.deviceConnected(params), 1) << serial;
    return manager.getCUFD(wide(serial)).impl();
}

// A daemon of the test's own and a device manager that takes its drives.
class DaemonDriveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        rig = std::make_unique<SocketRig>(scratch.path());
        ASSERT_TRUE(rig->ready());
    }

    // Makes a small drive (services and hidden pages as given, else the
    // drive's defaults) and connects it.
    nork::CUFDImpl* connect(const std::string& serial, const std::string& services = "",
                            std::uint16_t pages = 0) {
        emu::DriveConfig config = smallDrive(serial);
        config.services = services;
        config.hiddenPages = pages;
        rig->create(config);
        return connectEmulatedDrive(manager, serial);
    }

    // The drive's hidden pages as they lie in its state directory.
    nork::test::HAPages pagesOf(const std::string& serial) {
        return nork::test::readHAImage(
            (fs::path(rig->inspect(serial).stateDir) / HIDDEN_FILE_NAME).string());
    }

    ScratchDir scratch;
    std::unique_ptr<SocketRig> rig;
    nork::CDeviceManager manager;
};

}  // namespace qzemu::e2e
