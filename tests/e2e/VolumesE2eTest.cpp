// Volume lock and dismount through a real qzemud: the volume utility opens
// "\\.\E:" handles, the daemon keeps the locks and takes the volume
// directories down, and a lock ends with its handle.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>

#include "DeviceSupport.h"
#include "LogCapture.h"
#include "PlatformFactory.h"
#include "SCSICommand.h"
#include "SCSIExec.h"
#include "port/DeviceInventory.h"
#include "port/System.h"
#include "port/VolumeIo.h"
#include "port/emu/EmuInventory.h"
#include "port/emu/EmuVolumes.h"
#include "utils/DiskUtils.h"

namespace qzemu::e2e {
namespace {

namespace port = nork::port;
using nork::CDiskUtils;
using nork::CDiskUtilsImpl;

constexpr char SERIAL[] = "QE00E2EVOL000001";
// smallDrive: LUN 0 is the CD domain (D:), LUN 1 the public one (E:).
constexpr int D = 'D' - 'A';
constexpr int E = 'E' - 'A';

class VolumesE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        startDirectory = port::currentDirectory();
        rig = std::make_unique<SocketRig>(scratch.path());
        ASSERT_TRUE(rig->ready());
        port::setDriveLetterDir((scratch.path() / "letters").string());
        port::clearInventoryBackends();
        port::registerInventoryBackend(emu::makeEmulatorInventoryBackend(rig->daemon().socket()));
        driver = emu::makeEmulatorVolumeDriver(rig->daemon().socket());
        port::registerVolumeDriver(driver);
        ASSERT_EQ(rig->create(smallDrive(SERIAL)), SERIAL);
        ASSERT_TRUE(rig->waitForBus(SERIAL, emu::Bus::Attached));
        stateDir = rig->inspect(SERIAL).stateDir;
        device = connectEmulatedDrive(manager, SERIAL);
        ASSERT_NE(device, nullptr);
        const port::InventorySnapshot snap = port::snapshot();
        ASSERT_EQ(snap.units.size(), 2u);
        ASSERT_EQ(snap.units[0].letter, u'D');
        ASSERT_EQ(snap.units[1].letter, u'E');
        // The public LUN still holds the unit attention of its arrival: the
        // utility takes it before it asks whether the drive is ready.
        device->setDriveMask((1u << D) | (1u << E));
    }
    void TearDown() override {
        (void)port::setCurrentDirectory(startDirectory);
        port::unregisterVolumeDriver(driver.get());
        port::resetInventoryBackends();
        port::setDriveLetterDir("");
    }

    void settle(std::uint8_t lun) {
        const port::OsHandle h = port::deviceIo().open(emu::makeDevicePath(SERIAL, lun));
        ASSERT_NE(h, port::INVALID_OS_HANDLE);
        for (int i = 0; i < 5; ++i) {
            nork::CSCSIGetReadyCommand sense;
            if (nork::CPlatformFactory::instance().scsiExecutor()(h, sense) && sense.isReady())
                break;
        }
        port::deviceIo().close(h);
    }

    // The drive answers its next REQUEST SENSE on `lun` with a failure.
    void makeNotReady(std::uint8_t lun) {
        settle(lun);
        rig->fault(emu::FaultRequest{SERIAL, emu::FaultKind::FailNext, 1, 0, false});
        const port::OsHandle h = port::deviceIo().open(emu::makeDevicePath(SERIAL, lun));
        ASSERT_NE(h, port::INVALID_OS_HANDLE);
        nork::CSCSITestUnitReady probe;
        nork::CPlatformFactory::instance().scsiExecutor()(h, probe);
        port::deviceIo().close(h);
    }

    fs::path volumeDir(int lun) const {
        return fs::path(stateDir) / "volumes" / ("lun" + std::to_string(lun));
    }
    bool mounted(int lun) const { return fs::is_directory(volumeDir(lun)); }

    port::VolumeState stateOf(int lun) {
        port::StorageUnitFacts unit;
        unit.ioPath = emu::makeDevicePath(SERIAL, static_cast<std::uint8_t>(lun));
        port::VolumeState state;
        EXPECT_FALSE(driver->query(unit, state));
        return state;
    }

    ScratchDir scratch;
    std::unique_ptr<SocketRig> rig;
    std::shared_ptr<port::IVolumeDriver> driver;
    nork::CDeviceManager manager;
    nork::CUFDImpl* device = nullptr;
    std::string stateDir;
    std::string startDirectory;
};

