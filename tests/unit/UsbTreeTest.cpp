// The USB tree: the backend table (dispatch by name prefix) and the sysfs
// backend against a fake tree (two root hubs, a hub chain 1-1 -> 1-1.3, a
// composite device, a vendor device, an empty port).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "RuntimeTestSupport.h"
#include "port/UsbTree.h"

using namespace nork::port;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes deviceDescriptor(std::uint8_t cls, std::uint16_t vid, std::uint16_t pid) {
    return {18,
            1,
            0x00,
            0x02,
            cls,
            0,
            0,
            64,
            static_cast<std::uint8_t>(vid & 0xFF),
            static_cast<std::uint8_t>(vid >> 8),
            static_cast<std::uint8_t>(pid & 0xFF),
            static_cast<std::uint8_t>(pid >> 8),
            0x00,
            0x01,
            1,
            2,
            3,
            1};
}

// A configuration with one interface per class given (no endpoints).
Bytes configuration(std::uint8_t value, const std::vector<std::uint8_t>& classes) {
    Bytes c{9, 2, 0, 0, static_cast<std::uint8_t>(classes.size()), value, 0, 0x80, 50};
    for (std::size_t i = 0; i < classes.size(); ++i)
        c.insert(c.end(), {9, 4, static_cast<std::uint8_t>(i), 0, 0, classes[i], 6, 0x50, 0});
    c[2] = static_cast<std::uint8_t>(c.size());
    return c;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

class UsbTreeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root = nork::testing::freshTestDir();
        devices = root / "sys/bus/usb/devices";
        fs::create_directories(root / "dev");

        device("usb1", concat({deviceDescriptor(9, 0x1d6b, 2), configuration(1, {9})}), "1",
               "xHCI Host Controller", 1, 1, 4);
        device("usb2", concat({deviceDescriptor(9, 0x1d6b, 3), configuration(1, {9})}), "1",
               "xHCI Host Controller", 2, 1, 2);
        device("usb10", concat({deviceDescriptor(9, 0x1d6b, 2), configuration(1, {9})}), "1",
               "EHCI Host Controller", 10, 1, 1);
        // Port 1: an external hub with the drive on its port 3.
        device("1-1", concat({deviceDescriptor(9, 0x05e3, 0x0608), configuration(1, {9})}), "1",
               "USB2.0 Hub", 1, 2, 4);
        // Two configurations listed; the second one is active.
        storage = concat(
            {deviceDescriptor(0, 0x3c2a, 0x0106), configuration(1, {3}), configuration(2, {8})});
        device("1-1.3", storage, "2", "Qz Pellix Drive", 1, 5, 0);
        // Port 2: composite (storage + HID).
        device("1-2", concat({deviceDescriptor(0, 0x3c2a, 0x0107), configuration(1, {8, 3})}), "1",
               "Qz Composite", 1, 3, 0);
        // Port 4: a vendor device; its service is its interface's driver.
        device("1-4", concat({deviceDescriptor(0, 0x0403, 0x6001), configuration(1, {0xFF})}), "1",
               "FT232R", 1, 4, 0);
        fs::create_directories(devices / "1-4/1-4:1.0");
        fs::create_directories(root / "sys/bus/usb/drivers/ftdi_sio");
        fs::create_symlink(root / "sys/bus/usb/drivers/ftdi_sio", devices / "1-4/1-4:1.0/driver");
        // Interface entries live in the same folder and are no ports.
        fs::create_directories(devices / "1-1:1.0");

        clearUsbTreeBackends();
        registerUsbTreeBackend(
            makeSysfsUsbTreeBackend((root / "sys").string(), (root / "dev").string()));
    }
    void TearDown() override { resetUsbTreeBackends(); }

    void device(const std::string& name, const Bytes& descriptors, const std::string& config,
                const std::string& product, int bus, int dev, int maxchild) {
        const fs::path d = devices / name;
        fs::create_directories(d);
        nork::testing::writeFile(d / "descriptors",
                                 std::string(descriptors.begin(), descriptors.end()));
        nork::testing::writeFile(d / "bConfigurationValue", config + "\n");
        nork::testing::writeFile(d / "product", product + "\n");
        nork::testing::writeFile(d / "busnum", std::to_string(bus) + "\n");
        nork::testing::writeFile(d / "devnum", std::to_string(dev) + "\n");
        nork::testing::writeFile(d / "maxchild", std::to_string(maxchild) + "\n");
    }

    fs::path root;
    fs::path devices;
    Bytes storage;
};

