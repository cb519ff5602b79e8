#include "VendorTraits.h"
#include "DomainCommands.h"

#include <string_view>
#include <utility>
#include <vector>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "DeviceValidators.h"
#include "DiskInterface.h"
#include "HidValidator.h"
#include "Log.h"
#include "PlatformFactory.h"
#include "PrivateCommand.h"
#include "PrivateExec.h"
#include "SCSIExec.h"
#include "UFDImpl.h"
#include "VersionFactory.h"
#include "port/Utf.h"
#include "qz/DriveProtocol.h"
#include "qz/HAUtilsQz.h"
#include "qz/QzCommands.h"
#include "qz/QzServices.h"
#include "qz/ServiceDiscoveryImpl.h"
#include "zyk/CookieImplZyk.h"
#include "zyk/ZykCommands.h"
#include "zyk/ZykServices.h"

namespace nork {
namespace {

bool rawAccess() {
    return CPlatformFactory::instance().privilege(CPlatformFactory::PRIV_O);
}

// Capacity through the disk interface: KiB x 1024; false when it reads 0.
bool diskInterfaceCapacity(CDeviceParams& device, std::uint64_t& bytes) {
    CDeviceHandle handle(&device);
    if (handle.open() == port::INVALID_OS_HANDLE)
        return false;
    const std::uint32_t kb =
        CVersionFactory::instance().getDiskInterface(handle).getCapacityKB(handle);
    if (kb == 0)
        return false;
    bytes = static_cast<std::uint64_t>(kb) * 1024u;
    return true;
}

STATUS lunsFromDriveLetters(const CDeviceParams& params, std::uint32_t& count) {
    const int letters = params.driveLetterCount();
    if (letters == 0)
        return STATUS_ERROR;
    count = static_cast<std::uint32_t>(letters);
    return STATUS_OK;
}

// Sizes of the Qz capacity query: service 3's descriptor up to the sector
// count at offset 35.
constexpr std::uint32_t QZ_DEVICE_INFO_SIZE = 39;
constexpr std::uint32_t QZ_DEVICE_INFO_SECTORS_OFFSET = 35;
constexpr std::uint16_t QZ_SERVICE_DISCOVERY = 3;

// Zyk layouts of this implementation: the deposit parameters start with the
// device's sector count; the configuration answer starts with its mode.
constexpr std::size_t ZYK_DEPOSIT_SECTORS_OFFSET = 0;
constexpr std::size_t ZYK_CONFIGURATION_MODE_OFFSET = 0;

}  // namespace

// ---- Zyk ----

int CVendorDeviceTraitsZYK::validate(CDeviceHandle& handle, CDeviceParams& params,
                                     bool scsiAccess) const {
    if (!scsiAccess)
        return VALIDATE_NOT_MINE;
    return CDeviceValidatorSCSI().validate(handle, params);
}

bool CVendorDeviceTraitsZYK::registerServices(CUFDImpl& device) const {
    using namespace zyk;
    const CVersion version = device.version();
    device.addService(CUtilsImplZyk());
    device.addService(CConfigServiceImplZyk());
    if (version == CVersion(u"1.11")) {
        device.addService(CTwinImpl());
        device.addService(CCDServiceImplZyk());
        device.addService(CDepositImpl());
        return true;
    }
    device.addService(CDirectCommunicationImplZyk());
    if (version >= CVersion(u"2.01"))
        device.addService(CCookieImplZyk());
    if (version >= CVersion(u"2.51"))
        device.addService(CDepositImpl());
    if (version >= CVersion(u"3.0")) {
        device.addService(CCryptoImplZyk());
        device.addService(CExtendedDepositImpl());
    }
    if (version >= CVersion(u"4.3")) {
        device.addService(CCDServiceImplZyk());
        device.addService(CTwinImpl());
    }
    return true;
}

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

bool CVendorDeviceTraitsZYK::getCapacity(CDeviceParams& device, std::uint64_t& bytes) const {
    if (device.version() < CVersion(u"2.5"))
        return diskInterfaceCapacity(device, bytes);
    CDeviceHandle handle(&device);
    zyk::CZykGetDepositParamsCommand command;
    if (!executePrivate(handle, command))
        return false;
    bytes = static_cast<std::uint64_t>(
                proto::getLE32(command.dataBuffer() + ZYK_DEPOSIT_SECTORS_OFFSET)) *
            proto::SECTOR_SIZE;
    return true;
}

STATUS CVendorDeviceTraitsZYK::getLunsNum(CDeviceParams& params, std::uint32_t& count) const {
    if (!rawAccess())
        return STATUS_ERROR;
    if (params.hidPrivateCommandsEnabled()) {
        count = 1;
        return STATUS_OK;
    }
    if (params.version() >= CVersion(u"4.3")) {
        CDeviceHandle handle(&params);
        zyk::CZykGetConfigurationCommand command;
        if (!executePrivate(handle, command))
            return STATUS_DEVICE_NOT_CONNECTED;
        const std::uint8_t mode = command.dataBuffer()[ZYK_CONFIGURATION_MODE_OFFSET];
        if (mode == 1 || mode == 2) {
            count = 2;
            return STATUS_OK;
        }
        if (mode == 3) {
            count = 1;
            return STATUS_OK;
        }
        return STATUS_ERROR;
    }
    if (params.version() == CVersion(u"1.11")) {
        count = 2;
        return STATUS_OK;
    }
    return lunsFromDriveLetters(params, count);
}

std::unique_ptr<CHAUtils> CVendorDeviceTraitsZYK::createHAUtils() const {
    return std::make_unique<CHAUtils>();
}

STATUS CVendorDeviceTraitsZYK::setFwVersion(CDeviceParams& params) const {
    CDeviceHandle handle(&params);
    if (handle.open() == port::INVALID_OS_HANDLE) {
        NORK_LOG(LOG_ERROR,
                 "CVendorDeviceTraitsZYK::setFwVersion(): Opening handle to device failure");
        return STATUS_COMMUNICATION_FAILURE;
    }
    CSCSIReportIdCommand reportId;
    if (!CPlatformFactory::instance().scsiExecutor()(handle, reportId))
        return STATUS_COMMUNICATION_FAILURE;
    params.setVersion(CVersion(port::utf::toUtf16(reportId.firmwareVersion())));
    return STATUS_OK;
}

// ---- Qz ----

int CVendorDeviceTraitsQz::validate(CDeviceHandle& handle, CDeviceParams& params,
                                    bool scsiAccess) const {
    if (scsiAccess)
        return CDeviceValidatorSCSIQz().validate(handle, params);
    if (params.hidPrivateCommandsEnabled())
        return validateHid(handle, params);
    if ((params.flags() & CDeviceParams::FLAG_NON_ADMIN_MASK) != 0)
        return CDeviceValidatorNonAdmin().validate(handle, params);
    return VALIDATE_NOT_MINE;
}

bool CVendorDeviceTraitsQz::registerServices(CUFDImpl& device) const {
    std::vector<qz::DiscoveredService> services;
    if (!qz::discoverQzServices(device, services)) {
        NORK_LOG(LOG_ERROR,
                 "Qz: CVendorDeviceTraitsQz::registerServices(): service discovery failed for %s",
                 device.serialNumber());
        return false;
    }
    bool utilities = false;
    bool directCommunication = false;
    for (const auto& [type, version] : services) {
        utilities = utilities || type == 20;
        directCommunication = directCommunication || type == 50;
        // The discovery service is already registered; 16 has no
        // implementation of its own.
        if (type == qz::SERVICE_ID_DISCOVERY || type == 16)
            continue;
        if (auto service = qz::makeQzService(type, version))
            device.addService(*service);
    }
    if (!utilities)
        device.addService(*qz::makeQzService(20, 1));
    if (!directCommunication)
        device.addService(*qz::makeQzService(50, 0));
    return true;
}

std::unique_ptr<CDiskInterface> CVendorDeviceTraitsQz::createDiskInterface() const {
    return std::make_unique<CDiskInterfacePAHid>();
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

bool CVendorDeviceTraitsQz::getCapacity(CDeviceParams& device, std::uint64_t& bytes) const {
    CDeviceHandle handle(&device);
    qz::CQz_SD_QueryService_Cmd query(QZ_SERVICE_DISCOVERY, QZ_DEVICE_INFO_SIZE, false);
    if (!executePrivate(handle, query)) {
        NORK_LOG(LOG_ERROR,
                 "Qz: CVendorDeviceTraitsQz::calculateCapacity(): Execution query command failure");
        return false;
    }
    bytes = static_cast<std::uint64_t>(
                proto::getLE32(query.dataBuffer() + QZ_DEVICE_INFO_SECTORS_OFFSET)) *
            proto::SECTOR_SIZE;
    return true;
}

STATUS CVendorDeviceTraitsQz::getLunsNum(CDeviceParams& params, std::uint32_t& count) const {
    CDeviceHandle handle(&params);
    if (handle.open() == port::INVALID_OS_HANDLE) {
        NORK_LOG(LOG_ERROR,
                 "CVendorDeviceTraitsQz::getLunsNum(): Opening handle to device failure");
        return STATUS_COMMUNICATION_FAILURE;
    }
    CQzCfgGetDeviceCfgCmd command(1);
    if (!executePrivate(handle, command)) {
        NORK_LOG(LOG_ERROR,
                 "CVendorDeviceTraitsQz::getLunsNum(): Execution of GetDomains command failure");
        return STATUS_COMMUNICATION_FAILURE;
    }
    count = command.GetDomainsNum();
    return STATUS_OK;
}

std::unique_ptr<CHAUtils> CVendorDeviceTraitsQz::createHAUtils() const {
    return std::make_unique<qz::CHAUtilsQz>();
}

STATUS CVendorDeviceTraitsQz::setFwVersion(CDeviceParams& params) const {
    CDeviceHandle handle(&params);
    if (handle.open() == port::INVALID_OS_HANDLE) {
        NORK_LOG(LOG_ERROR,
                 "CVendorDeviceTraitsQz::setFwVersion(): Opening handle to device failure");
        return STATUS_COMMUNICATION_FAILURE;
    }
    qz::CQz_AUX_GetFwVersion_Cmd command;
    if (!executePrivate(handle, command))
        return STATUS_COMMUNICATION_FAILURE;
    params.setVersion(CVersion(port::utf::toUtf16(command.versionText())));
    return STATUS_OK;
}

// ---- ANY ----

int CVendorDeviceTraitsANY::validate(CDeviceHandle& handle, CDeviceParams& params,
                                     bool scsiAccess) const {
    if (!scsiAccess)
        return VALIDATE_NOT_MINE;
    return CDeviceValidatorSCSIAny().validate(handle, params);
}

bool CVendorDeviceTraitsANY::registerServices(CUFDImpl& device) const {
    device.addService(any::CUtilsImplAny());
    device.addService(any::CDirectCommunicationImplAny());
    return true;
}

std::unique_ptr<CDiskInterface> CVendorDeviceTraitsANY::createDiskInterface() const {
    return std::make_unique<CDiskInterfaceNotSupported>();
}

bool CVendorDeviceTraitsANY::getCapacity(CDeviceParams& device, std::uint64_t& bytes) const {
    return diskInterfaceCapacity(device, bytes);
}

STATUS CVendorDeviceTraitsANY::getLunsNum(CDeviceParams& params, std::uint32_t& count) const {
    return lunsFromDriveLetters(params, count);
}

}  // namespace nork
