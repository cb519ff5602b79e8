// The USB identity parsers over the interface paths and registry records
// the system reports, and over malformed ones (no crash, no read past the
// end, unknown values).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "DeviceParams.h"
#include "USBInfoParser.h"

namespace nork {
namespace {

std::string narrow(std::u16string_view s) {
    std::string out;
    for (char16_t c : s)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

void expectUnknown(const CUSBDiskInfo& info) {
    EXPECT_EQ(info.lun, CUSBDiskInfo::UNKNOWN_LUN);
    EXPECT_TRUE(info.serial.empty());
    EXPECT_TRUE(info.vendor.empty());
    EXPECT_TRUE(info.product.empty());
    EXPECT_TRUE(info.revision.empty());
}

struct PathCase {
    std::u16string path;
    std::u16string vendor, product, revision, serial;
    std::uint8_t lun;
};

void expectCase(const CUSBDiskInfo& info, const PathCase& c) {
    SCOPED_TRACE(narrow(c.path));
    EXPECT_EQ(narrow(info.vendor), narrow(c.vendor));
    EXPECT_EQ(narrow(info.product), narrow(c.product));
    EXPECT_EQ(narrow(info.revision), narrow(c.revision));
    EXPECT_EQ(narrow(info.serial), narrow(c.serial));
    EXPECT_EQ(info.lun, c.lun);
}

constexpr char16_t DISK_GUID[] = u"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr char16_t VOLUME_GUID[] = u"{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";

const std::u16string QZ_DISK =
    std::u16string(u"\\\\?\\usbstor#disk&ven_corvane&prod_qz_pellix&rev_6.52#0123456789abcdef&0#") +
    DISK_GUID;
const std::u16string QZ_CDROM =
    std::u16string(
        u"\\\\?\\usbstor#cdrom&ven_corvane&prod_qz_launch&rev_6.52#0123456789abcdef&1#") +
    VOLUME_GUID;

TEST(USBInfoParser, ValueBetween) {
    struct Case {
        std::u16string text, token, terminator;
        bool found;
        std::u16string value;
    } cases[] = {
        {u"A&VEN_X&B", u"VEN_", u"&", true, u"X"},
        {u"A&VEN_&B", u"VEN_", u"&", true, u""},
        {u"REV_1.00", u"REV_", u"", true, u"1.00"},
        {u"REV_1.00", u"REV_", u"#", false, u"keep"},  // terminator cut off
        {u"A&B", u"VEN_", u"&", false, u"keep"},
        {u"VEN_", u"VEN_", u"&", false, u"keep"},  // token at the very end
        {u"VEN_", u"VEN_", u"", true, u""},
        {u"", u"VEN_", u"", false, u"keep"},
    };
    for (const auto& c : cases) {
        std::u16string value = u"keep";
        EXPECT_EQ(CUSBInfoParser::valueBetween(c.text, c.token, c.terminator, value), c.found)
            << narrow(c.text);
        EXPECT_EQ(narrow(value), narrow(c.value)) << narrow(c.text);
    }
}

// A source that only needs the base class's CD-ROM parser.
class BareParser : public CUSBInfoParser {
  public:
    std::uint8_t getLun(char16_t) const override { return 255; }
    void getInfo(const CDeviceParams&, CUSBDiskInfo& info) const override { info.clear(); }
    void parseDiskPath(std::u16string_view, CUSBDiskInfo& info) const override { info.clear(); }
    bool getVidPid(const CDeviceParams&, std::uint16_t&, std::uint16_t&) const override {
        return false;
    }
};

TEST(USBInfoParser, CdRomPaths) {
    const PathCase cases[] = {
        {u"\\\\?\\USBSTOR#CDROM&VEN_V&PROD_P&REV_2.00#0123456789AB&1#{53F5630D-B6BF-11D0-94F2-"
         u"00A0C91EFB8B}",
         u"V", u"P", u"2.00", u"0123456789AB", 1},
        // Any case in, upper case out.
        {QZ_CDROM, u"CORVANE", u"QZ_LAUNCH", u"6.52", u"0123456789ABCDEF", 1},
        // A serial with "&" in it: only the text after the last "&" before
        // the LUN separator.
        {u"\\\\?\\USBSTOR#CDROM&VEN_V&PROD_P&REV_1#AB&CD&2#{X}", u"V", u"P", u"1", u"CD", 2},
        // A LUN that is not a number, or too large, stays unknown.
        {u"\\\\?\\USBSTOR#CDROM&VEN_V&PROD_P&REV_1#SER&X#{X}", u"V", u"P", u"1", u"SER", 255},
        {u"\\\\?\\USBSTOR#CDROM&VEN_V&PROD_P&REV_1#SER&300#{X}", u"V", u"P", u"1", u"SER", 255},
        {u"\\\\?\\USBSTOR#CDROM&VEN_V&PROD_P&REV_1#SER&#{X}", u"V", u"P", u"1", u"SER", 255},
        // Rejected layouts: no brace, not a CD-ROM, a missing field.
        {u"\\\\?\\USBSTOR#CDROM&VEN_V&PROD_P&REV_2.00#0123456789AB&1#", u"", u"", u"", u"", 255},
        {QZ_DISK, u"", u"", u"", u"", 255},
        {u"\\\\?\\USBSTOR#CDROM&PROD_P&REV_2.00#SER&1#{X}", u"", u"", u"", u"", 255},
        // (the product runs to the next "&"; without "REV_" no serial)
        {u"\\\\?\\USBSTOR#CDROM&VEN_V&PROD_P#SER&1#{X}", u"V", u"P#SER", u"", u"", 255},
        {u"", u"", u"", u"", u"", 255},
        {u"{#CDROM", u"", u"", u"", u"", 255},
    };
    BareParser parser;
    for (const auto& c : cases) {
        CUSBDiskInfo info;
        info.serial = u"stale";
        info.lun = 7;
        parser.parseCdRomPath(c.path, info);
        expectCase(info, c);

        std::uint8_t lun = 0;
        EXPECT_EQ(narrow(parser.serialFromCdRomPath(c.path, lun)), narrow(c.serial));
        EXPECT_EQ(lun, c.lun);
    }
}

// Every cut-off form of a good path parses without reading past its end
// (the sanitizer build checks) and never invents a serial without a brace.
TEST(USBInfoParser, TruncatedPathsAreSafe) {
    BareParser parser;
    for (const std::u16string& full : {QZ_CDROM, QZ_DISK}) {
        for (std::size_t n = 0; n <= full.size(); ++n) {
            const std::u16string cut = full.substr(0, n);
            CUSBDiskInfo info;
            parser.parseCdRomPath(cut, info);
            CUSBInfoParser::parseInterfacePath(cut, info);
            if (cut.find(u'{') == std::u16string::npos)
                expectUnknown(info);
        }
    }
}

class FakeInventory : public IVolumeInventory {
  public:
    bool available() const override { return present; }
    std::u16string volumePathOfLetter(char16_t letter) const override {
        auto it = volumes.find(letter);
        return it == volumes.end() ? std::u16string() : it->second;
    }
    int driveType(char16_t letter) const override {
        auto it = types.find(letter);
        return it == types.end() ? 2 : it->second;
    }
    std::u16string diskPathOfVolume(std::u16string_view volume) const override {
        auto it = disks.find(std::u16string(volume));
        return it == disks.end() ? std::u16string() : it->second;
    }
    std::u16string usbDevicePathOfVolume(std::u16string_view volume) const override {
        auto it = usbDevices.find(std::u16string(volume));
        return it == usbDevices.end() ? std::u16string() : it->second;
    }

    bool present = true;
    std::map<char16_t, std::u16string> volumes;
    std::map<char16_t, int> types;
    std::map<std::u16string, std::u16string> disks;
    std::map<std::u16string, std::u16string> usbDevices;
};

// Drive E: is the public disk of a Qz drive, F: its CD-ROM, G: a volume
// whose disk is unknown.
class ExtractorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::u16string volE =
            u"\\\\?\\STORAGE#RemovableMedia#7&1a2b3c4d&0&RM#" + std::u16string(VOLUME_GUID) + u"\\";
        const std::u16string volG =
            u"\\\\?\\STORAGE#Volume#1&30a96598&0&Signature1#" + std::u16string(VOLUME_GUID) + u"\\";
        inventory.volumes = {{u'E', volE}, {u'F', QZ_CDROM + u"\\"}, {u'G', volG}};
        inventory.types = {{u'F', DRIVE_TYPE_CDROM}};
        inventory.disks = {{volE, QZ_DISK}};
        inventory.usbDevices = {
            {volE,
             u"\\\\?\\USB#VID_3C2A&PID_0106#0123456789ABCDEF#{a5dcbf10-6530-11d2-901f-"
             u"00c04fb951ed}"},
            {volG, u"\\\\?\\USB#VID_ZZ&PID_0106#X#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"}};
    }

    CDeviceParams paramsWithMask(std::uint32_t mask) {
        CDeviceParams params;
        params.setDriveMask(mask);
        return params;
    }

    FakeInventory inventory;
};

constexpr std::uint32_t MASK_E = 1u << 4;
constexpr std::uint32_t MASK_F = 1u << 5;
constexpr std::uint32_t MASK_G = 1u << 6;

TEST_F(ExtractorTest, IdentityOfDriveLetters) {
    CUSBInfoExtractor extractor(inventory);
    EXPECT_EQ(extractor.getLun(u'E'), 0);
    EXPECT_EQ(extractor.getLun(u'F'), 1);  // CD-ROM: its own path is parsed
    EXPECT_EQ(extractor.getLun(u'G'), 255);
    EXPECT_EQ(extractor.getLun(u'Z'), 255);

    CUSBDiskInfo info;
    // The first letter of the mask decides (E before F).
    extractor.getInfo(paramsWithMask(MASK_E | MASK_F), info);
    expectCase(info, {u"", u"CORVANE", u"QZ_PELLIX", u"6.52", u"0123456789ABCDEF", 0});
    extractor.getInfo(paramsWithMask(MASK_F), info);
    expectCase(info, {u"", u"CORVANE", u"QZ_LAUNCH", u"6.52", u"0123456789ABCDEF", 1});
    extractor.getInfo(paramsWithMask(0), info);
    expectUnknown(info);

    std::uint8_t lun = 9;
    EXPECT_EQ(narrow(extractor.serialFromDiskPath(inventory.volumes[u'E'], lun)),
              "0123456789ABCDEF");
    EXPECT_EQ(lun, 0);
}

TEST_F(ExtractorTest, VidPid) {
    CUSBInfoExtractor extractor(inventory);
    std::uint16_t vid = 1;
    std::uint16_t pid = 1;
    EXPECT_TRUE(extractor.getVidPid(paramsWithMask(MASK_E), vid, pid));
    EXPECT_EQ(vid, 0x3C2A);
    EXPECT_EQ(pid, 0x0106);

    // No USB device, unreadable ids, no letter: no answer, ids untouched.
    for (std::uint32_t mask : {MASK_F, MASK_G, 0u}) {
        vid = pid = 1;
        EXPECT_FALSE(extractor.getVidPid(paramsWithMask(mask), vid, pid)) << mask;
        EXPECT_EQ(vid, 1);
        EXPECT_EQ(pid, 1);
    }
}

TEST_F(ExtractorTest, WithoutMountPointServiceEverythingIsUnknown) {
    inventory.present = false;
    CUSBInfoExtractor extractor(inventory);
    EXPECT_EQ(extractor.getLun(u'E'), 255);
    CUSBDiskInfo info;
    extractor.getInfo(paramsWithMask(MASK_E), info);
    expectUnknown(info);
    extractor.parseDiskPath(inventory.volumes[u'E'], info);
    expectUnknown(info);
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    EXPECT_FALSE(extractor.getVidPid(paramsWithMask(MASK_E), vid, pid));

    // The CD-ROM parser needs no system service.
    extractor.parseCdRomPath(QZ_CDROM, info);
    EXPECT_EQ(narrow(info.serial), "0123456789ABCDEF");
}

TEST(USBInfoExtractorVista, DiskAndVolumePaths) {
    const PathCase cases[] = {
        {QZ_DISK, u"CORVANE", u"QZ_PELLIX", u"6.52", u"0123456789ABCDEF", 0},
        // A volume path names its disk's instance before the volume class.
        {u"\\\\?\\STORAGE#Volume#_??_USBSTOR#Disk&Ven_Corvane&Prod_Qz_Pellix&Rev_6.52#"
         u"0123456789abcdef&1#" +
             std::u16string(DISK_GUID) + u"#" + VOLUME_GUID + u"\\",
         u"CORVANE", u"QZ_PELLIX", u"6.52", u"0123456789ABCDEF", 1},
        {QZ_CDROM, u"", u"", u"", u"", 255},
        {u"\\\\?\\usbstor#disk&ven_v&prod_p&rev_1#ser&0#", u"", u"", u"", u"", 255},
        {u"#DISK{", u"", u"", u"", u"", 255},
    };
    FakeInventory inventory;
    inventory.present = false;  // the Vista form parses the path itself
    CUSBInfoExtractorVista extractor(inventory);
    for (const auto& c : cases) {
        CUSBDiskInfo info;
        extractor.parseDiskPath(c.path, info);
        expectCase(info, c);
    }
    std::uint8_t lun = 0;
    EXPECT_EQ(narrow(extractor.serialFromDiskPath(QZ_DISK, lun)), "0123456789ABCDEF");
    EXPECT_EQ(lun, 0);
}

std::vector<std::uint8_t> wideBytes(std::u16string_view text) {
    std::vector<std::uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}

class FakeRecord : public IMountedDevicesRecord {
  public:
    bool usable() const override { return true; }
    std::vector<std::uint8_t> mountedDevice(char16_t letter) const override {
        auto it = values.find(letter);
        return it == values.end() ? std::vector<std::uint8_t>() : wideBytes(it->second);
    }
    int driveType(char16_t letter) const override {
        auto it = types.find(letter);
        return it == types.end() ? 2 : it->second;
    }
    std::vector<CUsbStorInstance> usbStorInstances() const override { return storage; }
    std::vector<CUsbInstance> usbInstances() const override { return usb; }

