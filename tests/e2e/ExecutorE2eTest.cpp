// The library's executors, unchanged, against virtual drives: through the
// daemon's socket and through the in-process emulator, behind the same
// device paths.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "DiskInterface.h"
#include "E2eSupport.h"
#include "PrivateExec.h"
#include "SCSICommand.h"
#include "SCSIExec.h"
#include "VendorTraits.h"
#include "qz/DeviceErrors.h"
#include "qz/DriveProtocol.h"
#include "qz/QzCommands.h"

namespace qzemu::e2e {
namespace {

using nork::CDeviceHandle;
using nork::CDeviceParams;
using nork::STATUS_COMMUNICATION_FAILURE;
using nork::STATUS_OK;

std::vector<std::uint8_t> pattern(std::size_t sectors, std::uint8_t seed) {
    std::vector<std::uint8_t> data(sectors * nork::proto::SECTOR_SIZE);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(seed + i * 13 + i / 512);
    return data;
}

// One drive per test, reached by the library as a host reaches a real one:
// device parameters with the emulator's path and the Qz traits, the
// platform's pass-through executor over the process's device table.
class ExecutorE2e : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        rig = makeRig(GetParam(), scratch.path());
        ASSERT_TRUE(rig->ready());
        serial = rig->create(smallDrive("QE00E2E000000001"));
        ASSERT_FALSE(serial.empty());
        publicLun.setTraits(&traits);
        publicLun.setPath(CDeviceParams::PATH_DISK, u16(emu::makeDevicePath(serial, 1)));
        cdLun.setTraits(&traits);
        cdLun.setPath(CDeviceParams::PATH_DISK, u16(emu::makeDevicePath(serial, 0)));
    }

    static std::u16string u16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

    // Runs a standard command on a handle opened for this one command.
    bool run(CDeviceParams& params, nork::CSCSICommand& cmd) {
        CDeviceHandle handle(&params);
        return scsi(handle, cmd);
    }

    std::uint32_t errorCode() {
        nork::qz::CQz_AUX_GetErrorCode_Cmd cmd;
        CDeviceHandle handle(&publicLun);
        EXPECT_TRUE(priv(handle, cmd));
        return cmd.errorCode();
    }

    bool inquiryWorks() {
        nork::CSCSIInquiryCommand inquiry;
        return run(publicLun, inquiry);
    }

    ScratchDir scratch;
    std::unique_ptr<Rig> rig;
    std::string serial;
    nork::CVendorDeviceTraitsQz traits;
    CDeviceParams publicLun, cdLun;
    nork::CSCSIExecWin2k scsi;  // over port::deviceIo()
    nork::CPrivateExecSCSI priv{scsi};
    nork::CDiskInterfaceSCSI disk{scsi};
};

TEST_P(ExecutorE2e, IdentityCommands) {
    nork::CSCSIInquiryCommand inquiry;
    ASSERT_TRUE(run(publicLun, inquiry));
    EXPECT_EQ(inquiry.vendor(), "Corvane ");
    EXPECT_EQ(inquiry.product(), "Qz Pellix Drive ");
    EXPECT_EQ(inquiry.deviceType(), nork::proto::INQUIRY_TYPE_DISK);
    nork::CSCSIInquiryCommand cdInquiry;
    ASSERT_TRUE(run(cdLun, cdInquiry));
    EXPECT_EQ(cdInquiry.deviceType(), nork::proto::INQUIRY_TYPE_CDROM);

    nork::CSCSIReadCapacityCommand capacity;
    ASSERT_TRUE(run(publicLun, capacity));
    EXPECT_EQ(capacity.sectorCount(), 20000u - 4096u);
    nork::CSCSIReadCapacityCommand cdCapacity;
    ASSERT_TRUE(run(cdLun, cdCapacity));
    EXPECT_EQ(cdCapacity.sectorCount(), 4096u);

    nork::CSCSIReportIdCommand report;
    ASSERT_TRUE(run(publicLun, report));
    EXPECT_EQ(report.vendorName(), "Qz 4");
    EXPECT_EQ(report.productName(), "Pellix");
    EXPECT_EQ(report.serialNumber(), serial);
    EXPECT_EQ(report.firmwareVersion(), "7.013");

    nork::qz::CQz_AUX_GetFwVersion_Cmd firmware;
    CDeviceHandle handle(&publicLun);
    ASSERT_TRUE(priv(handle, firmware));
    EXPECT_EQ(firmware.versionText(), "7.013");
}

TEST_P(ExecutorE2e, RequestSenseReportsAttentionOnceThenReady) {
    nork::CSCSIGetReadyCommand first;
    ASSERT_TRUE(run(publicLun, first));
    EXPECT_TRUE(first.isUnitAttention());
    nork::CSCSIGetReadyCommand second;
    ASSERT_TRUE(run(publicLun, second));
    EXPECT_TRUE(second.isReady());

    // The buffered form hands a failed command's sense to the caller.
    rig->fault({serial, emu::FaultKind::FailNext, 1, 0, false});
    nork::CSCSITestUnitReady tur;
    EXPECT_FALSE(run(publicLun, tur));
    EXPECT_EQ(tur.sense()[nork::proto::SENSE_KEY_OFFSET] & 0x0F,
              nork::proto::SENSE_KEY_HARDWARE_ERROR);
}

