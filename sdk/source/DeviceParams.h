// The parameters of one drive: identity, drive letters, device paths, state
// flags and its vendor traits. Device objects derive from it; device handles
// open the paths stored here. Copies share the mount-point map's mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "Singleton.h"
#include "Status.h"
#include "Version.h"

namespace nork {

class CVendorDeviceTraits;

class CDeviceParams {
  public:
    // Path kinds.
    static constexpr int PATH_DISK = 0;
    static constexpr int PATH_HID = 4;
    // Characters of a path slot, terminator included.
    static constexpr std::size_t PATH_LEN = 256;

    // Flags bits.
    static constexpr std::uint8_t FLAG_NON_ADMIN_PATH = 0x01;   // found by a non-admin path
    static constexpr std::uint8_t FLAG_NON_ADMIN_PATH2 = 0x02;  // found by the second one
    static constexpr std::uint8_t FLAG_HID_PRIVATE_COMMANDS = 0x04;

    static constexpr std::uint8_t FLAG_NON_ADMIN_MASK = FLAG_NON_ADMIN_PATH | FLAG_NON_ADMIN_PATH2;

    // Device type flags: how the system reported the drive. They are the low
    // three bits of the flags byte: a removable-disk volume is what the first
    // non-admin path finds, a CD-ROM volume the second, and a drive reported
    // through its HID interface is driven with HID private commands.
    static constexpr std::uint8_t TYPE_REMOVABLE = FLAG_NON_ADMIN_PATH;
    static constexpr std::uint8_t TYPE_CDROM = FLAG_NON_ADMIN_PATH2;
    static constexpr std::uint8_t TYPE_HID = FLAG_HID_PRIVATE_COMMANDS;
    static constexpr std::uint8_t TYPE_MASK = TYPE_REMOVABLE | TYPE_CDROM | TYPE_HID;

    CDeviceParams();
    virtual ~CDeviceParams() = default;
    // Copies share the mount-point map's mutex; the map is copied under it.
    CDeviceParams(const CDeviceParams& other);
    CDeviceParams& operator=(const CDeviceParams& other);

    // Back to the state of a removed drive: no drive letters, no mount
    // points, no paths, flags bits 0-2 cleared, not composite, version zero,
    // state STATUS_DEVICE_NOT_CONNECTED.
    void reset();

    std::int32_t deviceNumber() const { return m_deviceNumber; }
    // Firmware version; zero until known.
    const CVersion& version() const { return m_version; }
    void setVersion(const CVersion& version) { m_version = version; }

    void setDeviceNumber(std::int32_t n) { m_deviceNumber = n; }

    // Never null; empty until known.
    const char16_t* serialNumber() const { return m_serialNumber.c_str(); }
    void setSerialNumber(std::u16string serial) { m_serialNumber = std::move(serial); }

    const char16_t* vendorString() const { return m_vendor; }
    const char16_t* productString() const { return m_product; }
    // Store at most 8 (vendor) or 16 (product) characters, trailing blanks
    // removed.
    void setVendorString(std::u16string_view vendor);
    void setProductString(std::u16string_view product);

    std::int32_t usbVendorId() const { return m_usbIds[0]; }
    std::int32_t usbProductId() const { return m_usbIds[1]; }
    void setUsbIds(std::int32_t vid, std::int32_t pid) {
        m_usbIds[0] = vid;
        m_usbIds[1] = pid;
    }

    // Bit n set: drive letter 'A' + n belongs to the device (bits 0..25).
    // The mask and the state are read by applications at any time (drive
    // roots) while the polling thread updates them: single atomic words.
    std::uint32_t driveMask() const { return m_driveMask.load(std::memory_order_relaxed); }
    void setDriveMask(std::uint32_t mask) { m_driveMask.store(mask, std::memory_order_relaxed); }
    int driveLetterCount() const;
    // Whether the letter (either case) is one of the device's.
    bool ownsDriveLetter(char16_t letter) const;

