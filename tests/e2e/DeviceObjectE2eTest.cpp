// The device object against drives of a real qzemud: identification by the
// vendor traits, the firmware version through the device object, the ANY
// family's refusal of private commands, and the pool across a removal.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "DeviceHandle.h"
#include "DeviceManager.h"
#include "DeviceParams.h"
#include "DomainCommands.h"
#include "E2eSupport.h"
#include "PrivateExec.h"
#include "UFD.h"
#include "UFDImpl.h"
#include "VendorIdentifier.h"
#include "VendorTraits.h"
#include "VersionFactory.h"
#include "qz/QzCommands.h"
#include "zyk/ZykServices.h"

namespace qzemu::e2e {
namespace {

using nork::CDeviceParams;
using nork::CUFD;

std::u16string u16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

class DeviceObjectE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        rig = std::make_unique<SocketRig>(scratch.path());
        ASSERT_TRUE(rig->ready());
    }

    // The params enumeration hands over for a drive's first LUN.
    static CDeviceParams arrived(const std::string& serial) {
        CDeviceParams p;
        p.setPath(CDeviceParams::PATH_DISK, u16(emu::makeDevicePath(serial, 0)));
        p.setFlags(CDeviceParams::FLAG_NON_ADMIN_PATH);
        return p;
    }

    static int identify(CDeviceParams& params) {
        nork::CDeviceHandle handle(&params);
        return nork::CVendorIdentifier::instance().identify(handle, params);
    }

    static std::u16string version(const CUFD& ufd) {
        char16_t buffer[32] = {};
        std::uint32_t length = 32;
        EXPECT_EQ(ufd.getVersion(buffer, length), nork::STATUS_OK);
        return buffer;
    }

    ScratchDir scratch;
    std::unique_ptr<SocketRig> rig;
    nork::CDeviceManager manager;
};

TEST_F(DeviceObjectE2e, QzDriveValidatesOverScsiWithItsSerialAndFirmware) {
    const std::string serial = rig->create(smallDrive("QE00DEV000000001"));
    CDeviceParams params = arrived(serial);
    ASSERT_EQ(identify(params), 0);
    EXPECT_EQ(params.traits(), &nork::CVendorIdentifier::instance().qz());
    EXPECT_EQ(std::u16string(params.serialNumber()), u16(serial));
    EXPECT_EQ(std::u16string(params.vendorString()), u"Corvane");
    EXPECT_EQ(params.deviceState(), nork::STATUS_OK);
    EXPECT_TRUE(params.version().isZero());  // read later, through the device object

    ASSERT_EQ(manager.deviceConnected(params), 1);
    const CUFD ufd = manager.getCUFD(u16(serial));
    EXPECT_EQ(version(ufd), u"7.013");
    // Once read, the version is not asked again.
    const std::uint64_t commands = rig->inspect(serial).commandCount;
    EXPECT_EQ(version(ufd), u"7.013");
    EXPECT_EQ(rig->inspect(serial).commandCount, commands);
}

TEST_F(DeviceObjectE2e, PlainDiskIsAnyAndFailsEveryPrivateCommandWithoutIo) {
    emu::DriveConfig config = smallDrive("DISK000000000001");
    config.mode = "disk";
    const std::string serial = rig->create(config);
    CDeviceParams params = arrived(serial);
    ASSERT_EQ(identify(params), 0);
    EXPECT_EQ(params.traits(), &nork::CVendorIdentifier::instance().any());
    EXPECT_EQ(std::u16string(params.serialNumber()), u16(serial));
    ASSERT_EQ(manager.deviceConnected(params), 1);
    const CUFD ufd = manager.getCUFD(u16(serial));

    const std::uint64_t before = rig->inspect(serial).commandCount;
    // Through the executor, as every service sends them...
    nork::CDeviceHandle handle(ufd.impl());
    nork::qz::CQz_AUX_GetFwVersion_Cmd firmware;
    nork::CQzCfgGetDeviceCfgCmd layout(1);
    nork::CPrivateExec& exec = nork::CVersionFactory::instance().getPrivateExec(handle);
    EXPECT_FALSE(exec(handle, firmware));
    EXPECT_FALSE(exec(handle, layout));
    // ...and through the family's direct-communication service.
    auto direct = std::dynamic_pointer_cast<nork::CDirectCommunicationBase>(
        ufd.impl()->getService(std::uint16_t{50}));
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(direct->sendCommand(firmware), nork::STATUS_COMMUNICATION_FAILURE);
    std::uint32_t luns = 0;
    EXPECT_EQ(params.traits()->getLunsNum(*ufd.impl(), luns), nork::STATUS_ERROR);  // no letters
    EXPECT_EQ(rig->inspect(serial).commandCount, before);
}

TEST_F(DeviceObjectE2e, RemovedAndPluggedAgainIsTheSameDeviceObject) {
    const std::string serial = rig->create(smallDrive("QE00DEV000000002"));
    CDeviceParams params = arrived(serial);
    ASSERT_EQ(identify(params), 0);
    ASSERT_EQ(manager.deviceConnected(params), 1);
    const CUFD ufd = manager.getCUFD(u16(serial));
    EXPECT_EQ(ufd.impl()->deviceState(), nork::STATUS_OK);

    rig->unplug(serial);
    ASSERT_TRUE(rig->waitForBus(serial, emu::Bus::Detached));
    // Gone from the bus: the drive cannot be identified now.
    CDeviceParams absent = arrived(serial);
    EXPECT_EQ(identify(absent), 2);
    EXPECT_EQ(manager.deviceDisconnected(params), 2);
    EXPECT_EQ(ufd.impl()->deviceState(), nork::STATUS_DEVICE_NOT_CONNECTED);

    rig->plug(serial);
    ASSERT_TRUE(rig->waitForBus(serial, emu::Bus::Attached));
    CDeviceParams back = arrived(serial);
    ASSERT_EQ(identify(back), 0);
    ASSERT_EQ(manager.deviceConnected(back), 1);
    EXPECT_EQ(manager.getCUFD(u16(serial)), ufd);
    EXPECT_EQ(ufd.impl()->deviceState(), nork::STATUS_OK);
    EXPECT_EQ(version(ufd), u"7.013");
}

}  // namespace
}  // namespace qzemu::e2e