    std::map<char16_t, std::u16string> values;
    std::map<char16_t, int> types;
    std::vector<CUsbStorInstance> storage;
    std::vector<CUsbInstance> usb;
};

// A Qz drive as the registry records it: E: its public disk (a removable
// media volume), F: its CD-ROM; an unrelated device with no ParentIdPrefix
// comes first in the enumeration.
class MountedDevicesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        record.values = {
            {u'E', u"\\??\\STORAGE#RemovableMedia#7&1a2b3c4d&0&RM#" + std::u16string(VOLUME_GUID)},
            {u'F', u"\\??\\USBSTOR#CdRom&Ven_Corvane&Prod_Qz_Launch&Rev_6.52#0123456789abcdef&1#" +
                       std::u16string(VOLUME_GUID)},
            {u'H', u"\\??\\STORAGE#RemovableMedia#&RM"}};
        record.types = {{u'F', DRIVE_TYPE_CDROM}};
        record.storage = {
            {u"Disk&Ven_Other&Prod_Stick&Rev_1.00", u"OTHERSERIAL&0", u""},
            {u"Disk&Ven_Corvane&Prod_Qz_Pellix&Rev_6.52", u"0123456789ABCDEF&0", u"7&1a2b3c4d&0"},
            {u"Disk&Ven_Broken&Rev_1.00", u"BROKEN&0", u"8&ffff&0"},
        };
        record.usb = {
            {u"Vid_3c2a&Pid_0106&MI_00", u"7&abc&0&0000", u"USBSTOR"},
            {u"Vid_3c2a&Pid_0106", u"STORSERIAL", u"USBSTOR"},
            {u"Vid_3c2a&Pid_0107", u"COMPSERIAL", u"usbccgp"},
            {u"Vid_zz&Pid_0108", u"BADIDS", u"USBSTOR"},
        };
    }
    FakeRecord record;
};