TEST_P(ExecutorE2e, ReadWriteRoundTripAndRefusals) {
    CDeviceHandle handle(&publicLun);
    ASSERT_NE(handle.open(), nork::port::INVALID_OS_HANDLE);
    const auto data = pattern(16, 5);
    ASSERT_EQ(disk.writeSectors(handle, data.data(), 100, 16), STATUS_OK);
    std::vector<std::uint8_t> back(data.size());
    ASSERT_EQ(disk.readSectors(handle, back.data(), 100, 16), STATUS_OK);
    EXPECT_EQ(back, data);

    // The LUN's own sectors: LBA 0 of the public LUN is not the CD's LBA 0.
    std::vector<std::uint8_t> sector(512, 0xEE);
    ASSERT_EQ(disk.readSectors(handle, sector.data(), 0, 1), STATUS_OK);
    EXPECT_EQ(sector, std::vector<std::uint8_t>(512, 0));

    // Beyond the end, and a write to the CD domain, are refused.
    EXPECT_EQ(disk.readSectors(handle, back.data(), 20000 - 4096, 1), STATUS_COMMUNICATION_FAILURE);
    CDeviceHandle cd(&cdLun);
    ASSERT_NE(cd.open(), nork::port::INVALID_OS_HANDLE);
    EXPECT_EQ(disk.writeSectors(cd, data.data(), 0, 1), STATUS_COMMUNICATION_FAILURE);
}

TEST_P(ExecutorE2e, ErrorCodeNamesTheRejectedCommand) {
    EXPECT_EQ(errorCode(), 0u);
    nork::qz::CQzCDUnlockCmd unlock;  // refused: no owner session is open
    CDeviceHandle handle(&publicLun);
    EXPECT_FALSE(priv(handle, unlock));

    const std::uint32_t code = errorCode();
    EXPECT_EQ(code >> 16, nork::proto::qzop::CD_UNLOCK);
    std::u16string text;
    nork::qz::describeCommand(code, text);
    nork::qz::describeError(code, text);
    EXPECT_EQ(text, u"Command: CD__Unlock Error code: OWNER_SECURE_SESSION_NOT_OPEN");
    EXPECT_EQ(errorCode(), 0u);  // reading clears it
}

TEST_P(ExecutorE2e, DetachAttachCycle) {
    // Away long enough to be seen away.
    rig->fault({serial, emu::FaultKind::ReattachDelay, 0, 500, true});
    nork::qz::CQzAUXDetachAttachCmd cycle(80, 40000, 1);
    CDeviceHandle handle(&publicLun);
    ASSERT_TRUE(priv(handle, cycle));
    ASSERT_TRUE(rig->waitForBus(serial, emu::Bus::Detached));
    EXPECT_FALSE(inquiryWorks());  // nothing to open while away
    ASSERT_TRUE(rig->waitForBus(serial, emu::Bus::Attached));
    EXPECT_TRUE(inquiryWorks());
    const auto words = rig->inspect(serial).lastDetachAttach;
    EXPECT_EQ(words, (std::array<std::uint32_t, 3>{80, 40000, 1}));

    // Unplugging under an open handle fails its next command; a new handle
    // works once the drive is back.
    CDeviceHandle open(&publicLun);
    ASSERT_NE(open.open(), nork::port::INVALID_OS_HANDLE);
    rig->unplug(serial);
    nork::CSCSIInquiryCommand inquiry;
    EXPECT_FALSE(scsi(open, inquiry));
    rig->plug(serial);
    EXPECT_TRUE(inquiryWorks());
}

TEST_P(ExecutorE2e, FailNextAndClear) {
    rig->fault({serial, emu::FaultKind::FailNext, 2, 0x00600001, true});
    EXPECT_FALSE(inquiryWorks());
    EXPECT_EQ(errorCode(), 0x00600001u);  // spared by the fault
    EXPECT_FALSE(inquiryWorks());
    EXPECT_TRUE(inquiryWorks());

    rig->fault({serial, emu::FaultKind::FailNext, 5, 0, false});
    rig->fault({serial, emu::FaultKind::CommandDelay, 0, 20, false});
    EXPECT_EQ(rig->inspect(serial).faults.commandDelayMs, 20u);
    rig->fault({serial, emu::FaultKind::Clear, 0, 0, false});
    const auto faults = rig->inspect(serial).faults;
    EXPECT_EQ(faults.failNext, 0u);
    EXPECT_EQ(faults.commandDelayMs, 0u);
    EXPECT_TRUE(inquiryWorks());
}

