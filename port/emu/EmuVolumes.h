// The volume driver for drives of the emulator (port/VolumeIo.h): each
// session has its own daemon connection, so its lock ends when the handle
// closes or the process ends.
#pragma once

#include <memory>
#include <string>

#include "port/VolumeIo.h"

namespace nork::port::emu {

std::shared_ptr<IVolumeDriver> makeEmulatorVolumeDriver(std::string socketPath);

}  // namespace nork::port::emu
