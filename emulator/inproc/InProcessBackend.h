// The emulator in the calling process: an IDeviceBackend over VirtualDrive
// objects, for unit tests that want the library's executors to reach a drive
// without a daemon. It claims the same device paths as the socket backend
// ("qzemu:<serial>/<lun>", port/emu/EmuDeviceBackend.h) and answers exactly
// as the daemon would: opening a LUN of a drive off the bus, or a LUN the
// drive lacks, fails with NotFound; a command to a drive that left the bus
// fails with Disconnected.
//
// Register it with a port::DeviceIo (port::deviceIo() for code that opens
// handles through CDeviceHandle). Thread-safe; commands run on the caller's
// thread, serialised per drive by the model.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "model/VirtualDrive.h"
#include "port/DeviceIo.h"
#include "port/emu/EmuDeviceBackend.h"

namespace qzemu {

class InProcessBackend final : public nork::port::IDeviceBackend {
  public:
    // Serves a drive under its serial number (replacing one of that number).
    void addDrive(std::shared_ptr<VirtualDrive> drive);
    void removeDrive(const std::string& serial);

    const char* name() const override { return "emulator-inprocess"; }
    bool claims(std::string_view path) const override;
    nork::port::PortError open(const std::string& path, std::intptr_t& localHandle) override;
    void close(std::intptr_t localHandle) override;
    nork::port::PortError passThrough(std::intptr_t localHandle,
                                      nork::port::ScsiPassThroughRequest& request) override;
    nork::port::PortError vendorDriverRequest(std::intptr_t localHandle,
                                              nork::port::VendorDriverRequest& request) override;
    // The drive-geometry request, answered as the daemon's backend answers it.
    nork::port::PortError control(std::intptr_t localHandle,
                                  nork::port::DeviceControlRequest& request) override;
    // The drive's USB identity, as the daemon's backend reports it.
    nork::port::PortError usbIdentity(const std::string& path,
                                      nork::port::UsbIdentity& out) override;

  private:
    struct Handle {
        std::string serial;
        std::uint8_t lun = 0;
    };

    // The drive a device path names, or null.
    std::shared_ptr<VirtualDrive> driveOf(const std::string& path,
                                          nork::port::emu::EmulatedPath& parsed);

    std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<VirtualDrive>> m_drives;
    std::map<std::intptr_t, Handle> m_handles;
    std::intptr_t m_next = 1;
};

}  // namespace qzemu
