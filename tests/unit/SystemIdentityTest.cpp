#include "SystemIdentity.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <typeinfo>

#include "DeviceParams.h"
#include "LogCapture.h"
#include "PlatformFactory.h"
#include "RuntimeTestSupport.h"
#include "port/OsIdentity.h"

namespace nork {
namespace {

using nork::testing::freshTestDir;
using nork::testing::writeFile;

// Two units of one drive in the port's path vocabulary, and a unit that has
// no volume.
port::InventorySnapshot twoLunDrive() {
    port::InventorySnapshot snap;
    port::StorageUnit disk;
    disk.facts.serial = "SER0001";
    disk.facts.lun = 1;
    disk.diskPath =
        u"\\\\?\\USBSTOR#Disk&Ven_Corvane&Prod_Qz_Pellix&Rev_1.00#SER0001&1#{53f56307-b6bf-11d0-"
        u"94f2-00a0c91efb8b}";
    disk.volumePath =
        u"\\\\?\\STORAGE#Volume#_??_USBSTOR#Disk&Ven_Corvane&Prod_Qz_Pellix&Rev_1.00#SER0001&1#{"
        u"53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
    disk.usbDevicePath =
        u"\\\\?\\usb#vid_0a5c&pid_01f0#SER0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    disk.letter = u'F';
    port::StorageUnit cd;
    cd.facts.serial = "SER0001";
    cd.facts.cdrom = true;
    cd.diskPath =
        u"\\\\?\\USBSTOR#CdRom&Ven_Corvane&Prod_Qz_Pellix&Rev_1.00#SER0001&0#{53f56307-b6bf-11d0-"
        u"94f2-00a0c91efb8b}";
    cd.volumePath =
        u"\\\\?\\STORAGE#Volume#_??_USBSTOR#CdRom&Ven_Corvane&Prod_Qz_Pellix&Rev_1.00#SER0001&0#{"
        u"53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
    cd.usbDevicePath = disk.usbDevicePath;
    cd.letter = u'E';
    port::StorageUnit unmounted = disk;
    unmounted.volumePath.clear();
    unmounted.letter = 0;
    unmounted.diskPath = u"\\\\?\\USBSTOR#Disk&Ven_X&Prod_Y&Rev_1#OTHER&0#{53f56307}";
    snap.units = {unmounted, cd, disk};
    return snap;
}

TEST(PortVolumeInventory, AnswersFromTheStorageUnits) {
    const CPortVolumeInventory inventory([] { return twoLunDrive(); });
    const port::InventorySnapshot snap = twoLunDrive();
    const std::u16string fVolume = snap.units[2].volumePath + u"\\";

    EXPECT_TRUE(inventory.available());
    EXPECT_EQ(inventory.volumePathOfLetter(u'f'), fVolume);
    EXPECT_EQ(inventory.volumePathOfLetter(u'G'), u"");
    EXPECT_EQ(inventory.driveType(u'E'), DRIVE_TYPE_CDROM);
    EXPECT_EQ(inventory.driveType(u'F'), port::DRIVE_REMOVABLE);
    EXPECT_EQ(inventory.driveType(u'G'), port::DRIVE_NO_ROOT_DIR);

    // With or without the trailing backslash, any case.
    EXPECT_EQ(inventory.diskPathOfVolume(fVolume), snap.units[2].diskPath);
    EXPECT_EQ(inventory.diskPathOfVolume(snap.units[2].volumePath), snap.units[2].diskPath);
    std::u16string upper = fVolume;
    for (char16_t& c : upper)
        c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
    EXPECT_EQ(inventory.usbDevicePathOfVolume(upper), snap.units[2].usbDevicePath);
    EXPECT_EQ(inventory.diskPathOfVolume(u""), u"");  // the unmounted unit has no volume
    EXPECT_EQ(inventory.diskPathOfVolume(u"\\\\?\\STORAGE#Volume#none\\"), u"");

    EXPECT_EQ(inventory.letterOfPathFragment(u"usbstor#cdrom&ven_corvane"), u'E');
    EXPECT_EQ(inventory.letterOfPathFragment(u"STORAGE#Volume#_??_USBSTOR#Disk"), u'F');
    EXPECT_EQ(inventory.letterOfPathFragment(u"OTHER&0"), u'\0');  // no letter
    EXPECT_EQ(inventory.letterOfPathFragment(u""), u'\0');
}

// The extractor reads the port's paths without knowing where they came from.
TEST(PortVolumeInventory, ExtractorIdentifiesTheDriveThroughIt) {
    const CPortVolumeInventory inventory([] { return twoLunDrive(); });
    const CUSBInfoExtractor extractor(inventory);
    EXPECT_EQ(extractor.getLun(u'E'), 0);
    EXPECT_EQ(extractor.getLun(u'F'), 1);
    EXPECT_EQ(extractor.getLun(u'G'), CUSBDiskInfo::UNKNOWN_LUN);

    CDeviceParams params;
    params.setDriveMask(1u << 5);
    CUSBDiskInfo info;
    extractor.getInfo(params, info);
    EXPECT_EQ(info.serial, u"SER0001");
    EXPECT_EQ(info.vendor, u"CORVANE");
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    ASSERT_TRUE(extractor.getVidPid(params, vid, pid));
    EXPECT_EQ(vid, 0x0A5C);
    EXPECT_EQ(pid, 0x01F0);

    const CUSBInfoExtractorVista vista(inventory);
    std::uint8_t lun = 0;
    EXPECT_EQ(vista.serialFromDiskPath(twoLunDrive().units[2].volumePath + u"\\", lun), u"SER0001");
    EXPECT_EQ(lun, 1);
}

// ---- the hive record ----

std::string wideHex(const std::string& text) {
    std::string out = "hex:";
    char byte[4];
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(text[i]));
        out += (i == 0 ? "" : ",") + std::string(byte) + ",00";
    }
    return out;
}

