// The inventory backend for drives of the emulator: every drive that is
// plugged and ready shows one storage unit per LUN-bearing domain (I/O path
// "qzemu:<serial>/<lun>", volume directory "<drive state>/volumes/lun<N>"
// while it exists) and, in composite USB mode, one HID interface
// ("qzemu-hid:<serial>").
//
// The backend keeps one connection to the daemon, shared by its callers under
// a mutex, and reconnects when the daemon restarted. Requests wait at most
// about a second: a daemon that is gone or stuck yields empty lists.
#pragma once

#include <memory>
#include <string>

#include "port/DeviceInventory.h"

namespace nork::port::emu {

std::shared_ptr<IInventoryBackend> makeEmulatorInventoryBackend(std::string socketPath);

// Registers one backend per socket path with the inventory (again after
// clearInventoryBackends, as the registration is idempotent).
void registerEmulatorInventoryBackend(const std::string& socketPath);

}  // namespace nork::port::emu
