// The USB tree from sysfs: root hubs ("usbN") are the host controllers, a
// hub's ports are its children "N-P" (behind a root hub) or "<hub>.P"
// (behind another hub), descriptors come from each device's "descriptors"
// file and string descriptors from usbfs control transfers.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "port/DeviceInventory.h"
#include "port/UsbTree.h"
#include "port/Utf.h"
#include "port/linux/Errno.h"
#include "port/linux/Sysfs.h"
#include "port/linux/UsbFs.h"

namespace nork::port {
namespace {

constexpr const char* PREFIX = "sysfs:";
constexpr std::size_t DEVICE_DESCRIPTOR_SIZE = 18;
constexpr std::uint8_t CLASS_HUB = 0x09;
constexpr std::uint8_t CLASS_MASS_STORAGE = 0x08;

using sysfs::allDigits;

// A decimal attribute; -1 when missing or not a number.
long number(const std::string& path) {
    long value = -1;
    return sysfs::decimal(path, value) ? value : -1;
}

std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// The configuration with the given value among those following the device
// descriptor (the kernel lists every configuration); the first one when the
// value is unknown (< 0); empty when none matches or the data is cut short.
std::vector<std::uint8_t> pickConfiguration(const std::vector<std::uint8_t>& all, long value) {
    std::size_t at = DEVICE_DESCRIPTOR_SIZE;
    while (at + 9 <= all.size()) {
        const std::uint8_t* c = all.data() + at;
        const std::size_t total = le16(c + 2);
        if (c[1] != 2 || total < 9 || at + total > all.size())
            break;
        if (value < 0 || c[5] == value)
            return std::vector<std::uint8_t>(all.begin() + static_cast<std::ptrdiff_t>(at),
                                             all.begin() + static_cast<std::ptrdiff_t>(at + total));
        at += total;
    }
    return {};
}

// The first interface descriptor of a configuration: {number, class}.
bool firstInterface(const std::vector<std::uint8_t>& config, std::uint8_t& number,
                    std::uint8_t& cls) {
    std::size_t at = config.empty() ? 0 : config[0];
    while (at + 2 <= config.size() && config[at] >= 2) {
        if (config[at + 1] == 4 && at + 9 <= config.size()) {
            number = config[at + 2];
            cls = config[at + 5];
            return true;
        }
        at += config[at];
    }
    return false;
}

class SysfsUsbTree final : public IUsbTreeBackend {
  public:
    SysfsUsbTree(std::string sysRoot, std::string devRoot)
        : m_devices(std::move(sysRoot) + "/bus/usb/devices"), m_devRoot(std::move(devRoot)) {}

    std::string prefix() const override { return PREFIX; }

    std::vector<UsbHostController> hostControllers() override {
        std::map<long, std::string> roots;  // by bus number
        for (const std::string& name : listDevices()) {
            if (name.size() > 3 && name.compare(0, 3, "usb") == 0 && allDigits(name.substr(3)))
                roots.emplace(std::strtol(name.c_str() + 3, nullptr, 10), name);
        }
        std::vector<UsbHostController> out;
        for (const auto& [bus, name] : roots) {
            UsbHostController hc;
            const std::string dir = m_devices + "/" + name;
            // The controller is the root hub's parent (a PCI function, a
            // platform device); its name keeps the path unique and stable.
            std::string parent = name;
            char resolved[PATH_MAX];
            if (::realpath((dir + "/..").c_str(), resolved) != nullptr) {
                const std::string p = resolved;
                parent = p.substr(p.find_last_of('/') + 1);
            }
            char head[64];
            std::snprintf(head, sizeof head, "\\\\?\\pci#usb_host&bus_%02ld#", bus);
            hc.interfacePath = utf::toUtf16(std::string(head) + parent + "#") +
                               interfaceClassGuid(InterfaceClass::UsbHostController);
            hc.driverKey = PREFIX + name;
            hc.description = utf::toUtf16(sysfs::text(dir + "/product"));
            hc.rootHubName = PREFIX + name;
            out.push_back(std::move(hc));
        }
        return out;
    }

    PortError hub(const std::string& name, UsbHubInfo& out) override {
        out = UsbHubInfo{};
        std::string device;
        if (!deviceOfName(name, device))
            return PortError{PortErrc::NotFound, 0};
        const std::string dir = m_devices + "/" + device;
        if (::access((dir + "/maxchild").c_str(), R_OK) != 0)
            return PortError{PortErrc::NotFound, errno};
        out.name = name;
        // Every port the hub has, and any child beyond that count (a hub
        // whose maxchild could not be read still shows what is plugged).
        long ports = std::max<long>(0, number(dir + "/maxchild"));
        const std::string childPrefix = childPrefixOf(device);
        for (const std::string& entry : listDevices()) {
            if (entry.compare(0, childPrefix.size(), childPrefix) == 0 &&
                allDigits(entry.substr(childPrefix.size())))
                ports =
                    std::max(ports, std::strtol(entry.c_str() + childPrefix.size(), nullptr, 10));
        }
        for (long p = 1; p <= ports && p <= 255; ++p) {
            UsbPortInfo port;
            port.port = static_cast<std::uint32_t>(p);
            readPort(childPrefix + std::to_string(p), port);
            out.ports.push_back(std::move(port));
        }
        return PortError::ok();
    }

