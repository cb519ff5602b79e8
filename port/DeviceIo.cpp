#include "port/DeviceIo.h"

#include <algorithm>

#include "port/VolumeIo.h"

namespace nork::port {

DeviceIo::~DeviceIo() {
    for (auto& [handle, entry] : m_handles)
        entry.backend->close(entry.localHandle);
}

void DeviceIo::registerBackend(std::shared_ptr<IDeviceBackend> backend) {
    if (!backend)
        return;
    std::lock_guard<std::mutex> guard(m_mutex);
    m_backends.push_back(std::move(backend));
}

bool DeviceIo::unregisterBackend(const IDeviceBackend* backend) {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto it = std::find_if(m_backends.begin(), m_backends.end(),
                           [backend](const auto& b) { return b.get() == backend; });
    if (it == m_backends.end())
        return false;
    m_backends.erase(it);
    return true;
}

OsHandle DeviceIo::open(std::u16string_view path, PortError* error) {
    return open(std::string_view(devicePathToUtf8(path)), error);
}

std::shared_ptr<IDeviceBackend> DeviceIo::backendFor(std::string_view path) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (auto it = m_backends.rbegin(); it != m_backends.rend(); ++it) {
        if ((*it)->claims(path))
            return *it;
    }
    return nullptr;
}

OsHandle DeviceIo::open(std::string_view path, PortError* error) {
    PortError result;
    std::shared_ptr<IDeviceBackend> backend;
    if (path.empty()) {
        result.code = PortErrc::InvalidArgument;
    } else {
        backend = backendFor(path);
        if (!backend)
            result.code = PortErrc::NotFound;
    }

    OsHandle handle = INVALID_OS_HANDLE;
    if (backend) {
        std::intptr_t local = -1;
        result = backend->open(std::string(path), local);
        if (!result) {
            std::lock_guard<std::mutex> guard(m_mutex);
            handle = m_nextHandle++;
            m_handles[handle] = Entry{backend, local};
        }
    }
    if (error != nullptr)
        *error = result;
    return handle;
}

PortError DeviceIo::close(OsHandle handle) {
    Entry entry;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        auto it = m_handles.find(handle);
        if (it == m_handles.end())
            return PortError{PortErrc::NotFound, 0};
        entry = std::move(it->second);
        m_handles.erase(it);
    }
    entry.backend->close(entry.localHandle);
    return PortError::ok();
}

bool DeviceIo::lookup(OsHandle handle, Entry& out) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto it = m_handles.find(handle);
    if (it == m_handles.end())
        return false;
    out = it->second;
    return true;
}

PortError DeviceIo::send(OsHandle handle, ScsiPassThroughRequest& request) {
    Entry entry;
    if (!lookup(handle, entry))
        return PortError{PortErrc::NotFound, 0};
    return entry.backend->passThrough(entry.localHandle, request);
}

PortError DeviceIo::vendorDriverRequest(OsHandle handle, VendorDriverRequest& request) {
    Entry entry;
    if (!lookup(handle, entry))
        return PortError{PortErrc::NotFound, 0};
    return entry.backend->vendorDriverRequest(entry.localHandle, request);
}

PortError DeviceIo::control(OsHandle handle, DeviceControlRequest& request) {
    request.bytesReturned = 0;
    Entry entry;
    if (!lookup(handle, entry))
        return PortError{PortErrc::NotFound, 0};
    return entry.backend->control(entry.localHandle, request);
}

void encodeDiskGeometry(const DiskGeometry& g, std::uint8_t* out) {
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    const auto cylinders = static_cast<std::uint64_t>(g.cylinders);
    put32(0, static_cast<std::uint32_t>(cylinders));
    put32(4, static_cast<std::uint32_t>(cylinders >> 32));
    put32(8, g.mediaType);
    put32(12, g.tracksPerCylinder);
    put32(16, g.sectorsPerTrack);
    put32(20, g.bytesPerSector);
}

DiskGeometry decodeDiskGeometry(const std::uint8_t* in) {
    auto get32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(in[at + i]) << (8 * i);
        return v;
    };
    DiskGeometry g;
    g.cylinders = static_cast<std::int64_t>(static_cast<std::uint64_t>(get32(0)) |
                                            (static_cast<std::uint64_t>(get32(4)) << 32));
    g.mediaType = get32(8);
    g.tracksPerCylinder = get32(12);
    g.sectorsPerTrack = get32(16);
    g.bytesPerSector = get32(20);
    return g;
}

PortError DeviceIo::usbIdentity(std::u16string_view path, UsbIdentity& out) {
    return usbIdentity(std::string_view(devicePathToUtf8(path)), out);
}

PortError DeviceIo::usbIdentity(std::string_view path, UsbIdentity& out) {
    out = UsbIdentity();
    if (path.empty())
        return PortError{PortErrc::InvalidArgument, 0};
    std::shared_ptr<IDeviceBackend> backend = backendFor(path);
    if (!backend)
        return PortError{PortErrc::NotFound, 0};
    return backend->usbIdentity(std::string(path), out);
}

PortError DeviceIo::resolve(OsHandle handle, std::shared_ptr<IDeviceBackend>& backend,
                            std::intptr_t& localHandle) const {
    Entry entry;
    if (!lookup(handle, entry))
        return PortError{PortErrc::NotFound, 0};
    backend = std::move(entry.backend);
    localHandle = entry.localHandle;
    return PortError::ok();
}

std::size_t DeviceIo::openHandleCount() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_handles.size();
}

DeviceIo& deviceIo() {
    // Deliberately leaked: handles may still be closed by objects destroyed
    // at exit after a function-local static would be gone.
    static DeviceIo* table = [] {
        auto* t = new DeviceIo();
        t->registerBackend(makeLinuxDeviceBackend("/dev"));
        // Drive letters ("\\.\E:") open the unit behind them through this table.
        t->registerBackend(makeVolumeDeviceBackend(*t));
        return t;
    }();
    return *table;
}

std::string devicePathToUtf8(std::u16string_view path) {
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        char32_t c = path[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < path.size() && path[i + 1] >= 0xDC00 &&
            path[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (path[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace nork::port
