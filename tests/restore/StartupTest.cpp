// RestoreQz start-up: the language choice, and the rules that refuse a start
// in their order with their messages.
#include <gtest/gtest.h>

#include <string>

#include "port/System.h"
#include "restore/LanguageUtils.h"
#include "restore/RestoreQzApp.h"
#include "tests/restore/RestoreTestSupport.h"

namespace nork::restore::test {
namespace {

using gui::CGUIMessageBox;
using Outcome = CRestoreQzApp::Outcome;
using Icon = CGUIMessageBox::IconKind;

// The application with the dialog replaced by a counter.
class TestApp : public CRestoreQzApp {
  public:
    int dialogsRun = 0;
    void useSkinResource(int id) { skinResourceId_ = id; }

  protected:
    void RunMainDialog() override { ++dialogsRun; }
};

// ---- language ----

class LanguageTest : public RestoreTest {};

TEST_F(LanguageTest, MatchingResourceLanguage) {
    struct Case {
        const char* name;
        std::vector<std::uint16_t> installed;
        std::uint16_t wanted;
        std::uint16_t expected;
    };
    const Case cases[] = {
        {"exact match", {1033, 1031}, 1031, 1031},
        // German (Switzerland) has no table: German (Germany) by its primary.
        {"primary language", {1033, 1031}, 2055, 1031},
        // Present in the tables but not installed: not chosen.
        {"present but not installed", {1033, 1025}, 1031, 1033},
        {"same primary not installed", {1033}, 2055, 1033},
        // Installed but without a table (Austrian German): its primary.
        {"installed without table", {3079, 1031}, 3079, 1031},
        {"no default language", {1031, 1033}, 0, 1033},
        {"nothing usable", {}, 1031, 1033},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        gui::CUTMLString::instance().reset();
        port::setInstalledLanguagesForTest(c.installed);
        gui::CUTMLString::instance().InitLanguages(3001);
        EXPECT_EQ(CLanguageUtils::FindMatchingResourceLanguage(c.wanted), c.expected);
    }
}

TEST_F(LanguageTest, OnlyArabicAndHebrewReadRightToLeft) {
    installAllLanguages();
    auto& strings = gui::CUTMLString::instance();
    strings.InitLanguages(3001);
    ASSERT_FALSE(strings.resourceLanguages().empty());
    for (std::uint16_t id : strings.resourceLanguages()) {
        ASSERT_EQ(strings.SetLanguage(id), id);
        EXPECT_EQ(IsRightToLeft(), id == 1025 || id == 1037) << id;
    }
}

TEST_F(LanguageTest, StartupChoosesTheSystemLanguageBeforeAnyRefusal) {
    port::setInstalledLanguagesForTest(std::vector<std::uint16_t>{1033, 1031});
    port::setSystemDefaultLanguageForTest(2055);
    port::setUserDefaultLanguageForTest(1033);
    port::setModuleFileNameForTest(u"/opt/RestoreQz");  // refused: not removable
    TestApp app;
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(gui::CUTMLString::instance().currentLanguage(), 1031);
    ASSERT_EQ(boxes.size(), 1u);
    // The refusal is in German.
    EXPECT_EQ(boxes[0].text, gui::LoadLocalizedString(3014));
    EXPECT_EQ(boxes[0].buttonText, gui::LoadLocalizedString(3018));
    EXPECT_EQ(gui::CUTMLString::instance().currentLanguage(), 1031);
}

// ---- refusals ----

port::OsIdentity os(std::uint32_t major, std::uint32_t minor, std::uint16_t servicePack,
                    const char16_t* csd = u"") {
    port::OsIdentity identity = port::detectOsIdentity();
    identity.version.majorVersion = major;
    identity.version.minorVersion = minor;
    identity.version.servicePackMajor = servicePack;
    identity.version.csdVersion = csd;
    return identity;
}

constexpr const char* kSkinHead = R"(<?xml version="1.0"?><UserData><General>)";
constexpr const char* kSkinTail = R"(</General><Controls/></UserData>)";

class StartupTest : public RestoreTest {
  protected:
    void SetUp() override {
        RestoreTest::SetUp();
        installAllLanguages();
        port::setSystemDefaultLanguageForTest(1033);
        port::setUserDefaultLanguageForTest(1033);
    }
    // A skin resource with these General switches (empty: not given).
    int skinWith(const std::string& win2k, const std::string& all) {
        std::string xml = kSkinHead;
        if (!win2k.empty())
            xml += "<RunWin2kGuest>" + win2k + "</RunWin2kGuest>";
        if (!all.empty())
            xml += "<RunAllSysstemsGuest>" + all + "</RunAllSysstemsGuest>";
        xml += kSkinTail;
        static int next = 9600;
        const int id = next++;
        gui::res::addResourceCopy(
            gui::res::ResId(gui::res::RT_HTML), gui::res::ResId(static_cast<std::uint16_t>(id)), 0,
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(xml.data()),
                                          xml.size()));
        return id;
    }
};

TEST_F(StartupTest, RulesInOrder) {
    const char16_t letter = removableVolume("usb");
    ASSERT_NE(letter, 0);
    std::u16string onDrive(1, letter);
    onDrive += u":\\RestoreQz";

    struct Case {
        const char* name;
        port::OsIdentity identity;
        bool admin;
        const char* win2kSwitch;  // "" not in the skin; nullptr: the shipped skin
        const char* allSwitch;
        std::u16string path;
        Outcome outcome;
        int messageId;  // 0: no box
        Icon icon;
        bool win2k;
        bool vista;
    };
    const port::OsIdentity linux = port::detectOsIdentity();
    port::OsIdentity noVersion = linux;
    noVersion.version.source = port::OsVersionRecord::Source::None;
    const Case cases[] = {
        // The newest platform: the administrator rule is not applied.
        {"linux default", linux, false, "0", "0", onDrive, Outcome::DialogShown, 0, Icon::None,
         false, true},
        {"no version", noVersion, true, "1", "1", onDrive, Outcome::OsRefused, 3016, Icon::Warning,
         false, false},
        {"NT 4", os(4, 0, 6), true, "1", "1", onDrive, Outcome::OsRefused, 3016, Icon::Warning,
         false, false},
        {"2000 SP3", os(5, 0, 3, u"Service Pack 3"), true, "1", "1", onDrive, Outcome::OsRefused,
         3016, Icon::Warning, false, false},
        {"2000 SP4", os(5, 0, 4, u"Service Pack 4"), true, "1", "1", onDrive, Outcome::DialogShown,
         0, Icon::None, true, false},
        {"XP without service pack", os(5, 1, 0), true, "1", "1", onDrive, Outcome::DialogShown, 0,
         Icon::None, false, false},
        {"2003", os(5, 2, 1), true, "1", "1", onDrive, Outcome::DialogShown, 0, Icon::None, false,
         false},
        {"XP guest, switch 0", os(5, 1, 2), false, "1", "0", onDrive, Outcome::AdminRefused, 3024,
         Icon::Warning, false, false},
        {"2000 guest, 2000 switch 1", os(5, 0, 4), false, "1", "0", onDrive, Outcome::DialogShown,
         0, Icon::None, true, false},
        {"2000 guest, 2000 switch 0", os(5, 0, 4), false, "0", "1", onDrive, Outcome::AdminRefused,
         3024, Icon::Warning, true, false},
        {"XP guest, switches missing", os(5, 1, 2), false, "", "", onDrive, Outcome::DialogShown, 0,
         Icon::None, false, false},
        // The shipped skin lets guests run.
        {"XP guest, shipped skin", os(5, 1, 2), false, nullptr, nullptr, onDrive,
         Outcome::DialogShown, 0, Icon::None, false, false},
        {"2000 guest, shipped skin", os(5, 0, 4), false, nullptr, nullptr, onDrive,
         Outcome::DialogShown, 0, Icon::None, true, false},
        {"XP administrator, switch 0", os(5, 1, 2), true, "0", "0", onDrive, Outcome::DialogShown,
         0, Icon::None, false, false},
        // The version is checked before the drive.
        {"2000 SP3 on a fixed disk", os(5, 0, 3), true, "1", "1", u"/usr/bin/RestoreQz",
         Outcome::OsRefused, 3016, Icon::Warning, false, false},
        {"fixed disk", linux, false, "1", "1", u"/usr/bin/RestoreQz", Outcome::NotRemovable, 3014,
         Icon::Information, false, true},
        {"letter without a volume", linux, false, "1", "1", u"C:\\RestoreQz", Outcome::NotRemovable,
         3014, Icon::Information, false, true},
        {"path unreadable", linux, false, "1", "1", u"", Outcome::NotRemovable, 3014,
         Icon::Information, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        gui::CProperties::instance().unload();
        port::setOsIdentity(c.identity);
        port::setAdministratorForTest(c.admin);
        port::setModuleFileNameForTest(c.path);
        TestApp app;
        if (c.win2kSwitch)
            app.useSkinResource(skinWith(c.win2kSwitch, c.allSwitch));
        EXPECT_FALSE(app.InitInstance());
        EXPECT_EQ(app.outcome(), c.outcome);
        EXPECT_EQ(app.dialogsRun, c.outcome == Outcome::DialogShown ? 1 : 0);
        EXPECT_EQ(app.IsWindows2000(), c.win2k);
        EXPECT_EQ(app.IsVista(), c.vista);
        if (c.messageId == 0) {
            EXPECT_TRUE(boxes.empty());
            continue;
        }
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, gui::LoadLocalizedString(c.messageId));
        EXPECT_EQ(boxes[0].caption, gui::LoadLocalizedString(3019));
        EXPECT_EQ(boxes[0].buttonText, gui::LoadLocalizedString(3018));
        EXPECT_EQ(boxes[0].icon, c.icon);
        EXPECT_EQ(boxes[0].style, kMessageBoxStyle);
    }
}

TEST_F(StartupTest, MissingSkinDocumentLetsGuestsRun) {
    const char16_t letter = removableVolume("usb");
    ASSERT_NE(letter, 0);
    port::setOsIdentity(os(5, 1, 2));
    port::setAdministratorForTest(false);
    port::setModuleFileNameForTest(std::u16string(1, letter) + u":\\RestoreQz");
    TestApp app;
    app.useSkinResource(9599);  // no such resource
    app.InitInstance();
    EXPECT_FALSE(gui::CProperties::instance().isLoaded());
    EXPECT_EQ(app.outcome(), Outcome::DialogShown);
}

TEST_F(StartupTest, OneInstancePerDriveLetter) {
    const char16_t e = removableVolume("first");
    const char16_t f = removableVolume("second");
    ASSERT_NE(e, 0);
    ASSERT_NE(f, 0);
    const std::u16string onE = std::u16string(1, e) + u":\\RestoreQz";
    const std::u16string onF = std::u16string(1, f) + u":\\RestoreQz";
    port::setModuleFileNameForTest(onE);
    TestApp first;
    first.InitInstance();
    ASSERT_EQ(first.outcome(), Outcome::DialogShown);

    // Another process: the same letter ends silently, another letter runs.
    struct Case {
        std::u16string path;
        int exitCode;
    };
    for (const Case& c :
         {Case{onE, int(Outcome::SecondInstance)}, Case{onF, int(Outcome::DialogShown)}}) {
        std::int64_t pid = 0;
        const std::u16string path = c.path;
        ASSERT_FALSE(port::startChildProcess(
            [&path, this] {
                boxes.clear();
                port::setModuleFileNameForTest(path);
                TestApp second;
                second.InitInstance();
                // A box would have been recorded; none is wanted.
                return boxes.empty() ? int(second.outcome()) : 100;
            },
            false, pid));
        int exitCode = -1;
        ASSERT_FALSE(port::waitChildProcess(pid, exitCode));
        EXPECT_EQ(exitCode, c.exitCode);
    }
}

TEST_F(StartupTest, InstanceLetterIsFreedWithTheApplication) {
    const char16_t e = removableVolume("usb");
    ASSERT_NE(e, 0);
    port::setModuleFileNameForTest(std::u16string(1, e) + u":\\RestoreQz");
    {
        TestApp first;
        first.InitInstance();
        ASSERT_EQ(first.outcome(), Outcome::DialogShown);
    }
    TestApp again;
    again.InitInstance();
    EXPECT_EQ(again.outcome(), Outcome::DialogShown);
}

}  // namespace
}  // namespace nork::restore::test
