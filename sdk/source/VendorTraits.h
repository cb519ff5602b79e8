// Vendor traits: what differs between the drive families (current Qz line,
// earlier Zyk line, any other USB disk). One stateless instance per family;
// device parameters point to the instance of their drive's family.
#pragma once

#include <cstdint>
#include <memory>

#include "DiskInterface.h"
#include "SCSICommand.h"

namespace nork {

class CVendorDeviceTraits {
  public:
    virtual ~CVendorDeviceTraits() = default;

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
};

class CVendorDeviceTraitsZYK : public CVendorDeviceTraits {
  public:
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
};

class CVendorDeviceTraitsQz : public CVendorDeviceTraits {
  public:
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
};

// Any other USB disk: no private commands.
class CVendorDeviceTraitsANY : public CVendorDeviceTraits {
  public:
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
};

}  // namespace nork
