// The drive's USB string-descriptor read sequences: the HID reset and the
// composite-switch trigger. Both address the drive by a device path (its
// HID path or a disk path; port/HidDevice.h finds the USB device behind it)
// and check its serial number string first. They act only on a drive whose
// string-id descriptor (index max(iManufacturer, iProduct, iSerialNumber)
// + 1) starts with "Qz" and whose generation digit (the character after the
// next one) has bit 1 or bit 2 set. All reads use language 0x0409.
// The USB tree walk of the enumeration can wrap them as visitors.
#pragma once

#include <cstdint>
#include <string>

namespace nork {

class CDeviceParams;

// Whether a string-id descriptor text names a drive that knows the
// sequences.
bool qzStringIdHasHidSequences(const std::u16string& stringId);

// Reads the string descriptor at string-id index + 2 once: the read itself
// resets the drive's HID interface. Logs "Qz HID reset %d" with the result.
bool qzHidReset(const std::u16string& serialNumber, const std::string& usbPath);

// Reads the string descriptors at string-id index + 1, + 1, + 2, + 2 (all
// four must succeed), then + 1 once more whatever the outcome; the drive
// then leaves the bus and returns in its composite configuration. Logs
// "Qz HID trigger switch %d" with the result.
bool qzCompSwitchTrigger(const std::u16string& serialNumber, const std::string& usbPath);

// The path the sequences use for a drive: its HID path, else its disk path
// (UTF-8).
std::string hidResetPathOf(const CDeviceParams& params);

}  // namespace nork
