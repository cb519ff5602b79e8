#include "port/emu/EmuDeviceBackend.h"
#include "port/emu/EmuHidBackend.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "port/DiskGeometry.h"
#include "port/emu/EmuClient.h"
#include "port/emu/EmuInventory.h"
#include "port/emu/EmuPaths.h"
#include "port/emu/EmuUsbTree.h"
#include "port/emu/EmuVolumes.h"

namespace nork::port::emu {

bool parseDevicePath(std::string_view path, EmulatedPath& out) {
    if (path.substr(0, DEVICE_PATH_SCHEME.size()) != DEVICE_PATH_SCHEME)
        return false;
    path.remove_prefix(DEVICE_PATH_SCHEME.size());
    const std::size_t slash = path.find('/');
    if (slash == std::string_view::npos || slash == 0 || slash > 64)
        return false;
    const std::string_view serial = path.substr(0, slash);
    const std::string_view lun = path.substr(slash + 1);
    for (char c : serial) {
        if (c <= 0x20 || c >= 0x7F)
            return false;
    }
    if (lun.empty() || lun.size() > 3)
        return false;
    unsigned value = 0;
    for (char c : lun) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 254 || (lun.size() > 1 && lun[0] == '0'))
        return false;
    out.serial = std::string(serial);
    out.lun = static_cast<std::uint8_t>(value);
    return true;
}

std::string makeDevicePath(const std::string& serial, std::uint8_t lun) {
    return std::string(DEVICE_PATH_SCHEME) + serial + "/" + std::to_string(lun);
}

std::string emulatorLocation(const std::string& serial) {
    return std::string(DEVICE_PATH_SCHEME) + serial;
}

PortError toScsiCommand(const ScsiPassThroughRequest& request, ScsiCommand& out) {
    const PortError bad{PortErrc::InvalidArgument, 0};
    const bool direct = request.controlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    if (!direct && request.controlCode != IOCTL_SCSI_PASS_THROUGH)
        return bad;
    if (request.CdbLength == 0 || request.CdbLength > SCSI_PASS_THROUGH_CDB_SPACE)
        return bad;
    const std::uint32_t length = request.DataTransferLength;
    if (!direct && length != 0)
        return bad;
    if (length != 0 && request.DataBuffer == nullptr)
        return bad;
    if (length > MAX_DATA)
        return bad;

    out.cdb.assign(request.Cdb, request.Cdb + request.CdbLength);
    out.timeoutMs = request.TimeOutValue * 1000u;
    out.transferLength = 0;
    out.dataOut.clear();
    if (length == 0) {
        out.dir = DataDir::None;
    } else if (request.DataIn == SCSI_IOCTL_DATA_OUT) {
        out.dir = DataDir::Out;
        const auto* p = static_cast<const std::uint8_t*>(request.DataBuffer);
        out.dataOut.assign(p, p + length);
    } else {
        // Unspecified is taken as reading, the harmless guess.
        out.dir = DataDir::In;
        out.transferLength = length;
    }
    return PortError::ok();
}

PortError applyAnswer(const ScsiAnswer& answer, ScsiPassThroughRequest& request) {
    if (answer.noDevice)
        return PortError{PortErrc::Disconnected, 0};
    request.ScsiStatus = answer.status;
    if (answer.status != 0) {
        std::memcpy(request.Sense, answer.sense.data(), SCSI_PASS_THROUGH_SENSE_SPACE);
    } else {
        std::memset(request.Sense, 0, SCSI_PASS_THROUGH_SENSE_SPACE);
    }
    if (request.DataIn != SCSI_IOCTL_DATA_OUT && request.DataTransferLength != 0 &&
        request.DataBuffer != nullptr) {
        const std::size_t n =
            std::min<std::size_t>(answer.dataIn.size(), request.DataTransferLength);
        if (n > 0)
            std::memcpy(request.DataBuffer, answer.dataIn.data(), n);
    }
    return PortError::ok();
}

bool identityOf(const DriveInfo& info, UsbIdentity& out) {
    if (!info.plugged)
        return false;
    out.serial = info.serial;
    if (info.mode == "disk") {
        out.vendor = "Generic";
        out.product = "USB Flash Disk";
        out.revision = "1.00";
    } else {
        out.vendor = info.vendor;
        out.product = info.product;
        out.revision = info.revision;
        out.stringId = info.reportVendor;
    }
    out.vendorId = info.usbVendorId;
    out.productId = info.usbProductId;
    out.interfaceNumber = 0;
    return true;
}

namespace {

class EmulatorDeviceBackend final : public IDeviceBackend {
  public:
    explicit EmulatorDeviceBackend(std::string socketPath) : m_socketPath(std::move(socketPath)) {}

    const char* name() const override { return "emulator"; }

    bool claims(std::string_view path) const override {
        return path.substr(0, DEVICE_PATH_SCHEME.size()) == DEVICE_PATH_SCHEME;
    }

    PortError open(const std::string& path, std::intptr_t& localHandle) override {
        auto session = std::make_shared<Session>();
        if (!parseDevicePath(path, session->path))
            return PortError{PortErrc::NotFound, 0};
        if (PortError e = connect(*session))
            return e;
        std::lock_guard<std::mutex> guard(m_mutex);
        localHandle = m_next++;
        m_sessions[localHandle] = std::move(session);
        return PortError::ok();
    }

