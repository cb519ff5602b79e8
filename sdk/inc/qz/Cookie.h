// The public handle of a drive's cookie store (service id 8): named values
// the drive keeps in its hidden area. This handle carries the integer read;
// the store's other operations are on its implementation (CookieImpl.h).
//
// Threads: the caller's; an operation waits for the drive's hidden-area lock
// (shared by every process) and for the drive. Nothing throws.
#pragma once

#include <cstdint>
#include <string_view>

#include "Service.h"
#include "Status.h"

namespace nork {
class CCookieImpl;
}

namespace nork::qz {

class CCookie : public CService {
  public:
    static constexpr std::uint16_t SERVICE_ID = 8;

    CCookie() : CService(SERVICE_ID) {}
    explicit CCookie(const CUFD& device) : CService(device, SERVICE_ID) {}

    // The integer cookie `key` of `section`. STATUS_DATA_NOT_FOUND when the
    // drive has none (a string or binary cookie of the same names does not
    // count), STATUS_SDK_INTERNAL_ERROR for a name that is not valid UTF-16,
    // STATUS_COMMAND_NOT_SUPPORTED when the drive has no cookie store.
    STATUS getInt(std::u16string_view section, std::u16string_view key, std::int32_t& value) const;

  private:
    CCookieImpl* implementation() const;
};

}  // namespace nork::qz
