// Reading sysfs for the Linux backends: attributes, the digit checks that
// names and values need, and the walk from a device node up to the USB
// device it belongs to. Every function takes its root as a parameter so
// tests point it at a fake tree.
//
// Callers: the device, HID, inventory and USB tree backends, from any
// thread; nothing here locks or keeps state. Nothing throws: a file or
// directory that cannot be read (missing, a device that left mid-walk, no
// permission) reads as absent.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace nork::port::sysfs {

// A value attribute ("3c2a\n", "Qz      \n", " 2\n"): its first line
// without the line end and without blanks around it; empty when missing.
std::string attribute(const std::filesystem::path& file);

// The first line of an attribute without its line end, blanks kept: texts
// that are shown as the device gave them (a USB product string). Empty when
// missing.
std::string text(const std::filesystem::path& file);

// The whole file as bytes (the binary "descriptors" attribute); false when
// it cannot be opened.
bool bytes(const std::filesystem::path& file, std::vector<std::uint8_t>& out);

// Whether `s` is one or more ASCII digits and nothing else.
bool allDigits(std::string_view s);

// A decimal attribute ("4", " 12"): false when missing, empty, not all
// digits, or too long to be a count of anything.
bool decimal(const std::filesystem::path& file, long& out);

// A hexadecimal attribute of one to four digits ("3c2a", "00"), as sysfs
// shows USB ids and interface numbers; false otherwise.
bool hex16(const std::filesystem::path& file, std::uint16_t& out);

// The names in a directory ("." and ".." left out), in no particular order;
// empty when the directory cannot be read.
std::vector<std::string> entries(const std::filesystem::path& dir);

// A USB device found above a sysfs directory.
struct UsbAncestry {
    std::filesystem::path device;  // has idVendor and idProduct
    // The device's child on the way up: the USB interface for anything
    // below one; empty when the walk started at the device itself.
    std::filesystem::path interface;
};

// The nearest directory at or above `from` that is a USB device (has both
// idVendor and idProduct), looking no higher than the directory below
// `sysRoot`. `from` is taken as given: callers pass resolved paths. False
// for a device that is not on USB (SATA, NVMe, virtual, platform HID).
bool usbDeviceAbove(const std::filesystem::path& from, const std::filesystem::path& sysRoot,
                    UsbAncestry& out);

// The resolved sysfs device directory of a /dev node name: "hidrawN"
// through class/hidraw, "sgN" through class/scsi_generic, disks ("sdb",
// "sr0") through class/block, and a partition ("sdb1") through the disk it
// sits in. False for a name with a slash, "." or "..", or one that is not
// there.
bool deviceOfNode(const std::filesystem::path& sysRoot, const std::string& name,
                  std::filesystem::path& out);

// Both steps: the USB device behind a /dev node name.
bool usbDeviceOfNode(const std::filesystem::path& sysRoot, const std::string& name,
                     UsbAncestry& out);

// The bus and device numbers of a USB device directory (busnum, devnum),
// which name its usbfs node; false unless both are positive.
bool usbAddress(const std::filesystem::path& usbDevice, long& bus, long& device);

}  // namespace nork::port::sysfs
