#include "qz/QzServices.h"

namespace nork::qz {

CServiceImpl makeQzService(std::uint16_t id, std::uint16_t version) {
    // Configuration (4), CD (6), cookies (8), secure session (10), private
    // area (12), trusted host (14), crypto (19), utilities (20), FIPS (26),
    // direct communication (50) and any other service the drive reports.
    return CServiceImpl(id, static_cast<std::int16_t>(version));
}

}  // namespace nork::qz
