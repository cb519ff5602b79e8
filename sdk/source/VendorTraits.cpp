#include "VendorTraits.h"

#include <string_view>

#include "DiskInterface.h"
#include "PrivateCommand.h"

namespace nork {

bool CVendorDeviceTraitsZYK::isValidSerial(const char16_t* serial) const {
    return serial != nullptr && std::u16string_view(serial).size() == 16;
}

std::unique_ptr<CDiskInterface> CVendorDeviceTraitsZYK::createDiskInterface() const {
    return std::make_unique<CDiskInterfaceNotSupported>();
}

std::unique_ptr<CSCSICommand> CVendorDeviceTraitsZYK::createSCSICommand(
    std::uint8_t* buffer, std::uint32_t dataSize, std::uint16_t opCode, std::uint8_t direction,
    std::uint8_t lun, std::uint32_t timeout) const {
    return std::make_unique<CZykSCSICommand>(buffer, dataSize, opCode, direction, lun, timeout);
}

std::unique_ptr<CSCSICommand> CVendorDeviceTraitsZYK::createSCSICommand(
    std::uint32_t dataSize, std::uint16_t opCode, std::uint8_t direction, std::uint8_t lun,
    std::uint32_t timeout) const {
    return std::make_unique<CZykSCSICommand>(dataSize, opCode, direction, lun, timeout);
}

std::unique_ptr<CDiskInterface> CVendorDeviceTraitsQz::createDiskInterface() const {
    // The HID private-area disk interface takes this place once the HID
    // transport exists; until then the disk is unreachable without raw
    // access.
    return std::make_unique<CDiskInterfaceNotSupported>();
}

std::unique_ptr<CSCSICommand> CVendorDeviceTraitsQz::createSCSICommand(
    std::uint8_t* buffer, std::uint32_t dataSize, std::uint16_t opCode, std::uint8_t direction,
    std::uint8_t lun, std::uint32_t timeout) const {
    return std::make_unique<CQzSCSICommand>(buffer, dataSize, opCode, direction, lun, timeout);
}

std::unique_ptr<CSCSICommand> CVendorDeviceTraitsQz::createSCSICommand(
    std::uint32_t dataSize, std::uint16_t opCode, std::uint8_t direction, std::uint8_t lun,
    std::uint32_t timeout) const {
    return std::make_unique<CQzSCSICommand>(dataSize, opCode, direction, lun, timeout);
}

std::unique_ptr<CDiskInterface> CVendorDeviceTraitsANY::createDiskInterface() const {
    return std::make_unique<CDiskInterfaceNotSupported>();
}

}  // namespace nork
