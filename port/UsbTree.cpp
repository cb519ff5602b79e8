// The backend table of the USB tree: registered backends (most recent first)
// and the sysfs one, which joins on first use and stays last.
#include "port/UsbTree.h"

#include <mutex>

namespace nork::port {
namespace {

struct Table {
    std::mutex mutex;
    std::vector<std::shared_ptr<IUsbTreeBackend>> registered;  // most recent first
    std::shared_ptr<IUsbTreeBackend> sysfs;
    bool sysfsWanted = true;
};

Table& table() {
    static Table t;
    return t;
}

// A copy of the list, so no call into a backend runs under the table's lock.
std::vector<std::shared_ptr<IUsbTreeBackend>> backends() {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.sysfsWanted && !t.sysfs)
        t.sysfs = makeSysfsUsbTreeBackend();
    std::vector<std::shared_ptr<IUsbTreeBackend>> all = t.registered;
    if (t.sysfsWanted && t.sysfs)
        all.push_back(t.sysfs);
    return all;
}

std::shared_ptr<IUsbTreeBackend> backendOf(const std::string& name) {
    for (auto& b : backends()) {
        const std::string prefix = b->prefix();
        if (!prefix.empty() && name.compare(0, prefix.size(), prefix) == 0)
            return b;
    }
    return nullptr;
}

}  // namespace

void registerUsbTreeBackend(std::shared_ptr<IUsbTreeBackend> backend) {
    if (!backend)
        return;
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    // One backend per prefix: a newer one (another daemon's socket, a test's
    // fake) takes the names over.
    const std::string prefix = backend->prefix();
    std::erase_if(t.registered, [&](const auto& b) { return b->prefix() == prefix; });
    t.registered.insert(t.registered.begin(), std::move(backend));
}

void clearUsbTreeBackends() {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.registered.clear();
    t.sysfs.reset();
    t.sysfsWanted = false;
}

void resetUsbTreeBackends() {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.registered.clear();
    t.sysfs.reset();
    t.sysfsWanted = true;
}

std::vector<UsbHostController> usbHostControllers() {
    std::vector<UsbHostController> all;
    for (auto& b : backends()) {
        std::vector<UsbHostController> some = b->hostControllers();
        all.insert(all.end(), std::make_move_iterator(some.begin()),
                   std::make_move_iterator(some.end()));
    }
    return all;
}

PortError usbHub(const std::string& name, UsbHubInfo& out) {
    out = UsbHubInfo{};
    auto backend = backendOf(name);
    if (!backend)
        return PortError{PortErrc::NotFound, 0};
    return backend->hub(name, out);
}

PortError usbHubStringDescriptor(const std::string& hubName, std::uint32_t port, std::uint8_t index,
                                 std::uint16_t language, std::vector<std::uint8_t>& out) {
    out.clear();
    auto backend = backendOf(hubName);
    if (!backend)
        return PortError{PortErrc::NotFound, 0};
    return backend->stringDescriptor(hubName, port, index, language, out);
}

// ---- Descriptor bytes ----

namespace {

constexpr std::size_t DEVICE_DESCRIPTOR_SIZE = 18;
constexpr std::size_t CONFIGURATION_HEADER_SIZE = 9;
constexpr std::uint8_t CONFIGURATION_TYPE = 2;
constexpr std::uint8_t INTERFACE_TYPE = 4;

std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

std::vector<std::uint8_t> usbPickConfiguration(const std::vector<std::uint8_t>& all, long value) {
    std::size_t at = DEVICE_DESCRIPTOR_SIZE;
    while (at + CONFIGURATION_HEADER_SIZE <= all.size()) {
        const std::uint8_t* c = all.data() + at;
        const std::size_t total = le16(c + 2);
        if (c[1] != CONFIGURATION_TYPE || total < CONFIGURATION_HEADER_SIZE ||
            at + total > all.size())
            break;
        if (value < 0 || c[5] == value)
            return std::vector<std::uint8_t>(all.begin() + static_cast<std::ptrdiff_t>(at),
                                             all.begin() + static_cast<std::ptrdiff_t>(at + total));
        at += total;
    }
    return {};
}

bool usbFirstInterface(const std::vector<std::uint8_t>& config, std::uint8_t& number,
                       std::uint8_t& cls) {
    std::size_t at = config.empty() ? 0 : config[0];
    while (at + 2 <= config.size() && config[at] >= 2) {
        if (config[at + 1] == INTERFACE_TYPE && at + 9 <= config.size()) {
            number = config[at + 2];
            cls = config[at + 5];
            return true;
        }
        at += config[at];
    }
    return false;
}

}  // namespace nork::port