TEST_F(MountedDevicesTest, DriveLettersByPlatform) {
    // From platform type 7 the instance name carries "&<lun>".
    struct Case {
        int platformType;
        char16_t letter;
        PathCase expected;
    } cases[] = {
        {7, u'E', {u"", u"Corvane", u"Qz_Pellix", u"6.52", u"0123456789ABCDEF", 0}},
        {6, u'E', {u"", u"Corvane", u"Qz_Pellix", u"6.52", u"0123456789ABCDEF&0", 255}},
        {7, u'F', {u"", u"CORVANE", u"QZ_LAUNCH", u"6.52", u"0123456789ABCDEF", 1}},
        // An empty ParentIdPrefix must not match the device that has none.
        {7, u'H', {u"", u"", u"", u"", u"", 255}},
        {7, u'Q', {u"", u"", u"", u"", u"", 255}},
    };
    for (const auto& c : cases) {
        CRegistryAnalizerImpl analyser(record, c.platformType);
        CUSBDiskInfo info;
        analyser.infoForDriveLetter(info, c.letter);
        expectCase(info, c.expected);
        EXPECT_EQ(analyser.getLun(c.letter), c.expected.lun);
    }

    CRegistryAnalizerImpl analyser(record, 7);
    CDeviceParams params;
    params.setDriveMask(MASK_E | MASK_F);
    CUSBDiskInfo info;
    analyser.getInfo(params, info);
    EXPECT_EQ(narrow(info.product), "Qz_Pellix");
}

