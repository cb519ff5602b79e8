#include "port/VolumeIo.h"

#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

namespace nork::port {

char16_t volumePathLetter(std::string_view path) {
    if (path.size() != 6 || path.substr(0, 4) != "\\\\.\\" || path[5] != ':')
        return 0;
    char c = path[4];
    if (c >= 'a' && c <= 'z')
        c = static_cast<char>(c - 'a' + 'A');
    return (c >= 'A' && c <= 'Z') ? static_cast<char16_t>(c) : 0;
}

namespace {

struct DriverList {
    std::mutex mutex;
    std::vector<std::shared_ptr<IVolumeDriver>> drivers;  // newest last
    bool defaultsLoaded = false;
};

DriverList& driverList() {
    static DriverList* list = new DriverList();  // outlives objects destroyed at exit
    return *list;
}

void loadDefaultsLocked(DriverList& list) {
    if (list.defaultsLoaded)
        return;
    list.defaultsLoaded = true;
    list.drivers.insert(list.drivers.begin(), makeLinuxVolumeDriver());
}

std::string normal(const std::string& dir) {
    std::string s = std::filesystem::path(dir).lexically_normal().string();
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

class VolumeDeviceBackend final : public IDeviceBackend {
  public:
    explicit VolumeDeviceBackend(DeviceIo& io) : m_io(io) {}

    const char* name() const override { return "volume"; }

    bool claims(std::string_view path) const override { return volumePathLetter(path) != 0; }

    PortError open(const std::string& path, std::intptr_t& localHandle) override {
        const char16_t letter = volumePathLetter(path);
        // A dangling letter (its volume dismounted or gone) names nothing.
        bool present = false;
        const std::string target = driveLetterTarget(letter, &present);
        if (target.empty() || !present)
            return PortError{PortErrc::NotFound, 0};
        StorageUnitFacts unit;
        if (!findUnit(normal(target), unit))
            return PortError{PortErrc::NotFound, 0};
        std::shared_ptr<IVolumeDriver> driver = volumeDriverFor(unit);
        if (!driver)
            return PortError{PortErrc::NotSupported, 0};

        auto handle = std::make_shared<Handle>();
        PortError error;
        handle->inner = m_io.open(std::string_view(unit.ioPath), &error);
        if (handle->inner == INVALID_OS_HANDLE)
            return error;
        if (PortError e = driver->openSession(unit, handle->session)) {
            m_io.close(handle->inner);
            return e;
        }
        std::lock_guard<std::mutex> guard(m_mutex);
        localHandle = m_next++;
        m_handles[localHandle] = std::move(handle);
        return PortError::ok();
    }

    void close(std::intptr_t localHandle) override {
        std::shared_ptr<Handle> handle;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            auto it = m_handles.find(localHandle);
            if (it == m_handles.end())
                return;
            handle = std::move(it->second);
            m_handles.erase(it);
        }
        handle->session.reset();  // the lock ends with the handle
        m_io.close(handle->inner);
    }

    PortError passThrough(std::intptr_t localHandle, ScsiPassThroughRequest& request) override {
        std::shared_ptr<Handle> handle = find(localHandle);
        if (!handle)
            return PortError{PortErrc::NotFound, 0};
        return m_io.send(handle->inner, request);
    }

    PortError vendorDriverRequest(std::intptr_t localHandle,
                                  VendorDriverRequest& request) override {
        std::shared_ptr<Handle> handle = find(localHandle);
        if (!handle)
            return PortError{PortErrc::NotFound, 0};
        return m_io.vendorDriverRequest(handle->inner, request);
    }

    PortError control(std::intptr_t localHandle, DeviceControlRequest& request) override {
        std::shared_ptr<Handle> handle = find(localHandle);
        if (!handle)
            return PortError{PortErrc::NotFound, 0};
        switch (request.controlCode) {
            case FSCTL_LOCK_VOLUME:
                return handle->session->lock();
            case FSCTL_DISMOUNT_VOLUME:
                return handle->session->dismount();
            case FSCTL_UNLOCK_VOLUME:
                return handle->session->unlock();
            default:
                return m_io.control(handle->inner, request);
        }
    }

  private:
    struct Handle {
        OsHandle inner = INVALID_OS_HANDLE;
        std::unique_ptr<IVolumeSession> session;
    };

    // The unit whose volume is mounted on the letter's directory.
    static bool findUnit(const std::string& target, StorageUnitFacts& out) {
        const InventorySnapshot snap = peekSnapshot();
        for (const StorageUnit& unit : snap.units) {
            if (!unit.facts.mountDir.empty() && normal(unit.facts.mountDir) == target) {
                out = unit.facts;
                return true;
            }
        }
        return false;
    }

    std::shared_ptr<Handle> find(std::intptr_t localHandle) {
        std::lock_guard<std::mutex> guard(m_mutex);
        auto it = m_handles.find(localHandle);
        return it == m_handles.end() ? nullptr : it->second;
    }

    DeviceIo& m_io;
    std::mutex m_mutex;
    std::map<std::intptr_t, std::shared_ptr<Handle>> m_handles;
    std::intptr_t m_next = 1;
};

}  // namespace

namespace {
struct LogSink {
    std::mutex mutex;
    std::function<void(const std::string&)> sink;
};
LogSink& logSink() {
    static auto* s = new LogSink();
    return *s;
}
}  // namespace

void setVolumeLog(std::function<void(const std::string&)> sink) {
    LogSink& s = logSink();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.sink = std::move(sink);
}

void volumeLog(const std::string& line) {
    std::function<void(const std::string&)> sink;
    {
        LogSink& s = logSink();
        std::lock_guard<std::mutex> guard(s.mutex);
        sink = s.sink;
    }
    if (sink)
        sink(line);
}

void registerVolumeDriver(std::shared_ptr<IVolumeDriver> driver) {
    if (!driver)
        return;
    DriverList& list = driverList();
    std::lock_guard<std::mutex> guard(list.mutex);
    loadDefaultsLocked(list);
    for (const auto& d : list.drivers) {
        if (d == driver)
            return;
    }
    list.drivers.push_back(std::move(driver));
}

bool unregisterVolumeDriver(const IVolumeDriver* driver) {
    DriverList& list = driverList();
    std::lock_guard<std::mutex> guard(list.mutex);
    for (auto it = list.drivers.begin(); it != list.drivers.end(); ++it) {
        if (it->get() == driver) {
            list.drivers.erase(it);
            return true;
        }
    }
    return false;
}

std::shared_ptr<IVolumeDriver> volumeDriverFor(const StorageUnitFacts& unit) {
    DriverList& list = driverList();
    std::lock_guard<std::mutex> guard(list.mutex);
    loadDefaultsLocked(list);
    for (auto it = list.drivers.rbegin(); it != list.drivers.rend(); ++it) {
        if ((*it)->serves(unit))
            return *it;
    }
    return nullptr;
}

std::shared_ptr<IDeviceBackend> makeVolumeDeviceBackend(DeviceIo& io) {
    return std::make_shared<VolumeDeviceBackend>(io);
}

}  // namespace nork::port
