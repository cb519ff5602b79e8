// The device inventory: interface paths that the library's parsers read back,
// snapshots over several backends, the drive-letter table (sticky letters,
// reclaiming, two processes at once), the root queries, and the Linux
// backend over a fake sysfs tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "DeviceParams.h"
#include "RuntimeTestSupport.h"
#include "USBInfoParser.h"
#include "port/DeviceInventory.h"
#include "port/System.h"
#include "port/Utf.h"

namespace nork::port {
namespace {

namespace fs = std::filesystem;
using nork::testing::freshTestDir;
using nork::testing::writeFile;

std::u16string u16(const std::string& s) {
    return utf::toUtf16(s);
}

StorageUnitFacts facts(const std::string& serial, std::uint8_t lun, bool cdrom = false,
                       const std::string& mountDir = {}) {
    StorageUnitFacts f;
    f.serial = serial;
    f.vendor = "Qz";
    f.product = "Pellix Drive";
    f.revision = "7.01";
    f.vendorId = 0x3C2A;
    f.productId = 0x0106;
    f.lun = lun;
    f.cdrom = cdrom;
    f.ioPath = "qzemu:" + serial + "/" + std::to_string(lun);
    f.mountDir = mountDir;
    return f;
}

// The volume layer the XP-style extractor asks: one letter 'E' whose volume
// path, disk path and USB device path are given.
class OneVolume : public IVolumeInventory {
  public:
    std::u16string volume, disk, usb;
    bool available() const override { return true; }
    std::u16string volumePathOfLetter(char16_t letter) const override {
        return letter == u'E' ? volume : std::u16string();
    }
    int driveType(char16_t) const override { return DRIVE_REMOVABLE; }
    std::u16string diskPathOfVolume(std::u16string_view v) const override {
        return v == volume ? disk : std::u16string();
    }
    std::u16string usbDevicePathOfVolume(std::u16string_view v) const override {
        return v == volume ? usb : std::u16string();
    }
};

// ---------------------------------------------------------------------------
// Paths

TEST(InventoryPaths, DiskPathHasTheStorageDriversLayout) {
    EXPECT_EQ(makeDiskPath(facts("0123456789AB", 1)),
              u"\\\\?\\USBSTOR#Disk&Ven_Qz&Prod_Pellix_Drive&Rev_7.01#0123456789AB&1#"
              u"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    EXPECT_EQ(makeUsbDevicePath(0x3C2A, 0x0106, "0123456789AB"),
              u"\\\\?\\usb#vid_3c2a&pid_0106#0123456789AB#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
}

TEST(InventoryPaths, PathsParseBackThroughTheLibrarysParsers) {
    struct Case {
        const char* what;
        StorageUnitFacts unit;
        std::string serial, vendor, product, revision;  // as parsed (upper case)
    };
    StorageUnitFacts padded = facts("QE00112233445566", 0);
    padded.vendor = "Qz      ";  // INQUIRY texts come blank-padded
    padded.product = "Pellix Drive    ";
    padded.revision = " 7.01";
    StorageUnitFacts separators = facts("AB#12&34{x", 3);
    separators.product = "Disk & Co#1";
    StorageUnitFacts control = facts("S\tN", 0);
    control.vendor = "V\x01";
    const std::vector<Case> cases = {
        {"plain disk", facts("0123456789AB", 1), "0123456789AB", "QZ", "PELLIX_DRIVE", "7.01"},
        {"CD-ROM", facts("0123456789AB", 0, true), "0123456789AB", "QZ", "PELLIX_DRIVE", "7.01"},
        {"padded INQUIRY texts", padded, "QE00112233445566", "QZ", "PELLIX_DRIVE", "7.01"},
        {"separators in serial and product", separators, "AB1234X", "QZ", "DISK__CO1", "7.01"},
        {"control characters", control, "S_N", "V_", "PELLIX_DRIVE", "7.01"},
    };
    OneVolume inventory;
    CUSBInfoExtractorVista vista(inventory);
    CUSBInfoExtractor xp(inventory);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::u16string disk = makeDiskPath(c.unit);
        const std::u16string volume = makeVolumePath(c.unit);
        std::vector<CUSBDiskInfo> parsed(3);
        CUSBInfoParser::parseInterfacePath(disk, parsed[0]);
        if (c.unit.cdrom) {
            // The CD-ROM parser is what the library uses for CD volumes.
            vista.parseCdRomPath(disk, parsed[1]);
            vista.parseCdRomPath(volume, parsed[2]);
        } else {
            vista.parseDiskPath(volume, parsed[1]);
            // The XP extractor goes from the volume to its disk.
            inventory.volume = volume;
            inventory.disk = disk;
            xp.parseDiskPath(volume, parsed[2]);
        }
        for (const CUSBDiskInfo& info : parsed) {
            EXPECT_EQ(info.serial, u16(c.serial));
            EXPECT_EQ(info.vendor, u16(c.vendor));
            EXPECT_EQ(info.product, u16(c.product));
            EXPECT_EQ(info.revision, u16(c.revision));
            EXPECT_EQ(info.lun, c.unit.lun);
        }
    }
}

TEST(InventoryPaths, UsbDevicePathGivesTheIdsBack) {
    OneVolume inventory;
    const StorageUnitFacts unit = facts("S&1#2", 0);
    inventory.volume = makeVolumePath(unit);
    inventory.disk = makeDiskPath(unit);
    inventory.usb = makeUsbDevicePath(0xABCD, 0x00EF, unit.serial);
    CDeviceParams params;
    params.setDriveMask(1u << 4);  // E
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    ASSERT_TRUE(CUSBInfoExtractor(inventory).getVidPid(params, vid, pid));
    EXPECT_EQ(vid, 0xABCD);
    EXPECT_EQ(pid, 0x00EF);
}

// ---------------------------------------------------------------------------
// Backends and snapshots

class FakeBackend : public IInventoryBackend {
  public:
    explicit FakeBackend(std::string n) : m_name(std::move(n)) {}
    std::string name() const override { return m_name; }
    void collect(std::vector<StorageUnitFacts>& outUnits,
                 std::vector<HidInterfaceInfo>& outHids) override {
        std::lock_guard<std::mutex> guard(mutex);
        outUnits.insert(outUnits.end(), units.begin(), units.end());
        outHids.insert(outHids.end(), hids.begin(), hids.end());
    }

