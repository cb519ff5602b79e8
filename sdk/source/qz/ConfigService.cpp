#include "qz/ConfigService.h"

#include "Domain.h"
#include "qz/ConfigServiceImpl.h"

namespace nork::qz {

CConfigServiceImpl* CConfigService::implementation() const {
    // A drive of another line may register something else under this id.
    return dynamic_cast<CConfigServiceImpl*>(impl().get());
}

STATUS CConfigService::getDomains(CDomainList& list) const {
    CConfigServiceImpl* service = implementation();
    return service != nullptr ? service->getDomains(list) : STATUS_COMMAND_NOT_SUPPORTED;
}

STATUS CConfigService::getFreeCapacity(std::uint64_t& bytes) const {
    CConfigServiceImpl* service = implementation();
    return service != nullptr ? service->getFreeCapacity(bytes) : STATUS_COMMAND_NOT_SUPPORTED;
}

STATUS CConfigService::addDomain(CDomain& domain, std::uint32_t options,
                                 CProgressCallback* progress) const {
    CConfigServiceImpl* service = implementation();
    if (service == nullptr)
        return STATUS_COMMAND_NOT_SUPPORTED;
    const bool lock = (options & OPTION_NO_LOCK) == 0;
    const bool format = (options & OPTION_NO_FORMAT) == 0;
    return service->addDomain(domain, lock, format, progress);
}

}  // namespace nork::qz
