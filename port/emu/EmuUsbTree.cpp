#include "port/emu/EmuUsbTree.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "port/DeviceInventory.h"
#include "port/Utf.h"
#include "port/emu/EmuClient.h"

namespace nork::port::emu {
namespace {

constexpr std::uint8_t DESCRIPTOR_DEVICE = 1;
constexpr std::uint8_t DESCRIPTOR_CONFIGURATION = 2;
constexpr std::uint8_t DESCRIPTOR_STRING = 3;

class EmulatorUsbTree final : public IUsbTreeBackend {
  public:
    explicit EmulatorUsbTree(std::string socketPath) : m_socketPath(std::move(socketPath)) {}

    std::string prefix() const override { return std::string(USB_TREE_PREFIX); }

    // The virtual host is there while the daemon answers.
    std::vector<UsbHostController> hostControllers() override {
        EmuClient client;
        if (client.connect(m_socketPath) || !client.ping().ok())
            return {};
        UsbHostController hc;
        hc.interfacePath = u"\\\\?\\root#qzemu_virtual_host#0000#" +
                           interfaceClassGuid(InterfaceClass::UsbHostController);
        hc.driverKey = "qzemu:host";
        hc.description = u"Qz emulator virtual USB host controller";
        hc.rootHubName = std::string(USB_ROOT_HUB_NAME);
        return {hc};
    }

    PortError hub(const std::string& name, UsbHubInfo& out) override {
        out = UsbHubInfo{};
        if (name != USB_ROOT_HUB_NAME)
            return PortError{PortErrc::NotFound, 0};
        EmuClient client;
        std::vector<DriveInfo> drives;
        if (PortError e = listDrives(client, drives))
            return e;
        std::map<std::string, const DriveInfo*> bySerial;
        for (const DriveInfo& d : drives)
            bySerial.emplace(d.serial, &d);
        const std::vector<std::string> ports = portTable();

        out.name = name;
        for (std::size_t i = 0; i < ports.size(); ++i) {
            UsbPortInfo port;
            port.port = static_cast<std::uint32_t>(i + 1);
            auto it = bySerial.find(ports[i]);
            if (it != bySerial.end() && it->second->plugged && it->second->bus != Bus::Detached)
                readDevice(client, *it->second, port);
            out.ports.push_back(std::move(port));
        }
        return PortError::ok();
    }

    PortError stringDescriptor(const std::string& hubName, std::uint32_t port, std::uint8_t index,
                               std::uint16_t language, std::vector<std::uint8_t>& out) override {
        out.clear();
        if (hubName != USB_ROOT_HUB_NAME || port == 0)
            return PortError{PortErrc::NotFound, 0};
        EmuClient client;
        std::string serial = serialOfPort(port);
        if (serial.empty()) {
            // A port this object has not handed out yet: look at the drives.
            std::vector<DriveInfo> drives;
            if (PortError e = listDrives(client, drives))
                return e;
            serial = serialOfPort(port);
            if (serial.empty())
                return PortError{PortErrc::NotFound, 0};
        } else if (client.connect(m_socketPath)) {
            return PortError{PortErrc::NotFound, 0};
        }
        UsbDescriptorRequest r;
        r.serial = serial;
        r.type = DESCRIPTOR_STRING;
        r.index = index;
        r.lang = language;
        const EmuStatus s = client.usbDescriptor(r, out);
        if (s.io)
            return s.io.code == PortErrc::Timeout ? s.io : PortError{PortErrc::Disconnected, 0};
        if (s.refused) {
            return s.error.code == EmuErrc::NoSuchDrive ? PortError{PortErrc::NotFound, 0}
                                                        : PortError{PortErrc::IoError, 0};
        }
        return PortError::ok();
    }

  private:
    // Connects, lists the daemon's drives and gives new ones their ports.
    PortError listDrives(EmuClient& client, std::vector<DriveInfo>& drives) {
        if (PortError e = client.connect(m_socketPath))
            return PortError{PortErrc::NotFound, e.sysErrno};
        const EmuStatus s = client.list(drives);
        if (!s.ok())
            return s.io ? PortError{PortErrc::Disconnected, s.io.sysErrno}
                        : PortError{PortErrc::IoError, 0};
        std::vector<std::string> serials;
        for (const DriveInfo& d : drives)
            serials.push_back(d.serial);
        std::sort(serials.begin(), serials.end());
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const std::string& s2 : serials) {
            if (std::find(m_ports.begin(), m_ports.end(), s2) == m_ports.end())
                m_ports.push_back(s2);
        }
        return PortError::ok();
    }

    std::vector<std::string> portTable() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ports;
    }

    std::string serialOfPort(std::uint32_t port) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return port <= m_ports.size() ? m_ports[port - 1] : std::string();
    }

    // Fills a connected port; leaves it not connected when the drive left
    // the bus meanwhile.
    static void readDevice(EmuClient& client, const DriveInfo& drive, UsbPortInfo& port) {
        UsbDescriptorRequest r;
        r.serial = drive.serial;
        r.type = DESCRIPTOR_DEVICE;
        std::vector<std::uint8_t> device;
        if (!client.usbDescriptor(r, device).ok() || device.size() != port.deviceDescriptor.size())
            return;
        r.type = DESCRIPTOR_CONFIGURATION;
        std::vector<std::uint8_t> config;
        if (!client.usbDescriptor(r, config).ok())
            return;
        port.connectionStatus = USB_DEVICE_CONNECTED;
        std::copy(device.begin(), device.end(), port.deviceDescriptor.begin());
        port.configDescriptor = std::move(config);
        port.driverKey = "qzemu:" + drive.serial;
        port.description = utf::toUtf16(drive.product);
        const bool composite = port.configDescriptor.size() >= 9 && port.configDescriptor[4] > 1;
        port.service = composite ? u"usbccgp" : u"USBSTOR";
    }

    std::string m_socketPath;
    std::mutex m_mutex;
    std::vector<std::string> m_ports;  // serial number of port i + 1
};

}  // namespace

std::shared_ptr<IUsbTreeBackend> makeEmulatorUsbTreeBackend(std::string socketPath) {
    return std::make_shared<EmulatorUsbTree>(std::move(socketPath));
}

}  // namespace nork::port::emu