    std::mutex mutex;
    std::vector<StorageUnitFacts> units;
    std::vector<HidInterfaceInfo> hids;

  private:
    std::string m_name;
};

class InventoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = freshTestDir();
        setDriveLetterDir((dir / "letters").string());
        clearInventoryBackends();
    }
    void TearDown() override {
        resetInventoryBackends();
        setDriveLetterDir("");
    }

    // A directory standing for a mounted volume.
    std::string volume(const std::string& name) {
        const fs::path p = dir / "mnt" / name;
        fs::create_directories(p);
        return p.string();
    }

    fs::path dir;
};

TEST_F(InventoryTest, SnapshotJoinsBackendsMostRecentFirst) {
    auto older = std::make_shared<FakeBackend>("older");
    auto newer = std::make_shared<FakeBackend>("newer");
    older->units = {facts("OLD", 0, false, volume("old0")), facts("SAME", 0)};
    older->hids = {{"/dev/hidraw3", 1, 2, "OLD", "p", "m", ""}};
    newer->units = {facts("NEW", 0, true, volume("new0")), facts("NEW", 1, false, volume("new1")),
                    facts("SAME", 0)};
    newer->hids = {{"/dev/hidraw3", 1, 2, "OLD", "p", "m", ""},
                   {"qzemu-hid:NEW", 3, 4, "NEW", "", "", ""}};
    registerInventoryBackend(older);
    registerInventoryBackend(newer);
    registerInventoryBackend(newer);  // idempotent

    const InventorySnapshot snap = snapshot();
    ASSERT_EQ(snap.units.size(), 4u);  // SAME counted once
    EXPECT_EQ(snap.units[0].facts.serial, "NEW");
    EXPECT_EQ(snap.units[2].facts.serial, "SAME");
    EXPECT_EQ(snap.units[3].facts.serial, "OLD");
    // Letters in snapshot order; a unit without a volume has none.
    EXPECT_EQ(snap.units[0].letter, u'D');
    EXPECT_EQ(snap.units[1].letter, u'E');
    EXPECT_EQ(snap.units[2].letter, 0);
    EXPECT_TRUE(snap.units[2].volumePath.empty());
    EXPECT_EQ(snap.units[3].letter, u'F');
    EXPECT_EQ(snap.units[3].volumePath, makeVolumePath(snap.units[3].facts));
    ASSERT_EQ(snap.hids.size(), 2u);
    EXPECT_EQ(snap.hids[0].path, "/dev/hidraw3");

    struct Case {
        InterfaceClass cls;
        std::vector<std::u16string> paths;
    };
    const std::vector<Case> cases = {
        {InterfaceClass::Volume,
         {snap.units[0].volumePath, snap.units[1].volumePath, snap.units[3].volumePath}},
        {InterfaceClass::Disk,
         {snap.units[1].diskPath, snap.units[2].diskPath, snap.units[3].diskPath}},
        {InterfaceClass::CdRom, {snap.units[0].diskPath}},
        // One USB device per serial, however many LUNs it has.
        {InterfaceClass::UsbDevice,
         {makeUsbDevicePath(0x3C2A, 0x0106, "NEW"), makeUsbDevicePath(0x3C2A, 0x0106, "SAME"),
          makeUsbDevicePath(0x3C2A, 0x0106, "OLD")}},
        {InterfaceClass::Hid, {u"/dev/hidraw3", u"qzemu-hid:NEW"}},
        {InterfaceClass::UsbHostController, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.cls));
        EXPECT_EQ(enumerateInterfaces(c.cls), c.paths);
    }
}

