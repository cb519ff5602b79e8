// The operating-system handle to a drive used by one operation. Opened per
// operation from the path stored in the drive's parameters (through the
// process's device table, port/DeviceIo.h) and closed when it ends.
#pragma once

#include <cstdint>

#include "port/ScsiPassThrough.h"

namespace nork {

class CDeviceParams;

class CDeviceHandle {
  public:
    static constexpr std::uint32_t ACCESS_READ_WRITE = 0xC0000000;
    static constexpr std::uint32_t SHARE_READ_WRITE = 3;

    explicit CDeviceHandle(CDeviceParams* params = nullptr, bool closeOnDestruction = true);
    // A copy of an open handle opens its own handle with the same path kind.
    CDeviceHandle(const CDeviceHandle& other);
    CDeviceHandle& operator=(const CDeviceHandle& other);
    ~CDeviceHandle();

    // Returns the open handle when open; otherwise opens the parameters' path
    // of that kind (kinds 0 and 4 are stored; 1 and 2 are built on demand
    // by the platform's device-path builder, absent so far, and give -1). An
    // empty path, missing parameters or a failed open give -1 and leave the
    // handle closed. The LUN selects the unit's path where paths are built
    // per unit. On the Windows Me platform no file is opened: the path holds
    // two 3-digit numbers (host adapter, target) and the handle is
    // (adapter << 8) | target.
    port::OsHandle open(int pathKind = 0, std::uint8_t lun = 0);
    // Opens the disk path of the unit (LUN) that holds the drive letter of a
    // root such as "E:"; -1 (and closed) when the letter is not one of the
    // device's or no unit holds it now. A handle already open on that
    // letter's volume (openVolume) is kept as it is, lock and all.
    port::OsHandle openByDrive(const char16_t* root);
    // Opens the volume of a drive letter ("\\.\E:"), the handle the volume
    // lock, dismount and unlock requests go to; -1 (and closed) when no
    // volume answers for the letter.
    port::OsHandle openVolume(char16_t letter);
    // The letter of a volume handle, 0 for a device handle.
    char16_t volumeLetter() const { return m_volumeLetter; }
    void close();
    bool isOpen() const { return m_handle != port::INVALID_OS_HANDLE; }
    port::OsHandle handle() const { return m_handle; }

    CDeviceParams* params() const { return m_params; }
    void setParams(CDeviceParams* params) { m_params = params; }
    std::uint32_t desiredAccess() const { return m_desiredAccess; }
    std::uint32_t shareMode() const { return m_shareMode; }
    bool closeOnDestruction() const { return m_closeOnDestruction; }
    void setCloseOnDestruction(bool close) { m_closeOnDestruction = close; }
    int pathKind() const { return m_pathKind; }

  private:
    CDeviceParams* m_params;
    port::OsHandle m_handle = port::INVALID_OS_HANDLE;
    std::uint32_t m_desiredAccess = ACCESS_READ_WRITE;
    std::uint32_t m_shareMode = SHARE_READ_WRITE;
    bool m_closeOnDestruction;
    int m_pathKind = 0;
    char16_t m_volumeLetter = 0;
    bool m_aspi = false;  // the handle is an adapter/target pair, not a table entry
};

}  // namespace nork
