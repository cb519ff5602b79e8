#include "qz/TrustedImpl.h"

#include <cstring>

#include "DeviceHandle.h"
#include "Log.h"
#include "qz/QzCommands.h"
#include "qz/UtilsImpl.h"

namespace nork::qz {

CTrustedImpl::CTrustedImpl(std::int16_t version) : CPrivateAreaImpl(SERVICE_ID, version) {}

std::unique_ptr<CZykAPI> CTrustedImpl::clone() const {
    return std::unique_ptr<CZykAPI>(new CTrustedImpl(*this));
}

STATUS CTrustedImpl::getPcId(const std::uint8_t* source, std::uint8_t* pcId) {
    if (source == nullptr || pcId == nullptr)
        return STATUS_WRONG_PARAMETERS;
    for (std::size_t i = 0; i < PC_ID_SIZE; ++i) {
        const std::size_t j = 7 * i / 8;
        const unsigned s = (8 - i % 8) % 8;
        // Byte j + 1 lies beyond the source only where its shift drops it.
        const unsigned high = static_cast<unsigned>(source[j]) << s;
        const unsigned low = s == 0 || j + 1 >= PC_ID_SOURCE_SIZE
                                 ? 0
                                 : static_cast<unsigned>(source[j + 1]) >> (8 - s);
        pcId[i] = static_cast<std::uint8_t>((high | low) & 0xFE);
    }
    return STATUS_OK;
}

STATUS CTrustedImpl::createDeviceId(CDomainAddress& address, const char16_t* password,
                                    const std::uint8_t* pcIdSource, std::uint8_t* hostId) {
    return guarded("CTrustedImpl::createDeviceId", [&]() -> STATUS {
        if (password == nullptr || pcIdSource == nullptr || hostId == nullptr) {
            NORK_LOG(LOG_ERROR, "Qz: CTrustedImpl::createDeviceId(): Null pointer parameter");
            return STATUS_WRONG_PARAMETERS;
        }
        auto handle = openPlain();
        if (!handle) {
            NORK_LOG(LOG_ERROR,
                     "Qz: CTrustedImpl::createDeviceId(): Opening handle to device failure");
            return STATUS_COMMUNICATION_FAILURE;
        }
        STATUS status = checkDomain(*handle, address);
        if (status != STATUS_OK)
            return status;
        bool configured = false;
        status = isConfigured(*handle, address, configured);
        if (status != STATUS_OK) {
            NORK_LOG(LOG_ERROR, "CTrustedImpl::createDeviceId(): failed to test if configured");
            return status;
        }
        // Without an area the drive refuses the id itself.
        std::uint8_t pcId[PC_ID_SIZE] = {};
        getPcId(pcIdSource, pcId);
        PasswordForm form{};
        if (passwordForm(password, form) != STATUS_OK)
            return STATUS_STRING_CONVERSION_ERROR;
        CQz_TH_CreateTrustedHostID_Cmd create(address.index(), pcId, form.data());
        CQz_TH_GetTrustedHostID_Cmd get(address.index());
        status = sendSecret(create, *handle, address);
        if (status == STATUS_OK)
            status = sendSecret(get, *handle, address);
        if (status != STATUS_OK) {
            NORK_LOG(LOG_ERROR,
                     "Qz: CTrustedImpl::createDeviceId(): Execution private commands failure");
            return status;
        }
        get.copyHostId(hostId);
        NORK_LOG(LOG_INFO, "Qz: CTrustedImpl::createDeviceId(): Succeeded");
        return STATUS_OK;
    });
}

STATUS CTrustedImpl::trustedLogin(CDomainAddress& address, const std::uint8_t* pcIdSource,
                                  const std::uint8_t* hostId, bool lock) {
    return guarded("CTrustedImpl::trustedLogin", [&]() -> STATUS {
        if (pcIdSource == nullptr || hostId == nullptr) {
            NORK_LOG(LOG_ERROR, "Qz: CTrustedImpl::login(): Null pointer parameter");
            return STATUS_WRONG_PARAMETERS;
        }
        {
            CDeviceHandle own(device());
            own.open();
            const STATUS status = checkDomain(own, address);
            if (status != STATUS_OK)
                return status;
        }
        auto utils = utilities();
        std::unique_ptr<CDeviceHandle> handle;
        if (!utils || utils->getLockedHandle(address, handle, lock, false) != STATUS_OK || !handle)
            return STATUS_ERROR;
        bool configured = false;
        STATUS status = isConfigured(*handle, address, configured);
        if (status != STATUS_OK) {
            NORK_LOG(LOG_ERROR, "CTrustedImpl::login(): failed to test if configured");
            return status;
        }
        if (!configured)
            return STATUS_CONFIGURATION_ERROR;
        bool loggedIn = false;
        status = isLoggedIn(*handle, address, loggedIn);
        if (status != STATUS_OK) {
            NORK_LOG(LOG_ERROR, "CTrustedImpl::login(): failed to test if logged in");
            return status;
        }
        if (loggedIn)
            return STATUS_OK;
        std::uint8_t pcId[PC_ID_SIZE] = {};
        getPcId(pcIdSource, pcId);
        CQz_TH_OpenPrivateArea_Cmd command(address.index(), pcId, hostId);
        status = sendSecret(command, *handle, address);
        if (status != STATUS_OK)
            NORK_LOG(LOG_ERROR, "Qz: CTrustedImpl::login(): Execution private command failure");
        NORK_LOG(LOG_INFO, "Qz: CTrustedImpl::login(): login status is %s", statusToString(status));
        return status;
    });
}

}  // namespace nork::qz
