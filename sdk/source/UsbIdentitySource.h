// The USB identity of a drive as the system records it (serial number, SCSI
// vendor, product and revision, USB ids, interface number), read without
// sending the drive a command. The validators take the serial number from
// here. Backed by the device table (port/DeviceIo.h): sysfs for real nodes,
// the daemon's record for emulated drives.
#pragma once

#include <cstdint>
#include <string>

#include "Status.h"

namespace nork {

class CDeviceParams;

struct CUsbIdentity {
    std::u16string serial;
    std::u16string vendor;
    std::u16string product;
    std::u16string revision;
    std::int32_t vendorId = -1;
    std::int32_t productId = -1;
    std::int32_t interfaceNumber = -1;
    bool composite = false;
    std::u16string stringId;  // the string-id descriptor text, when known
};

class CUsbIdentitySource {
  public:
    virtual ~CUsbIdentitySource() = default;

    // The identity of the drive behind a device path. False (and a log
    // line) when the system has no record of it; an empty serial counts as
    // none.
    virtual bool identityOfPath(const std::u16string& path, CUsbIdentity& out) const;
    // The identity of a device from its disk path (kind 0 slot, else the HID
    // slot).
    bool identityOf(const CDeviceParams& params, CUsbIdentity& out) const;

    // The process's source.
    static CUsbIdentitySource& instance();
    // Replaces the process's source (tests); null restores the default.
    static void setInstance(CUsbIdentitySource* source);
};

}  // namespace nork
