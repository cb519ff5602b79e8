// The inventory over a real qzemud: a two-LUN drive seen as two storage
// units with drive letters, the letters kept while the drive is away, the
// HID interface of a composite drive, and a daemon that goes and comes back.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "E2eSupport.h"
#include "USBInfoParser.h"
#include "port/DeviceInventory.h"
#include "port/Utf.h"
#include "port/emu/EmuHidBackend.h"
#include "port/emu/EmuInventory.h"

namespace qzemu::e2e {
namespace {

namespace port = nork::port;

constexpr char SERIAL[] = "QE00E2EINV000001";

class InventoryE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        rig = std::make_unique<SocketRig>(scratch.path());
        ASSERT_TRUE(rig->ready());
        port::setDriveLetterDir((scratch.path() / "letters").string());
        port::clearInventoryBackends();
        port::registerInventoryBackend(emu::makeEmulatorInventoryBackend(rig->daemon().socket()));
        ASSERT_EQ(rig->create(smallDrive(SERIAL)), SERIAL);
        ASSERT_TRUE(rig->waitForBus(SERIAL, emu::Bus::Attached));
        stateDir = rig->inspect(SERIAL).stateDir;
    }
    void TearDown() override {
        port::resetInventoryBackends();
        port::setDriveLetterDir("");
    }

    std::string volumeDir(int lun) const {
        return (fs::path(stateDir) / "volumes" / ("lun" + std::to_string(lun))).string();
    }

    ScratchDir scratch;
    std::unique_ptr<SocketRig> rig;
    std::string stateDir;
};

TEST_F(InventoryE2e, TwoLunDriveShowsTwoUnitsWithLetters) {
    const port::InventorySnapshot snap = port::snapshot();
    ASSERT_EQ(snap.units.size(), 2u);
    EXPECT_TRUE(snap.hids.empty());  // disk-only mode

    const port::StorageUnit& cd = snap.units[0];
    const port::StorageUnit& pub = snap.units[1];
    EXPECT_EQ(cd.facts.lun, 0);
    EXPECT_TRUE(cd.facts.cdrom);
    EXPECT_EQ(pub.facts.lun, 1);
    EXPECT_FALSE(pub.facts.cdrom);
    EXPECT_EQ(pub.facts.ioPath, emu::makeDevicePath(SERIAL, 1));
    EXPECT_EQ(pub.facts.vendorId, rig->inspect(SERIAL).usbVendorId);
    EXPECT_EQ(cd.letter, u'D');
    EXPECT_EQ(pub.letter, u'E');

    // The library's parsers read the drive back from its volume paths.
    nork::CUSBDiskInfo info;
    nork::CUSBInfoParser::parseInterfacePath(cd.volumePath, info);
    EXPECT_EQ(port::utf::toUtf8(info.serial), SERIAL);
    EXPECT_EQ(info.lun, 0);
    nork::CUSBInfoParser::parseInterfacePath(pub.volumePath, info);
    EXPECT_EQ(port::utf::toUtf8(info.serial), SERIAL);
    EXPECT_EQ(info.lun, 1);

    EXPECT_EQ(port::driveType(u"D:\\"), port::DRIVE_CDROM);
    EXPECT_EQ(port::driveType(u"E:\\"), port::DRIVE_REMOVABLE);
    EXPECT_EQ(port::rootDirectory(u"E:\\"), volumeDir(1));
    EXPECT_EQ(port::logicalDriveRoots(), (std::vector<std::u16string>{u"D:\\", u"E:\\"}));
    EXPECT_EQ(port::enumerateInterfaces(port::InterfaceClass::Volume),
              (std::vector<std::u16string>{cd.volumePath, pub.volumePath}));
}

TEST_F(InventoryE2e, LettersDangleWhileUnpluggedAndComeBack) {
    ASSERT_EQ(port::snapshot().units.size(), 2u);
    const std::u16string volumeName = port::volumeNameOfRoot(u"E:\\");
    ASSERT_FALSE(volumeName.empty());

    rig->unplug(SERIAL);
    ASSERT_TRUE(rig->waitForBus(SERIAL, emu::Bus::Detached));
    EXPECT_TRUE(port::snapshot().units.empty());
    EXPECT_EQ(port::driveType(u"E:\\"), port::DRIVE_NO_ROOT_DIR);
    EXPECT_TRUE(port::logicalDriveRoots().empty());
    bool present = true;
    EXPECT_EQ(port::driveLetterTarget(u'E', &present), volumeDir(1));
    EXPECT_FALSE(present);
    EXPECT_TRUE(port::enumerateInterfaces(port::InterfaceClass::Disk).empty());

    rig->plug(SERIAL);
    ASSERT_TRUE(rig->waitForBus(SERIAL, emu::Bus::Attached));
    const port::InventorySnapshot back = port::snapshot();
    ASSERT_EQ(back.units.size(), 2u);
    EXPECT_EQ(back.units[0].letter, u'D');
    EXPECT_EQ(back.units[1].letter, u'E');
    EXPECT_EQ(port::volumeNameOfRoot(u"E:\\"), volumeName);
}

TEST_F(InventoryE2e, CompositeDriveShowsItsHidInterface) {
    emu::UsbMode now = emu::UsbMode::Query;
    ASSERT_TRUE(rig->client().usbMode(SERIAL, emu::UsbMode::Composite, now).ok());
    ASSERT_TRUE(rig->waitForBus(SERIAL, emu::Bus::Attached));

    const port::InventorySnapshot snap = port::snapshot();
    ASSERT_EQ(snap.hids.size(), 1u);
    EXPECT_EQ(snap.hids[0].path, emu::makeHidPath(SERIAL));
    EXPECT_EQ(snap.hids[0].serial, SERIAL);
    ASSERT_EQ(snap.units.size(), 2u);
    EXPECT_TRUE(snap.units[0].facts.composite);
    EXPECT_EQ(port::enumerateInterfaces(port::InterfaceClass::Hid),
              std::vector<std::u16string>{port::utf::toUtf16(emu::makeHidPath(SERIAL))});
}

TEST_F(InventoryE2e, DaemonGoneGivesEmptyListsAndRestartIsFound) {
    ASSERT_EQ(port::snapshot().units.size(), 2u);
    ASSERT_EQ(rig->daemon().stop(), 0);

    EXPECT_TRUE(port::snapshot().units.empty());
    EXPECT_EQ(port::driveType(u"D:\\"), port::DRIVE_NO_ROOT_DIR);

    ASSERT_TRUE(rig->daemon().start());
    // The drive comes back with the daemon (it was plugged) and gets the
    // same letters on the same shared connection.
    const auto end = std::chrono::steady_clock::now() + 10s;
    port::InventorySnapshot snap;
    while ((snap = port::snapshot()).units.size() < 2 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(snap.units.size(), 2u);
    EXPECT_EQ(snap.units[0].letter, u'D');
    EXPECT_EQ(snap.units[1].letter, u'E');
}

}  // namespace
}  // namespace qzemu::e2e