    PortError stringDescriptor(const std::string& hubName, std::uint32_t port, std::uint8_t index,
                               std::uint16_t language, std::vector<std::uint8_t>& out) override {
        out.clear();
        std::string device;
        if (!deviceOfName(hubName, device) || port == 0)
            return PortError{PortErrc::NotFound, 0};
        const std::string dir = m_devices + "/" + childPrefixOf(device) + std::to_string(port);
        long bus = 0;
        long dev = 0;
        if (!sysfs::usbAddress(dir, bus, dev))
            return PortError{PortErrc::NotFound, 0};
        return linux_usbfs::readStringDescriptor(m_devRoot, bus, dev, index, language, out);
    }

  private:
    // "sysfs:usb1" -> "usb1", "sysfs:1-1.3" -> "1-1.3"; false for anything
    // that is not a plain device name.
    static bool deviceOfName(const std::string& name, std::string& device) {
        const std::string prefix = PREFIX;
        if (name.compare(0, prefix.size(), prefix) != 0)
            return false;
        device = name.substr(prefix.size());
        return !device.empty() && device.find('/') == std::string::npos && device != "." &&
               device != "..";
    }

    // Children of root hub "usbN" are "N-P"; children of hub "N-P" are
    // "N-P.Q".
    static std::string childPrefixOf(const std::string& device) {
        if (device.compare(0, 3, "usb") == 0 && allDigits(device.substr(3)))
            return device.substr(3) + "-";
        return device + ".";
    }

    std::vector<std::string> listDevices() const { return sysfs::entries(m_devices); }

    void readPort(const std::string& device, UsbPortInfo& port) const {
        const std::string dir = m_devices + "/" + device;
        std::vector<std::uint8_t> descriptors;
        if (!sysfs::bytes(dir + "/descriptors", descriptors) ||
            descriptors.size() < DEVICE_DESCRIPTOR_SIZE)
            return;  // nothing plugged into this port
        port.connectionStatus = USB_DEVICE_CONNECTED;
        std::copy_n(descriptors.begin(), DEVICE_DESCRIPTOR_SIZE, port.deviceDescriptor.begin());
        // An unconfigured device has an empty bConfigurationValue: no
        // active configuration.
        const bool known = ::access((dir + "/bConfigurationValue").c_str(), R_OK) == 0;
        const long active = number(dir + "/bConfigurationValue");
        if (!known || active > 0)
            port.configDescriptor = pickConfiguration(descriptors, known ? active : -1);
        port.driverKey = PREFIX + device;
        port.description = utf::toUtf16(sysfs::text(dir + "/product"));
        port.deviceIsHub = port.deviceDescriptor[4] == CLASS_HUB;
        if (port.deviceIsHub) {
            port.service = u"usbhub";
            port.hubName = PREFIX + device;
            return;
        }
        const long interfaces = port.configDescriptor.size() >= 9 ? port.configDescriptor[4]
                                                                  : number(dir + "/bNumInterfaces");
        std::uint8_t number = 0;
        std::uint8_t cls = 0;
        if (interfaces > 1)
            port.service = u"usbccgp";
        else if (firstInterface(port.configDescriptor, number, cls) && cls == CLASS_MASS_STORAGE)
            port.service = u"USBSTOR";
        else if (!port.configDescriptor.empty())
            port.service =
                utf::toUtf16(interfaceDriver(dir, device, port.configDescriptor[5], number));
    }

    // The driver bound to an interface ("<device>:<config>.<interface>").
    static std::string interfaceDriver(const std::string& dir, const std::string& device,
                                       int config, int number) {
        const std::string link = dir + "/" + device + ":" + std::to_string(config) + "." +
                                 std::to_string(number) + "/driver";
        char target[PATH_MAX];
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            return {};
        const std::string t(target, static_cast<std::size_t>(n));
        return t.substr(t.find_last_of('/') + 1);
    }

    std::string m_devices;
    std::string m_devRoot;
};

}  // namespace

std::shared_ptr<IUsbTreeBackend> makeSysfsUsbTreeBackend(std::string sysRoot, std::string devRoot) {
    return std::make_shared<SysfsUsbTree>(std::move(sysRoot), std::move(devRoot));
}

}  // namespace nork::port
