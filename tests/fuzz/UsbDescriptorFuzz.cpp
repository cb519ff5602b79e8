// Fuzz target of the USB descriptor readers: the sysfs backend's pick of the
// active configuration and its first interface, and the library's tree walk
// over a port carrying those descriptors (ids, endpoints, string
// descriptors and their checks, the visitors that match a drive).
//
// Input: byte 0 the active configuration value (0xFF: unknown), byte 1 the
// length n of the string descriptor every index answers, those n bytes, then
// the device's descriptors as sysfs lists them.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "DeviceTreeVisit.h"
#include "port/UsbTree.h"

namespace {

using nork::port::PortErrc;
using nork::port::PortError;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "usb descriptor fuzz: %s\n", what);
    std::abort();
}

// One host controller, one root hub, the fuzzed device on its port 1.
class OnePortTree : public nork::port::IUsbTreeBackend {
  public:
    nork::port::UsbPortInfo device;
    std::vector<std::uint8_t> answer;

    std::string prefix() const override { return "fuzz:"; }
    std::vector<nork::port::UsbHostController> hostControllers() override {
        return {{u"hc", "fuzz:hc", u"Host", "fuzz:root"}};
    }
    PortError hub(const std::string& name, nork::port::UsbHubInfo& out) override {
        if (name != "fuzz:root")
            return PortError{PortErrc::NotFound, 0};
        out.name = name;
        out.ports = {device};
        return PortError::ok();
    }
    PortError stringDescriptor(const std::string&, std::uint32_t port, std::uint8_t, std::uint16_t,
                               std::vector<std::uint8_t>& out) override {
        if (port != device.port)
            return PortError{PortErrc::NotFound, 0};
        out = answer;
        return PortError::ok();
    }
};

void checkConfiguration(const std::vector<std::uint8_t>& all,
                        const std::vector<std::uint8_t>& config) {
    if (config.empty())
        return;
    if (config.size() < 9 || config.size() + 18 > all.size() || config[1] != 2 ||
        static_cast<std::size_t>(config[2] | config[3] << 8) != config.size())
        fail("a configuration that is not one of the device's");
    std::uint8_t number = 0, cls = 0;
    nork::port::usbFirstInterface(config, number, cls);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const long value = data[0] == 0xFF ? -1 : data[0];
    const std::size_t n = std::min<std::size_t>(data[1], size - 2);
    auto tree = std::make_shared<OnePortTree>();
    tree->answer.assign(data + 2, data + 2 + n);
    const std::vector<std::uint8_t> all(data + 2 + n, data + size);

    const std::vector<std::uint8_t> config = nork::port::usbPickConfiguration(all, value);
    checkConfiguration(all, config);
    if (all.size() < 18)
        return 0;  // nothing plugged, as the backend sees it

    nork::port::UsbPortInfo& port = tree->device;
    port.port = 1;
    port.connectionStatus = nork::port::USB_DEVICE_CONNECTED;
    std::copy_n(all.begin(), 18, port.deviceDescriptor.begin());
    port.configDescriptor = config;

    nork::usb::CUSBDevice device(*tree, "fuzz:root", port);
    std::uint16_t vid = 0, pid = 0;
    device.getIds(vid, pid);
    // An endpoint handed out is read whole (7 bytes): the sanitizers see a
    // short one.
    unsigned sum = 0;
    for (std::uint8_t ep = 0; ep < 16; ++ep) {
        if (const std::uint8_t* d = device.findEndpoint(ep)) {
            for (int i = 0; i < 7; ++i)
                sum += d[i];
        }
    }
    volatile unsigned sink = sum;
    (void)sink;
    std::u16string text;
    device.getString(device.iSerialNumber(), text);

    // The walk as the library runs it, looking for the serial the port shows.
    auto previous = nork::usb::setTreeSource(tree);
    nork::usb::CUSBCapabilitiesVisitor capabilities(text);
    nork::usb::walk(capabilities);
    nork::usb::CQzValidationVisitor validation(text);
    nork::usb::walk(validation);
    nork::usb::setTreeSource(previous);
    return 0;
}