TEST_F(InventoryTest, ClearedRegistryIsEmptyAndResetBringsTheLinuxBackendBack) {
    EXPECT_TRUE(snapshot().units.empty());
    auto fake = std::make_shared<FakeBackend>("fake");
    fake->units = {facts("X", 0)};
    registerInventoryBackend(fake);
    EXPECT_EQ(snapshot().units.size(), 1u);
    resetInventoryBackends();
    // The default set no longer holds the fake; what the real system shows
    // is not ours to predict.
    for (const StorageUnit& unit : snapshot().units)
        EXPECT_NE(unit.facts.serial, "X");
}

// ---------------------------------------------------------------------------
// The drive-letter table

TEST_F(InventoryTest, LettersAreLowestFreeAndStayWithTheirDirectory) {
    const std::string a = volume("a");
    const std::string b = volume("b");
    EXPECT_EQ(assignDriveLetter(a), u'D');
    EXPECT_EQ(assignDriveLetter(b), u'E');
    EXPECT_EQ(assignDriveLetter(a + "/"), u'D');  // one spelling per directory
    EXPECT_EQ(fs::read_symlink(dir / "letters" / "d:").string(), a);

    // A volume that went away keeps its letter; a new one takes a free letter.
    fs::remove(a);
    bool present = true;
    EXPECT_EQ(driveLetterTarget(u'D', &present), a);
    EXPECT_FALSE(present);
    EXPECT_EQ(assignDriveLetter(volume("c")), u'F');
    fs::create_directories(a);
    EXPECT_EQ(assignDriveLetter(a), u'D');
    EXPECT_EQ(driveLetterTarget(u'd', &present), a);
    EXPECT_TRUE(present);

    EXPECT_TRUE(releaseDriveLetter(u'E'));
    EXPECT_FALSE(releaseDriveLetter(u'E'));
    EXPECT_FALSE(releaseDriveLetter(u'A'));
    EXPECT_EQ(driveLetterTarget(u'E', &present), "");
    EXPECT_EQ(assignDriveLetter(volume("d")), u'E');
    EXPECT_EQ(assignDriveLetter(""), 0);
}

TEST_F(InventoryTest, DanglingLettersAreReclaimedOnlyWhenNoneIsFree) {
    std::vector<std::string> dirs;
    for (char16_t letter = u'D'; letter <= u'Z'; ++letter) {
        dirs.push_back(volume("v" + std::to_string(letter)));
        ASSERT_EQ(assignDriveLetter(dirs.back()), letter);
    }
    EXPECT_EQ(assignDriveLetter(volume("extra")), 0);  // all 23 present

    fs::remove(dirs[4]);  // H
    fs::remove(dirs[2]);  // F
    EXPECT_EQ(assignDriveLetter(volume("first")), u'F');
    EXPECT_EQ(assignDriveLetter(volume("second")), u'H');
    EXPECT_EQ(assignDriveLetter(volume("third")), 0);
    // Something that is not a link is never taken over.
    fs::remove(dir / "letters" / "e:");
    writeFile(dir / "letters" / "e:", "not a link");
    fs::remove(dirs[1]);
    EXPECT_EQ(assignDriveLetter(volume("fourth")), 0);
}

