// Private commands over the HID transport against a real qzemud: the same
// answers as over SCSI, the composite switch and HID reset sequences, and
// commands from two processes to one drive that never interleave.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "E2eSupport.h"
#include "HIDHandleMgr.h"
#include "HidReset.h"
#include "PrivateExec.h"
#include "RuntimeTestSupport.h"
#include "VendorTraits.h"
#include "port/HidDevice.h"
#include "port/NamedMutex.h"
#include "port/emu/EmuHidBackend.h"
#include "qz/DriveProtocol.h"
#include "qz/QzCommands.h"

namespace qzemu::e2e {
namespace {

using nork::CDeviceHandle;
using nork::CDeviceParams;
namespace qzc = nork::qz;

constexpr char SERIAL[] = "QE00E2EHID000001";

std::u16string u16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

class HidE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        rig = std::make_unique<SocketRig>(scratch.path());
        ASSERT_TRUE(rig->ready());
        std::shared_ptr<nork::port::IDeviceBackend> device;
        auto hid = emu::makeEmulatorHidBackend(rig->daemon().socket(), device);
        nork::port::registerHidBackend(device, hid);
        nork::CHIDHandleMgr::instance().setLockDirectory((scratch.path() / "locks").string());

        ASSERT_EQ(rig->create(smallDrive(SERIAL)), SERIAL);
        for (CDeviceParams* p : {&hidParams, &diskParams}) {
            p->setSerialNumber(u16(SERIAL));
            p->setTraits(&traits);
        }
        hidParams.setPath(CDeviceParams::PATH_HID, u16(emu::makeHidPath(SERIAL)));
        diskParams.setPath(CDeviceParams::PATH_DISK, u16(emu::makeDevicePath(SERIAL, 1)));
    }
    void TearDown() override { nork::CHIDHandleMgr::instance().closeAll(); }

    emu::UsbMode usbMode(emu::UsbMode set = emu::UsbMode::Query) {
        emu::UsbMode now = emu::UsbMode::Query;
        EXPECT_TRUE(rig->client().usbMode(SERIAL, set, now).ok());
        return now;
    }

    bool overHid(nork::CPrivateCommand& command) {
        CDeviceHandle handle(&hidParams);
        return nork::CPrivateExecHID().execute(handle, command);
    }
    bool overScsi(nork::CPrivateCommand& command) {
        CDeviceHandle handle(&diskParams);
        return nork::CPrivateExecSCSI()(handle, command);
    }

    ScratchDir scratch;
    std::unique_ptr<SocketRig> rig;
    nork::CVendorDeviceTraitsQz traits;
    CDeviceParams hidParams;
    CDeviceParams diskParams;
};

TEST_F(HidE2e, PrivateCommandsAnswerAsOverScsi) {
    usbMode(emu::UsbMode::Composite);
    qzc::CQz_AUX_GetFwVersion_Cmd hidFw, scsiFw;
    ASSERT_TRUE(overHid(hidFw));
    ASSERT_TRUE(overScsi(scsiFw));
    EXPECT_EQ(hidFw.versionText(), "7.013");
    EXPECT_EQ(hidFw.versionText(), scsiFw.versionText());

    // A refused command leaves the same error code on either transport.
    for (bool hid : {true, false}) {
        nork::CQzPrivateCommand unknown(0, 0x0066, nork::SCSI_DIR_NONE);
        EXPECT_FALSE(hid ? overHid(unknown) : overScsi(unknown));
        qzc::CQz_AUX_GetErrorCode_Cmd error;
        ASSERT_TRUE(hid ? overHid(error) : overScsi(error));
        EXPECT_EQ(error.errorCode(), 0x00660001u) << (hid ? "hid" : "scsi");
    }
}

