#include "VendorIdentifier.h"

#include "DeviceParams.h"
#include "PlatformFactory.h"

namespace nork {

int CVendorIdentifier::identify(CDeviceHandle& handle, CDeviceParams& params) const {
    return identify(handle, params,
                    CPlatformFactory::instance().privilege(CPlatformFactory::PRIV_O));
}

int CVendorIdentifier::identify(CDeviceHandle& handle, CDeviceParams& params,
                                bool scsiAccess) const {
    const CVendorDeviceTraits* families[] = {&m_zyk, &m_qz, &m_any};
    for (const CVendorDeviceTraits* traits : families) {
        const int answer = traits->validate(handle, params, scsiAccess);
        if (answer == CVendorDeviceTraits::VALIDATE_MINE) {
            // Traits are stateless and shared; params only point at them.
            params.setTraits(const_cast<CVendorDeviceTraits*>(traits));
            return answer;
        }
        if (answer == CVendorDeviceTraits::VALIDATE_STOP)
            return answer;
    }
    return CVendorDeviceTraits::VALIDATE_NOT_MINE;
}

}  // namespace nork
