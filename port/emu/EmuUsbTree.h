// The emulator's USB tree: one virtual host controller whose root hub has a
// port for every drive the daemon knows.
//
//   host controller  \\?\root#qzemu_virtual_host#0000#{3abf6f2d-...}
//   root hub         "qzemu:roothub"
//
// A drive keeps its port for the life of the backend object: drives get
// ports in order of first sight (the daemon's list sorted by serial number
// at each look). A port shows its drive as connected while the drive is
// plugged and on the bus; a drive that is unplugged, off the bus or removed
// from the daemon leaves its port not connected. Device and configuration
// descriptors come from the drive (UsbDescriptor types 1 and 2), so the
// configuration follows its USB mode: service "usbccgp" when it shows more
// than one interface (composite), else "USBSTOR". String descriptors are
// UsbDescriptor type 3 requests: each one counts for the drive's
// composite-switch and HID-reset sequences exactly as a read through
// port/HidDevice.h does. Looking at the hub reads no string.
//
// Each call uses its own short connection to the daemon. Errors: NotFound
// for another hub name, an unknown port or an unreachable daemon;
// IoError when the drive stalled a string request (no such string or
// language, or off the bus); Disconnected or Timeout when the daemon
// connection broke during the request.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "port/UsbTree.h"

namespace nork::port::emu {

inline constexpr std::string_view USB_TREE_PREFIX = "qzemu:";
inline constexpr std::string_view USB_ROOT_HUB_NAME = "qzemu:roothub";

std::shared_ptr<IUsbTreeBackend> makeEmulatorUsbTreeBackend(std::string socketPath);

}  // namespace nork::port::emu
