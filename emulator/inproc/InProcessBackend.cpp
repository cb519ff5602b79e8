#include "inproc/InProcessBackend.h"

#include "inproc/ModelBridge.h"
#include "port/DiskGeometry.h"
#include "port/emu/EmuDeviceBackend.h"

namespace qzemu {

using nork::port::PortErrc;
using nork::port::PortError;

void InProcessBackend::addDrive(std::shared_ptr<VirtualDrive> drive) {
    if (!drive)
        return;
    std::lock_guard<std::mutex> guard(m_mutex);
    m_drives[drive->serial()] = std::move(drive);
}

void InProcessBackend::removeDrive(const std::string& serial) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_drives.erase(serial);
}

bool InProcessBackend::claims(std::string_view path) const {
    return path.substr(0, wire::DEVICE_PATH_SCHEME.size()) == wire::DEVICE_PATH_SCHEME;
}

std::shared_ptr<VirtualDrive> InProcessBackend::driveOf(const std::string& path,
                                                        wire::EmulatedPath& parsed) {
    if (!wire::parseDevicePath(path, parsed))
        return nullptr;
    std::lock_guard<std::mutex> guard(m_mutex);
    auto it = m_drives.find(parsed.serial);
    return it == m_drives.end() ? nullptr : it->second;
}

PortError InProcessBackend::open(const std::string& path, std::intptr_t& localHandle) {
    wire::EmulatedPath parsed;
    std::shared_ptr<VirtualDrive> drive = driveOf(path, parsed);
    if (!drive || !lunPresent(*drive, parsed.lun))
        return PortError{PortErrc::NotFound, 0};
    std::lock_guard<std::mutex> guard(m_mutex);
    localHandle = m_next++;
    m_handles[localHandle] = Handle{parsed.serial, parsed.lun};
    return PortError::ok();
}

PortError InProcessBackend::usbIdentity(const std::string& path, nork::port::UsbIdentity& out) {
    wire::EmulatedPath parsed;
    std::shared_ptr<VirtualDrive> drive = driveOf(path, parsed);
    if (!drive || !wire::identityOf(toWireInfo(drive->inspect()), out))
        return PortError{PortErrc::NotFound, 0};
    return PortError::ok();
}

void InProcessBackend::close(std::intptr_t localHandle) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_handles.erase(localHandle);
}

PortError InProcessBackend::passThrough(std::intptr_t localHandle,
                                        nork::port::ScsiPassThroughRequest& request) {
    wire::ScsiCommand command;
    std::shared_ptr<VirtualDrive> drive;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        auto h = m_handles.find(localHandle);
        if (h == m_handles.end())
            return PortError{PortErrc::NotFound, 0};
        command.serial = h->second.serial;
        command.lun = h->second.lun;
        auto d = m_drives.find(command.serial);
        if (d == m_drives.end())
            return PortError{PortErrc::Disconnected, 0};
        drive = d->second;
    }
    if (PortError e = wire::toScsiCommand(request, command))
        return e;
    ScsiReply reply = drive->execute(toModelRequest(command));
    return wire::applyAnswer(toWireAnswer(std::move(reply)), request);
}

PortError InProcessBackend::vendorDriverRequest(std::intptr_t, nork::port::VendorDriverRequest&) {
    return PortError{PortErrc::NotSupported, 0};
}

PortError InProcessBackend::control(std::intptr_t localHandle,
                                    nork::port::DeviceControlRequest& request) {
    if (request.controlCode == nork::port::IOCTL_DISK_GET_DRIVE_GEOMETRY)
        return nork::port::answerSynthesizedDriveGeometry(*this, localHandle, request);
    return PortError{PortErrc::NotSupported, 0};
}

}  // namespace qzemu
