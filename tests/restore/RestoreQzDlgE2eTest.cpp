// The restore dialog against a real qzemud: the Restore click brings up the
// library, the drive holding the program is reported, the worker asks the
// drive for its domains, free capacity and opt-out cookie through the real
// transport, and the result reaches the user in the message box.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CookieImpl.h"
#include "DeviceManager.h"
#include "Domain.h"
#include "E2eSupport.h"
#include "RuntimeTestSupport.h"
#include "SDK.h"
#include "TransparentReconnect.h"
#include "UFD.h"
#include "UFDImpl.h"
#include "WMListeningMgr.h"
#include "gui/GuiTestSupport.h"
#include "guilib/src/Resources.h"
#include "port/DeviceInventory.h"
#include "port/Locale.h"
#include "port/Messages.h"
#include "qz/ConfigService.h"
#include "restore/RestoreQzDlg.h"

namespace qzemu::e2e {
namespace {

using namespace nork::gui;
using namespace nork::restore;
using namespace std::chrono_literals;
namespace port = nork::port;

constexpr std::uint32_t FLASH_SECTORS = 40000;
constexpr std::uintptr_t kGiveUpTimer = 1;

std::u16string u16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

class GuardedDlg : public CRestoreQzDlg {
  public:
    using CRestoreQzDlg::CRestoreQzDlg;
    void OnTimer(std::uintptr_t id) override {
        if (id == kGiveUpTimer) {
            gaveUp = true;
            EndDialog(IDCANCEL);
            return;
        }
        CRestoreQzDlg::OnTimer(id);
    }
    bool gaveUp = false;
};

class RestoreQzDlgE2e : public nork::gui::test::OffscreenTest {
  protected:
    void SetUp() override {
        OffscreenTest::SetUp();
        runtime = fs::temp_directory_path() / ("qzr-" + uniqueSuffix());
        fs::create_directories(runtime);
        setEnv("XDG_RUNTIME_DIR", runtime.string());
        setEnv("QZ_HKCU_HIVE", (scratch.path() / "hkcu").string());
        setEnv("QZ_HKLM_HIVE", (scratch.path() / "hklm").string());
        setEnv("QZ_HKCR_HIVE", (scratch.path() / "hkcr").string());
        rig = std::make_unique<SocketRig>(scratch.path());
        ASSERT_TRUE(rig->ready());
        setEnv("QZ_EMU_SOCKET", rig->daemon().socket());
        // A library left running would keep an earlier test's daemon.
        ASSERT_EQ(nork::SDK::referenceCount(), 0);
        std::uint32_t settings = 0;
        ASSERT_EQ(nork::SDK::init(settings, nork::LogConfig{}), nork::STATUS_OK);
        started = true;

        port::setInstalledLanguagesForTest(std::vector<std::uint16_t>{1033});
        res::addStringTableCopy(1033, {{3000, u"Restore Qz"},
                                       {3001, u"English"},
                                       {3002, u"Error code %d."},
                                       {3003, u"Already configured."},
                                       {3004, u"Please wait."},
                                       {3005, u"Restored."},
                                       {3013, u"Error code %d."},
                                       {3018, u"OK"},
                                       {3019, u"Restore Qz"},
                                       {3020, u"The drive will reconnect."},
                                       {3021, u"0"},
                                       {3022, u"0"},
                                       {3023, u"Uninstalled."}});
        CUTMLString::instance().InitLanguages(3001);
        CUTMLString::instance().SetLanguage(1033);
        RegisterRestoreDialogTemplate();
        CRestoreQzDlg::setAdministratorTest([] { return true; });
        CDialog::setShowHook([this](CDialog& d) {
            if (auto* main = dynamic_cast<GuardedDlg*>(&d)) {
                main->SetTimer(kGiveUpTimer, giveUpMs);
                main->OnCommand(IDC_RESTORE_BUTTON, BN_CLICKED);
                return;
            }
            CWnd* label = d.GetDlgItem(1000);
            boxes.push_back(label ? label->GetWindowText() : u"");
            d.EndDialog(1);
        });
    }

