// The USB identity the validators read: sysfs of the Linux backend on a fake
// tree, and the routing through the device table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "port/DeviceIo.h"

namespace nork::port {
namespace {

namespace fs = std::filesystem;

void put(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
}

// /sys with one USB drive (sg2 and sdb, partition sdb1) and one SCSI disk
// that is not on USB (sda).
class FakeSysfs : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tmp = std::getenv("QZ_TEST_TMP");
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root = fs::path(tmp ? tmp : "/tmp") / ("sysfs-" + std::string(info->name()));
        fs::remove_all(root);
        sys = root / "sys";
        dev = root / "dev";
        fs::create_directories(dev);

        const fs::path usbDevice = sys / "devices/pci0000:00/usb1/1-2";
        put(usbDevice / "serial", "QE00AABBCCDD0011");
        put(usbDevice / "idVendor", "3c2a");
        put(usbDevice / "idProduct", "0106");
        put(usbDevice / "bNumInterfaces", " 2");
        const fs::path iface = usbDevice / "1-2:1.0";
        put(iface / "bInterfaceNumber", "00");
        const fs::path scsi = iface / "host3/target3:0:0/3:0:0:0";
        put(scsi / "vendor", "Corvane ");
        put(scsi / "model", "Qz Pellix Drive ");
        put(scsi / "rev", "6.52");
        fs::create_directories(scsi / "block/sdb/sdb1");

        const fs::path ata = sys / "devices/pci0000:00/ata1/host0/target0:0:0/0:0:0:0";
        put(ata / "vendor", "ATA");
        put(ata / "model", "Disk");
        fs::create_directories(ata / "block/sda");

        link(sys / "class/scsi_generic/sg2/device", scsi);
        // As the kernel lays it out: the disk's directory links back to its
        // SCSI device; partitions sit inside the disk's directory.
        link(scsi / "block/sdb/device", scsi);
        link(sys / "class/block/sdb", scsi / "block/sdb");
        link(sys / "class/block/sdb1", scsi / "block/sdb/sdb1");
        link(sys / "class/block/sda/device", ata);
        backend = makeLinuxDeviceBackend(dev.string(), sys.string());
    }
    void TearDown() override { fs::remove_all(root); }

    static void link(const fs::path& at, const fs::path& target) {
        fs::create_directories(at.parent_path());
        if (!fs::exists(at))
            fs::create_directory_symlink(target, at);
    }

    fs::path root, sys, dev;
    std::shared_ptr<IDeviceBackend> backend;
};

TEST_F(FakeSysfs, NodesOfAUsbDriveLeadToItsUsbDevice) {
    for (const char* node : {"sg2", "sdb", "sdb1"}) {
        UsbIdentity id;
        ASSERT_FALSE(backend->usbIdentity((dev / node).string(), id)) << node;
        EXPECT_EQ(id.serial, "QE00AABBCCDD0011") << node;
        EXPECT_EQ(id.vendor, "Corvane") << node;
        EXPECT_EQ(id.product, "Qz Pellix Drive") << node;
        EXPECT_EQ(id.revision, "6.52") << node;
        EXPECT_EQ(id.vendorId, 0x3C2A) << node;
        EXPECT_EQ(id.productId, 0x0106) << node;
        EXPECT_EQ(id.interfaceNumber, 0) << node;
        EXPECT_TRUE(id.composite) << node;
    }
}

TEST_F(FakeSysfs, NonUsbMissingAndForeignPathsAreNotFound) {
    for (const std::string& path : {(dev / "sda").string(), (dev / "sg9").string(),
                                    (dev / "../sys").string(), std::string("/elsewhere/sg2")}) {
        UsbIdentity id;
        EXPECT_EQ(backend->usbIdentity(path, id).code, PortErrc::NotFound) << path;
        EXPECT_TRUE(id.serial.empty()) << path;
    }
}

TEST_F(FakeSysfs, DeviceTableRoutesToTheClaimingBackend) {
    DeviceIo io;
    io.registerBackend(backend);
    UsbIdentity id;
    const std::string sg2 = (dev / "sg2").string();
    EXPECT_FALSE(io.usbIdentity(std::string_view(sg2), id));
    EXPECT_EQ(id.serial, "QE00AABBCCDD0011");
    EXPECT_EQ(io.usbIdentity(std::string_view(""), id).code, PortErrc::InvalidArgument);
    EXPECT_EQ(io.usbIdentity(std::string_view("qzemu:X/0"), id).code, PortErrc::NotFound);
    EXPECT_TRUE(id.serial.empty());  // reset before answering
}

// A backend without an identity source answers NotSupported by default.
class NoIdentityBackend : public IDeviceBackend {
  public:
    const char* name() const override { return "none"; }
    bool claims(std::string_view path) const override { return path == "none:0"; }
    PortError open(const std::string&, std::intptr_t&) override { return {}; }
    void close(std::intptr_t) override {}
    PortError passThrough(std::intptr_t, ScsiPassThroughRequest&) override { return {}; }
    PortError vendorDriverRequest(std::intptr_t, VendorDriverRequest&) override { return {}; }
};

TEST(UsbIdentity, BackendWithoutSourceAnswersNotSupported) {
    DeviceIo io;
    io.registerBackend(std::make_shared<NoIdentityBackend>());
    UsbIdentity id;
    EXPECT_EQ(io.usbIdentity(std::u16string_view(u"none:0"), id).code, PortErrc::NotSupported);
}

}  // namespace
}  // namespace nork::port