TEST_F(UsbTreeTest, HostControllersAreTheRootHubsInBusOrder) {
    const std::vector<UsbHostController> hcs = usbHostControllers();
    ASSERT_EQ(hcs.size(), 3u);
    EXPECT_EQ(hcs[0].rootHubName, "sysfs:usb1");
    EXPECT_EQ(hcs[1].rootHubName, "sysfs:usb2");
    EXPECT_EQ(hcs[2].rootHubName, "sysfs:usb10");
    EXPECT_EQ(hcs[0].description, u"xHCI Host Controller");
    EXPECT_NE(hcs[0].driverKey, hcs[1].driverKey);
    EXPECT_NE(hcs[0].interfacePath, hcs[1].interfacePath);
    EXPECT_EQ(hcs[0].interfacePath.rfind(u"\\\\?\\", 0), 0u);
    EXPECT_TRUE(hcs[0].interfacePath.ends_with(u"#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}"));
}

TEST_F(UsbTreeTest, RootHubListsEveryPortWithItsDevice) {
    UsbHubInfo hub;
    ASSERT_FALSE(usbHub("sysfs:usb1", hub));
    EXPECT_EQ(hub.name, "sysfs:usb1");
    ASSERT_EQ(hub.ports.size(), 4u);

    struct Expect {
        std::uint32_t status;
        bool isHub;
        const char16_t* service;
        const char16_t* description;
        const char* hubName;
    };
    const Expect expect[] = {
        {USB_DEVICE_CONNECTED, true, u"usbhub", u"USB2.0 Hub", "sysfs:1-1"},
        {USB_DEVICE_CONNECTED, false, u"usbccgp", u"Qz Composite", ""},
        {USB_NO_DEVICE, false, u"", u"", ""},
        {USB_DEVICE_CONNECTED, false, u"ftdi_sio", u"FT232R", ""},
    };
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i + 1);
        const UsbPortInfo& p = hub.ports[i];
        EXPECT_EQ(p.port, i + 1);
        EXPECT_EQ(p.connectionStatus, expect[i].status);
        EXPECT_EQ(p.deviceIsHub, expect[i].isHub);
        EXPECT_EQ(p.service, expect[i].service);
        EXPECT_EQ(p.description, expect[i].description);
        EXPECT_EQ(p.hubName, expect[i].hubName);
    }
    EXPECT_TRUE(hub.ports[2].configDescriptor.empty());
    EXPECT_TRUE(hub.ports[2].driverKey.empty());
}

TEST_F(UsbTreeTest, HubChainReachesTheDriveWithItsActiveConfiguration) {
    UsbHubInfo hub;
    ASSERT_FALSE(usbHub("sysfs:1-1", hub));
    ASSERT_EQ(hub.ports.size(), 4u);
    for (std::uint32_t p : {0u, 1u, 3u})
        EXPECT_EQ(hub.ports[p].connectionStatus, USB_NO_DEVICE) << p + 1;

    const UsbPortInfo& drive = hub.ports[2];
    EXPECT_EQ(drive.connectionStatus, USB_DEVICE_CONNECTED);
    EXPECT_EQ(Bytes(drive.deviceDescriptor.begin(), drive.deviceDescriptor.end()),
              deviceDescriptor(0, 0x3c2a, 0x0106));
    EXPECT_EQ(drive.configDescriptor, configuration(2, {8}));
    EXPECT_EQ(drive.service, u"USBSTOR");
    EXPECT_EQ(drive.description, u"Qz Pellix Drive");
    EXPECT_EQ(drive.driverKey, "sysfs:1-1.3");
    EXPECT_FALSE(drive.deviceIsHub);
}

TEST_F(UsbTreeTest, PortsBeyondMaxchildAndUnconfiguredDevices) {
    // A hub whose port count could not be read still shows what is plugged.
    nork::testing::writeFile(devices / "1-1/maxchild", "\n");
    // An unconfigured device has no active configuration.
    nork::testing::writeFile(devices / "1-1.3/bConfigurationValue", "\n");
    UsbHubInfo hub;
    ASSERT_FALSE(usbHub("sysfs:1-1", hub));
    ASSERT_EQ(hub.ports.size(), 3u);
    EXPECT_EQ(hub.ports[2].connectionStatus, USB_DEVICE_CONNECTED);
    EXPECT_TRUE(hub.ports[2].configDescriptor.empty());
}