    void TearDown() override {
        CDialog::setShowHook(nullptr);
        CRestoreQzDlg::setOwnPathProvider(nullptr);
        CRestoreQzDlg::setAdministratorTest(nullptr);
        port::setInstalledLanguagesForTest(std::nullopt);
        nork::CTransparentReconnectionsManager::instance().waitIdle(10s);
        if (window != port::HWND_NONE) {
            nork::CWMListeningMgr::instance().removeHWNDListener(window);
            port::destroyWindow(window);
        }
        // Ours, and the dialog's when it never found its drive (it shuts
        // the library down only after finding it; a program ends anyway).
        if (started)
            while (nork::SDK::referenceCount() > 0)
                nork::SDK::fini();
        port::Msg msg;
        while (port::peekMessage(msg, true)) {
        }
        std::error_code ec;
        fs::remove_all(runtime, ec);
        OffscreenTest::TearDown();
    }

    // A drive of that layout, known to the library; the program runs from
    // its public volume.
    nork::CUFD drive(const std::string& serial, const std::string& layout, bool cookie) {
        emu::DriveConfig c = smallDrive(serial);
        c.flashSectors = FLASH_SECTORS;
        c.layout = layout;
        c.reattachDelayMs = 300;
        rig->create(c);
        // A listening window starts the library's device polling.
        if (window == port::HWND_NONE) {
            window =
                port::createWindow(u"restore e2e", [](port::HWND, std::uint32_t, std::uintptr_t,
                                                      std::intptr_t) { return std::intptr_t{0}; });
            nork::CWMListeningMgr::instance().addHWNDListener(window, nullptr);
        }
        // Known, and its removable (public) volume, where the program sits,
        // has its letter.
        nork::CUFD ufd;
        ownLetter.clear();
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (ownLetter.empty() && std::chrono::steady_clock::now() < end) {
            port::Msg msg;
            while (port::peekMessage(msg, true))
                port::dispatchMessage(msg);
            ufd = nork::CZykSDK::instance().deviceManager().getCUFD(u16(serial));
            char16_t roots[64] = {};
            std::uint32_t size = 63;
            if (ufd.isValid() && ufd.getPathStrings(roots, size) == nork::STATUS_OK) {
                for (std::uint32_t i = 0; i < size && roots[i]; i += 4) {
                    if (port::driveType(std::u16string(1, roots[i])) == port::DRIVE_REMOVABLE)
                        ownLetter.assign(1, roots[i]);
                }
            }
            if (ownLetter.empty())
                port::waitThreadQueue(20ms);
        }
        if (!ufd.isValid())
            return ufd;
        EXPECT_FALSE(ownLetter.empty());
        CRestoreQzDlg::setOwnPathProvider([l = ownLetter] { return l + u":\\RestoreQz.exe"; });
        if (cookie) {
            auto* cookies = dynamic_cast<nork::CCookieImpl*>(ufd.impl()->getService(8).get());
            EXPECT_NE(cookies, nullptr);
            if (cookies) {
                EXPECT_EQ(cookies->setInt("Jx App", "OptedOut", 1), nork::STATUS_OK);
            }
        }
        return ufd;
    }

    void setEnv(const char* name, const std::string& value) {
        env.push_back(std::make_unique<nork::testing::ScopedEnv>(name, value));
    }