TEST_F(InventoryTest, TwoProcessesNeverShareALetter) {
    if (nork::testing::rerunAloneUnlessSingleThreaded())
        return;
    // Each process gives letters to its own ten directories, checks that
    // each letter really points at its directory, and gives them back, many
    // rounds at the same time as the other process.
    std::vector<std::string> mine, theirs;
    for (int i = 0; i < 10; ++i) {
        mine.push_back(volume("parent" + std::to_string(i)));
        theirs.push_back(volume("child" + std::to_string(i)));
    }
    auto rounds = [](const std::vector<std::string>& dirs) {
        int wrong = 0;
        for (int round = 0; round < 40; ++round) {
            std::vector<char16_t> letters;
            for (const std::string& d : dirs) {
                letters.push_back(assignDriveLetter(d));
                if (letters.back() == 0 || driveLetterTarget(letters.back()) != d)
                    ++wrong;
            }
            for (char16_t letter : letters)
                releaseDriveLetter(letter);
        }
        for (const std::string& d : dirs)
            wrong += assignDriveLetter(d) == 0 ? 1 : 0;
        return wrong;
    };
    std::int64_t pid = 0;
    ASSERT_FALSE(startChildProcess([&] { return std::min(rounds(theirs), 100); }, false, pid));
    EXPECT_EQ(rounds(mine), 0);
    int code = -1;
    ASSERT_FALSE(waitChildProcess(pid, code));
    EXPECT_EQ(code, 0);

    std::set<std::string> targets;
    for (char16_t letter = u'D'; letter <= u'Z'; ++letter) {
        const std::string t = driveLetterTarget(letter);
        if (!t.empty()) {
            EXPECT_TRUE(targets.insert(t).second) << t;
        }
    }
    EXPECT_EQ(targets.size(), 20u);  // every directory has exactly one letter
}

// ---------------------------------------------------------------------------
// Roots

