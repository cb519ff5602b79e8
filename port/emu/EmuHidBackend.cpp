#include "port/emu/EmuHidBackend.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "port/emu/EmuClient.h"
#include "port/emu/EmuDeviceBackend.h"
#include "port/emu/EmuPaths.h"

namespace nork::port::emu {

namespace {

using std::chrono::milliseconds;

// One daemon request of a read waits at most this long; longer waits repeat.
constexpr milliseconds READ_SLICE{4000};

bool validSerialText(std::string_view s) {
    return !s.empty() && s.size() <= 64 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c > 0x20 && c < 0x7F && c != '/'; });
}

PortError ioOf(const EmuStatus& s) {
    if (s.io)
        return s.io.code == PortErrc::Timeout ? s.io : PortError{PortErrc::Disconnected, 0};
    if (s.refused) {
        return s.error.code == EmuErrc::NoSuchDrive || s.error.code == EmuErrc::NoSuchLun
                   ? PortError{PortErrc::Disconnected, 0}
                   : PortError{PortErrc::IoError, 0};
    }
    return PortError::ok();
}

class EmulatorHidBackend final : public IDeviceBackend, public IHidBackend {
  public:
    explicit EmulatorHidBackend(std::string socketPath) : m_socketPath(std::move(socketPath)) {}

    const char* name() const override { return "emulator-hid"; }

    bool claims(std::string_view path) const override {
        return path.substr(0, HID_PATH_SCHEME.size()) == HID_PATH_SCHEME;
    }

    PortError open(const std::string& path, std::intptr_t& localHandle) override {
        auto session = std::make_shared<Session>();
        if (!parseHidPath(path, session->serial))
            return PortError{PortErrc::NotFound, 0};
        if (session->writer.connect(m_socketPath) || session->reader.connect(m_socketPath))
            return PortError{PortErrc::NotFound, 0};
        std::vector<std::uint8_t> descriptor;
        EmuStatus s = session->writer.hidOpen(session->serial, descriptor);
        if (!s.ok())
            return s.io ? PortError{PortErrc::IoError, s.io.sysErrno}
                        : PortError{PortErrc::NotFound, 0};
        // The daemon drops a connection that sends nothing in its first
        // seconds, or idles later without having opened anything, and the
        // first read may come much later: the reader opens the interface too.
        std::vector<std::uint8_t> unused;
        s = session->reader.hidOpen(session->serial, unused);
        if (!s.ok())
            return s.io ? PortError{PortErrc::IoError, s.io.sysErrno}
                        : PortError{PortErrc::NotFound, 0};
        session->capsValid =
            parseHidReportDescriptor(descriptor.data(), descriptor.size(), session->caps);
        std::lock_guard guard(m_mutex);
        localHandle = m_next++;
        m_sessions[localHandle] = std::move(session);
        return PortError::ok();
    }

    void close(std::intptr_t localHandle) override {
        std::shared_ptr<Session> session;
        {
            std::lock_guard guard(m_mutex);
            auto it = m_sessions.find(localHandle);
            if (it == m_sessions.end())
                return;
            session = std::move(it->second);
            m_sessions.erase(it);
        }
        session->writer.close();
        // A read in flight ends with its daemon request; the socket is shut
        // only for later calls.
        session->reader.close();
    }

    PortError passThrough(std::intptr_t, ScsiPassThroughRequest&) override {
        return PortError{PortErrc::NotSupported, 0};
    }
    PortError vendorDriverRequest(std::intptr_t, VendorDriverRequest&) override {
        return PortError{PortErrc::NotSupported, 0};
    }

    PortError hidWrite(std::intptr_t local, const std::uint8_t* report, std::size_t size) override {
        auto session = find(local);
        if (!session)
            return PortError{PortErrc::NotFound, 0};
        std::lock_guard use(session->writeMutex);
        return ioOf(session->writer.hidWrite(session->serial,
                                             std::vector<std::uint8_t>(report, report + size)));
    }

    PortError hidRead(std::intptr_t local, std::uint8_t* buffer, std::size_t size, int timeoutMs,
                      std::size_t& got) override {
        got = 0;
        auto session = find(local);
        if (!session)
            return PortError{PortErrc::NotFound, 0};
        std::lock_guard use(session->readMutex);
        const auto maxBytes = static_cast<std::uint32_t>(
            std::min<std::size_t>(size / HID_REPORT_SIZE * HID_REPORT_SIZE, MAX_HID_READ));
        if (maxBytes == 0)
            return PortError{PortErrc::InvalidArgument, 0};
        milliseconds left{timeoutMs < 0 ? 0 : timeoutMs};
        for (;;) {
            const milliseconds slice = timeoutMs < 0 ? READ_SLICE : std::min(left, READ_SLICE);
            std::vector<std::uint8_t> bytes;
            if (PortError e =
                    ioOf(session->reader.hidRead(session->serial, maxBytes, slice, bytes)))
                return e;
            if (!bytes.empty()) {
                got = std::min(bytes.size(), size);
                std::memcpy(buffer, bytes.data(), got);
                return PortError::ok();
            }
            if (timeoutMs >= 0) {
                left -= slice;
                if (left.count() <= 0)
                    return PortError{PortErrc::Timeout, 0};
            }
        }
    }

