// The sysfs reader of the Linux backends on a fake tree laid out as the
// kernel lays it out: attribute values, and the walk from a /dev node name
// up to the USB device.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "RuntimeTestSupport.h"
#include "port/linux/Sysfs.h"

namespace nork::port {
namespace {

namespace fs = std::filesystem;
using nork::testing::freshTestDir;
using nork::testing::writeFile;

TEST(SysfsAttribute, ValuesWithAndWithoutLineEnds) {
    const fs::path dir = freshTestDir();
    struct Case {
        const char* content;  // nullptr: no such file
        const char* attribute;
        const char* text;
        std::optional<long> decimal;
        std::optional<std::uint16_t> hex;
    };
    const Case cases[] = {
        {"3c2a\n", "3c2a", "3c2a", std::nullopt, 0x3C2A},
        {"3c2a", "3c2a", "3c2a", std::nullopt, 0x3C2A},
        {"0106\n", "0106", "0106", 106, 0x0106},
        {" 2\n", "2", " 2", 2, 0x2},
        {"00\n", "00", "00", 0, 0x0},
        {"Qz      \n", "Qz", "Qz      ", std::nullopt, std::nullopt},
        {"Pellix Drive\r\n", "Pellix Drive", "Pellix Drive", std::nullopt, std::nullopt},
        {"first\nsecond\n", "first", "first", std::nullopt, std::nullopt},
        {"", "", "", std::nullopt, std::nullopt},
        {"\n", "", "", std::nullopt, std::nullopt},
        {nullptr, "", "", std::nullopt, std::nullopt},
        // Not digits of the kind asked for, or too many of them.
        {"12abc\n", "12abc", "12abc", std::nullopt, std::nullopt},
        {"0x10\n", "0x10", "0x10", std::nullopt, std::nullopt},
        {"-1\n", "-1", "-1", std::nullopt, std::nullopt},
        {"1 2\n", "1 2", "1 2", std::nullopt, std::nullopt},
        {"03c2a\n", "03c2a", "03c2a", std::nullopt, std::nullopt},
        {"1234567890\n", "1234567890", "1234567890", std::nullopt, std::nullopt},
    };
    int n = 0;
    for (const Case& c : cases) {
        const fs::path file = dir / ("attr" + std::to_string(n++));
        if (c.content != nullptr)
            writeFile(file, c.content);
        SCOPED_TRACE(c.content != nullptr ? std::string("\"") + c.content + "\"" : "missing");
        EXPECT_EQ(sysfs::attribute(file), c.attribute);
        EXPECT_EQ(sysfs::text(file), c.text);
        long number = -7;
        EXPECT_EQ(sysfs::decimal(file, number), c.decimal.has_value());
        if (c.decimal) {
            EXPECT_EQ(number, *c.decimal);
        }
        std::uint16_t hex = 0xBEEF;
        EXPECT_EQ(sysfs::hex16(file, hex), c.hex.has_value());
        if (c.hex) {
            EXPECT_EQ(hex, *c.hex);
        }
    }
}

TEST(SysfsAttribute, DigitChecksBytesAndListings) {
    for (const char* yes : {"0", "7", "042", "254"})
        EXPECT_TRUE(sysfs::allDigits(yes)) << yes;
    for (const char* no : {"", " 1", "1 ", "1a", "a1", "-1", "1.0"})
        EXPECT_FALSE(sysfs::allDigits(no)) << '"' << no << '"';

    const fs::path dir = freshTestDir();
    // A binary attribute is read whole, NUL bytes and line ends included.
    const std::string raw("\x12\x01\x00\x02\n\x00\x00\x40", 8);
    writeFile(dir / "descriptors", raw);
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(sysfs::bytes(dir / "descriptors", bytes));
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(raw.begin(), raw.end()));
    EXPECT_FALSE(sysfs::bytes(dir / "missing", bytes));

