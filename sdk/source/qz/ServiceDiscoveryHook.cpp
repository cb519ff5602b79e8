#include "qz/ServiceDiscoveryHook.h"

#include "Log.h"
#include "UFDImpl.h"

namespace nork {

bool discoverQzServices(CUFDImpl& device,
                        std::vector<std::pair<std::uint16_t, std::uint16_t>>& out) {
    out.clear();
    NORK_LOG(LOG_DEBUG, "Qz: discoverQzServices - service discovery not available for %s",
             device.serialNumber());
    return false;
}

}  // namespace nork