    std::int32_t interfaceNumber() const { return m_interfaceNumber; }
    void setInterfaceNumber(std::int32_t n) { m_interfaceNumber = n; }

    STATUS deviceState() const { return m_deviceState.load(std::memory_order_relaxed); }
    void setDeviceState(STATUS state) { m_deviceState.store(state, std::memory_order_relaxed); }

    bool composite() const { return m_composite; }
    // Logs "CDeviceParams::composite Was %s Now is %s" when the value changes.
    void setComposite(bool composite);

    std::uint8_t privateAreaLun() const { return m_privateAreaLun; }
    void setPrivateAreaLun(std::uint8_t lun) { m_privateAreaLun = lun; }

    // Not owned; null until the vendor is identified.
    CVendorDeviceTraits* traits() const { return m_traits; }
    void setTraits(CVendorDeviceTraits* traits) { m_traits = traits; }

    // Mount points: drive letter code -> domain index, under the shared mutex.
    void setMountPoint(std::uint16_t letter, std::uint8_t domainIndex);
    bool mountPoint(std::uint16_t letter, std::uint8_t& domainIndex) const;
    std::map<std::uint16_t, std::uint8_t> mountPoints() const;
    void clearMountPoints();
    // The mutex shared by this object and its copies.
    CThreadMutex& mapMutex() const { return *m_mapMutex; }

    std::uint8_t flags() const { return m_flags; }
    void setFlags(std::uint8_t flags) { m_flags = flags; }
    bool hidPrivateCommandsEnabled() const { return (m_flags & FLAG_HID_PRIVATE_COMMANDS) != 0; }
    // The type flags (1 removable, 2 CD-ROM, 4 HID); the other flag bits
    // stay as they are. reset() clears them.
    std::uint8_t deviceTypeFlags() const { return static_cast<std::uint8_t>(m_flags & TYPE_MASK); }
    void setDeviceTypeFlags(std::uint8_t typeFlags) {
        m_flags = static_cast<std::uint8_t>((m_flags & ~TYPE_MASK) | (typeFlags & TYPE_MASK));
    }

    // The path of a kind. Kind 0 reads the HID slot when the platform grants
    // no raw device access. Kinds other than 0 and 4 are an assertion and
    // give an empty path.
    std::u16string path(int kind) const;
    // Stores a path of kind 0 or 4; paths of PATH_LEN characters or more are
    // refused (assertion) and leave the slot unchanged.
    bool setPath(int kind, std::u16string_view path);
    // The slot itself, whatever the platform's privileges (merges and the
    // device manager compare slots, not what a handle would open).
    std::u16string storedPath(int kind) const;
    void clearPaths();

  private:
    static int slotOf(int kind);

    std::int32_t m_deviceNumber = -1;
    CVersion m_version;
    std::u16string m_serialNumber;
    char16_t m_vendor[9] = {};
    char16_t m_product[17] = {};
    [[maybe_unused]] std::uint16_t m_reserved0 = 0;
    std::int32_t m_usbIds[2] = {-1, -1};
    std::atomic<std::uint32_t> m_driveMask{0};
    std::int32_t m_interfaceNumber = -1;
    std::atomic<STATUS> m_deviceState{STATUS_DEVICE_NOT_CONNECTED};
    [[maybe_unused]] std::uint32_t m_reserved1 = 0;
    bool m_composite = false;
    std::uint8_t m_privateAreaLun = 0;
    CVendorDeviceTraits* m_traits = nullptr;
    std::map<std::uint16_t, std::uint8_t> m_mountPoints;
    std::shared_ptr<CThreadMutex> m_mapMutex;
    std::uint8_t m_flags = 0;
    char16_t m_paths[2][PATH_LEN] = {};
    [[maybe_unused]] std::uint32_t m_reserved2[2] = {};
};

}  // namespace nork
