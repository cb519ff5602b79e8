// The localized strings: the choice of the first language, SetLanguage,
// the available languages, and loading in exactly the string language.
#include <gtest/gtest.h>

#include "DebugCapture.h"
#include "SkinTestSupport.h"
#include "guilib/src/UTMLString.h"
#include "port/Locale.h"

namespace nork::gui::test {
namespace {

class UTMLStringTest : public SkinStateTest {
  protected:
    void TearDown() override {
        port::setUserDefaultLanguageForTest(std::nullopt);
        port::setSystemDefaultLanguageForTest(std::nullopt);
        port::setInstalledLanguagesForTest(std::nullopt);
        SkinStateTest::TearDown();
    }
    // A probe id whose block only these tables have (the compiled test
    // resources use the block of 3001).
    static constexpr int kProbe = 5000;

    static void languages(std::uint16_t user, std::uint16_t system,
                          std::vector<std::uint16_t> installed) {
        port::setUserDefaultLanguageForTest(user);
        port::setSystemDefaultLanguageForTest(system);
        port::setInstalledLanguagesForTest(std::move(installed));
    }
    static void tables() {
        res::addStringTableCopy(1033, {{kProbe, u"English"}, {kProbe + 1, u"Only English"}});
        res::addStringTableCopy(1031, {{kProbe, u"Deutsch"}});
        res::addStringTableCopy(1036, {{kProbe, u"Français"}});
    }
};

TEST_F(UTMLStringTest, FirstLanguage) {
    struct Case {
        std::uint16_t user;
        std::uint16_t system;
        std::uint16_t chosen;
    };
    const Case cases[] = {
        {1031, 1036, 1031},  // the user's, present in the string table
        {2055, 1036, 1036},  // user's missing: the system's
        {2055, 3079, 1033},  // neither: 1033
        {0, 0, 1033},
    };
    tables();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        // Installed locales do not enter the first choice.
        languages(c.user, c.system, {});
        CUTMLString& s = CUTMLString::instance();
        s.reset();
        EXPECT_EQ(s.InitLanguages(kProbe), c.chosen);
        EXPECT_EQ(s.currentLanguage(), c.chosen);
        EXPECT_EQ(s.stringLanguage(), c.chosen);
    }
}

TEST_F(UTMLStringTest, ListsAndSetLanguage) {
    tables();
    languages(1036, 0, {1031, 2055, 1031, 1049});
    CUTMLString& s = CUTMLString::instance();
    EXPECT_EQ(s.InitLanguages(kProbe), 1036);
    EXPECT_EQ(s.resourceLanguages(), (std::vector<std::uint16_t>{1033, 1031, 1036}));
    EXPECT_EQ(s.installedLanguages(), (std::vector<std::uint16_t>{1031, 2055, 1049, 1033}))
        << "without duplicates, 1033 added";
    EXPECT_EQ(s.GetAvailableLanguages(), (std::vector<std::uint16_t>{1031, 1033}));

    // Later calls only answer; the lists stay as built.
    languages(1031, 0, {});
    EXPECT_EQ(s.InitLanguages(3001), 1036);
    EXPECT_EQ(s.resourceLanguages().size(), 3u);

    EXPECT_EQ(s.SetLanguage(1036), 1036) << "not installed: refused";
    EXPECT_EQ(s.SetLanguage(1049), 1036) << "no strings: refused";
    EXPECT_EQ(s.SetLanguage(1031), 1031);
    EXPECT_EQ(s.stringLanguage(), 1031);
    EXPECT_EQ(s.LoadLocalizedString(kProbe), u"Deutsch");
}

TEST_F(UTMLStringTest, LoadsOnlyInTheStringLanguage) {
    tables();
    CUTMLString& s = CUTMLString::instance();
    s.setStringLanguageForTest(1031);
    EXPECT_EQ(s.LoadLocalizedString(kProbe), u"Deutsch");
    EXPECT_EQ(s.LoadLocalizedString(kProbe + 1), u"") << "present only in 1033: no fallback";
    EXPECT_EQ(s.LoadLocalizedString(kProbe + 40), u"") << "no block at all";
    EXPECT_EQ(s.LoadLocalizedString(0), u"");
    EXPECT_EQ(s.LoadLocalizedString(-16), u"");
    EXPECT_EQ(s.LoadLocalizedString(70000), u"");
    s.setStringLanguageForTest(1033);
    EXPECT_EQ(LoadLocalizedString(kProbe + 1), u"Only English");
}

TEST_F(UTMLStringTest, CompiledTables) {
    languages(1031, 0, {1031});
    CUTMLString& s = CUTMLString::instance();
    EXPECT_EQ(s.InitLanguages(3001), 1031);
    EXPECT_EQ(s.LoadLocalizedString(3001), u"Deutsch");
    EXPECT_EQ(s.LoadLocalizedString(3017), u"") << "English only";
    EXPECT_EQ(s.SetLanguage(1033), 1033);
    EXPECT_EQ(s.LoadLocalizedString(3002), u"Line one\nLine two\tTabbed \\ done");
    EXPECT_EQ(s.LoadLocalizedString(3017), u"Only in English");
}

TEST_F(UTMLStringTest, LanguageZeroSaysSo) {
    DebugCapture debug;
    tables();
    EXPECT_EQ(CUTMLString::instance().LoadLocalizedString(kProbe), u"");
    EXPECT_NE(debug.text().find("ERROR Application language is set to zero. \r\n"),
              std::string::npos)
        << debug.text();
}

}  // namespace
}  // namespace nork::gui::test