    PortError hidCaps(std::intptr_t local, HidCaps& out) override {
        auto session = find(local);
        if (!session)
            return PortError{PortErrc::NotFound, 0};
        if (!session->capsValid)
            return PortError{PortErrc::IoError, 0};
        out = session->caps;
        return PortError::ok();
    }

    PortError hidFlush(std::intptr_t local) override {
        std::uint8_t scratch[HID_REPORT_SIZE * 8];
        std::size_t got = 0;
        while (!hidRead(local, scratch, sizeof scratch, 0, got) && got > 0) {
        }
        return PortError::ok();
    }

    bool claimsUsbPath(const std::string& path) const override {
        std::string serial;
        return serialOfUsbPath(path, serial);
    }

    PortError usbDeviceDescriptor(const std::string& path,
                                  std::array<std::uint8_t, 18>& out) override {
        std::vector<std::uint8_t> bytes;
        if (PortError e = descriptor(path, 1, 0, 0, bytes))
            return e;
        if (bytes.size() != out.size())
            return PortError{PortErrc::IoError, 0};
        std::copy(bytes.begin(), bytes.end(), out.begin());
        return PortError::ok();
    }

    PortError usbStringDescriptorRaw(const std::string& path, std::uint8_t index,
                                     std::uint16_t lang, std::vector<std::uint8_t>& out) override {
        return descriptor(path, 3, index, lang, out);
    }

  private:
    struct Session {
        std::string serial;
        std::mutex writeMutex;
        std::mutex readMutex;
        EmuClient writer;
        EmuClient reader;
        bool capsValid = false;
        HidCaps caps;
    };

    std::shared_ptr<Session> find(std::intptr_t local) {
        std::lock_guard guard(m_mutex);
        auto it = m_sessions.find(local);
        return it == m_sessions.end() ? nullptr : it->second;
    }

    static bool serialOfUsbPath(const std::string& path, std::string& serial) {
        if (parseHidPath(path, serial))
            return true;
        EmulatedPath disk;
        if (parseDevicePath(path, disk)) {
            serial = disk.serial;
            return true;
        }
        return false;
    }

    PortError descriptor(const std::string& path, std::uint8_t type, std::uint8_t index,
                         std::uint16_t lang, std::vector<std::uint8_t>& out) {
        UsbDescriptorRequest r;
        if (!serialOfUsbPath(path, r.serial))
            return PortError{PortErrc::NotFound, 0};
        r.type = type;
        r.index = index;
        r.lang = lang;
        EmuClient client;
        if (PortError e = client.connect(m_socketPath))
            return PortError{PortErrc::NotFound, e.sysErrno};
        EmuStatus s = client.usbDescriptor(r, out);
        if (s.refused && s.error.code == EmuErrc::Failed)
            return PortError{PortErrc::IoError, 0};  // the device stalled
        return ioOf(s);
    }

    std::string m_socketPath;
    std::mutex m_mutex;
    std::map<std::intptr_t, std::shared_ptr<Session>> m_sessions;
    std::intptr_t m_next = 1;
};

}  // namespace

bool parseHidPath(std::string_view path, std::string& serial) {
    if (path.substr(0, HID_PATH_SCHEME.size()) != HID_PATH_SCHEME)
        return false;
    const std::string_view rest = path.substr(HID_PATH_SCHEME.size());
    if (!validSerialText(rest))
        return false;
    serial.assign(rest);
    return true;
}

std::string makeHidPath(const std::string& serial) {
    return std::string(HID_PATH_SCHEME) + serial;
}

std::shared_ptr<IHidBackend> makeEmulatorHidBackend(std::string socketPath,
                                                    std::shared_ptr<IDeviceBackend>& device) {
    auto backend = std::make_shared<EmulatorHidBackend>(std::move(socketPath));
    device = backend;
    return backend;
}

bool registerEmulatorHidBackendIfPresent(DeviceIo& io) {
    const char* env = std::getenv("QZ_EMU_SOCKET");
    const bool named = env != nullptr && *env != '\0';
    const std::string socketPath = defaultSocketPath();
    static std::mutex mutex;
    // Once per table and daemon: a later SDK start that finds another socket
    // (the daemon moved) serves that one's drives, the newest backend first.
    static std::set<std::pair<const DeviceIo*, std::string>> registered;
    std::lock_guard guard(mutex);
    if (registered.count({&io, socketPath}) != 0)
        return true;
    if (!named && !pathExists(socketPath))
        return false;
    std::shared_ptr<IDeviceBackend> device;
    auto hid = makeEmulatorHidBackend(socketPath, device);
    registerHidBackend(std::move(device), std::move(hid), io);
    registered.insert({&io, socketPath});
    return true;
}

}  // namespace nork::port::emu
