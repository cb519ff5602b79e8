// The cookie store of the current product line (CookieImpl.h) under the
// lock "__QZ_SDK_HIDDEN_AREA_LOCK__" + serial number. V1 serves drives whose
// hidden-area service has version 0 or 1, V2 those with version 2 or 3;
// they behave alike (the area version follows the service version through
// the access object, qz/HAUtilsQz.h).
#pragma once

#include <cstdint>
#include <memory>

#include "CookieImpl.h"

namespace nork::qz {

inline constexpr char16_t HIDDEN_AREA_LOCK_NAME[] = u"__QZ_SDK_HIDDEN_AREA_LOCK__";

class CCookieImplQzV1 : public CCookieImpl {
  public:
    explicit CCookieImplQzV1(std::int16_t version = 1)
        : CCookieImpl(version, HIDDEN_AREA_LOCK_NAME) {}
    std::unique_ptr<CZykAPI> clone() const override {
        return std::make_unique<CCookieImplQzV1>(version());
    }
};

class CCookieImplQzV2 : public CCookieImpl {
  public:
    explicit CCookieImplQzV2(std::int16_t version = 2)
        : CCookieImpl(version, HIDDEN_AREA_LOCK_NAME) {}
    std::unique_ptr<CZykAPI> clone() const override {
        return std::make_unique<CCookieImplQzV2>(version());
    }
};

// The implementation for a hidden-area service version: V1 for 0 and 1, V2
// for 2 and 3, none above.
std::unique_ptr<CCookieImpl> makeQzCookieService(std::uint16_t version);

}  // namespace nork::qz
