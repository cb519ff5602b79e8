// Service discovery against a real qzemud: a connected Qz drive gets one
// implementation per service it lists, and the descriptor queries read the
// drive's own descriptors.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "DeviceHandle.h"
#include "DeviceManager.h"
#include "DeviceParams.h"
#include "E2eSupport.h"
#include "UFDImpl.h"
#include "VendorIdentifier.h"
#include "qz/ServiceDiscoveryImpl.h"

namespace qzemu::e2e {
namespace {

using nork::CDeviceParams;
using nork::STATUS_OK;
using nork::qz::CServiceDiscoveryImpl;
using nork::qz::DiscoveredService;

std::u16string u16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

class ServiceDiscoveryE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        rig = std::make_unique<SocketRig>(scratch.path());
        ASSERT_TRUE(rig->ready());
    }

    // A drive with the given firmware, validated and connected.
    nork::CUFDImpl* connect(const std::string& serial, const std::string& firmware,
                            const std::string& services = "") {
        emu::DriveConfig config = smallDrive(serial);
        config.firmware = firmware;
        config.services = services;
        rig->create(config);
        CDeviceParams params;
        params.setPath(CDeviceParams::PATH_DISK, u16(emu::makeDevicePath(serial, 0)));
        params.setFlags(CDeviceParams::FLAG_NON_ADMIN_PATH);
        nork::CDeviceHandle handle(&params);
        EXPECT_EQ(nork::CVendorIdentifier::instance().identify(handle, params), 0);
        EXPECT_EQ(manager.deviceConnected(params), 1);
        return manager.getCUFD(u16(serial)).impl();
    }

    std::shared_ptr<CServiceDiscoveryImpl> discovery(nork::CUFDImpl& device) {
        return std::dynamic_pointer_cast<CServiceDiscoveryImpl>(device.getService(3));
    }

    ScratchDir scratch;
    std::unique_ptr<SocketRig> rig;
    nork::CDeviceManager manager;
};

TEST_F(ServiceDiscoveryE2e, EveryListedServiceIsRegisteredUnderItsKey) {
    nork::CUFDImpl* device = connect("QE00D15C00000001", "6.520");
    ASSERT_NE(device, nullptr);
    auto keys = device->serviceKeys();
    std::sort(keys.begin(), keys.end());
    const std::vector<std::string> expected = {
        "Service ID = 0x13", "Service ID = 0x14", "Service ID = 0x3", "Service ID = 0x32",
        "Service ID = 0x4",  "Service ID = 0x6",  "Service ID = 0x8", "Service ID = 0xa",
        "Service ID = 0xc",  "Service ID = 0xe"};
    EXPECT_EQ(keys, expected);
    auto cookies = std::dynamic_pointer_cast<nork::CServiceImpl>(device->getService(8));
    ASSERT_TRUE(cookies);
    EXPECT_EQ(cookies->version(), 2);
    // Direct communication is not listed by the drive: version 0.
    auto direct = std::dynamic_pointer_cast<nork::CServiceImpl>(device->getService(50));
    ASSERT_TRUE(direct);
    EXPECT_EQ(direct->version(), 0);
}

TEST_F(ServiceDiscoveryE2e, ADriveWithOtherServicesGetsThoseImplementations) {
    nork::CUFDImpl* device = connect("QE00D15C00000007", "6.520", "3:2,4:1,8:3,20:1,50:1,77:4");
    ASSERT_NE(device, nullptr);
    auto keys = device->serviceKeys();
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"Service ID = 0x14", "Service ID = 0x3",
                                              "Service ID = 0x32", "Service ID = 0x4",
                                              "Service ID = 0x4d", "Service ID = 0x8"}));
    EXPECT_EQ(device->getService(6), nullptr);
    auto cookies = std::dynamic_pointer_cast<nork::CServiceImpl>(device->getService(8));
    ASSERT_TRUE(cookies);
    EXPECT_EQ(cookies->version(), 3);
    auto discovery = std::dynamic_pointer_cast<nork::CServiceImpl>(device->getService(3));
    ASSERT_TRUE(discovery);
    EXPECT_EQ(discovery->version(), 2);
}

TEST_F(ServiceDiscoveryE2e, WithoutTheDiscoveryServiceNothingIsRegistered) {
    nork::CUFDImpl* device = connect("QE00D15C00000008", "6.520", "4:1,8:2");
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->serviceKeys().empty());
}

TEST_F(ServiceDiscoveryE2e, FirmwareSixSixAddsTheFipsService) {
    struct Case {
        const char* serial;
        const char* firmware;
        bool fips;
    } cases[] = {
        {"QE00D15C00000002", "6.61", true},
        {"QE00D15C00000003", "6.60a", true},
        {"QE00D15C00000004", "6.70", false},
        {"QE00D15C00000005", "6.59", false},
    };
    for (const auto& c : cases) {
        nork::CUFDImpl* device = connect(c.serial, c.firmware);
        ASSERT_NE(device, nullptr);
        std::vector<DiscoveredService> services;
        ASSERT_EQ(discovery(*device)->copyServices(services), STATUS_OK);
        const bool listed =
            std::find(services.begin(), services.end(), DiscoveredService{26, 1}) != services.end();
        EXPECT_EQ(listed, c.fips) << c.firmware;
        EXPECT_EQ(device->getService(26) != nullptr, c.fips) << c.firmware;
    }
}

TEST_F(ServiceDiscoveryE2e, DescriptorQueriesAndDeviceInformation) {
    nork::CUFDImpl* device = connect("QE00D15C00000006", "6.520");
    ASSERT_NE(device, nullptr);
    auto sd = discovery(*device);
    ASSERT_TRUE(sd);

    // A caller buffer of 4 bytes gets the start of an 11-byte descriptor.
    std::uint8_t small[4] = {};
    std::uint32_t length = 0;
    ASSERT_EQ(sd->getServiceDescriptor(4, small, sizeof small, length, false), STATUS_OK);
    EXPECT_EQ(length, 11u);
    EXPECT_EQ(small[0], 4);
    EXPECT_EQ(small[2], 1);

    // Service 6 has a 6-byte descriptor: no root-specific fields.
    std::uint8_t fields[16] = {};
    ASSERT_EQ(sd->getServiceRootSpecificFields(6, fields, sizeof fields, length), STATUS_OK);
    EXPECT_EQ(length, 0u);
    ASSERT_EQ(sd->getServiceRootSpecificFields(4, fields, sizeof fields, length), STATUS_OK);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(fields[0], 5);

    // An absent service is refused by the drive.
    EXPECT_EQ(sd->getServiceDescriptor(7, small, sizeof small, length, false),
              nork::STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(sd->getServiceDescriptor(4, nullptr, 4, length, false),
              nork::STATUS_WRONG_PARAMETERS);

    nork::qz::DeviceInfo info;
    ASSERT_EQ(sd->getDeviceInfo(info), STATUS_OK);
    EXPECT_EQ(info.capacitySectors, 20000u);
    // The emulator's vendor id is the one whose identifier is built from the
    // serial number and the USB identifiers.
    EXPECT_EQ(std::string(info.deviceId.begin(), info.deviceId.begin() + 16), "QE00D15C00000006");
}

}  // namespace
}  // namespace qzemu::e2e