    void close(std::intptr_t localHandle) override {
        std::shared_ptr<Session> session;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            auto it = m_sessions.find(localHandle);
            if (it == m_sessions.end())
                return;
            session = std::move(it->second);
            m_sessions.erase(it);
        }
        session->client.close();
    }

    PortError passThrough(std::intptr_t localHandle, ScsiPassThroughRequest& request) override {
        std::shared_ptr<Session> session;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            auto it = m_sessions.find(localHandle);
            if (it == m_sessions.end())
                return PortError{PortErrc::NotFound, 0};
            session = it->second;
        }
        ScsiCommand command;
        if (PortError e = toScsiCommand(request, command))
            return e;
        command.serial = session->path.serial;
        command.lun = session->path.lun;

        std::lock_guard<std::mutex> use(session->mutex);
        if (!session->client.dropIfPeerGone()) {
            if (PortError e = connect(*session))
                return e.code == PortErrc::NotFound ? PortError{PortErrc::Disconnected, e.sysErrno}
                                                    : e;
        }
        // The drive's own timeout plus room for the trip.
        const auto timeout =
            std::chrono::milliseconds(std::max<std::uint32_t>(command.timeoutMs, 1000) + 5000);
        ScsiAnswer answer;
        EmuStatus s = session->client.scsi(command, answer, timeout);
        if (s.io)
            return s.io.code == PortErrc::Timeout ? s.io : PortError{PortErrc::Disconnected, 0};
        if (s.refused) {
            // The drive went away between open and now.
            return s.error.code == EmuErrc::NoSuchDrive ? PortError{PortErrc::Disconnected, 0}
                                                        : PortError{PortErrc::IoError, 0};
        }
        return applyAnswer(answer, request);
    }

    PortError vendorDriverRequest(std::intptr_t, VendorDriverRequest&) override {
        return PortError{PortErrc::NotSupported, 0};
    }

    PortError control(std::intptr_t localHandle, DeviceControlRequest& request) override {
        // An emulated drive names no geometry: the one made up from its
        // capacity, read through the handle's session.
        if (request.controlCode == IOCTL_DISK_GET_DRIVE_GEOMETRY)
            return answerSynthesizedDriveGeometry(*this, localHandle, request);
        return PortError{PortErrc::NotSupported, 0};
    }

    PortError usbIdentity(const std::string& path, UsbIdentity& out) override {
        EmulatedPath parsed;
        if (!parseDevicePath(path, parsed))
            return PortError{PortErrc::NotFound, 0};
        EmuClient client;
        if (PortError e = client.connect(m_socketPath))
            return PortError{PortErrc::NotFound, e.sysErrno};
        DriveInfo info;
        EmuStatus s = client.inspect(parsed.serial, info);
        if (s.io)
            return PortError{PortErrc::IoError, s.io.sysErrno};
        if (s.refused || !identityOf(info, out))
            return PortError{PortErrc::NotFound, 0};
        return PortError::ok();
    }

  private:
    struct Session {
        EmulatedPath path;
        std::mutex mutex;
        EmuClient client;
    };

    PortError connect(Session& session) {
        if (PortError e = session.client.connect(m_socketPath))
            return PortError{PortErrc::NotFound, e.sysErrno};
        EmuStatus s = session.client.openLun(session.path.serial, session.path.lun);
        if (s.ok())
            return PortError::ok();
        session.client.close();
        if (s.io)
            return PortError{PortErrc::IoError, s.io.sysErrno};
        return PortError{PortErrc::NotFound, 0};
    }

    std::string m_socketPath;
    std::mutex m_mutex;
    std::map<std::intptr_t, std::shared_ptr<Session>> m_sessions;
    std::intptr_t m_next = 1;
};

}  // namespace

std::shared_ptr<IDeviceBackend> makeEmulatorDeviceBackend(std::string socketPath) {
    return std::make_shared<EmulatorDeviceBackend>(std::move(socketPath));
}

bool registerEmulatorBackendIfPresent(DeviceIo& io) {
    const char* env = std::getenv("QZ_EMU_SOCKET");
    const bool named = env != nullptr && *env != '\0';
    const std::string socketPath = defaultSocketPath();
    static std::mutex mutex;
    // Once per table and daemon: a later SDK start that finds another socket
    // (the daemon moved) serves that one's drives, the newest backend first.
    static std::set<std::pair<const DeviceIo*, std::string>> registered;
    std::lock_guard<std::mutex> guard(mutex);
    if (registered.count({&io, socketPath}) != 0)
        return true;
    if (!named && !pathExists(socketPath))
        return false;
    io.registerBackend(makeEmulatorDeviceBackend(socketPath));
    // The drives' HID interfaces come with them.
    registerEmulatorHidBackendIfPresent(io);
    registerEmulatorInventoryBackend(socketPath);
    registerUsbTreeBackend(makeEmulatorUsbTreeBackend(socketPath));
    registerVolumeDriver(makeEmulatorVolumeDriver(socketPath));
    registered.insert({&io, socketPath});
    return true;
}

}  // namespace nork::port::emu
