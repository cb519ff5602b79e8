#include "DeviceTreeVisit.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "DeviceValidators.h"
#include "HidReset.h"
#include "Log.h"
#include "PlatformFactory.h"

namespace nork::usb {

namespace {

constexpr std::uint8_t STRING_DESCRIPTOR_TYPE = 3;
constexpr std::uint8_t ENDPOINT_DESCRIPTOR_TYPE = 5;
constexpr std::size_t MAX_DESCRIPTOR = 255;
// Hubs nested deeper than USB allows (five hubs below the root) mean a
// tree that loops; the walk stops descending there.
constexpr int MAX_HUB_DEPTH = 8;

// The port's tree, as seen through the backend interface.
class PortTree : public port::IUsbTreeBackend {
  public:
    std::string prefix() const override { return {}; }
    std::vector<port::UsbHostController> hostControllers() override {
        return port::usbHostControllers();
    }
    port::PortError hub(const std::string& name, port::UsbHubInfo& out) override {
        return port::usbHub(name, out);
    }
    port::PortError stringDescriptor(const std::string& hubName, std::uint32_t port,
                                     std::uint8_t index, std::uint16_t language,
                                     std::vector<std::uint8_t>& out) override {
        return port::usbHubStringDescriptor(hubName, port, index, language, out);
    }
};

std::mutex g_sourceMutex;
std::shared_ptr<port::IUsbTreeBackend> g_source;

std::shared_ptr<port::IUsbTreeBackend> currentSource() {
    std::lock_guard<std::mutex> guard(g_sourceMutex);
    if (g_source)
        return g_source;
    return std::make_shared<PortTree>();
}

// Walks one hub; false when the hub could not be read or the visitor is
// done.
bool walkHub(port::IUsbTreeBackend& tree, const std::string& name, CVisitor& visitor, int depth) {
    port::UsbHubInfo hub;
    if (name.empty() || tree.hub(name, hub))
        return false;
    for (const port::UsbPortInfo& info : hub.ports) {
        if (info.connectionStatus != port::USB_DEVICE_CONNECTED)
            continue;
        if (info.deviceIsHub) {
            // A hub that cannot be read is one port's failure: skipped.
            if (depth < MAX_HUB_DEPTH)
                walkHub(tree, info.hubName, visitor, depth + 1);
        } else {
            CUSBDevice device(tree, hub.name.empty() ? name : hub.name, info);
            if (visitor.visit(device))
                return false;
        }
        if (visitor.found())
            return false;
    }
    return true;
}

bool walkHost(port::IUsbTreeBackend& tree, const port::UsbHostController& host, CVisitor& visitor) {
    // The controller must be known by its driver key before its root hub is
    // opened.
    if (host.driverKey.empty() || host.rootHubName.empty())
        return false;
    return walkHub(tree, host.rootHubName, visitor, 0);
}

bool serialMatches(CUSBDevice& device, const std::u16string& serial) {
    const std::uint8_t index = device.iSerialNumber();
    std::u16string text;
    return index != 0 && device.getString(index, text) && text == serial;
}

}  // namespace

std::shared_ptr<port::IUsbTreeBackend> setTreeSource(
    std::shared_ptr<port::IUsbTreeBackend> source) {
    std::lock_guard<std::mutex> guard(g_sourceMutex);
    return std::exchange(g_source, std::move(source));
}

// ---- CUSBDevice ----

CUSBDevice::CUSBDevice(port::IUsbTreeBackend& tree, std::string hubName,
                       const port::UsbPortInfo& info)
    : m_tree(tree), m_hubName(std::move(hubName)), m_info(info) {}

bool CUSBDevice::getIds(std::uint16_t& vid, std::uint16_t& pid) const {
    // A port without connection information reports an empty descriptor.
    if (m_info.connectionStatus != port::USB_DEVICE_CONNECTED || m_info.deviceDescriptor[0] == 0) {
        NORK_LOG(LOG_ERROR, "CUSBDevice::getIds() --- %s", u"Failed");
        return false;
    }
    const auto& d = m_info.deviceDescriptor;
    vid = static_cast<std::uint16_t>(d[8] | (d[9] << 8));
    pid = static_cast<std::uint16_t>(d[10] | (d[11] << 8));
    return true;
}

bool CUSBDevice::getStringDescriptor(std::uint8_t index, std::uint16_t language,
                                     std::vector<std::uint8_t>& out) const {
    std::vector<std::uint8_t> raw;
    bool answered = false;
    for (int attempt = 1; attempt <= STRING_TRIES; ++attempt) {
        raw.clear();
        if (!m_tree.stringDescriptor(m_hubName, m_info.port, index, language, raw)) {
            answered = true;
            break;
        }
        NORK_LOG(LOG_ERROR,
                 "CUSBDevice::getStringDescriptor(index == %d) --- DeviceIoControl command "
                 "failed for the %d time",
                 static_cast<int>(index), attempt);
    }
    if (!answered)
        return false;
    if (raw.size() > MAX_DESCRIPTOR)
        raw.resize(MAX_DESCRIPTOR);
    // The hub's answer counts the request header in front of the descriptor.
    const std::size_t returned = raw.size() + REQUEST_HEADER_SIZE;
    const bool sane = raw.size() >= 2 && returned > 1 && raw[1] == STRING_DESCRIPTOR_TYPE &&
                      returned == raw[0] + REQUEST_HEADER_SIZE && (raw[0] % 2) == 0;
    if (!sane) {
        NORK_LOG(LOG_ERROR,
                 "CUSBDevice::getStringDescriptor() --- failed on sanity checks, return false");
        return false;
    }
    out = std::move(raw);
    return true;
}

bool CUSBDevice::getString(std::uint8_t index, std::u16string& out, std::size_t maxChars) const {
    std::vector<std::uint8_t> raw;
    if (!getStringDescriptor(index, USB_LANGUAGE, raw))
        return false;
    out.clear();
    for (std::size_t i = 2; i + 1 < raw.size() && out.size() < maxChars; i += 2)
        out.push_back(static_cast<char16_t>(raw[i] | (raw[i + 1] << 8)));
    return true;
}

const std::uint8_t* CUSBDevice::findEndpoint(std::uint8_t endpointNumber) const {
    const std::vector<std::uint8_t>& c = m_info.configDescriptor;
    std::size_t at = 0;
    while (at + 2 <= c.size()) {
        const std::size_t length = c[at];
        if (length < 2 || at + length > c.size())
            break;
        if (c[at + 1] == ENDPOINT_DESCRIPTOR_TYPE && length >= 7 &&
            (c[at + 2] & 0x7F) == endpointNumber)
            return &c[at];
        at += length;
    }
    return nullptr;
}

// ---- walk ----

bool walk(CVisitor& visitor) {
    try {
        std::shared_ptr<port::IUsbTreeBackend> tree = currentSource();
        bool ok = true;
        for (const port::UsbHostController& host : tree->hostControllers()) {
            if (!ok || visitor.found())
                break;
            ok = walkHost(*tree, host, visitor);
        }
        // The numbered host-controller names tried when the interface list is
        // empty have no counterpart here: the tree lists every controller.
        return ok && !visitor.found();
    } catch (...) {
        return false;
    }
}

// ---- visitors ----

CQzValidationVisitor::CQzValidationVisitor(const std::u16string& serial)
    : m_serial(serial.substr(0, MAX_SERIAL)) {}

bool CQzValidationVisitor::composite() const {
    const int type = CPlatformFactory::instance().platformType();
    return m_service == (type >= 9 ? u"usbccgp" : u"usbhub");
}

bool CQzValidationVisitor::validate(CUSBDevice& device) {
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    if (!device.getIds(vid, pid) || !serialMatches(device, m_serial))
        return false;
    m_vid = vid;
    m_pid = pid;
    m_stringIdIndex =
        std::max({device.iManufacturer(), device.iProduct(), device.iSerialNumber()}) + 1;
    m_description = device.description();
    m_service = device.service();
    m_stringId.clear();
    bool read = false;
    if (m_stringIdIndex <= 255)
        read = device.getString(static_cast<std::uint8_t>(m_stringIdIndex), m_stringId);
    CQzStringIdParser parser;
    const bool valid = read && parser.parse(m_stringId);
    NORK_LOG(LOG_INFO,
             "USB Device validation %s: VID 0x%.4X, PID 0x%.4X, serial %s, description: %s",
             valid ? u"Succeed" : u"Fail", static_cast<unsigned>(vid), static_cast<unsigned>(pid),
             m_serial, m_description);
    if (valid) {
        m_result = true;
        setFound();
    }
    return valid;
}

bool CQzValidationVisitor::visit(CUSBDevice& device) {
    return validate(device);
}

bool CUSBCapabilitiesVisitor::visit(CUSBDevice& device) {
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    if (!serialMatches(device, m_serial) || !device.getIds(vid, pid))
        return false;
    m_vid = vid;
    m_pid = pid;
    setFound();
    const std::uint8_t* endpoint = device.findEndpoint(1);
    if (endpoint == nullptr)
        endpoint = device.findEndpoint(2);
    if (endpoint != nullptr && (endpoint[3] & 0x02) != 0) {
        const unsigned maxPacket = endpoint[4] | (endpoint[5] << 8);
        m_speed = maxPacket == 512 ? SPEED_HIGH : SPEED_FULL;
    }
    return true;
}

CUSBCapabilitiesVisitor::CUSBCapabilitiesVisitor(const std::u16string& serial)
    : m_serial(serial.substr(0, CQzValidationVisitor::MAX_SERIAL)) {}

namespace {

bool readAt(CUSBDevice& device, int index) {
    if (index > 255)
        return false;
    std::vector<std::uint8_t> ignored;
    return device.getStringDescriptor(static_cast<std::uint8_t>(index), USB_LANGUAGE, ignored);
}

}  // namespace

bool CQzCompSwitchTriggerVisitor::visit(CUSBDevice& device) {
    if (!validate(device))
        return false;
    // From here on the result says whether the sequence went through.
    m_result = false;
    if (!qzStringIdHasHidSequences(m_stringId))
        return true;
    const int a = m_stringIdIndex + 1;
    const int b = m_stringIdIndex + 2;
    bool ok = true;
    for (const int index : {a, a, b, b, a}) {
        if (!readAt(device, index)) {
            ok = false;
            break;
        }
    }
    readAt(device, a);
    m_result = ok;
    NORK_LOG(LOG_INFO, "Qz HID trigger switch %d", ok ? 1 : 0);
    return true;
}

bool CQzHidResetCommandVisitor::visit(CUSBDevice& device) {
    if (!validate(device))
        return false;
    m_result = false;
    if (!qzStringIdHasHidSequences(m_stringId))
        return true;
    m_result = readAt(device, m_stringIdIndex + 2);
    NORK_LOG(LOG_INFO, "Qz HID reset %d", m_result ? 1 : 0);
    return true;
}

}  // namespace nork::usb
