// The emulator daemon's bus events as wake-ups of the device notifier
// (port/DeviceNotifier.h).
//
// The source owns a thread that subscribes to the daemon's events and queues
// each one as a change: a drive that left the bus as Removed at its location
// ("qzemu:<serial>"), anything else as Changed. When the daemon goes away
// the thread tries again every second; a new subscription queues Resync,
// since the drives may have changed meanwhile. The destructor wakes and
// stops the thread at once.
#pragma once

#include <memory>
#include <string>

#include "port/DeviceNotifier.h"

namespace nork::port::emu {

std::unique_ptr<IChangeSource> makeEmulatorChangeSource(std::string socketPath);

// The source for the daemon the library uses, when one is configured or
// present (the rule of registerEmulatorBackendIfPresent); null otherwise.
std::unique_ptr<IChangeSource> makeEmulatorChangeSourceIfPresent();

}  // namespace nork::port::emu
