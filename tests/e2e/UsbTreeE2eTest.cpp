// The emulator's USB tree against a real qzemud: one virtual host with a
// port per drive, descriptors that follow the USB mode, string reads that
// count for the drive's sequences like reads through the HID backend, and
// the daemon's event stream as a change source.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "E2eSupport.h"
#include "port/HidDevice.h"
#include "port/UsbTree.h"
#include "port/emu/EmuChangeSource.h"
#include "port/emu/EmuHidBackend.h"
#include "port/emu/EmuUsbTree.h"
#include "port/linux/Wakeups.h"
#include "qz/DriveProtocol.h"

namespace qzemu::e2e {
namespace {

namespace port = nork::port;

constexpr char FIRST[] = "QE00E2EUSB000001";
constexpr char SECOND[] = "QE00E2EUSB000002";
const std::string ROOT_HUB(emu::USB_ROOT_HUB_NAME);

class UsbTreeE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        rig = std::make_unique<SocketRig>(scratch.path());
        ASSERT_TRUE(rig->ready());
        port::clearUsbTreeBackends();
        port::registerUsbTreeBackend(emu::makeEmulatorUsbTreeBackend(rig->daemon().socket()));
        // Created in the other order: ports follow serial numbers.
        for (const char* serial : {SECOND, FIRST}) {
            ASSERT_EQ(rig->create(smallDrive(serial)), serial);
            ASSERT_TRUE(rig->waitForBus(serial, emu::Bus::Attached));
        }
    }
    void TearDown() override { port::resetUsbTreeBackends(); }

    port::UsbHubInfo rootHub() {
        port::UsbHubInfo hub;
        EXPECT_FALSE(port::usbHub(ROOT_HUB, hub));
        return hub;
    }

    std::string text(std::uint32_t portNumber, std::uint8_t index) {
        std::vector<std::uint8_t> raw;
        if (port::usbHubStringDescriptor(ROOT_HUB, portNumber, index, nork::proto::USB_LANG_EN_US,
                                         raw))
            return "<failed>";
        std::string s;
        for (std::size_t i = 2; i + 1 < raw.size() && i + 1 < raw[0]; i += 2)
            s += static_cast<char>(raw[i]);
        return s;
    }

    emu::UsbMode usbMode(const std::string& serial, emu::UsbMode set = emu::UsbMode::Query) {
        emu::UsbMode now = emu::UsbMode::Query;
        EXPECT_TRUE(rig->client().usbMode(serial, set, now).ok());
        return now;
    }

    ScratchDir scratch;
    std::unique_ptr<SocketRig> rig;
};

TEST_F(UsbTreeE2e, OneVirtualHostWithAPortPerDrive) {
    const std::vector<port::UsbHostController> hcs = port::usbHostControllers();
    ASSERT_EQ(hcs.size(), 1u);
    EXPECT_EQ(hcs[0].rootHubName, ROOT_HUB);
    EXPECT_TRUE(hcs[0].interfacePath.ends_with(u"{3abf6f2d-71c4-462a-8a92-1e6861e6af27}"));

    port::UsbHubInfo hub = rootHub();
    ASSERT_EQ(hub.ports.size(), 2u);
    const emu::DriveInfo info = rig->inspect(FIRST);
    for (std::uint32_t p = 0; p < 2; ++p) {
        SCOPED_TRACE(p + 1);
        const port::UsbPortInfo& port = hub.ports[p];
        EXPECT_EQ(port.port, p + 1);
        EXPECT_EQ(port.connectionStatus, port::USB_DEVICE_CONNECTED);
        EXPECT_FALSE(port.deviceIsHub);
        EXPECT_EQ(port.deviceDescriptor[1], 1);
        EXPECT_EQ(nork::proto::getLE16(&port.deviceDescriptor[8]), info.usbVendorId);
        EXPECT_EQ(nork::proto::getLE16(&port.deviceDescriptor[10]), info.usbProductId);
        EXPECT_EQ(port.description, std::u16string(info.product.begin(), info.product.end()));
    }
    EXPECT_EQ(text(1, 3), FIRST);
    EXPECT_EQ(text(2, 3), SECOND);
    EXPECT_NE(hub.ports[0].driverKey, hub.ports[1].driverKey);
}

TEST_F(UsbTreeE2e, ConfigurationAndServiceFollowTheMode) {
    struct Case {
        emu::UsbMode mode;
        std::size_t length;
        std::uint8_t interfaces;
        const char16_t* service;
    };
    for (const Case& c : {Case{emu::UsbMode::DiskOnly, 32, 1, u"USBSTOR"},
                          Case{emu::UsbMode::Composite, 57, 2, u"usbccgp"}}) {
        SCOPED_TRACE(c.length);
        usbMode(FIRST, c.mode);
        const port::UsbPortInfo port = rootHub().ports.at(0);
        ASSERT_EQ(port.configDescriptor.size(), c.length);
        EXPECT_EQ(port.configDescriptor[1], 2);
        EXPECT_EQ(port.configDescriptor[4], c.interfaces);
        EXPECT_EQ(port.service, c.service);
    }
}