TEST_F(VolumesE2e, LockDismountUnlockKeepsTheContentAndRefusesASecondLock) {
    std::ofstream(volumeDir(1) / "kept.txt") << "content";
    CDiskUtils utils(false);
    nork::STATUS status = nork::STATUS_ERROR;
    ASSERT_NE(utils.lockVolume(status, E, *device), nullptr);
    EXPECT_EQ(status, nork::STATUS_OK);
    EXPECT_TRUE(stateOf(1).locked);

    // Another utility, even in this process, finds it locked.
    {
        CDiskUtils other(false);
        nork::STATUS second = nork::STATUS_OK;
        EXPECT_EQ(other.lockVolume(second, E, *device), nullptr);
        EXPECT_EQ(second, nork::STATUS_DEVICE_LOCK_FAILURE);
        EXPECT_EQ(other.impl()->slot(E), nullptr);
    }

    EXPECT_TRUE(utils.umountVolume(E, *device, false));
    EXPECT_FALSE(mounted(1));
    EXPECT_TRUE(mounted(0));
    EXPECT_TRUE(fs::exists(fs::path(stateDir) / "volumes.offline" / "lun1" / "kept.txt"));

    EXPECT_TRUE(utils.unlockVolume(E));
    EXPECT_EQ(utils.impl()->slot(E), nullptr);
    ASSERT_TRUE(mounted(1));
    EXPECT_TRUE(fs::exists(volumeDir(1) / "kept.txt"));
    EXPECT_FALSE(stateOf(1).locked);
}

TEST_F(VolumesE2e, DestroyingTheUtilityEndsItsLocksAndTheVolumesStayDown) {
    {
        CDiskUtils utils(false);
        ASSERT_TRUE(utils.umountDisk(*device, false, false));
        EXPECT_FALSE(mounted(0));
        EXPECT_FALSE(mounted(1));
        EXPECT_TRUE(stateOf(0).locked);
    }
    for (int lun = 0; lun < 2; ++lun) {
        const port::VolumeState state = stateOf(lun);
        EXPECT_FALSE(state.locked) << lun;
        EXPECT_FALSE(state.mounted) << lun;
    }
    port::StorageUnitFacts unit;
    unit.ioPath = emu::makeDevicePath(SERIAL, 1);
    EXPECT_FALSE(driver->remount(unit));
    EXPECT_TRUE(mounted(1));
    EXPECT_FALSE(mounted(0));
}

TEST_F(VolumesE2e, UmountDiskOfRemovableVolumesOnlyLeavesTheCdRomVolume) {
    auto log = nork::testing::LogCapture::onProcessLog("umountDisk");
    CDiskUtils utils(false);
    EXPECT_TRUE(utils.umountDisk(*device, false, true));
    EXPECT_TRUE(mounted(0));
    EXPECT_FALSE(mounted(1));
    EXPECT_EQ(utils.impl()->slot(D), nullptr);
    EXPECT_NE(utils.impl()->slot(E), nullptr);
    const auto lines = log->takeNarrow();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find(
                   "CDiskUtilsImpl::umountDisk - umounting removable drives only - ignoring "
                   "drive (D:\\)") != std::string::npos;
    }));
}

TEST_F(VolumesE2e, WorkingDirectoryOnTheVolumeIsParkedWhileLocked) {
    const fs::path inside = volumeDir(1) / "work";
    fs::create_directory(inside);
    ASSERT_FALSE(port::setCurrentDirectory(inside.string()));

    CDiskUtils utils(false);
    nork::STATUS status = nork::STATUS_ERROR;
    ASSERT_NE(utils.lockVolume(status, E, *device), nullptr);
    EXPECT_EQ(port::currentDirectory(), port::safeDirectory());
    EXPECT_EQ(utils.impl()->savedDirectory(E), inside.string());

    // A lock that fails leaves the directory where it was.
    {
        ASSERT_FALSE(port::setCurrentDirectory(inside.string()));
        CDiskUtils other(false);
        nork::STATUS second = nork::STATUS_OK;
        EXPECT_EQ(other.lockVolume(second, E, *device), nullptr);
        EXPECT_EQ(port::currentDirectory(), inside.string());
        EXPECT_TRUE(other.impl()->savedDirectory(E).empty());
        ASSERT_FALSE(port::setCurrentDirectory(port::safeDirectory()));
    }

    EXPECT_TRUE(utils.unlockVolume(E));
    EXPECT_EQ(port::currentDirectory(), inside.string());
    EXPECT_TRUE(utils.impl()->savedDirectory(E).empty());
}