    std::vector<std::string> names = sysfs::entries(dir);
    EXPECT_EQ(names, std::vector<std::string>{"descriptors"});
    EXPECT_TRUE(sysfs::entries(dir / "missing").empty());
}

// One composite USB drive (disk sdc with partition sdc1, generic node sg3,
// HID node hidraw2) behind a root hub, a SATA disk and a platform HID
// device. Above the sysfs root lies a decoy USB device that no walk may
// reach.
class SysfsWalk : public ::testing::Test {
  protected:
    void SetUp() override {
        root = freshTestDir();
        sys = root / "sys";
        usbDevice(root, "dead", "beef");  // the decoy

        const fs::path rootHub = sys / "devices/pci0000:00/0000:00:14.0/usb1";
        usbDevice(rootHub, "1d6b", "0002");
        drive = rootHub / "1-3";
        usbDevice(drive, "3c2a", "0106");
        attr(drive / "busnum", "1");
        attr(drive / "devnum", "7");
        storage = drive / "1-3:1.0";
        attr(storage / "bInterfaceNumber", "00");
        hid = drive / "1-3:1.1";
        attr(hid / "bInterfaceNumber", "01");

        const fs::path scsi = storage / "host5/target5:0:0/5:0:0:0";
        attr(scsi / "vendor", "Corvane ");
        fs::create_directories(scsi / "block/sdc/sdc1");
        fs::create_directories(scsi / "scsi_generic/sg3");
        link(scsi / "block/sdc/device", scsi);
        link(scsi / "scsi_generic/sg3/device", scsi);
        link(sys / "class/block/sdc", scsi / "block/sdc");
        link(sys / "class/block/sdc1", scsi / "block/sdc/sdc1");
        link(sys / "class/scsi_generic/sg3", scsi / "scsi_generic/sg3");

        const fs::path hidDevice = hid / "0003:3C2A:0106.0004";
        fs::create_directories(hidDevice / "hidraw/hidraw2");
        link(hidDevice / "hidraw/hidraw2/device", hidDevice);
        link(sys / "class/hidraw/hidraw2", hidDevice / "hidraw/hidraw2");

        const fs::path ata = sys / "devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
        fs::create_directories(ata / "block/sda");
        link(ata / "block/sda/device", ata);
        link(sys / "class/block/sda", ata / "block/sda");

        const fs::path i2c = sys / "devices/platform/i2c-1/i2c-ELAN0001:00/0018:04F3:3147.0001";
        fs::create_directories(i2c / "hidraw/hidraw0");
        link(i2c / "hidraw/hidraw0/device", i2c);
        link(sys / "class/hidraw/hidraw0", i2c / "hidraw/hidraw0");
    }

    static void attr(const fs::path& file, const std::string& value) {
        fs::create_directories(file.parent_path());
        writeFile(file, value + "\n");
    }
    static void usbDevice(const fs::path& dir, const std::string& vid, const std::string& pid) {
        attr(dir / "idVendor", vid);
        attr(dir / "idProduct", pid);
    }
    static void link(const fs::path& at, const fs::path& target) {
        fs::create_directories(at.parent_path());
        fs::create_directory_symlink(target, at);
    }

    fs::path root, sys, drive, storage, hid;
};

TEST_F(SysfsWalk, NodesLeadUpToTheirUsbDeviceAndInterface) {
    struct Case {
        const char* node;
        const fs::path* interface;  // nullptr: the node is not on USB
    };
    const Case cases[] = {
        {"sg3", &storage}, {"sdc", &storage}, {"sdc1", &storage},
        {"hidraw2", &hid}, {"sda", nullptr},  {"hidraw0", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.node);
        fs::path device;
        ASSERT_TRUE(sysfs::deviceOfNode(sys, c.node, device));
        sysfs::UsbAncestry usb;
        ASSERT_EQ(sysfs::usbDeviceOfNode(sys, c.node, usb), c.interface != nullptr);
        if (c.interface == nullptr)
            continue;
        EXPECT_EQ(usb.device, fs::canonical(drive));
        EXPECT_EQ(usb.interface, fs::canonical(*c.interface));
        std::uint16_t vid = 0;
        EXPECT_TRUE(sysfs::hex16(usb.device / "idVendor", vid));
        EXPECT_EQ(vid, 0x3C2A);
    }
}

TEST_F(SysfsWalk, NamesThatAreNoNodeFindNothing) {
    for (const char* name : {"sg9", "sdz", "hidraw7", "", ".", "..", "../sys", "sdc/..", "class"}) {
        fs::path device;
        EXPECT_FALSE(sysfs::deviceOfNode(sys, name, device)) << '"' << name << '"';
        sysfs::UsbAncestry usb;
        EXPECT_FALSE(sysfs::usbDeviceOfNode(sys, name, usb)) << '"' << name << '"';
    }
    // A root that does not exist has no nodes at all.
    fs::path device;
    EXPECT_FALSE(sysfs::deviceOfNode(root / "nosys", "sdc", device));
}

TEST_F(SysfsWalk, WalkFromTheDeviceItselfAndItsAddress) {
    sysfs::UsbAncestry usb;
    ASSERT_TRUE(sysfs::usbDeviceAbove(fs::canonical(drive), sys, usb));
    EXPECT_EQ(usb.device, fs::canonical(drive));
    EXPECT_TRUE(usb.interface.empty());

    long bus = 0;
    long dev = 0;
    ASSERT_TRUE(sysfs::usbAddress(usb.device, bus, dev));
    EXPECT_EQ(bus, 1);
    EXPECT_EQ(dev, 7);

    // The root hub has no address files here; a zero device number is no
    // address either.
    EXPECT_FALSE(sysfs::usbAddress(drive.parent_path(), bus, dev));
    attr(drive / "devnum", "0");
    EXPECT_FALSE(sysfs::usbAddress(drive, bus, dev));
}

}  // namespace
}  // namespace nork::port
