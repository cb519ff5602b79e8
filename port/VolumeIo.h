// Volume handles: the device paths "\\.\E:" (any letter A..Z, either case)
// that the library opens to lock, dismount and unlock a drive's volume.
//
// The volume backend resolves the letter through the drive-letter table
// (port/DeviceInventory.h) to the storage unit whose volume it names, and
// opens that unit's own device path as an inner handle: SCSI pass-through
// and every control code it does not serve itself go to the unit. The three
// volume codes (FSCTL_LOCK_VOLUME, FSCTL_DISMOUNT_VOLUME, FSCTL_UNLOCK_VOLUME)
// go to the volume driver that serves the unit: the emulator's (the daemon
// keeps the lock and takes the volume's directory down) or the Linux one
// (sysfs units: the lock is this process's, dismount unmounts through
// udisks2 or umount2).
//
// A lock belongs to its handle: closing the handle ends it. A dismounted
// volume stays down after that, as on a system that mounts it again only
// when asked.
//
// Threads: any thread; a session serves one handle and a handle is used by
// one operation at a time (port/DeviceIo.h). Opening takes an inventory
// look (peekSnapshot: sysfs and a daemon request).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "port/DeviceInventory.h"
#include "port/DeviceIo.h"

namespace nork::port {

// The letter of "\\.\E:" (upper case), 0 for any other path.
char16_t volumePathLetter(std::string_view path);

// What a driver knows of a unit's volume. `lockedHere`: a lock of this
// process (Linux) or of the asking connection (emulator, never for a query
// on a fresh connection).
struct VolumeState {
    bool mounted = false;
    bool locked = false;
    bool lockedHere = false;
};

// One open volume handle's lock.
class IVolumeSession {
  public:
    // Releases a lock still held; a dismounted volume stays down.
    virtual ~IVolumeSession() = default;
    // Busy when the volume is locked already (by anyone, this process too).
    virtual PortError lock() = 0;
    // Takes the volume's file system down; Busy when another holds the lock.
    virtual PortError dismount() = 0;
    // Releases this handle's lock; the emulator brings a dismounted volume
    // back, as the system would on the next access.
    virtual PortError unlock() = 0;
};

class IVolumeDriver {
  public:
    virtual ~IVolumeDriver() = default;
    virtual const char* name() const = 0;
    // Whether the driver serves the unit (by its ioPath). Must not block.
    virtual bool serves(const StorageUnitFacts& unit) const = 0;
    virtual PortError openSession(const StorageUnitFacts& unit,
                                  std::unique_ptr<IVolumeSession>& out) = 0;
    // The volume's state now.
    virtual PortError query(const StorageUnitFacts& unit, VolumeState& out) = 0;
    // Brings a dismounted volume back without holding a lock; Busy when
    // another holds one. Nothing to do for a mounted volume.
    virtual PortError remount(const StorageUnitFacts& unit) = 0;
};

// Drivers are asked newest first. The Linux driver is there from the start;
// the emulator adds its own when it registers its device backend.
void registerVolumeDriver(std::shared_ptr<IVolumeDriver> driver);
// Removes a driver (tests); false when it was not registered.
bool unregisterVolumeDriver(const IVolumeDriver* driver);
// The driver serving a unit; null when none does.
std::shared_ptr<IVolumeDriver> volumeDriverFor(const StorageUnitFacts& unit);

// Where the drivers' log lines go (how a volume was taken down); none by
// default. The library points it at its own log.
void setVolumeLog(std::function<void(const std::string&)> sink);
void volumeLog(const std::string& line);

// The Linux driver: units found in sysfs (ioPath below devRoot). Lock is
// this process's; dismount unmounts the unit's block device and partitions
// as mountinfo lists them, through udisks2 on the system bus (or the bus at
// $QZ_UDISKS_BUS_ADDRESS), else with umount2 when running as root, and then
// holds the block device open exclusively until unlock. remount mounts the
// unit's file system through udisks2.
std::shared_ptr<IVolumeDriver> makeLinuxVolumeDriver(std::string sysRoot = "/sys",
                                                     std::string mountInfo = "/proc/self/mountinfo",
                                                     std::string devRoot = "/dev");

// The backend for "\\.\X:" paths, opening inner handles through `io`
// (which must outlive it). deviceIo() registers one over itself.
std::shared_ptr<IDeviceBackend> makeVolumeDeviceBackend(DeviceIo& io);

}  // namespace nork::port