const std::string RECORD_HIVE =
    "[SYSTEM\\MountedDevices]\n"
    "\"\\\\DosDevices\\\\E:\"=" +
    wideHex("\\??\\STORAGE#RemovableMedia#7&2f1e&0&RM#{53f5630d-b6bf}") +
    "\n"
    "[SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\Disk&Ven_Corvane&Prod_Qz_Pellix&Rev_1.00\\"
    "SER0001&0]\n"
    "\"ParentIdPrefix\"=\"7&2f1e&0\"\n"
    "[SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\Disk&Ven_Other&Prod_Disk&Rev_2.00\\XYZ&0]\n"
    "\"ParentIdPrefix\"=\"7&aaaa&0\"\n"
    "[SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0a5c&Pid_01f0\\SER0001]\n"
    "\"Service\"=\"USBSTOR\"\n"
    "[SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0a5c&Pid_01f1\\SER0001]\n"
    "\"Service\"=\"usbccgp\"\n";

class HiveRecordTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = freshTestDir();
        m_hive.emplace((m_dir / "hkcr.reg").string(), (m_dir / "hkcu.reg").string(),
                       (m_dir / "hklm.reg").string());
    }
    std::filesystem::path m_dir;
    std::optional<port::SettingsHive> m_hive;
};

TEST_F(HiveRecordTest, UsableOnlyWithAReadableFirstValue) {
    const CHiveMountedDevicesRecord record(*m_hive, [](char16_t) { return 2; });
    EXPECT_FALSE(record.usable());
    writeFile(m_dir / "hklm.reg", "[SYSTEM\\MountedDevices]\n");
    EXPECT_FALSE(record.usable());  // the key alone says nothing
    writeFile(m_dir / "hklm.reg", RECORD_HIVE);
    EXPECT_TRUE(record.usable());
}

TEST_F(HiveRecordTest, ReadsTheRecordAndTheEnumerationKeys) {
    writeFile(m_dir / "hklm.reg", RECORD_HIVE);
    const CHiveMountedDevicesRecord record(*m_hive, [](char16_t l) { return l == u'E' ? 2 : 1; });
    EXPECT_EQ(CRegistryAnalizerImpl::valueText(record.mountedDevice(u'e')),
              u"\\??\\STORAGE#RemovableMedia#7&2f1e&0&RM#{53f5630d-b6bf}");
    EXPECT_TRUE(record.mountedDevice(u'F').empty());

    const auto stor = record.usbStorInstances();
    ASSERT_EQ(stor.size(), 2u);
    EXPECT_EQ(stor[0].deviceKey, u"Disk&Ven_Corvane&Prod_Qz_Pellix&Rev_1.00");
    EXPECT_EQ(stor[0].instance, u"SER0001&0");
    EXPECT_EQ(stor[0].parentIdPrefix, u"7&2f1e&0");
    const auto usb = record.usbInstances();
    ASSERT_EQ(usb.size(), 2u);
    EXPECT_EQ(usb[1].deviceKey, u"Vid_0a5c&Pid_01f1");
    EXPECT_EQ(usb[1].service, u"usbccgp");

    // The analyser over it identifies drive E: and its USB ids.
    const CRegistryAnalizerImpl analyser(record, 8);
    CUSBDiskInfo info;
    analyser.infoForDriveLetter(info, u'E');
    EXPECT_EQ(info.serial, u"SER0001");
    EXPECT_EQ(info.lun, 0);
    EXPECT_EQ(info.vendor, u"Corvane");
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    ASSERT_TRUE(analyser.getVidPidBySerial(u"SER0001", true, vid, pid));
    EXPECT_EQ(pid, 0x01F1);
    ASSERT_TRUE(analyser.getVidPidBySerial(u"SER0001", false, vid, pid));
    EXPECT_EQ(pid, 0x01F0);
}

// ---- the factory's choice ----

TEST_F(HiveRecordTest, FactoryChoosesTheSourceOncePerPlatformAndRecord) {
    static auto log = nork::testing::LogCapture::onProcessLog("SystemIdentityTest");
    for (bool recordUsable : {false, true}) {
        writeFile(m_dir / "hklm.reg", recordUsable ? RECORD_HIVE : "");
        nork::testing::ScopedEnv hive("QZ_HKLM_HIVE", (m_dir / "hklm.reg").string());
        for (int type = 0; type <= 12; ++type) {
            port::OsIdentity id;
            id.platformType = type;
            id.systemVolumeWritable = false;
            CPlatformFactory factory(id, 0);
            log->take();
            CUSBInfoParser* parser = factory.usbInfoParser();
            if (type < 6) {
                EXPECT_EQ(parser, nullptr) << type;
                const auto lines = log->takeNarrow();
                ASSERT_EQ(lines.size(), 1u) << type;
                EXPECT_NE(lines[0].find("zyk_assert --- [!\"OS not supported\"]"),
                          std::string::npos);
                continue;
            }
            ASSERT_NE(parser, nullptr) << type;
            EXPECT_EQ(parser, factory.usbInfoParser()) << type;
            const std::type_info& expected =
                recordUsable
                    ? (type == 12 ? typeid(CRegistryAnalizerImplVista)
                                  : typeid(CRegistryAnalizerImpl))
                    : (type == 12 ? typeid(CUSBInfoExtractorVista) : typeid(CUSBInfoExtractor));
            EXPECT_EQ(typeid(*parser), expected) << type << " usable " << recordUsable;
        }
    }
}

}  // namespace
}  // namespace nork
