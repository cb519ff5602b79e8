#include "guilib/src/UTMLString.h"

#include <algorithm>

#include "guilib/src/DebugOut.h"
#include "guilib/src/ResourceText.h"
#include "guilib/src/Resources.h"
#include "port/Locale.h"

namespace nork::gui {

namespace {

bool contains(const std::vector<std::uint16_t>& list, std::uint16_t id) {
    return std::find(list.begin(), list.end(), id) != list.end();
}

constexpr std::uint16_t kEnglishUS = 1033;

}  // namespace

CUTMLString& CUTMLString::instance() {
    static CUTMLString* strings = new CUTMLString;  // lives until the process ends
    return *strings;
}

std::uint16_t CUTMLString::InitLanguages(int probeId) {
    if (initialised_)
        return current_;
    initialised_ = true;
    resourceLanguages_.clear();
    if (probeId >= 0 && probeId <= 0xFFFF)
        resourceLanguages_ = res::resourceLanguages(
            res::ResId(res::RT_STRING), res::ResId(static_cast<std::uint16_t>(probeId / 16 + 1)));
    installed_.clear();
    for (std::uint16_t id : port::installedLanguages())
        if (!contains(installed_, id))
            installed_.push_back(id);
    if (!contains(installed_, kEnglishUS))
        installed_.push_back(kEnglishUS);
    // Installed locales do not enter the first choice, only the string table.
    std::uint16_t user = port::userDefaultLanguage();
    std::uint16_t system = port::systemDefaultLanguage();
    if (user != 0 && contains(resourceLanguages_, user))
        current_ = user;
    else if (system != 0 && contains(resourceLanguages_, system))
        current_ = system;
    else
        current_ = kEnglishUS;
    stringLanguage_ = current_;
    return current_;
}

std::uint16_t CUTMLString::SetLanguage(std::uint16_t languageId) {
    if (contains(resourceLanguages_, languageId) && contains(installed_, languageId)) {
        current_ = languageId;
        stringLanguage_ = languageId;
    }
    return current_;
}

std::vector<std::uint16_t> CUTMLString::GetAvailableLanguages() const {
    std::vector<std::uint16_t> out;
    for (std::uint16_t id : installed_)
        if (contains(resourceLanguages_, id))
            out.push_back(id);
    return out;
}

std::u16string CUTMLString::LoadLocalizedString(int id) const {
    if (id == 0)
        return {};
    if (stringLanguage_ == 0) {
        QZ_GUI_ERROR("Application language is set to zero.");
        return {};
    }
    if (id < 0 || id > 0xFFFF)
        return {};
    // Exactly the string language: a string missing there stays empty.
    auto block =
        res::findResource(res::ResId(res::RT_STRING),
                          res::ResId(static_cast<std::uint16_t>(id / 16 + 1)), stringLanguage_);
    if (!block)
        return {};
    return res::text::blockEntry(block->data(), block->size(), id % 16);
}

void CUTMLString::reset() {
    resourceLanguages_.clear();
    installed_.clear();
    current_ = 0;
    stringLanguage_ = 0;
    initialised_ = false;
}

std::u16string LoadLocalizedString(int id) {
    return CUTMLString::instance().LoadLocalizedString(id);
}

}  // namespace nork::gui