TEST_F(HidE2e, DiskOnlyDriveHasNoHidInterfaceUntilSwitched) {
    EXPECT_EQ(usbMode(), emu::UsbMode::DiskOnly);
    qzc::CQz_AUX_GetFwVersion_Cmd fw;
    EXPECT_FALSE(overHid(fw));
    nork::CHIDHandleMgr::instance().closeAll();

    // Away long enough to be seen leaving.
    rig->fault(emu::FaultRequest{SERIAL, emu::FaultKind::ReattachDelay, 0, 500, true});
    const std::string diskPath = emu::makeDevicePath(SERIAL, 1);
    EXPECT_FALSE(nork::qzCompSwitchTrigger(u"OTHER", diskPath));  // not this drive
    EXPECT_TRUE(nork::qzCompSwitchTrigger(u16(SERIAL), diskPath));
    EXPECT_EQ(usbMode(), emu::UsbMode::Composite);
    ASSERT_TRUE(rig->waitForBus(SERIAL, emu::Bus::Detached));
    ASSERT_TRUE(rig->waitForBus(SERIAL, emu::Bus::Attached));

    qzc::CQz_AUX_GetFwVersion_Cmd again;
    EXPECT_TRUE(overHid(again));
    EXPECT_TRUE(nork::qzHidReset(u16(SERIAL), emu::makeHidPath(SERIAL)));
}

TEST_F(HidE2e, WrongEchoFailsAndSilentDriveTimesOut) {
    usbMode(emu::UsbMode::Composite);
    emu::FaultRequest fault{SERIAL, emu::FaultKind::HidWrongEcho, 0, 0, true};
    rig->fault(fault);
    qzc::CQz_AUX_GetFwVersion_Cmd fw;
    EXPECT_FALSE(overHid(fw));

    rig->fault(emu::FaultRequest{SERIAL, emu::FaultKind::Clear, 0, 0, false});
    rig->fault(emu::FaultRequest{SERIAL, emu::FaultKind::HidSilent, 0, 0, true});
    nork::CQzPrivateCommand silent(0, 0x0102, nork::SCSI_DIR_NONE, nork::SCSI_LUN_HANDLE, 200);
    EXPECT_FALSE(overHid(silent));

    // Once the fault is gone the interface answers again (the reset cleared it).
    rig->fault(emu::FaultRequest{SERIAL, emu::FaultKind::Clear, 0, 0, false});
    qzc::CQz_AUX_GetFwVersion_Cmd after;
    EXPECT_TRUE(overHid(after));
    EXPECT_EQ(after.versionText(), "7.013");
}

TEST_F(HidE2e, TwoProcessesNeverInterleave) {
    if (nork::testing::rerunAloneUnlessSingleThreaded())
        return;
    usbMode(emu::UsbMode::Composite);
    // Both processes alternate commands whose answers differ in size; an
    // interleaved report stream would hand one the other's answer.
    auto worker = [this] {
        int failures = 0;
        for (int i = 0; i < 15; ++i) {
            qzc::CQz_AUX_GetFwVersion_Cmd fw;
            if (!overHid(fw) || fw.versionText() != "7.013")
                ++failures;
            qzc::CQz_AUX_GetErrorCode_Cmd error;
            if (!overHid(error) || error.errorCode() != 0)
                ++failures;
        }
        return failures;
    };
    std::int64_t pids[2] = {};
    for (auto& pid : pids)
        ASSERT_FALSE(nork::port::startChildProcess(worker, false, pid));
    for (auto pid : pids) {
        int code = -1;
        ASSERT_FALSE(nork::port::waitChildProcess(pid, code));
        EXPECT_EQ(code, 0);
    }
}

TEST_F(HidE2e, KilledHolderDoesNotBlockTheDrive) {
    if (nork::testing::rerunAloneUnlessSingleThreaded())
        return;
    usbMode(emu::UsbMode::Composite);
    std::int64_t pid = 0;
    ASSERT_FALSE(nork::port::startChildProcess(
        [] {
            nork::port::NamedMutex* m =
                nork::CHIDHandleMgr::instance().getHidMutex(u16(SERIAL).c_str());
            if (m == nullptr || m->lock())
                return 1;
            std::raise(SIGKILL);
            return 2;
        },
        false, pid));
    int code = -1;
    ASSERT_FALSE(nork::port::waitChildProcess(pid, code));
    EXPECT_EQ(code, 128 + SIGKILL);

    qzc::CQz_AUX_GetFwVersion_Cmd fw;
    EXPECT_TRUE(overHid(fw));
}

}  // namespace
}  // namespace qzemu::e2e
