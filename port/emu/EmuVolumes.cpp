#include "port/emu/EmuVolumes.h"

#include <mutex>

#include "port/emu/EmuClient.h"
#include "port/emu/EmuDeviceBackend.h"

namespace nork::port::emu {

namespace {

PortError toPortError(const EmuStatus& s) {
    if (s.io)
        return PortError{s.io.code == PortErrc::Timeout ? PortErrc::Timeout : PortErrc::IoError,
                         s.io.sysErrno};
    switch (s.error.code) {
        case EmuErrc::VolumeLocked:
            return PortError{PortErrc::Busy, 0};
        case EmuErrc::NoSuchDrive:
        case EmuErrc::NoSuchLun:
            return PortError{PortErrc::NotFound, 0};
        default:
            return PortError{PortErrc::IoError, 0};
    }
}

PortError request(EmuClient& client, const EmulatedPath& path, VolumeOp op, VolumeState& state) {
    VolumeReply answer;
    EmuStatus s = client.volume(VolumeRequest{path.serial, path.lun, op}, answer);
    if (!s.ok())
        return toPortError(s);
    state.mounted = answer.mounted;
    state.locked = answer.locked;
    state.lockedHere = answer.mine;
    return PortError::ok();
}

class EmulatorVolumeSession final : public IVolumeSession {
  public:
    explicit EmulatorVolumeSession(EmulatedPath path) : m_path(std::move(path)) {}

    PortError connect(const std::string& socketPath) {
        if (PortError e = m_client.connect(socketPath))
            return PortError{PortErrc::NotFound, e.sysErrno};
        return PortError::ok();
    }

    // The lock ends before the handle's close returns, as a system's volume
    // lock does; the daemon also ends it when the connection goes without.
    ~EmulatorVolumeSession() override {
        if (m_locked)
            (void)run(VolumeOp::Release);
        m_client.close();
    }

    PortError lock() override {
        PortError e = run(VolumeOp::Lock);
        m_locked = m_locked || !e;
        return e;
    }
    PortError dismount() override { return run(VolumeOp::Dismount); }
    PortError unlock() override {
        PortError e = run(VolumeOp::Unlock);
        m_locked = m_locked && e;
        return e;
    }

  private:
    PortError run(VolumeOp op) {
        std::lock_guard<std::mutex> guard(m_mutex);
        VolumeState state;
        return request(m_client, m_path, op, state);
    }

    EmulatedPath m_path;
    std::mutex m_mutex;
    EmuClient m_client;
    bool m_locked = false;
};

class EmulatorVolumeDriver final : public IVolumeDriver {
  public:
    explicit EmulatorVolumeDriver(std::string socketPath) : m_socketPath(std::move(socketPath)) {}

    const char* name() const override { return "emulator"; }

    bool serves(const StorageUnitFacts& unit) const override {
        EmulatedPath path;
        return parseDevicePath(unit.ioPath, path);
    }

    PortError openSession(const StorageUnitFacts& unit,
                          std::unique_ptr<IVolumeSession>& out) override {
        EmulatedPath path;
        if (!parseDevicePath(unit.ioPath, path))
            return PortError{PortErrc::NotFound, 0};
        auto session = std::make_unique<EmulatorVolumeSession>(path);
        if (PortError e = session->connect(m_socketPath))
            return e;
        out = std::move(session);
        return PortError::ok();
    }

    PortError query(const StorageUnitFacts& unit, VolumeState& out) override {
        return once(unit, VolumeOp::Query, out);
    }

    PortError remount(const StorageUnitFacts& unit) override {
        VolumeState state;
        return once(unit, VolumeOp::Unlock, state);
    }

  private:
    // One request on a connection of its own.
    PortError once(const StorageUnitFacts& unit, VolumeOp op, VolumeState& out) {
        out = VolumeState{};
        EmulatedPath path;
        if (!parseDevicePath(unit.ioPath, path))
            return PortError{PortErrc::NotFound, 0};
        EmuClient client;
        if (PortError e = client.connect(m_socketPath))
            return PortError{PortErrc::NotFound, e.sysErrno};
        return request(client, path, op, out);
    }

    std::string m_socketPath;
};

}  // namespace

std::shared_ptr<IVolumeDriver> makeEmulatorVolumeDriver(std::string socketPath) {
    return std::make_shared<EmulatorVolumeDriver>(std::move(socketPath));
}

}  // namespace nork::port::emu