TEST_F(MountedDevicesTest, ParentIdPrefix) {
    CRegistryAnalizerImpl analyser(record, 7);
    CUSBDiskInfo info;
    analyser.infoFromParentIdPrefix(u"7&1a2b3c4d&0", info);
    EXPECT_EQ(narrow(info.serial), "0123456789ABCDEF");
    // A device key without "Prod_" ends the search with what was read.
    analyser.infoFromParentIdPrefix(u"8&ffff&0", info);
    expectCase(info, {u"", u"Broken", u"", u"", u"", 255});
    analyser.infoFromParentIdPrefix(u"9&none", info);
    expectUnknown(info);
    analyser.infoFromParentIdPrefix(u"", info);
    expectUnknown(info);
    // A value that is no removable-media volume.
    analyser.parseDiskPath(u"\\??\\Volume{0000}", info);
    expectUnknown(info);
}

TEST_F(MountedDevicesTest, VidPidBySerial) {
    struct Case {
        std::u16string serial;
        bool composite;
        bool found;
        std::uint16_t vid, pid;
    } cases[] = {
        {u"STORSERIAL", false, true, 0x3C2A, 0x0106},
        {u"COMPSERIAL", true, true, 0x3C2A, 0x0107},
        {u"STORSERIAL", true, false, 0, 0},  // not the composite parent
        {u"COMPSERIAL", false, false, 0, 0},
        {u"BADIDS", false, false, 0, 0},
        {u"UNKNOWN", false, false, 0, 0},
        {u"", false, false, 0, 0},
    };
    CRegistryAnalizerImpl analyser(record, 7);
    for (const auto& c : cases) {
        std::uint16_t vid = 0;
        std::uint16_t pid = 0;
        EXPECT_EQ(analyser.getVidPidBySerial(c.serial, c.composite, vid, pid), c.found)
            << narrow(c.serial);
        EXPECT_EQ(vid, c.vid) << narrow(c.serial);
        EXPECT_EQ(pid, c.pid) << narrow(c.serial);
    }

    // A drive seen only through HID is looked up as the composite parent.
    CDeviceParams params;
    params.setSerialNumber(u"COMPSERIAL");
    params.setFlags(CDeviceParams::FLAG_HID_PRIVATE_COMMANDS);
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    EXPECT_TRUE(analyser.getVidPid(params, vid, pid));
    EXPECT_EQ(pid, 0x0107);
    params.setFlags(0);
    EXPECT_FALSE(analyser.getVidPid(params, vid, pid));

    // The Vista form reads upper-case key names.
    record.usb = {{u"VID_3C2A&PID_0109", u"STORSERIAL", u"USBSTOR"}};
    CRegistryAnalizerImplVista vista(record, 12);
    EXPECT_TRUE(vista.getVidPidBySerial(u"STORSERIAL", false, vid, pid));
    EXPECT_EQ(pid, 0x0109);
    EXPECT_FALSE(analyser.getVidPidBySerial(u"STORSERIAL", false, vid, pid));
}

