#include "zyk/CookieImplZyk.h"

#include "Log.h"
#include "UFDImpl.h"
#include "Version.h"

namespace nork::zyk {

bool CCookieImplZyk::tokensSupported() const {
    return device() != nullptr && !(device()->version() < CVersion(u"3.0"));
}

STATUS CCookieImplZyk::writeToken(std::uint32_t key, const std::uint8_t* token) {
    if (!tokensSupported())
        return STATUS_COMMAND_NOT_SUPPORTED;
    if (token == nullptr)
        return STATUS_WRONG_PARAMETERS;
    return doWriteToken(key, token);
}

STATUS CCookieImplZyk::readToken(std::uint32_t key, std::uint8_t* token) {
    if (!tokensSupported())
        return STATUS_COMMAND_NOT_SUPPORTED;
    if (token == nullptr)
        return STATUS_WRONG_PARAMETERS;
    return doReadToken(key, token);
}

STATUS CCookieImplZyk::doWriteToken(std::uint32_t, const std::uint8_t*) {
    NORK_LOG(LOG_INFO, "CCookieImplZyk::writeToken - encrypted cookies are not supported");
    return STATUS_COMMAND_NOT_SUPPORTED;
}

STATUS CCookieImplZyk::doReadToken(std::uint32_t, std::uint8_t*) {
    NORK_LOG(LOG_INFO, "CCookieImplZyk::readToken - encrypted cookies are not supported");
    return STATUS_COMMAND_NOT_SUPPORTED;
}

STATUS CCookieImplZyk::removeToken(std::uint32_t key) {
    if (key == 0)
        return STATUS_WRONG_PARAMETERS;
    return run("CCookieImplZyk::removeToken", [&]() -> STATUS {
        CHAPageMgr& pages = *pageManager();
        if (pages.index().pageOf(key) == 0)
            return pages.answering() != STATUS_OK ? STATUS_COMMUNICATION_FAILURE
                                                  : STATUS_DATA_NOT_FOUND;
        return chunkManager()->releaseDedicated(key);
    });
}

}  // namespace nork::zyk
