// The emulator daemon's bus events as wake-ups of the device notifier
// (port/DeviceNotifier.h).
//
// The source owns a thread that subscribes to the daemon's events and makes
// waitFd() readable for each one. When the daemon goes away the thread tries
// again every second; a new subscription also wakes the notifier, since the
// drives may have changed meanwhile. The destructor stops the thread (within
// about 200 ms).
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
