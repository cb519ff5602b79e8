// The configuration commands end to end: the library's command classes, its
// private-command executor, the socket, the daemon and the drive's layout.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "DomainCommands.h"
#include "E2eSupport.h"
#include "PrivateExec.h"
#include "SCSICommand.h"
#include "SCSIExec.h"
#include "VendorTraits.h"
#include "qz/DeviceErrors.h"
#include "qz/QzCommands.h"

namespace qzemu::e2e {
namespace {

using nork::CDeviceHandle;
using nork::CDeviceParams;
using nork::DomainWireEntry;
namespace fs = std::filesystem;

// One public domain of 24000 sectors on a 32768-sector drive.
class ConfigE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        rig = std::make_unique<SocketRig>(scratch.path());
        ASSERT_TRUE(rig->ready());
        emu::DriveConfig c = smallDrive("QE00CF6000000001");
        c.flashSectors = 32768;
        c.layout = "public:24000";
        c.reattachDelayMs = 300;  // long enough for the poll to see the drive away
        serial = rig->create(c);
        ASSERT_FALSE(serial.empty());
        params.setTraits(&traits);
        params.setPath(CDeviceParams::PATH_DISK, u16(emu::makeDevicePath(serial, 0)));
    }

    static std::u16string u16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

    bool send(nork::CPrivateCommand& cmd) {
        CDeviceHandle handle(&params);
        return priv(handle, cmd);
    }

    std::vector<DomainWireEntry> layout() {
        nork::CQzCfgGetDeviceCfgCmd probe(1);
        EXPECT_TRUE(send(probe));
        const std::uint32_t n = probe.GetDomainsNum();
        nork::CQzCfgGetDeviceCfgCmd all(n);
        EXPECT_TRUE(send(all));
        std::vector<DomainWireEntry> out;
        for (std::uint32_t i = 0; i < n; ++i)
            out.push_back(*all.GetDomainCfg(i));
        return out;
    }

    // The device's own words on the last refusal.
    std::string lastError() {
        nork::qz::CQz_AUX_GetErrorCode_Cmd cmd;
        EXPECT_TRUE(send(cmd));
        std::u16string text;
        nork::qz::describeCommand(cmd.errorCode(), text);
        nork::qz::describeError(cmd.errorCode(), text);
        return std::string(text.begin(), text.end());
    }

    // The drive left the bus and came back ready.
    void expectReconnect() {
        ASSERT_TRUE(rig->waitForBus(serial, emu::Bus::Detached, 5s));
        ASSERT_TRUE(rig->waitForBus(serial, emu::Bus::Attached, 5s));
    }

    ScratchDir scratch;
    std::unique_ptr<Rig> rig;
    std::string serial;
    nork::CVendorDeviceTraitsQz traits;
    CDeviceParams params;
    nork::CSCSIExecWin2k scsi;
    nork::CPrivateExecSCSI priv{scsi};
};

TEST_F(ConfigE2e, AddingACdDomainBringsTheDriveBackWithTwoVolumes) {
    auto before = layout();
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0].type, 2);
    EXPECT_EQ(before[0].sectors, 24000u);

    // The CD domain takes what is free, in whole CD units.
    nork::CQzCfgCalcValidDomainSizeCmd calc(nork::DOMAIN_TYPE_CD, 8768, false);
    ASSERT_TRUE(send(calc));
    EXPECT_EQ(calc.closestValidSize(), 8768u / 64 * 64);

    DomainWireEntry cd{3, 1, 0, calc.closestValidSize()};
    nork::CQzCfgDomainAddCmd add(cd);
    ASSERT_TRUE(send(add));
    expectReconnect();

    auto after = layout();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[1].type, 3);
    EXPECT_EQ(after[1].lun, 1);
    EXPECT_EQ(after[1].sectors, calc.closestValidSize());
    const emu::DriveInfo info = rig->inspect(serial);
    EXPECT_EQ(info.lunCount(), 2u);
    EXPECT_TRUE(fs::is_directory(fs::path(info.stateDir) / "volumes" / "lun0"));
    EXPECT_TRUE(fs::is_directory(fs::path(info.stateDir) / "volumes" / "lun1"));

    // The new LUN answers as a CD of that size.
    CDeviceParams cdLun;
    cdLun.setTraits(&traits);
    cdLun.setPath(CDeviceParams::PATH_DISK, u16(emu::makeDevicePath(serial, 1)));
    nork::CSCSIReadCapacityCommand capacity;
    CDeviceHandle handle(&cdLun);
    ASSERT_TRUE(scsi(handle, capacity));
    EXPECT_EQ(capacity.sectorCount(), calc.closestValidSize());
}

