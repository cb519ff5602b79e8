// The system's USB drives as the library sees them: storage units (one per
// LUN), their volumes and drive letters, HID interfaces, and the device
// interface lists built from them.
//
// The library's identification code reads Windows-style device interface
// paths; every backend describes its devices with plain facts
// (StorageUnitFacts) and this layer presents them in that vocabulary:
//
//   disk    \\?\USBSTOR#Disk&Ven_<v>&Prod_<p>&Rev_<r>#<serial>&<lun>#{53f56307-...}
//   CD-ROM  \\?\USBSTOR#CdRom&Ven_<v>&Prod_<p>&Rev_<r>#<serial>&<lun>#{53f56307-...}
//   volume  \\?\STORAGE#Volume#_??_USBSTOR#Disk&Ven_...#<serial>&<lun>#{53f5630d-...}
//           (CdRom instead of Disk for a CD-ROM volume)
//   USB     \\?\usb#vid_<vid>&pid_<pid>#<serial>#{a5dcbf10-...}   (lower-case hex)
//   HID     the backend's openable HID path (port/HidDevice.h)
//
// Blanks in vendor, product and revision become '_'; '#', '&' and '{' are
// dropped from every field so a path always parses back.
//
// Drive letters: removable volumes get letters D..Z through the drive-letter
// table, one symbolic link per letter ("e:" -> mount directory) in a
// directory of the user's runtime directory, shared by the user's processes
// like a dosdevices folder. A letter stays with its mount directory while the
// volume is away (the link dangles), so a drive that leaves the bus and comes
// back gets its letters again; a dangling letter is reclaimed only when no
// free letter is left.
//
// Backends: the Linux backend (sysfs + /proc/self/mountinfo) is registered on
// first use; the emulator registers its own (port/emu) beside it. A snapshot
// is the union of every backend's devices.
//
// Threads: every function may be called from any thread and never throws.
// snapshot() reads sysfs and asks the emulator daemon (a few milliseconds;
// at most about a second when the daemon is stuck); enumerateInterfaces,
// logicalDriveRoots and driveType of a present letter take a snapshot. The
// letter table takes a file lock for the time of one update; reading a
// letter takes none (links are replaced atomically).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "port/PortError.h"