TEST_F(VolumesE2e, UmountVolumeOnANotReadyDrive) {
    struct Case {
        bool lockedEarlier;
        bool expected;
    };
    for (const Case& c : {Case{false, true}, Case{true, false}}) {
        SCOPED_TRACE(c.lockedEarlier ? "locked earlier" : "locked by the call");
        CDiskUtils utils(false);
        if (c.lockedEarlier) {
            nork::STATUS status = nork::STATUS_ERROR;
            ASSERT_NE(utils.lockVolume(status, E, *device), nullptr);
        }
        makeNotReady(1);
        EXPECT_EQ(utils.umountVolume(E, *device, false), c.expected);
        // Nothing mounted on a drive that is not ready is taken down.
        EXPECT_TRUE(mounted(1));
        EXPECT_NE(utils.impl()->slot(E), nullptr);
        settle(1);
    }
}

TEST_F(VolumesE2e, LockedHandlesAreHandedOverUnlessTheUtilityKeepsThem) {
    for (const bool keep : {false, true}) {
        SCOPED_TRACE(keep ? "keeps handles" : "hands handles over");
        std::unique_ptr<nork::CDeviceHandle> cdrom;
        std::unique_ptr<nork::CDeviceHandle> removable;
        {
            CDiskUtils utils(keep);
            ASSERT_TRUE(utils.umountDisk(*device, false, false));
            // Kinds hold after the dismount took the roots away.
            cdrom = utils.lockedHandle(CDiskUtilsImpl::KIND_CDROM);
            removable = utils.lockedHandleForPath(u"e:\\some\\file");
            ASSERT_NE(cdrom, nullptr);
            ASSERT_NE(removable, nullptr);
            if (!keep) {
                EXPECT_EQ(cdrom->volumeLetter(), u'D');
                EXPECT_EQ(removable->volumeLetter(), u'E');
            } else {
                // A copy opens a handle of its own, which a dismounted
                // volume no longer gives.
                EXPECT_FALSE(cdrom->isOpen());
            }
            EXPECT_EQ(utils.impl()->slot(D) != nullptr, keep);
            EXPECT_EQ(utils.impl()->slot(E) != nullptr, keep);
        }
        // A handed-over handle holds its lock past the utility.
        EXPECT_EQ(stateOf(0).locked, !keep);
        EXPECT_EQ(stateOf(1).locked, !keep);
        cdrom.reset();
        removable.reset();
        EXPECT_FALSE(stateOf(0).locked);
        EXPECT_FALSE(stateOf(1).locked);
        // Back up for the next round.
        port::StorageUnitFacts unit;
        for (std::uint8_t lun = 0; lun < 2; ++lun) {
            unit.ioPath = emu::makeDevicePath(SERIAL, lun);
            ASSERT_FALSE(driver->remount(unit));
        }
    }
}

TEST_F(VolumesE2e, ADriveThatComesBackHasEveryVolumeUpAndUnlocked) {
    CDiskUtils utils(false);
    ASSERT_TRUE(utils.umountDisk(*device, false, false));
    rig->unplug(SERIAL);
    ASSERT_TRUE(rig->waitForBus(SERIAL, emu::Bus::Detached));
    rig->plug(SERIAL);
    ASSERT_TRUE(rig->waitForBus(SERIAL, emu::Bus::Attached));
    for (int lun = 0; lun < 2; ++lun) {
        EXPECT_TRUE(mounted(lun)) << lun;
        EXPECT_FALSE(stateOf(lun).locked) << lun;
    }
}

TEST_F(VolumesE2e, ALetterWithoutAVolumeDoesNotOpen) {
    port::PortError error;
    EXPECT_EQ(port::deviceIo().open(std::string_view("\\\\.\\Q:"), &error),
              port::INVALID_OS_HANDLE);
    EXPECT_EQ(error.code, port::PortErrc::NotFound);
    // Either case names the letter; pass-through reaches the unit behind it.
    settle(1);
    const port::OsHandle h = port::deviceIo().open(std::string_view("\\\\.\\e:"));
    ASSERT_NE(h, port::INVALID_OS_HANDLE);
    nork::CSCSIGetReadyCommand sense;
    EXPECT_TRUE(nork::CPlatformFactory::instance().scsiExecutor()(h, sense));
    EXPECT_TRUE(sense.isReady());
    port::deviceIo().close(h);
}

}  // namespace
}  // namespace qzemu::e2e
