// The emulator's HID backend: the HID interface of a virtual drive,
//
//     qzemu-hid:<serial>        for example "qzemu-hid:QE00112233445566"
//
// (serial number as in emulated disk paths, EmuDeviceBackend.h). Opening
// fails with NotFound while the drive is off the bus or shows no HID
// interface (disk-only mode). Each handle has two connections to the daemon,
// one for reads and one for everything else, so the library's reader task
// can wait for input reports while the command's reports are written.
// USB descriptor requests are served for these paths and for emulated disk
// paths ("qzemu:<serial>/<lun>"), one short connection per request.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "port/DeviceIo.h"
#include "port/HidDevice.h"

namespace nork::port::emu {

inline constexpr std::string_view HID_PATH_SCHEME = "qzemu-hid:";

bool parseHidPath(std::string_view path, std::string& serial);
std::string makeHidPath(const std::string& serial);

// The backend (device + HID) over the daemon at socketPath.
std::shared_ptr<IHidBackend> makeEmulatorHidBackend(std::string socketPath,
                                                    std::shared_ptr<IDeviceBackend>& device);

// Registers it with io and the USB descriptor requests when an emulator is
// configured or present (as registerEmulatorBackendIfPresent); true when
// registered now or earlier.
bool registerEmulatorHidBackendIfPresent(DeviceIo& io = deviceIo());

}  // namespace nork::port::emu