TEST(RegistryAnalizerVista, MountedDeviceValues) {
    const PathCase cases[] = {
        {u"_??_USBSTOR#Disk&Ven_Corvane&Prod_Qz_Pellix&Rev_6.52#0123456789abcdef&0#" +
             std::u16string(DISK_GUID),
         u"Corvane", u"Qz_Pellix", u"6.52", u"0123456789abcdef", 0},
        {u"_??_USBSTOR#Disk&Ven_V&Prod_P&Rev_1#S&3#{x}", u"V", u"P", u"1", u"S", 3},
        // No "#" after the revision: neither revision nor serial.
        {u"_??_USBSTOR#Disk&Ven_V&Prod_P&Rev_1&3", u"V", u"P", u"", u"", 3},
        {u"&&&&", u"", u"", u"", u"", 255},
        {u"", u"", u"", u"", u"", 255},
        {u"Ven_", u"", u"", u"", u"", 255},
    };
    FakeRecord record;
    CRegistryAnalizerImplVista analyser(record, 12);
    EXPECT_EQ(narrow(analyser.vidToken()), "VID_");
    EXPECT_EQ(narrow(analyser.pidToken()), "PID_");
    for (const auto& c : cases) {
        CUSBDiskInfo info;
        analyser.parseDiskPath(c.path, info);
        expectCase(info, c);
    }
}

TEST(RegistryAnalizer, ValueText) {
    struct Case {
        std::vector<std::uint8_t> data;
        std::u16string text;
    } cases[] = {
        {wideBytes(u"AB"), u"AB"},
        {{'A', 0, 'B', 0, 0, 0, 'C', 0}, u"AB"},  // stops at the terminator
        {{'A', 0, 'B'}, u"A"},                    // odd last byte dropped
        {{}, u""},
        {wideBytes(std::u16string(600, u'x')), std::u16string(512, u'x')},  // 1024 bytes at most
    };
    for (const auto& c : cases)
        EXPECT_EQ(narrow(CRegistryAnalizerImpl::valueText(c.data)), narrow(c.text));
}

}  // namespace
}  // namespace nork
