#include "qz/CookieImplQz.h"

namespace nork::qz {

std::unique_ptr<CCookieImpl> makeQzCookieService(std::uint16_t version) {
    const auto v = static_cast<std::int16_t>(version);
    if (version <= 1)
        return std::make_unique<CCookieImplQzV1>(v);
    if (version <= 3)
        return std::make_unique<CCookieImplQzV2>(v);
    return nullptr;
}

}  // namespace nork::qz