TEST_F(UsbTreeE2e, PortsStayWithTheirDrives) {
    rig->unplug(FIRST);
    ASSERT_TRUE(rig->waitForBus(FIRST, emu::Bus::Detached));
    port::UsbHubInfo hub = rootHub();
    ASSERT_EQ(hub.ports.size(), 2u);
    EXPECT_EQ(hub.ports[0].connectionStatus, port::USB_NO_DEVICE);
    EXPECT_TRUE(hub.ports[0].configDescriptor.empty());
    EXPECT_EQ(hub.ports[1].connectionStatus, port::USB_DEVICE_CONNECTED);
    EXPECT_EQ(text(2, 3), SECOND);

    // A drive that sorts before the others gets a new port, not theirs.
    ASSERT_EQ(rig->create(smallDrive("QE00E2EUSB000000")), "QE00E2EUSB000000");
    ASSERT_TRUE(rig->waitForBus("QE00E2EUSB000000", emu::Bus::Attached));
    hub = rootHub();
    ASSERT_EQ(hub.ports.size(), 3u);
    EXPECT_EQ(text(2, 3), SECOND);
    EXPECT_EQ(text(3, 3), "QE00E2EUSB000000");

    rig->plug(FIRST);
    ASSERT_TRUE(rig->waitForBus(FIRST, emu::Bus::Attached));
    EXPECT_EQ(rootHub().ports[0].connectionStatus, port::USB_DEVICE_CONNECTED);
    EXPECT_EQ(text(1, 3), FIRST);
}

// The switch sequence 5, 5, 6, 6, 5: begun through the tree and finished
// through the HID backend's descriptor path, it still switches the drive.
TEST_F(UsbTreeE2e, StringReadsCountForTheDrivesSequences) {
    std::shared_ptr<port::IDeviceBackend> device;
    auto hid = emu::makeEmulatorHidBackend(rig->daemon().socket(), device);
    port::registerHidBackend(device, hid);
    ASSERT_EQ(usbMode(FIRST), emu::UsbMode::DiskOnly);

    std::vector<std::uint8_t> raw;
    for (int i = 0; i < 2; ++i)
        ASSERT_FALSE(
            port::usbHubStringDescriptor(ROOT_HUB, 1, 5, nork::proto::USB_LANG_EN_US, raw));
    const std::string diskPath = emu::makeDevicePath(FIRST, 1);
    std::u16string s;
    for (std::uint8_t index : {6, 6, 5})
        ASSERT_FALSE(port::usbStringDescriptor(diskPath, index, nork::proto::USB_LANG_EN_US, s));
    EXPECT_EQ(usbMode(FIRST), emu::UsbMode::Composite);
    ASSERT_TRUE(rig->waitForBus(FIRST, emu::Bus::Attached));
    EXPECT_EQ(usbMode(SECOND), emu::UsbMode::DiskOnly);
}

TEST_F(UsbTreeE2e, Refusals) {
    std::vector<std::uint8_t> raw;
    struct Case {
        std::string hub;
        std::uint32_t port;
        std::uint8_t index;
        port::PortErrc expect;
    };
    const Case cases[] = {
        {ROOT_HUB, 1, 9, port::PortErrc::IoError},  // the drive stalls: no such string
        {ROOT_HUB, 7, 3, port::PortErrc::NotFound},
        {ROOT_HUB, 0, 3, port::PortErrc::NotFound},
        {"qzemu:otherhub", 1, 3, port::PortErrc::NotFound},
    };
    for (const Case& c : cases)
        EXPECT_EQ(port::usbHubStringDescriptor(c.hub, c.port, c.index, 0x0409, raw).code, c.expect)
            << c.hub << " " << c.port << " " << int(c.index);

    // Without the daemon there is no virtual host.
    ASSERT_EQ(rig->daemon().stop(), 0);
    EXPECT_TRUE(port::usbHostControllers().empty());
    port::UsbHubInfo hub;
    EXPECT_EQ(port::usbHub(ROOT_HUB, hub).code, port::PortErrc::NotFound);
}

TEST_F(UsbTreeE2e, DaemonEventsWakeTheChangeSource) {
    auto source = emu::makeEmulatorChangeSource(rig->daemon().socket());
    ASSERT_NE(source, nullptr);
    std::vector<bool> ready;
    // The subscription itself is a wake-up: the drives may have changed.
    ASSERT_TRUE(port::waitReadable({source->waitFd()}, 5s, ready));
    // Events of the drives' creation may still trickle in: let them pass.
    int rounds = 0;
    do {
        source->drain();
    } while (port::waitReadable({source->waitFd()}, 200ms, ready) && ++rounds < 20);
    ASSERT_LT(rounds, 20);

    rig->unplug(SECOND);
    ASSERT_TRUE(port::waitReadable({source->waitFd()}, 5s, ready));
    source->drain();
}

}  // namespace
}  // namespace qzemu::e2e
