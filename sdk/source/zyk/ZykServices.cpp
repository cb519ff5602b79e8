#include "zyk/ZykServices.h"

#include "DeviceHandle.h"
#include "Log.h"
#include "PrivateExec.h"
#include "VendorTraits.h"
#include "VersionFactory.h"

namespace nork {

STATUS CMinimalServiceImpl::request(std::uint32_t operation, std::uint8_t*, std::uint32_t&) {
    NORK_LOG(LOG_DEBUG, "CMinimalServiceImpl::request - %s operation %u not supported", m_name,
             operation);
    return STATUS_COMMAND_NOT_SUPPORTED;
}

STATUS CDirectCommunicationBase::sendCommand(CPrivateCommand& command) {
    try {
        if (device() == nullptr)
            return STATUS_DEVICE_NOT_CONNECTED;
        CDeviceHandle handle(device());
        if (!executePrivate(handle, command))
            return STATUS_COMMUNICATION_FAILURE;
        return STATUS_OK;
    } catch (...) {
        return STATUS_SDK_INTERNAL_ERROR;
    }
}

STATUS CUtilsBase::getCapacity(std::uint64_t& bytes) {
    if (device() == nullptr)
        return STATUS_DEVICE_NOT_CONNECTED;
    if (device()->traits() == nullptr)
        return STATUS_COMMAND_NOT_SUPPORTED;
    return device()->traits()->getCapacity(*device(), bytes) ? STATUS_OK
                                                             : STATUS_COMMUNICATION_FAILURE;
}

STATUS CUtilsBase::getLunsNum(std::uint32_t& count) {
    if (device() == nullptr)
        return STATUS_DEVICE_NOT_CONNECTED;
    if (device()->traits() == nullptr)
        return STATUS_COMMAND_NOT_SUPPORTED;
    return device()->traits()->getLunsNum(*device(), count);
}

}  // namespace nork