TEST_P(ExecutorE2e, DropAndReattachFaults) {
    rig->fault({serial, emu::FaultKind::Drop, 0, 0, false});
    EXPECT_FALSE(inquiryWorks());
    EXPECT_EQ(rig->inspect(serial).bus, emu::Bus::Detached);
    rig->plug(serial);
    EXPECT_TRUE(inquiryWorks());

    // Never reattach: the drive stays away after leaving by itself.
    rig->fault({serial, emu::FaultKind::NeverReattach, 0, 0, true});
    nork::qz::CQzAUXDetachAttachCmd cycle(0, 0, 1);
    CDeviceHandle handle(&publicLun);
    ASSERT_TRUE(priv(handle, cycle));
    ASSERT_TRUE(rig->waitForBus(serial, emu::Bus::Detached));
    std::this_thread::sleep_for(300ms);  // three times the reattach delay
    EXPECT_EQ(rig->inspect(serial).bus, emu::Bus::Detached);
    EXPECT_FALSE(rig->inspect(serial).plugged);
    rig->plug(serial);
    EXPECT_TRUE(inquiryWorks());

    // A reattach delay fault replaces the configured one (100 ms): with an
    // hour the drive stays away; taking the fault off brings it back.
    rig->fault({serial, emu::FaultKind::NeverReattach, 0, 0, false});
    rig->fault({serial, emu::FaultKind::ReattachDelay, 0, 3600000, true});
    EXPECT_EQ(rig->inspect(serial).faults.reattachDelayMs, 3600000u);
    nork::qz::CQzAUXDetachAttachCmd again(0, 0, 1);
    CDeviceHandle second(&publicLun);
    ASSERT_TRUE(priv(second, again));
    ASSERT_TRUE(rig->waitForBus(serial, emu::Bus::Detached));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(rig->inspect(serial).bus, emu::Bus::Detached);
    rig->fault({serial, emu::FaultKind::ReattachDelay, 0, 0, false});
    EXPECT_TRUE(rig->waitForBus(serial, emu::Bus::Attached, 5s));
    EXPECT_TRUE(inquiryWorks());
}

TEST_P(ExecutorE2e, TornWrites) {
    CDeviceHandle handle(&publicLun);
    ASSERT_NE(handle.open(), nork::port::INVALID_OS_HANDLE);
    const auto data = pattern(4, 9);

    // Second write from now keeps 2 of its 4 sectors and fails.
    rig->fault({serial, emu::FaultKind::TearWrite, 2, 2, false});
    ASSERT_EQ(disk.writeSectors(handle, data.data(), 10, 4), STATUS_OK);
    EXPECT_EQ(disk.writeSectors(handle, data.data(), 50, 4), STATUS_COMMUNICATION_FAILURE);
    std::vector<std::uint8_t> back(data.size());
    ASSERT_EQ(disk.readSectors(handle, back.data(), 50, 4), STATUS_OK);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 1024, back.begin()));
    EXPECT_EQ(std::vector<std::uint8_t>(back.begin() + 1024, back.end()),
              std::vector<std::uint8_t>(1024, 0));

    // With drop: a power cut in the middle of the write.
    rig->fault({serial, emu::FaultKind::TearWrite, 1, 1, true});
    EXPECT_EQ(disk.writeSectors(handle, data.data(), 80, 4), STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(rig->inspect(serial).bus, emu::Bus::Detached);
}

// Vendor identification reads the USB identity first: both transports give
// the drive's own, and nothing for a drive off the bus.
TEST_P(ExecutorE2e, UsbIdentityIsTheDrivesWhileItIsOnTheBus) {
    const emu::DriveInfo info = rig->inspect(serial);
    nork::port::UsbIdentity identity;
    ASSERT_EQ(nork::port::deviceIo().usbIdentity(emu::makeDevicePath(serial, 0), identity).code,
              nork::port::PortErrc::Ok);
    EXPECT_EQ(identity.serial, serial);
    EXPECT_EQ(identity.vendor, info.vendor);
    EXPECT_EQ(identity.product, info.product);
    EXPECT_EQ(identity.stringId, info.reportVendor);
    EXPECT_EQ(identity.vendorId, info.usbVendorId);
    EXPECT_EQ(identity.productId, info.usbProductId);

    rig->unplug(serial);
    EXPECT_EQ(nork::port::deviceIo().usbIdentity(emu::makeDevicePath(serial, 0), identity).code,
              nork::port::PortErrc::NotFound);
    EXPECT_EQ(nork::port::deviceIo().usbIdentity("qzemu:NOSUCHDRIVE/0", identity).code,
              nork::port::PortErrc::NotFound);
}

TEST_P(ExecutorE2e, OpenFailsForAbsentDrivesAndLuns) {
    for (const std::string& path : {emu::makeDevicePath("NOSUCHDRIVE", 0),
                                    emu::makeDevicePath(serial, 2), std::string("qzemu:bad")}) {
        nork::port::PortError error;
        EXPECT_EQ(nork::port::deviceIo().open(std::string_view(path), &error),
                  nork::port::INVALID_OS_HANDLE)
            << path;
        EXPECT_EQ(error.code, nork::port::PortErrc::NotFound) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, ExecutorE2e, ::testing::Values("socket", "inprocess"),
                         [](const auto& param) { return std::string(param.param); });

}  // namespace
}  // namespace qzemu::e2e
