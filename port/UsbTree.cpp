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

}  // namespace nork::port
