// The USB device tree, hub by hub: host controllers, their root hubs, each
// hub's ports with the connected device's descriptors, and string-descriptor
// reads addressed by (hub, port) as the hub driver's control requests are.
//
// The library walks this tree to find a drive by serial number and to send
// the drive's string-descriptor read sequences. Backends: the Linux one reads
// sysfs (device and configuration descriptors are readable by anyone) and
// reads string descriptors through usbfs control transfers where the process
// may open the device node; the emulator's backend shows one virtual host
// controller with one root hub whose ports carry the plugged drives.
//
// Hub and host names are opaque texts owned by their backend (the backend is
// found by a name's prefix, "sysfs:" or "qzemu:"). Ports are numbered from 1.
//
// Threads: any thread; calls block for at most one control transfer
// (1 second) and never throw.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "port/PortError.h"

namespace nork::port {

struct UsbHostController {
    std::u16string interfacePath;  // the host controller interface path
    std::string driverKey;         // unique per controller
    std::u16string description;
    std::string rootHubName;  // open with usbHub()
};

// Connection status of a port (the hub driver's values).
inline constexpr std::uint32_t USB_NO_DEVICE = 0;
inline constexpr std::uint32_t USB_DEVICE_CONNECTED = 1;

struct UsbPortInfo {
    std::uint32_t port = 0;  // 1-based
    std::uint32_t connectionStatus = USB_NO_DEVICE;
    bool deviceIsHub = false;
    std::array<std::uint8_t, 18> deviceDescriptor{};
    // The whole configuration descriptor (wTotalLength bytes); empty when
    // the device did not give one.
    std::vector<std::uint8_t> configDescriptor;
    std::string driverKey;       // unique per device
    std::u16string description;  // the device's description (product text)
    std::u16string service;      // "usbccgp" for a composite device, "USBSTOR"
                                 // for a storage device, "usbhub" for a hub
    std::string hubName;         // for a hub: open with usbHub()
};

struct UsbHubInfo {
    std::string name;
    std::vector<UsbPortInfo> ports;  // every port, connected or not
};

class IUsbTreeBackend {
  public:
    virtual ~IUsbTreeBackend() = default;
    // The prefix of every hub name this backend hands out ("sysfs:").
    virtual std::string prefix() const = 0;
    virtual std::vector<UsbHostController> hostControllers() = 0;
    virtual PortError hub(const std::string& name, UsbHubInfo& out) = 0;
    // The descriptor bytes as the device answered GET_DESCRIPTOR(STRING)
    // with wLength 255 (bLength, type 3, text), unchecked: the caller checks
    // them. IoError when the device stalled, AccessDenied when the process
    // may not send control requests, NotFound for an unknown hub or port.
    virtual PortError stringDescriptor(const std::string& hubName, std::uint32_t port,
                                       std::uint8_t index, std::uint16_t language,
                                       std::vector<std::uint8_t>& out) = 0;
};

// ---- Descriptor bytes (pure; backends and tests share them) ----

// From a device's descriptors as sysfs lists them (the 18-byte device
// descriptor, then every configuration with its interfaces): the whole
// configuration whose bConfigurationValue is `value`, the first one when the
// value is unknown (< 0); empty when none matches or the data is cut short.
std::vector<std::uint8_t> usbPickConfiguration(const std::vector<std::uint8_t>& descriptors,
                                               long value);
// The first interface descriptor of a configuration: its number and class;
// false when it has none.
bool usbFirstInterface(const std::vector<std::uint8_t>& config, std::uint8_t& number,
                       std::uint8_t& cls);

void registerUsbTreeBackend(std::shared_ptr<IUsbTreeBackend> backend);
void clearUsbTreeBackends();
void resetUsbTreeBackends();

std::shared_ptr<IUsbTreeBackend> makeSysfsUsbTreeBackend(std::string sysRoot = "/sys",
                                                         std::string devRoot = "/dev");

// Every backend's host controllers (the most recently registered backend
// first).
std::vector<UsbHostController> usbHostControllers();
PortError usbHub(const std::string& name, UsbHubInfo& out);
PortError usbHubStringDescriptor(const std::string& hubName, std::uint32_t port, std::uint8_t index,
                                 std::uint16_t language, std::vector<std::uint8_t>& out);

}  // namespace nork::port