// "\\?\Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}\" with lower-case hex.
bool isVolumeName(const std::string& name) {
    const std::string head = "\\\\?\\Volume{";
    const std::string tail = "}\\";
    if (name.size() != head.size() + 36 + tail.size() || name.compare(0, head.size(), head) != 0 ||
        name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    for (std::size_t i = 0; i < 36; ++i) {
        const char c = name[head.size() + i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

TEST_F(InventoryTest, RootsAnswerForPresentUnitsOnly) {
    auto fake = std::make_shared<FakeBackend>("fake");
    const std::string cd = volume("cd");
    const std::string pub = volume("pub");
    fake->units = {facts("S", 0, true, cd), facts("S", 1, false, pub)};
    registerInventoryBackend(fake);
    ASSERT_EQ(logicalDriveRoots(), (std::vector<std::u16string>{u"D:\\", u"E:\\"}));

    struct Case {
        std::u16string root;
        int type;
    };
    const std::vector<Case> cases = {
        {u"D:\\", DRIVE_CDROM},    {u"d:", DRIVE_CDROM},         {u"D", DRIVE_CDROM},
        {u"E:/", DRIVE_REMOVABLE}, {u"F:\\", DRIVE_NO_ROOT_DIR}, {u"E:x", DRIVE_NO_ROOT_DIR},
        {u"", DRIVE_NO_ROOT_DIR},  {u"1:\\", DRIVE_NO_ROOT_DIR},
    };
    for (const Case& c : cases)
        EXPECT_EQ(driveType(c.root), c.type) << utf::toUtf8(c.root);

    EXPECT_EQ(rootDirectory(u"E:\\"), pub);
    const std::u16string name = volumeNameOfRoot(u"E:\\");
    EXPECT_TRUE(isVolumeName(utf::toUtf8(name))) << utf::toUtf8(name);
    EXPECT_EQ(volumeNameOfRoot(u"E:"), name);
    EXPECT_NE(volumeNameOfRoot(u"D:\\"), name);

    std::uint64_t freeBytes = 0;
    std::uint64_t totalBytes = 0;
    ASSERT_FALSE(diskFreeSpace(u"E:\\", freeBytes, totalBytes));
    EXPECT_GT(totalBytes, 0u);
    EXPECT_LE(freeBytes, totalBytes);
    EXPECT_FALSE(flushVolume(u"E:\\"));

    // The unit leaves while its directory stays: no longer a drive.
    {
        std::lock_guard<std::mutex> guard(fake->mutex);
        fake->units.pop_back();
    }
    EXPECT_EQ(driveType(u"E:\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(logicalDriveRoots(), std::vector<std::u16string>{u"D:\\"});
    // Its volume goes too: the letter dangles.
    fs::remove(pub);
    EXPECT_EQ(rootDirectory(u"E:\\"), "");
    EXPECT_EQ(volumeNameOfRoot(u"E:\\"), u"");
    EXPECT_EQ(diskFreeSpace(u"E:\\", freeBytes, totalBytes).code, PortErrc::NotFound);
    EXPECT_EQ(freeBytes, 0u);
    EXPECT_EQ(flushVolume(u"E:\\").code, PortErrc::NotFound);
}

// A volume dismounted while its drive stays on the bus (the backend still
// reports it, its directory is away) keeps its letter and drive type, as on
// Windows: only the drive's departure takes them.
TEST_F(InventoryTest, ADismountedVolumeKeepsItsLetterUntilTheDriveLeaves) {
    auto fake = std::make_shared<FakeBackend>("fake");
    const std::string pub = volume("pub");
    fake->units = {facts("S", 1, false, pub)};
    registerInventoryBackend(fake);
    ASSERT_EQ(logicalDriveRoots(), std::vector<std::u16string>{u"D:\\"});
    fs::remove(pub);
    EXPECT_EQ(logicalDriveRoots(), std::vector<std::u16string>{u"D:\\"});
    EXPECT_EQ(driveType(u"D:\\"), DRIVE_REMOVABLE);
    EXPECT_EQ(rootDirectory(u"D:\\"), "");
    {
        std::lock_guard<std::mutex> guard(fake->mutex);
        fake->units.clear();
    }
    EXPECT_EQ(driveType(u"D:\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_TRUE(logicalDriveRoots().empty());
}

// ---------------------------------------------------------------------------
// The Linux backend over a fake sysfs

class SysfsTree {
  public:
    explicit SysfsTree(fs::path root) : m_root(std::move(root)) {}

    const fs::path& root() const { return m_root; }
    fs::path sys() const { return m_root / "sys"; }

    // A file with its value and a line end, as sysfs shows attributes.
    void attr(const fs::path& dir, const std::string& name, const std::string& value) {
        fs::create_directories(sys() / dir);
        writeFile(sys() / dir / name, value + "\n");
    }
    void usbDevice(const fs::path& dir, const std::string& vid, const std::string& pid,
                   const std::string& serial, int interfaces) {
        attr(dir, "idVendor", vid);
        attr(dir, "idProduct", pid);
        if (!serial.empty())
            attr(dir, "serial", serial);
        attr(dir, "bNumInterfaces", " " + std::to_string(interfaces));
        attr(dir, "product", "Pellix Drive");
        attr(dir, "manufacturer", "Qz");
    }
    // The SCSI device dir and the block device below it, linked from
    // /sys/block/<name> the way the kernel links it.
    fs::path disk(const fs::path& scsi, const std::string& name, const std::string& devno) {
        attr(scsi, "vendor", "Qz      ");
        attr(scsi, "model", "Pellix Drive    ");
        attr(scsi, "rev", "7.01");
        const fs::path block = scsi / "block" / name;
        attr(block, "dev", devno);
        link("block/" + name, fs::path("..") / block);
        return block;
    }
    void link(const fs::path& at, const fs::path& target) {
        fs::create_directories((sys() / at).parent_path());
        fs::create_symlink(target, sys() / at);
    }

  private:
    fs::path m_root;
};

TEST(SysfsInventory, FindsUsbStorageAndHidInterfaces) {
    SysfsTree t(freshTestDir());
    const fs::path usb1 = "devices/pci0000:00/0000:00:14.0/usb1";

    // A composite drive: storage interface with a disk (LUN 0, sg node) and
    // a CD (LUN 1), and a HID interface.
    const fs::path drive = usb1 / "1-1";
    t.usbDevice(drive, "3c2a", "0106", "QZ0001", 2);
    t.attr(drive / "1-1:1.0", "bInterfaceClass", "08");
    t.attr(drive / "1-1:1.1", "bInterfaceClass", "03");
    const fs::path host = drive / "1-1:1.0/host3/target3:0:0";
    const fs::path sdb = t.disk(host / "3:0:0:0", "sdb", "8:16");
    t.attr(sdb / "sdb1", "dev", "8:17");
    fs::create_directories(t.sys() / host / "3:0:0:0/scsi_generic/sg2");
    t.disk(host / "3:0:0:1", "sr0", "11:0");
    const fs::path hid = drive / "1-1:1.1/0003:3C2A:0106.0001/hidraw/hidraw0";
    fs::create_directories(t.sys() / hid);
    t.link("class/hidraw/hidraw0", "../../" / hid);

    // A drive behind a hub, no serial number, not mounted.
    t.usbDevice(usb1 / "1-2", "05e3", "0608", "", 1);
    const fs::path behindHub = usb1 / "1-2/1-2.2";
    t.usbDevice(behindHub, "abcd", "1234", "HUB42", 1);
    t.attr(behindHub / "1-2.2:1.0", "bInterfaceClass", "08");
    t.disk(behindHub / "1-2.2:1.0/host4/target4:0:0/4:0:0:2", "sdc", "8:32");

    // A SATA disk and a hidraw node that are not USB, a loop device.
    t.disk("devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", "sda", "8:0");
    fs::create_directories(t.sys() / "devices/platform/i2c-1/hidraw/hidraw1");
    t.link("class/hidraw/hidraw1", "../../devices/platform/i2c-1/hidraw/hidraw1");
    t.attr("devices/virtual/block/loop0", "dev", "7:0");
    t.link("block/loop0", "../devices/virtual/block/loop0");

    writeFile(t.root() / "mountinfo",
              "22 1 8:0 / / rw,relatime - ext4 /dev/sda rw\n"
              "36 22 8:17 / /media/user/MY\\040DISK rw,nosuid shared:1 - vfat /dev/sdb1 rw\n"
              "37 22 11:0 / /media/user/CD ro - iso9660 /dev/sr0 ro\n");

    auto backend =
        makeSysfsInventoryBackend(t.sys().string(), (t.root() / "mountinfo").string(), "/devroot");
    std::vector<StorageUnitFacts> units;
    std::vector<HidInterfaceInfo> hids;
    backend->collect(units, hids);

    ASSERT_EQ(units.size(), 3u);
    const StorageUnitFacts& disk = units[0];
    EXPECT_EQ(disk.serial, "QZ0001");
    EXPECT_EQ(disk.vendor, "Qz");
    EXPECT_EQ(disk.product, "Pellix Drive");
    EXPECT_EQ(disk.revision, "7.01");
    EXPECT_EQ(disk.vendorId, 0x3C2A);
    EXPECT_EQ(disk.productId, 0x0106);
    EXPECT_EQ(disk.lun, 0);
    EXPECT_FALSE(disk.cdrom);
    EXPECT_TRUE(disk.composite);
    EXPECT_EQ(disk.ioPath, "/devroot/sg2");
    EXPECT_EQ(disk.mountDir, "/media/user/MY DISK");

    const StorageUnitFacts& hubbed = units[1];
    EXPECT_EQ(hubbed.serial, "HUB42");
    EXPECT_EQ(hubbed.vendorId, 0xABCD);
    EXPECT_EQ(hubbed.lun, 2);
    EXPECT_FALSE(hubbed.composite);
    EXPECT_EQ(hubbed.ioPath, "/devroot/sdc");
    EXPECT_EQ(hubbed.mountDir, "");

    const StorageUnitFacts& cd = units[2];
    EXPECT_EQ(cd.serial, "QZ0001");
    EXPECT_EQ(cd.lun, 1);
    EXPECT_TRUE(cd.cdrom);
    EXPECT_EQ(cd.ioPath, "/devroot/sr0");
    EXPECT_EQ(cd.mountDir, "/media/user/CD");

    ASSERT_EQ(hids.size(), 1u);
    EXPECT_EQ(hids[0].path, "/devroot/hidraw0");
    EXPECT_EQ(hids[0].vendorId, 0x3C2A);
    EXPECT_EQ(hids[0].productId, 0x0106);
    EXPECT_EQ(hids[0].serial, "QZ0001");
    EXPECT_EQ(hids[0].product, "Pellix Drive");
    EXPECT_EQ(hids[0].manufacturer, "Qz");
}

TEST(SysfsInventory, MissingTreeGivesNothing) {
    const fs::path root = freshTestDir();
    auto backend = makeSysfsInventoryBackend((root / "nosys").string(),
                                             (root / "nomountinfo").string(), "/dev");
    std::vector<StorageUnitFacts> units;
    std::vector<HidInterfaceInfo> hids;
    backend->collect(units, hids);
    EXPECT_TRUE(units.empty());
    EXPECT_TRUE(hids.empty());
    EXPECT_EQ(backend->name(), "sysfs");
}

}  // namespace
}  // namespace nork::port
