#include "ServiceImpl.h"

#include <algorithm>
#include <cstring>

#include "DeviceHandle.h"
#include "Log.h"
#include "PrivateExec.h"
#include "VersionFactory.h"
#include "qz/QzCommands.h"

namespace nork {

void logOperationFailure(const char* where) noexcept {
    NORK_LOG(LOG_ERROR, "%s - internal error", where);
}

CServiceImpl::CServiceImpl(std::uint16_t serviceId, std::int16_t version)
    : CZykAPI(CUFDImpl::serviceKey(serviceId)), m_serviceId(serviceId), m_version(version) {}

std::unique_ptr<CZykAPI> CServiceImpl::clone() const {
    return std::unique_ptr<CZykAPI>(new CServiceImpl(*this));
}

STATUS CServiceImpl::getServiceDescriptor(CDeviceHandle& handle, std::uint16_t serviceId,
                                          std::uint8_t* buffer, std::uint32_t size,
                                          std::uint32_t& length, bool longForm) {
    return guarded("CServiceImpl::getServiceDescriptor", [&]() -> STATUS {
        if (buffer == nullptr || size == 0)
            return STATUS_WRONG_PARAMETERS;
        qz::CQz_SD_QueryService_Cmd head(serviceId, 10, longForm);
        if (!executePrivate(handle, head)) {
            NORK_LOG(LOG_ERROR,
                     "Qz: CServiceImpl::getServiceDescriptor(): Execution query command failure");
            return STATUS_COMMUNICATION_FAILURE;
        }
        const std::uint32_t full = head.length();
        if (full == 0 || full > SERVICE_DESCRIPTOR_MAX_LENGTH) {
            NORK_LOG(LOG_ERROR, "CServiceImpl::getServiceDescriptor(): got illegal length: %d",
                     full);
            return STATUS_WRONG_DATA_LENGTH;
        }
        qz::CQz_SD_QueryService_Cmd whole(serviceId, full, longForm);
        if (!executePrivate(handle, whole)) {
            NORK_LOG(LOG_ERROR,
                     "Qz: CServiceImpl::getServiceDescriptor(): Execution query command failure");
            return STATUS_COMMUNICATION_FAILURE;
        }
        std::memcpy(buffer, whole.dataBuffer(), std::min(size, full));
        length = full;
        return STATUS_OK;
    });
}

STATUS CServiceImpl::getServiceDescriptor(std::uint16_t serviceId, std::uint8_t* buffer,
                                          std::uint32_t size, std::uint32_t& length,
                                          bool longForm) {
    return guarded("CServiceImpl::getServiceDescriptor", [&]() -> STATUS {
        CDeviceHandle handle(device());
        if (device() == nullptr || handle.open() == port::INVALID_OS_HANDLE) {
            NORK_LOG(LOG_ERROR,
                     "CServiceImpl::getServiceDescriptor(): Cannot open handle to device");
            return STATUS_COMMUNICATION_FAILURE;
        }
        return getServiceDescriptor(handle, serviceId, buffer, size, length, longForm);
    });
}

STATUS CServiceImpl::getServiceRootSpecificFields(CDeviceHandle& handle, std::uint16_t serviceId,
                                                  std::uint8_t* buffer, std::uint32_t size,
                                                  std::uint32_t& length) {
    return guarded("CServiceImpl::getServiceRootSpecificFields", [&]() -> STATUS {
        if (buffer == nullptr || size == 0)
            return STATUS_WRONG_PARAMETERS;
        qz::CQz_SD_QueryService_Cmd head(serviceId, 6, false);
        if (!executePrivate(handle, head)) {
            NORK_LOG(LOG_ERROR,
                     "Qz: CServiceImpl::getServiceRootSpecificFields(): Execution query command "
                     "failure");
            return STATUS_COMMUNICATION_FAILURE;
        }
        const std::uint32_t rootLength = head.rootSpecificLength();
        length = rootLength;
        if (rootLength == 0) {
            NORK_LOG(LOG_DEBUG,
                     "CServiceImpl::getServiceRootSpecificFields(): haven't specific fields");
            return STATUS_OK;
        }
        if (rootLength > SERVICE_DESCRIPTOR_MAX_LENGTH) {
            NORK_LOG(LOG_ERROR,
                     "CServiceImpl::getServiceRootSpecificFields(): got illegal length: %d",
                     rootLength);
            return STATUS_WRONG_DATA_LENGTH;
        }
        qz::CQz_SD_QueryService_Cmd whole(serviceId, head.length(), false);
        if (!executePrivate(handle, whole) || whole.rootSpecificStart() == nullptr) {
            NORK_LOG(LOG_ERROR,
                     "Qz: CServiceImpl::getServiceRootSpecificFields(): Execution query command "
                     "failure");
            return STATUS_COMMUNICATION_FAILURE;
        }
        // What the second answer really holds after its header, should the
        // drive have changed its mind between the two queries.
        const std::uint32_t available = whole.dataLength() - whole.headerLength();
        std::memcpy(buffer, whole.rootSpecificStart(), std::min({size, rootLength, available}));
        return STATUS_OK;
    });
}

STATUS CServiceImpl::getServiceRootSpecificFields(std::uint16_t serviceId, std::uint8_t* buffer,
                                                  std::uint32_t size, std::uint32_t& length) {
    return guarded("CServiceImpl::getServiceRootSpecificFields", [&]() -> STATUS {
        CDeviceHandle handle(device());
        if (device() == nullptr || handle.open() == port::INVALID_OS_HANDLE) {
            NORK_LOG(LOG_ERROR,
                     "CServiceImpl::getServiceRootSpecificFields(): Cannot open handle to device");
            return STATUS_COMMUNICATION_FAILURE;
        }
        return getServiceRootSpecificFields(handle, serviceId, buffer, size, length);
    });
}

}  // namespace nork
