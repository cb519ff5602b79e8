#include "restore/LanguageUtils.h"

#include "guilib/src/UTMLString.h"
#include "restore/QzLog.h"

namespace nork::restore {

namespace {
constexpr std::uint16_t kEnglish = 1033;
constexpr unsigned primaryLanguage(unsigned languageId) {
    return languageId & 0x3FF;
}
}  // namespace

std::uint16_t CLanguageUtils::FindMatchingResourceLanguage(std::uint16_t wanted) {
    const auto usable = gui::CUTMLString::instance().GetAvailableLanguages();
    std::uint16_t chosen = 0;
    for (std::uint16_t id : usable)
        if (id == wanted) {
            QZLOG("CLanguageUtils::FindMatchingResourceLanguage - using %x", unsigned{wanted});
            chosen = wanted;
            break;
        }
    if (chosen == 0) {
        QZLOG("CLanguageUtils::FindMatchingResourceLanguage - Matching primaries");
        for (std::uint16_t id : usable)
            if (primaryLanguage(id) == primaryLanguage(wanted)) {
                QZLOG("CLanguageUtils::FindMatchingResourceLanguage - found primary %x using %x",
                      primaryLanguage(wanted), unsigned{id});
                chosen = id;
                break;
            }
    }
    if (chosen == 0)
        chosen = kEnglish;
    QZLOG(
        "CLanguageUtils::FindMatchingResourceLanguage - ended successfully, setting language to %d",
        int{chosen});
    return chosen;
}

}  // namespace nork::restore