TEST_F(ConfigE2e, RefusalsCarryTheDrivesErrorCode) {
    struct Case {
        const char* what;
        std::function<bool()> send;
        const char* error;
    };
    const Case cases[] = {
        {"add beyond the free space",
         [&] {
             nork::CQzCfgDomainAddCmd c(DomainWireEntry{3, 1, 0, 9000});
             return send(c);
         },
         "Command: CFG__Domain_Add Error code: AREA_SIZE_NOT_LEGAL"},
        {"add an unknown type",
         [&] {
             nork::CQzCfgDomainAddCmd c(DomainWireEntry{9, 1, 0, 64});
             return send(c);
         },
         "Command: CFG__Domain_Add Error code: DOMAIN_TYPE_NOT_SUPPORTED"},
        {"remove the only domain",
         [&] {
             nork::CQzCfgDomainRemoveCmd c({0});
             return send(c);
         },
         "Command: CFG__Domain_Remove Error code: INVALID_DOMAIN_INDEX"},
        {"retype a domain that is not there",
         [&] {
             nork::CQzCfgDomainChangeTypeCmd c(3, 2, 0);
             return send(c);
         },
         "Command: CFG__Domain_Change_Type Error code: SPECIFIED_INDEX_NOT_EXIST"},
        {"flags of a domain that is not there",
         [&] {
             nork::CQzCfgDomainSetFlagsCmd c(1, 0);
             return send(c);
         },
         "Command: CFG__Domain_Set_Flags Error code: SPECIFIED_INDEX_NOT_EXIST"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(c.send()) << c.what;
        EXPECT_EQ(lastError(), c.error) << c.what;
    }
    // Nothing changed, and the drive never left the bus.
    EXPECT_EQ(layout().size(), 1u);
    EXPECT_EQ(rig->inspect(serial).bus, emu::Bus::Attached);
}

TEST_F(ConfigE2e, RemoveChecksTheStayingLunsAndSetReplacesTheLayout) {
    nork::CQzCfgSetDeviceCfgCmd set(
        {DomainWireEntry{3, 0, 0, 4096}, DomainWireEntry{2, 1, 0, 20000}});
    ASSERT_TRUE(send(set));
    expectReconnect();
    ASSERT_EQ(layout().size(), 2u);

    nork::CQzCfgDomainRemoveCmd wrong({1, 1});
    EXPECT_FALSE(send(wrong));
    EXPECT_EQ(lastError(), "Command: CFG__Domain_Remove Error code: NEW_CNFG_NOT_SET");

    nork::CQzCfgDomainRemoveCmd remove({0, 1});
    ASSERT_TRUE(send(remove));
    expectReconnect();
    auto after = layout();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].type, 3);
}

TEST_F(ConfigE2e, WriteProtectionReconnectsAndRefusesWrites) {
    nork::CQzCfgDomainSetFlagsCmd protect(0, nork::DOMAIN_FLAG_WRITE_PROTECTED | 0x000A);
    ASSERT_TRUE(send(protect));
    expectReconnect();
    // The drive keeps its own bits: only write protection came through.
    EXPECT_EQ(layout()[0].flags, nork::DOMAIN_FLAG_WRITE_PROTECTED);

    std::vector<std::uint8_t> sector(512, 0x5A);
    nork::CSCSIWriteSectorCommand write(sector.data(), 0, 1);
    CDeviceHandle handle(&params);
    EXPECT_FALSE(scsi(handle, write));
}

}  // namespace
}  // namespace qzemu::e2e
