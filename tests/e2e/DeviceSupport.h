// Library-side helpers of the end-to-end tests: an emulated drive's device
// object made as the device manager makes it for an arriving drive.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "DeviceHandle.h"
#include "DeviceManager.h"
#include "DeviceParams.h"
#include "UFD.h"
#include "UFDImpl.h"
#include "VendorIdentifier.h"
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

}  // namespace qzemu::e2e
