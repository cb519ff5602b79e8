// Vendor traits: what differs between the drive families (current Qz line,
// earlier Zyk line, any other USB disk): how a drive is recognised, which
// services it gets, how its private commands are framed and how capacity,
// LUN count and firmware version are read. One stateless instance per
// family, owned by the vendor identifier; device parameters point to the
// instance of their drive's family.
#pragma once

#include <cstdint>
#include <memory>

#include "DiskInterface.h"
#include "HAUtils.h"
#include "SCSICommand.h"
#include "Status.h"

namespace nork {

class CDeviceHandle;
class CDeviceParams;
class CUFDImpl;

class CVendorDeviceTraits {
  public:
    // Answers of validate.
    static constexpr int VALIDATE_MINE = 0;
    static constexpr int VALIDATE_NOT_MINE = 1;
    static constexpr int VALIDATE_STOP = 2;

    virtual ~CVendorDeviceTraits() = default;

    // Whether the drive behind the handle belongs to this family; on 0 the
    // params hold its serial number, state and what validation read.
    virtual int validate(CDeviceHandle& handle, CDeviceParams& params, bool scsiAccess) const = 0;
    // Registers the drive's services; false when registration failed.
    virtual bool registerServices(CUFDImpl& device) const = 0;
    virtual const char16_t* name() const = 0;
    virtual bool isValidSerial(const char16_t* serial) const = 0;
    // The disk interface used when the process has no raw device access.
    virtual std::unique_ptr<CDiskInterface> createDiskInterface() const = 0;
    // The SCSI frame of a private command of this family, borrowing the
    // caller's buffer; null for families without private commands.
    virtual std::unique_ptr<CSCSICommand> createSCSICommand(
        std::uint8_t* buffer, std::uint32_t dataSize, std::uint16_t opCode, std::uint8_t direction,
        std::uint8_t lun, std::uint32_t timeout) const = 0;
    // The same with a buffer owned by the frame.
    virtual std::unique_ptr<CSCSICommand> createSCSICommand(std::uint32_t dataSize,
                                                            std::uint16_t opCode,
                                                            std::uint8_t direction,
                                                            std::uint8_t lun,
                                                            std::uint32_t timeout) const = 0;
    // The drive's capacity in bytes; false when it could not be read.
    virtual bool getCapacity(CDeviceParams& device, std::uint64_t& bytes) const = 0;
    // The number of LUNs the drive presents.
    virtual STATUS getLunsNum(CDeviceParams& params, std::uint32_t& count) const = 0;
    // Null for families without a hidden area.
    virtual std::unique_ptr<CHAUtils> createHAUtils() const = 0;
    // Reads the firmware version from the drive into the params.
    virtual STATUS setFwVersion(CDeviceParams& params) const = 0;
};

class CVendorDeviceTraitsZYK : public CVendorDeviceTraits {
  public:
    int validate(CDeviceHandle& handle, CDeviceParams& params, bool scsiAccess) const override;
    bool registerServices(CUFDImpl& device) const override;
    const char16_t* name() const override { return u"ZYK"; }
    // Exactly 16 characters.
    bool isValidSerial(const char16_t* serial) const override;
    std::unique_ptr<CDiskInterface> createDiskInterface() const override;
    std::unique_ptr<CSCSICommand> createSCSICommand(std::uint8_t* buffer, std::uint32_t dataSize,
                                                    std::uint16_t opCode, std::uint8_t direction,
                                                    std::uint8_t lun,
                                                    std::uint32_t timeout) const override;
    std::unique_ptr<CSCSICommand> createSCSICommand(std::uint32_t dataSize, std::uint16_t opCode,
                                                    std::uint8_t direction, std::uint8_t lun,
                                                    std::uint32_t timeout) const override;
    bool getCapacity(CDeviceParams& device, std::uint64_t& bytes) const override;
    STATUS getLunsNum(CDeviceParams& params, std::uint32_t& count) const override;
    std::unique_ptr<CHAUtils> createHAUtils() const override;
    STATUS setFwVersion(CDeviceParams& params) const override;
};

class CVendorDeviceTraitsQz : public CVendorDeviceTraits {
  public:
    int validate(CDeviceHandle& handle, CDeviceParams& params, bool scsiAccess) const override;
    bool registerServices(CUFDImpl& device) const override;
    const char16_t* name() const override { return u"QZ"; }
    // Any non-null text.
    bool isValidSerial(const char16_t* serial) const override { return serial != nullptr; }
    std::unique_ptr<CDiskInterface> createDiskInterface() const override;
    std::unique_ptr<CSCSICommand> createSCSICommand(std::uint8_t* buffer, std::uint32_t dataSize,
                                                    std::uint16_t opCode, std::uint8_t direction,
                                                    std::uint8_t lun,
                                                    std::uint32_t timeout) const override;
    std::unique_ptr<CSCSICommand> createSCSICommand(std::uint32_t dataSize, std::uint16_t opCode,
                                                    std::uint8_t direction, std::uint8_t lun,
                                                    std::uint32_t timeout) const override;
    bool getCapacity(CDeviceParams& device, std::uint64_t& bytes) const override;
    STATUS getLunsNum(CDeviceParams& params, std::uint32_t& count) const override;
    std::unique_ptr<CHAUtils> createHAUtils() const override;
    STATUS setFwVersion(CDeviceParams& params) const override;
};

// Any other USB disk: no private commands, generic services only.
class CVendorDeviceTraitsANY : public CVendorDeviceTraits {
  public:
    int validate(CDeviceHandle& handle, CDeviceParams& params, bool scsiAccess) const override;
    bool registerServices(CUFDImpl& device) const override;
    const char16_t* name() const override { return u"ANY Device"; }
    // Non-null and non-empty.
    bool isValidSerial(const char16_t* serial) const override {
        return serial != nullptr && *serial != u'\0';
    }
    std::unique_ptr<CDiskInterface> createDiskInterface() const override;
    std::unique_ptr<CSCSICommand> createSCSICommand(std::uint8_t*, std::uint32_t, std::uint16_t,
                                                    std::uint8_t, std::uint8_t,
                                                    std::uint32_t) const override {
        return nullptr;
    }
    std::unique_ptr<CSCSICommand> createSCSICommand(std::uint32_t, std::uint16_t, std::uint8_t,
                                                    std::uint8_t, std::uint32_t) const override {
        return nullptr;
    }
    bool getCapacity(CDeviceParams& device, std::uint64_t& bytes) const override;
    STATUS getLunsNum(CDeviceParams& params, std::uint32_t& count) const override;
    std::unique_ptr<CHAUtils> createHAUtils() const override { return nullptr; }
    STATUS setFwVersion(CDeviceParams&) const override { return STATUS_OK; }
};

}  // namespace nork
