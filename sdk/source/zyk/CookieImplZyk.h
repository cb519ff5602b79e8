// The cookie store of the earlier product line (CookieImpl.h): the same
// records on the earlier line's hidden pages, under the lock
// "__ZYK_SDK_COOKIE_IMPL_LOCK__" + serial number, and the line's token
// operations. A token (48 bytes) would be kept encrypted in a dedicated
// page under the caller's key; the library does not carry the encrypted
// page object, so writing and reading tokens answer
// STATUS_COMMAND_NOT_SUPPORTED (also, first, on firmware below 3.0) and
// leave the drive untouched.
#pragma once

#include <cstdint>
#include <memory>

#include "CookieImpl.h"

namespace nork::zyk {

inline constexpr char16_t COOKIE_LOCK_NAME[] = u"__ZYK_SDK_COOKIE_IMPL_LOCK__";

class CCookieImplZyk : public CCookieImpl {
  public:
    static constexpr const char16_t* API_NAME = u"Cookie API";
    static constexpr std::uint32_t TOKEN_SIZE = 48;

    CCookieImplZyk() : CCookieImpl(0, COOKIE_LOCK_NAME) {}
    std::unique_ptr<CZykAPI> clone() const override { return std::make_unique<CCookieImplZyk>(); }
    const char16_t* name() const { return API_NAME; }

    // Tokens of TOKEN_SIZE bytes under a 32-bit key.
    virtual STATUS writeToken(std::uint32_t key, const std::uint8_t* token);
    virtual STATUS readToken(std::uint32_t key, std::uint8_t* token);
    // Releases the key's dedicated page; STATUS_DATA_NOT_FOUND without one.
    virtual STATUS removeToken(std::uint32_t key);

  protected:
    virtual STATUS doWriteToken(std::uint32_t key, const std::uint8_t* token);
    virtual STATUS doReadToken(std::uint32_t key, std::uint8_t* token);

  private:
    bool tokensSupported() const;
};

}  // namespace nork::zyk
