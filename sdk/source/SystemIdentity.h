// The system records the USB identity sources read (USBInfoParser.h), backed
// on this platform: the volume inventory over the port's storage units, and
// the mounted-devices record over the settings hive.
//
// Both are read-only towards the system, keep no state between calls and may
// be used from any thread. Every call looks afresh: a snapshot of the storage
// units, or the hive's file.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "USBInfoParser.h"
#include "port/DeviceInventory.h"
#include "port/SettingsHive.h"

namespace nork {

// Volumes, disks and USB devices as the port's storage units present them.
class CPortVolumeInventory : public IVolumeInventory {
  public:
    using SnapshotFn = std::function<port::InventorySnapshot()>;

    // The system's units by default; tests hand in their own.
    explicit CPortVolumeInventory(SnapshotFn snapshot = {});

    bool available() const override { return true; }
    // The unit's volume path with a trailing backslash.
    std::u16string volumePathOfLetter(char16_t letter) const override;
    // DRIVE_TYPE_CDROM or removable (2) for a unit's letter, 1 (no root)
    // otherwise.
    int driveType(char16_t letter) const override;
    std::u16string diskPathOfVolume(std::u16string_view volumePath) const override;
    std::u16string usbDevicePathOfVolume(std::u16string_view volumePath) const override;

    // The letter of the unit whose disk or volume path contains the text
    // (case ignored); 0 when none has one.
    char16_t letterOfPathFragment(std::u16string_view fragment) const;

  private:
    const port::StorageUnit* unitOfVolume(const port::InventorySnapshot& snap,
                                          std::u16string_view volumePath) const;

    SnapshotFn m_snapshot;
};

// The record of mounted devices and the USB enumeration keys, read from the
// settings hive: HKLM "SYSTEM\MountedDevices",
// "SYSTEM\CurrentControlSet\Enum\USBSTOR" and "...\Enum\USB". Nobody writes
// them on this platform unless an administrator or a test does, so the
// record is usually unusable and the volume inventory serves instead.
class CHiveMountedDevicesRecord : public IMountedDevicesRecord {
  public:
    using DriveTypeFn = std::function<int(char16_t letter)>;

    // The hive must outlive the record. Drive types come from the port's
    // drive-letter table unless given.
    explicit CHiveMountedDevicesRecord(
        port::SettingsHive& hive = port::SettingsHive::processDefault(),
        DriveTypeFn driveType = {});

    static constexpr const char16_t* MOUNTED_DEVICES_KEY = u"SYSTEM\\MountedDevices";
    static constexpr const char16_t* USBSTOR_ENUM_KEY = u"SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";
    static constexpr const char16_t* USB_ENUM_KEY = u"SYSTEM\\CurrentControlSet\\Enum\\USB";

    // True when the first value of the mounted-devices key can be read.
    bool usable() const override;
    std::vector<std::uint8_t> mountedDevice(char16_t letter) const override;
    int driveType(char16_t letter) const override;
    std::vector<CUsbStorInstance> usbStorInstances() const override;
    std::vector<CUsbInstance> usbInstances() const override;

  private:
    port::SettingsHive& m_hive;
    DriveTypeFn m_driveType;
};

}  // namespace nork
