// A Qz detach/attach reconnection against a real qzemud: the command goes
// through the library's executor to the virtual drive, which leaves the bus
// and comes back; the arrival machinery's part (telling the manager about
// the departure and the arrivals) is played by the test from what the
// daemon reports.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "../unit/ReconnectTestSupport.h"
#include "DeviceHandle.h"
#include "DevicePoll.h"
#include "E2eSupport.h"
#include "SCSICommand.h"
#include "SCSIExec.h"
#include "TransparentReconnect.h"
#include "UFDImpl.h"
#include "VendorTraits.h"
#include "WindowCloser.h"
#include "ZykEvent.h"

namespace qzemu::e2e {
namespace {

using nork::CDeviceParams;

std::u16string u16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

class ReconnectE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        nork::CWindowCloser::instance().setSettleDelay(0ms);
        rig = std::make_unique<SocketRig>(scratch.path());
        ASSERT_TRUE(rig->ready());
        serial = rig->create(smallDrive("QE00RECONN000001"));
        ASSERT_FALSE(serial.empty());
        // Away long enough to be seen away.
        rig->fault({serial, emu::FaultKind::ReattachDelay, 0, 300, true});
        device.setSerialNumber(u16(serial));
        device.setTraits(&traits);
        device.setDriveMask(0x30);  // the CD and the public domain
        device.setPath(CDeviceParams::PATH_DISK, u16(emu::makeDevicePath(serial, 1)));
        window = std::make_unique<nork::testing::WindowThread>(
            u"sdk window",
            [](nork::port::HWND, std::uint32_t message, std::uintptr_t, std::intptr_t)
                -> std::intptr_t { return message == nork::WM_SDK_BROADCAST_REQUEST ? 1 : 0; });
        nork::setSdkWindow(window->hwnd());
    }
    void TearDown() override {
        EXPECT_TRUE(manager().waitIdle(30s));
        nork::setSdkWindow(nork::port::HWND_NONE);
    }

    static nork::CTransparentReconnectionsManager& manager() {
        return nork::CTransparentReconnectionsManager::instance();
    }

    std::unique_ptr<nork::CTransparentReconnect> detachAttach(nork::CStatusCallback* callback,
                                                              int timeoutSeconds) {
        nork::ReconnectArgs args;
        args.handle = std::make_unique<nork::CDeviceHandle>(&device);
        args.timeoutSeconds = timeoutSeconds;
        args.commandFlag = true;
        args.disconnectOnFailure = true;
        args.callback = callback;
        return std::make_unique<nork::CQzTransparentReconnectDetachAttach>(device, std::move(args));
    }

    CDeviceParams unitEvent(std::uint8_t lun, std::uint32_t mask) {
        CDeviceParams p;
        p.setSerialNumber(u16(serial));
        p.setDriveMask(mask);
        p.setFlags(0x01);
        p.setPath(CDeviceParams::PATH_DISK, u16(emu::makeDevicePath(serial, lun)));
        return p;
    }

    ScratchDir scratch;
    std::unique_ptr<SocketRig> rig;
    std::string serial;
    nork::CVendorDeviceTraitsQz traits;
    nork::CUFDImpl device;
    std::unique_ptr<nork::testing::WindowThread> window;
};

TEST_F(ReconnectE2e, DetachAttachCompletesWhenBothUnitsReturn) {
    nork::testing::RecordingCallback callback;
    ASSERT_TRUE(manager().Register(detachAttach(&callback, 20), device.serialNumber(), false));

    ASSERT_TRUE(rig->waitForBus(serial, emu::Bus::Detached));
    EXPECT_TRUE(manager().DeviceDisconnected(device.serialNumber(), unitEvent(1, 0x30)));
    ASSERT_TRUE(rig->waitForBus(serial, emu::Bus::Attached));
    int event = 0;
    CDeviceParams cd = unitEvent(0, 0x40);
    CDeviceParams pub = unitEvent(1, 0x80);
    EXPECT_TRUE(manager().DeviceConnected(cd, event, nork::tickCount()));
    EXPECT_EQ(event, 0);
    EXPECT_TRUE(manager().DeviceConnected(pub, event, nork::tickCount()));
    EXPECT_EQ(event, nork::CZykEvent::TR_QZ_DETACH_ATTACH);

    ASSERT_TRUE(callback.waitCall(20s));
    EXPECT_FALSE(callback.error);
    EXPECT_EQ(rig->inspect(serial).lastDetachAttach, (std::array<std::uint32_t, 3>{80, 40000, 1}));
    EXPECT_EQ(device.driveMask(), 0xC0u);
    // The device object now leads to the returned drive.
    nork::CDeviceHandle handle(&device);
    nork::CSCSIInquiryCommand inquiry;
    nork::CSCSIExecWin2k scsi;
    EXPECT_TRUE(scsi(handle, inquiry));
    EXPECT_EQ(inquiry.vendor(), "Corvane ");
}

TEST_F(ReconnectE2e, ADriveThatNeverReturnsTimesOut) {
    rig->fault({serial, emu::FaultKind::NeverReattach, 0, 0, true});
    nork::testing::RecordingCallback callback;
    EXPECT_FALSE(manager().Register(detachAttach(&callback, 2), device.serialNumber(), true));
    EXPECT_TRUE(callback.error);
    EXPECT_EQ(callback.status, nork::STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(callback.message, u"Device didn't reconnect after detaching");
    EXPECT_EQ(rig->inspect(serial).bus, emu::Bus::Detached);
    EXPECT_FALSE(manager().isRegistered(device.serialNumber()));
}

}  // namespace
}  // namespace qzemu::e2e