TEST_F(UsbTreeTest, UnknownOrMalformedNamesAreNotFound) {
    for (const char* name :
         {"sysfs:9-9", "sysfs:", "sysfs:..", "sysfs:../../etc", "other:usb1", "usb1", ""}) {
        UsbHubInfo hub;
        EXPECT_EQ(usbHub(name, hub).code, PortErrc::NotFound) << name;
        EXPECT_TRUE(hub.ports.empty()) << name;
    }
}

TEST_F(UsbTreeTest, StringDescriptorRefusals) {
    struct Case {
        const char* hub;
        std::uint32_t port;
        PortErrc expect;
    };
    const Case cases[] = {
        {"sysfs:1-1", 3, PortErrc::AccessDenied},  // no usbfs node to open
        {"sysfs:usb1", 3, PortErrc::NotFound},     // nothing on that port
        {"sysfs:usb1", 0, PortErrc::NotFound},    {"sysfs:7-7", 1, PortErrc::NotFound},
        {"nowhere:usb1", 1, PortErrc::NotFound},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> out{1, 2, 3};
        EXPECT_EQ(usbHubStringDescriptor(c.hub, c.port, 4, 0x0409, out).code, c.expect)
            << c.hub << " " << c.port;
        EXPECT_TRUE(out.empty());
    }
}

// A backend that answers from fixed data and counts requests.
class FakeTree : public IUsbTreeBackend {
  public:
    FakeTree(std::string prefix, std::string tag) : m_prefix(std::move(prefix)), m_tag(tag) {}
    std::string prefix() const override { return m_prefix; }
    std::vector<UsbHostController> hostControllers() override {
        UsbHostController hc;
        hc.rootHubName = m_prefix + m_tag;
        return {hc};
    }
    PortError hub(const std::string& name, UsbHubInfo& out) override {
        out.name = name + "@" + m_tag;
        return PortError::ok();
    }
    PortError stringDescriptor(const std::string&, std::uint32_t, std::uint8_t index, std::uint16_t,
                               std::vector<std::uint8_t>& out) override {
        out = {4, 3, index, 0};
        ++strings;
        return PortError::ok();
    }
    int strings = 0;

  private:
    std::string m_prefix;
    std::string m_tag;
};

TEST_F(UsbTreeTest, TableDispatchesByPrefixNewestFirst) {
    auto first = std::make_shared<FakeTree>("fake:", "a");
    auto other = std::make_shared<FakeTree>("other:", "b");
    registerUsbTreeBackend(first);
    registerUsbTreeBackend(other);
    registerUsbTreeBackend(other);  // again: no second entry

    std::vector<UsbHostController> hcs = usbHostControllers();
    ASSERT_EQ(hcs.size(), 5u);
    EXPECT_EQ(hcs[0].rootHubName, "other:b");
    EXPECT_EQ(hcs[1].rootHubName, "fake:a");
    EXPECT_EQ(hcs[2].rootHubName, "sysfs:usb1");

    UsbHubInfo hub;
    ASSERT_FALSE(usbHub("fake:x", hub));
    EXPECT_EQ(hub.name, "fake:x@a");
    std::vector<std::uint8_t> out;
    ASSERT_FALSE(usbHubStringDescriptor("fake:x", 1, 7, 0x0409, out));
    EXPECT_EQ(out, (std::vector<std::uint8_t>{4, 3, 7, 0}));
    EXPECT_EQ(first->strings, 1);

    // A newer backend with the same prefix takes its names over.
    auto second = std::make_shared<FakeTree>("fake:", "c");
    registerUsbTreeBackend(second);
    ASSERT_FALSE(usbHub("fake:x", hub));
    EXPECT_EQ(hub.name, "fake:x@c");
    EXPECT_EQ(usbHostControllers().size(), 5u);

    clearUsbTreeBackends();
    EXPECT_TRUE(usbHostControllers().empty());
    EXPECT_EQ(usbHub("fake:x", hub).code, PortErrc::NotFound);
}

}  // namespace
