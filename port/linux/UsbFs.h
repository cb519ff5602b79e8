// Control requests to a USB device through usbfs, shared by the HID and USB
// tree backends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "port/PortError.h"

namespace nork::port::linux_usbfs {

// GET_DESCRIPTOR(STRING) with wLength 255 and a 1-second timeout to the
// device node "<devRoot>/bus/usb/BBB/DDD"; `out` gets the bytes the device
// answered, unchecked. AccessDenied (raw errno kept) when the node cannot be
// opened for writing, since no control request can be sent then; IoError
// when the device stalled; the errno translation otherwise.
PortError readStringDescriptor(const std::string& devRoot, long bus, long device,
                               std::uint8_t index, std::uint16_t language,
                               std::vector<std::uint8_t>& out);

}  // namespace nork::port::linux_usbfs
