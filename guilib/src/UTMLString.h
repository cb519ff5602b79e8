// CUTMLString: the localized strings of the program in the user-interface
// language, from the string tables compiled into it (resource type 6, one
// block of 16 strings per (id / 16 + 1), per language).
//
// Threads: the user-interface thread only (process-wide, unsynchronised).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nork::gui {

class CUTMLString {
  public:
    static CUTMLString& instance();
    // First call: collects the languages of the probe id's block and the
    // installed languages (port::installedLanguages), chooses the first
    // language; later calls answer the current language.
    std::uint16_t InitLanguages(int probeId);
    // Accepted when the id is in both lists; answers the current language.
    std::uint16_t SetLanguage(std::uint16_t languageId);
    // Present in both lists, in installed-list order.
    std::vector<std::uint16_t> GetAvailableLanguages() const;
    std::u16string LoadLocalizedString(int id) const;
    std::uint16_t currentLanguage() const { return current_; }
    std::uint16_t stringLanguage() const { return stringLanguage_; }
    const std::vector<std::uint16_t>& resourceLanguages() const { return resourceLanguages_; }
    const std::vector<std::uint16_t>& installedLanguages() const { return installed_; }
    // Tests: back to the state before the first InitLanguages.
    void reset();
    // Tests: the string language directly.
    void setStringLanguageForTest(std::uint16_t languageId) { stringLanguage_ = languageId; }

  private:
    CUTMLString() = default;
    std::vector<std::uint16_t> resourceLanguages_;
    std::vector<std::uint16_t> installed_;
    std::uint16_t current_ = 0;
    std::uint16_t stringLanguage_ = 0;
    bool initialised_ = false;
};

// CUTMLString::instance().LoadLocalizedString(id).
std::u16string LoadLocalizedString(int id);

}  // namespace nork::gui
