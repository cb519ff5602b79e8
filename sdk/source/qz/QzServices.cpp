#include "qz/QzServices.h"

#include "qz/ConfigServiceImpl.h"
#include "qz/CookieImplQz.h"
#include "qz/CryptoImpl.h"
#include "qz/PrivateAreaImpl.h"
#include "qz/SecureSessionServiceImpl.h"
#include "qz/TrustedImpl.h"
#include "qz/UtilsImpl.h"

namespace nork::qz {

std::unique_ptr<CServiceImpl> makeQzService(std::uint16_t id, std::uint16_t version) {
    const auto v = static_cast<std::int16_t>(version);
    if (id == CConfigServiceImpl::SERVICE_ID)
        return std::make_unique<CConfigServiceImpl>(v);
    // Cookies: by the hidden-area service's version; none above 3.
    if (id == CCookieImpl::SERVICE_ID)
        return makeQzCookieService(version);
    if (id == CPrivateAreaImpl::SERVICE_ID)
        return std::make_unique<CPrivateAreaImpl>(v);
    if (id == CTrustedImpl::SERVICE_ID)
        return std::make_unique<CTrustedImpl>(v);
    if (id == CUtilsImpl::SERVICE_ID)
        return std::make_unique<CUtilsImpl>(v);
    if (id == CSecureSessionServiceImpl::SERVICE_ID)
        return std::make_unique<CSecureSessionServiceImpl>(v);
    if (id == CCryptoImpl::SERVICE_ID && version == 1)
        return std::make_unique<CCryptoImplS1>();
    if (id == CCryptoImpl::SERVICE_ID)
        return std::make_unique<CCryptoImpl>(v);
    // CD (6), FIPS (26), direct
    // communication (50) and any other service the drive reports.
    return std::make_unique<CServiceImpl>(id, v);
}

}  // namespace nork::qz