namespace nork::port {

enum class InterfaceClass : int {
    Volume = 0,
    Disk = 1,
    CdRom = 2,
    UsbDevice = 3,
    UsbHostController = 4,
    Hid = 5,
};

// The class identifier in braces, lower case:
// Volume "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}",
// Disk and CdRom "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
// UsbDevice "{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
// UsbHostController "{3abf6f2d-71c4-462a-8a92-1e6861e6af27}",
// Hid "{4d1e55b2-f16f-11cf-88cb-001111000030}".
std::u16string interfaceClassGuid(InterfaceClass cls);

// Drive types of a root, as the drive-type query answers.
inline constexpr int DRIVE_UNKNOWN = 0;
inline constexpr int DRIVE_NO_ROOT_DIR = 1;
inline constexpr int DRIVE_REMOVABLE = 2;
inline constexpr int DRIVE_FIXED = 3;
inline constexpr int DRIVE_CDROM = 5;

// What a backend knows of one LUN of a USB storage device.
struct StorageUnitFacts {
    std::string serial;  // USB iSerialNumber
    std::string vendor;  // SCSI vendor, product, revision (INQUIRY texts)
    std::string product;
    std::string revision;
    std::uint16_t vendorId = 0;  // USB idVendor, idProduct
    std::uint16_t productId = 0;
    std::uint8_t lun = 0;
    bool cdrom = false;      // the LUN presents a CD-ROM
    bool composite = false;  // the USB device also shows a HID interface
    std::string ioPath;      // what port::DeviceIo opens for this LUN
    std::string mountDir;    // the mounted volume's directory; empty when none
    // Where the backend found the unit and its USB device, in the terms its
    // change source uses to say what left (port/DeviceNotifier.h): the sysfs
    // directories of the block device and of the USB device, or
    // "qzemu:<serial>/<lun>" and "qzemu:<serial>". Whatever sits below a
    // location that left ("<location>/...") left with it. Empty when the
    // backend cannot tell.
    std::string location;
    std::string usbLocation;
};

// One storage unit as presented: the facts plus the derived paths and the
// drive letter.
struct StorageUnit {
    StorageUnitFacts facts;
    std::u16string diskPath;
    std::u16string volumePath;  // empty when the unit has no mounted volume
    std::u16string usbDevicePath;
    char16_t letter = 0;  // 'D'..'Z', 0 when none
};

struct HidInterfaceInfo {
    std::string path;  // openable through port/HidDevice.h
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string serial;
    std::string product;
    std::string manufacturer;
    std::string location;  // as StorageUnitFacts::location, below its USB device's
};

struct InventorySnapshot {
    std::vector<StorageUnit> units;
    std::vector<HidInterfaceInfo> hids;
};

class IInventoryBackend {
  public:
    virtual ~IInventoryBackend() = default;
    // A short name for logs ("sysfs", "qzemu").
    virtual std::string name() const = 0;
    // The backend's present storage units and HID interfaces. A backend
    // that cannot look (daemon gone, no sysfs) answers empty lists.
    virtual void collect(std::vector<StorageUnitFacts>& units,
                         std::vector<HidInterfaceInfo>& hids) = 0;
};

// Adds a backend (the most recent first in snapshots). Idempotent for the
// same object.
void registerInventoryBackend(std::shared_ptr<IInventoryBackend> backend);
// Removes every backend, the Linux one included (tests then register their
// own); resetInventoryBackends() restores the default set.
void clearInventoryBackends();
void resetInventoryBackends();

// The Linux backend over a sysfs root and a mountinfo file (tests point them
// at a fake tree).
std::shared_ptr<IInventoryBackend> makeSysfsInventoryBackend(
    std::string sysRoot = "/sys", std::string mountInfo = "/proc/self/mountinfo",
    std::string devRoot = "/dev");

// Paths of a unit in the vocabulary above.
std::u16string makeDiskPath(const StorageUnitFacts& unit);
std::u16string makeVolumePath(const StorageUnitFacts& unit);
std::u16string makeUsbDevicePath(std::uint16_t vendorId, std::uint16_t productId,
                                 const std::string& serial);

// Every backend's devices, with paths derived and letters assigned (the
// letter table is updated: new mounted volumes get letters).
InventorySnapshot snapshot();
// The same without writing the letter table: units carry the letters their
// mount directories already have (0 for a volume without one). For readers
// that must leave the system as they found it (listing drives).
InventorySnapshot peekSnapshot();

// Interface paths of one class from a fresh snapshot (host controllers come
// from port/UsbTree.h), in snapshot order, without duplicates.
std::vector<std::u16string> enumerateInterfaces(InterfaceClass cls);

// ---- drive letters and volumes ----

// Where the letter links live: "$XDG_RUNTIME_DIR/qz-dosdevices", else
// "/tmp/qz-dosdevices-<uid>" (the runtime directory port/Messages.h's layer
// picks). The lock file ".lock" sits beside the links. Tests set their own;
// an empty string restores the default.
void setDriveLetterDir(const std::string& dir);
std::string driveLetterDir();

// The letter of a mount directory: its existing letter, else a new one
// (D..Z, lowest free, then the lowest dangling one). 0 when none is left or
// the table cannot be written.
char16_t assignDriveLetter(const std::string& mountDir);
// Forgets a letter. False when it had none.
bool releaseDriveLetter(char16_t letter);
// The mount directory of a letter ("" when none); `present` tells whether
// the directory exists now.
std::string driveLetterTarget(char16_t letter, bool* present = nullptr);

// Roots of the letters whose volume is present, as "E:\" entries in letter
// order (the logical drive strings).
std::vector<std::u16string> logicalDriveRoots();
// Drive type of a root ("E:\", "E:" or "E"): DRIVE_CDROM or DRIVE_REMOVABLE
// for a present unit's volume, DRIVE_NO_ROOT_DIR for an unknown or absent
// letter.
int driveType(const std::u16string& root);
// A stable volume name for a root: "\\?\Volume{<uuid-like text>}\" derived
// from the mount directory; empty when the root has no volume.
std::u16string volumeNameOfRoot(const std::u16string& root);
// The directory behind a root ("" when none).
std::string rootDirectory(const std::u16string& root);
// Free and total bytes of the file system behind a root.
PortError diskFreeSpace(const std::u16string& root, std::uint64_t& freeBytes,
                        std::uint64_t& totalBytes);
// Writes the volume's cached data to the device (syncfs of its directory).
PortError flushVolume(const std::u16string& root);

}  // namespace nork::port