    std::vector<std::unique_ptr<nork::testing::ScopedEnv>> env;
    ScratchDir scratch;
    fs::path runtime;
    std::unique_ptr<SocketRig> rig;
    bool started = false;
    port::HWND window = port::HWND_NONE;
    std::u16string ownLetter;
    std::vector<std::u16string> boxes;
    std::uint32_t giveUpMs = 60000;
};

TEST_F(RestoreQzDlgE2e, OneDomainAndTheCookieGiveACdDomainOverTheFreeCapacity) {
    const std::string serial = "QERESTORE000001";
    ASSERT_TRUE(drive(serial, "public:20000", true).isValid());
    GuardedDlg dlg;
    dlg.DoModal();
    EXPECT_FALSE(dlg.gaveUp);
    EXPECT_EQ(boxes, (std::vector<std::u16string>{u"The drive will reconnect.", u"Restored."}));
    const emu::DriveInfo info = rig->inspect(serial);
    ASSERT_EQ(info.domains.size(), 2u);
    EXPECT_EQ(info.domains[1].type, nork::DOMAIN_TYPE_CD);
    // The request was the whole free space; the drive rounds to CD units.
    EXPECT_EQ(info.domains[1].sizeSectors, (FLASH_SECTORS - 20000) / 64 * 64);
    EXPECT_EQ(info.lastDetachAttach[2], 1u);  // flag value 9 asked for the reconnection
}

// Refusals leave the drive as it was.
TEST_F(RestoreQzDlgE2e, RefusalsShowTheirTextAndChangeNothing) {
    struct Case {
        const char* serial;
        const char* layout;
        bool cookie;
        const char16_t* text;
    } cases[] = {
        {"QERESTORE000002", "public:20000", false, u"Uninstalled."},
        {"QERESTORE000003", "cd:4096,public:rest", true, u"Already configured."},
        {"QERESTORE000004", "public:rest", true, u"Uninstalled."},
    };
    for (const Case& c : cases) {
        boxes.clear();
        ASSERT_TRUE(drive(c.serial, c.layout, c.cookie).isValid()) << c.serial;
        const std::size_t before = rig->inspect(c.serial).domains.size();
        GuardedDlg dlg;
        dlg.DoModal();
        EXPECT_FALSE(dlg.gaveUp) << c.serial;
        EXPECT_EQ(boxes, (std::vector<std::u16string>{u"The drive will reconnect.", c.text}))
            << c.serial;
        EXPECT_EQ(rig->inspect(c.serial).domains.size(), before) << c.serial;
        port::Msg msg;
        while (port::peekMessage(msg, true)) {
        }
        rig->unplug(c.serial);
    }
}

// Another drive reported first is not the program's and is left alone; the
// drive that holds the program is then restored.
TEST_F(RestoreQzDlgE2e, OnlyTheDriveHoldingTheProgramIsRestored) {
    ASSERT_TRUE(drive("QERESTORE000005", "public:20000", true).isValid());
    ASSERT_TRUE(drive("QERESTORE000006", "public:20000", true).isValid());
    GuardedDlg dlg;
    dlg.DoModal();
    EXPECT_FALSE(dlg.gaveUp);
    EXPECT_EQ(boxes, (std::vector<std::u16string>{u"The drive will reconnect.", u"Restored."}));
    EXPECT_EQ(rig->inspect("QERESTORE000005").domains.size(), 1u);
    EXPECT_EQ(rig->inspect("QERESTORE000006").domains.size(), 2u);
}

// Letters compare exactly: a program path on "e:" is not on the drive "E:".
TEST_F(RestoreQzDlgE2e, TheLetterComparisonIsExact) {
    const std::string serial = "QERESTORE000007";
    ASSERT_TRUE(drive(serial, "public:20000", true).isValid());
    ASSERT_GE(ownLetter[0], u'A');
    ASSERT_LE(ownLetter[0], u'Z');
    const char16_t lower = static_cast<char16_t>(ownLetter[0] - u'A' + u'a');
    CRestoreQzDlg::setOwnPathProvider([lower] { return std::u16string(1, lower) + u":\\R.exe"; });
    giveUpMs = 3000;
    GuardedDlg dlg;
    dlg.DoModal();
    EXPECT_EQ(boxes, std::vector<std::u16string>{u"The drive will reconnect."});
    EXPECT_EQ(rig->inspect(serial).domains.size(), 1u);
}

}  // namespace
}  // namespace qzemu::e2e
