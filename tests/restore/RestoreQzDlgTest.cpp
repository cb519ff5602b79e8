// The restore dialog on the offscreen backend: its set-up, the Restore click,
// the worker's results and their order with the drive's update event, the
// time-out and the presence check. Message boxes are answered through the
// dialog show hook, which also records their texts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "SDK.h"
#include "gui/GuiTestSupport.h"
#include "guilib/src/Resources.h"
#include "guilib/src/UTMLString.h"
#include "port/DeviceInventory.h"
#include "port/Locale.h"
#include "port/Messages.h"
#include "restore/RestoreQzDlg.h"

namespace {

using namespace nork::gui;
using namespace nork::restore;
namespace fs = std::filesystem;
namespace port = nork::port;

// The dialog with its state open to the test and its quit requests counted.
class TestDlg : public CRestoreQzDlg {
  public:
    using CRestoreQzDlg::CRestoreQzDlg;
    using CRestoreQzDlg::m_bAnimating;
    using CRestoreQzDlg::m_bDeviceUpdated;
    using CRestoreQzDlg::m_bRestoreSucceeded;
    using CRestoreQzDlg::m_nDeviceId;
    using CRestoreQzDlg::m_shared;
    using CRestoreQzDlg::m_strDrive;

    std::intptr_t WindowProc(std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override {
        if (message == WM_RESTORE_FINISHED)
            ++finishedMessages;
        return CRestoreQzDlg::WindowProc(message, wParam, lParam);
    }
    void OnTimer(std::uintptr_t id) override {
        if (id < 1000) {
            KillTimer(id);
            if (onTestTimer)
                onTestTimer(id);
            return;
        }
        CRestoreQzDlg::OnTimer(id);
    }
    void Quit() override {
        ++quits;
        if (!keepRunning)
            CRestoreQzDlg::Quit();
    }

    int quits = 0;
    bool keepRunning = false;  // count quit requests only
    int finishedMessages = 0;
    std::function<void(std::uintptr_t)> onTestTimer;
};

class RestoreQzDlgTest : public nork::gui::test::OffscreenTest {
  protected:
    void SetUp() override {
        OffscreenTest::SetUp();
        root_ = fs::temp_directory_path() /
                ("restoredlg-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                 "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "letters");
        fs::create_directories(root_ / "drive" / "system");
        port::setDriveLetterDir((root_ / "letters").string());
        letter_ = port::assignDriveLetter((root_ / "drive").string());
        ASSERT_NE(letter_, 0);
        CRestoreQzDlg::setOwnPathProvider(
            [l = letter_] { return std::u16string(1, l) + u":\\RestoreQz"; });
        CRestoreQzDlg::setAdministratorTest([] { return true; });
        port::setInstalledLanguagesForTest(std::vector<std::uint16_t>{1033});
        strings(u"0");
        RegisterRestoreDialogTemplate();
        CDialog::setShowHook([this](CDialog& d) {
            if (auto* main = dynamic_cast<TestDlg*>(&d)) {
                if (onShown)
                    onShown(*main);
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
        port::setDriveLetterDir("");
        // The dialog shuts the library down only when it found its drive (a
        // program ends anyway); the next test must meet a stopped library.
        while (nork::SDK::referenceCount() > 0)
            nork::SDK::fini();
        // A quit the dialog asked for is the program's; the next test's
        // loops must not see it.
        port::Msg msg;
        while (port::peekMessage(msg, true)) {
        }
        std::error_code ec;
        fs::remove_all(root_, ec);
        OffscreenTest::TearDown();
    }

    static void strings(const char16_t* runIntroAgain) {
        res::addStringTableCopy(1033,
                                {{3000, u"Restore Qz"},
                                 {3001, u"English"},
                                 {3002, u"An error has occurred. Error code %d. \r\nTry again."},
                                 {3003, u"Already configured."},
                                 {3004, u"Please wait."},
                                 {3005, u"Restored."},
                                 {3013, u"An error has occurred. Error code %d. \r\nTry again."},
                                 {3018, u"OK"},
                                 {3019, u"Restore Qz"},
                                 {3020, u"The drive will reconnect."},
                                 {3021, u"0"},
                                 {3022, runIntroAgain},
                                 {3023, u"Uninstalled."}});
        CUTMLString::instance().InitLanguages(3001);
        CUTMLString::instance().SetLanguage(1033);
    }

    // Runs the dialog; `shown` runs once it is up. The result of DoModal.
    int run(TestDlg& dlg, std::function<void(TestDlg&)> shown) {
        onShown = std::move(shown);
        return dlg.DoModal();
    }

    fs::path root_;
    char16_t letter_ = 0;
    std::vector<std::u16string> boxes;
    std::function<void(TestDlg&)> onShown;
};

TEST_F(RestoreQzDlgTest, SetUpHidesTheProgressAndCloseXQuits) {
    TestDlg dlg;
    bool checked = false;
    run(dlg, [&](TestDlg& d) {
        EXPECT_EQ(d.GetWindowText(), u"Restore Qz");
        EXPECT_FALSE(d.GetDlgItem(IDC_PROGRESS_STATIC)->IsWindowVisible());
        EXPECT_FALSE(d.GetDlgItem(IDC_OPTOUT_PROGRESS)->IsWindowVisible());
        EXPECT_TRUE(d.GetDlgItem(IDC_EXPLAIN_TEXT_2)->IsWindowVisible());
        for (int id :
             {IDC_PROGRESS_STATIC, IDC_RESTORE_BUTTON, IDOK, IDC_X_BUTTON, IDC_RESTORE_INTRO_TEXT,
              IDC_EXPLAIN_TEXT_2, IDC_OPTOUT_PROGRESS, IDC_LEARN_MORE_LINK, IDC_LOGO})
            EXPECT_TRUE(d.controls().count(id)) << id;
        checked = true;
        d.OnCommand(IDC_X_BUTTON, BN_CLICKED);
    });
    EXPECT_TRUE(checked);
    EXPECT_EQ(dlg.quits, 1);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(RestoreQzDlgTest, PresenceCheckQuitsWhenTheProgramsDriveIsGone) {
    TestDlg dlg;
    run(dlg, [&](TestDlg&) { port::releaseDriveLetter(letter_); });
    EXPECT_EQ(dlg.quits, 1);
}

// Once the worker is about to add the domain the drive goes away on purpose:
// the presence check must stay quiet.
TEST_F(RestoreQzDlgTest, PresenceCheckIsOffWhileTheDomainIsAdded) {
    TestDlg dlg;
    run(dlg, [&](TestDlg& d) {
        d.m_shared->deviceShouldBeAvailable = false;
        port::releaseDriveLetter(letter_);
        d.SetTimer(1, 1500);
        d.onTestTimer = [&](std::uintptr_t) { d.EndDialog(IDOK); };
    });
    EXPECT_EQ(dlg.quits, 0);
}

// The click shows the notice and the progress; a device id the listening
// manager does not know has no path strings: message 3013 with the status.
TEST_F(RestoreQzDlgTest, RestoreClickThenUnreadablePathStrings) {
    TestDlg dlg;
    run(dlg, [&](TestDlg& d) {
        d.OnCommand(IDC_RESTORE_BUTTON, BN_CLICKED);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0], u"The drive will reconnect.");
        EXPECT_FALSE(d.GetDlgItem(IDC_EXPLAIN_TEXT_2)->IsWindowVisible());
        EXPECT_TRUE(d.GetDlgItem(IDC_PROGRESS_STATIC)->IsWindowVisible());
        EXPECT_EQ(d.GetDlgItem(IDC_PROGRESS_STATIC)->GetWindowText(), u"Please wait.");
        for (int id : {IDC_RESTORE_BUTTON, IDOK, IDC_X_BUTTON})
            EXPECT_FALSE(d.GetDlgItem(id)->IsWindowEnabled()) << id;
        EXPECT_TRUE(d.m_bAnimating);
        // The system menu's Close is greyed while restoring.
        d.onCloseRequest();
        EXPECT_FALSE(d.IsEnded());
        d.PostMessage(WM_DEVICE_CONNECTED, 4242, 0);
    });
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1], u"An error has occurred. Error code 300. \r\nTry again.");
    EXPECT_EQ(dlg.quits, 1);
}

// Each failure shows its text with the id as the code and ends the program.
TEST_F(RestoreQzDlgTest, FailedResultsShowTheirTextAndQuit) {
    struct Case {
        int id;
        const char16_t* text;
    } cases[] = {
        {3002, u"An error has occurred. Error code 3002. \r\nTry again."},
        {3003, u"Already configured."},
        {3023, u"Uninstalled."},
    };
    for (const Case& c : cases) {
        boxes.clear();
        TestDlg dlg;
        run(dlg, [&](TestDlg& d) { d.PostMessage(WM_RESTORE_FINISHED, c.id, 0); });
        ASSERT_EQ(boxes.size(), 1u) << c.id;
        EXPECT_EQ(boxes[0], c.text);
        EXPECT_EQ(dlg.quits, 1) << c.id;
        port::Msg msg;
        while (port::peekMessage(msg, true)) {
        }
    }
}

TEST_F(RestoreQzDlgTest, TimeOutShowsCode1027AndQuits) {
    TestDlg dlg;
    run(dlg, [&](TestDlg& d) { d.OnOptInTimeout(); });
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], u"An error has occurred. Error code 1027. \r\nTry again.");
    EXPECT_EQ(dlg.quits, 1);
    EXPECT_EQ(CRestoreQzDlg::workerThreadId(), -1);
}

// The finish needs both the success and the own drive's update, in either
// order; another drive's update changes nothing.
TEST_F(RestoreQzDlgTest, FinishWaitsForSuccessAndTheOwnDrivesUpdate) {
    for (bool updateFirst : {true, false}) {
        TestDlg dlg;
        run(dlg, [&](TestDlg& d) {
            d.m_nDeviceId = 7;
            d.m_shared->waitingForUpdate = true;
            d.OnDeviceUpdated(8, 1);
            EXPECT_FALSE(d.m_bDeviceUpdated);
            if (updateFirst) {
                d.OnDeviceUpdated(7, 1);
                EXPECT_EQ(d.quits, 0);
                d.OnRestoreThreadFinish(3005, 1);
            } else {
                d.OnRestoreThreadFinish(3005, 1);
                EXPECT_EQ(d.quits, 0);
                d.OnDeviceUpdated(7, 1);
            }
            EXPECT_EQ(d.quits, 1);
            // A later update does nothing more.
            d.OnDeviceUpdated(7, 1);
            EXPECT_EQ(d.quits, 1);
        });
        EXPECT_EQ(boxes, std::vector<std::u16string>{u"Restored."}) << updateFirst;
        boxes.clear();
        port::Msg msg;
        while (port::peekMessage(msg, true)) {
        }
    }
}

// String 3022 non-zero puts the introduction start file back; an existing
// target is left as it is, as a rename that refuses to overwrite leaves it.
TEST_F(RestoreQzDlgTest, RunIntroAgainMovesTheIntroFile) {
    const fs::path system = root_ / "drive" / "system";
    struct Case {
        const char16_t* flag;
        bool targetExists;
        bool moved;
    } cases[] = {{u"0", false, false}, {u"1", false, true}, {u"1", true, false}};
    for (const Case& c : cases) {
        fs::remove(system / "Intro.xml");
        std::ofstream(system / "Intro.orig.xml") << "orig";
        if (c.targetExists)
            std::ofstream(system / "Intro.xml") << "current";
        CUTMLString::instance().reset();
        res::removeAddedResources();
        strings(c.flag);
        TestDlg dlg;
        run(dlg, [&](TestDlg& d) {
            d.m_strDrive.assign(1, letter_);
            d.m_bDeviceUpdated = true;
            d.OnRestoreThreadFinish(3005, 1);
        });
        EXPECT_EQ(fs::exists(system / "Intro.orig.xml"), !c.moved);
        EXPECT_TRUE(fs::exists(system / "Intro.xml") == (c.moved || c.targetExists));
        if (c.targetExists) {
            std::ifstream in(system / "Intro.xml");
            std::string text;
            in >> text;
            EXPECT_EQ(text, "current");
        }
        port::Msg msg;
        while (port::peekMessage(msg, true)) {
        }
    }
}

// Starting the worker again (a second Restore click after a drive was found)
// runs no second worker. Without a device its first read fails: 3002.
TEST_F(RestoreQzDlgTest, OneWorkerPerDialog) {
    TestDlg dlg;
    dlg.keepRunning = true;
    run(dlg, [&](TestDlg& d) {
        d.RestoreQzDevice();
        d.RestoreQzDevice();
        d.SetTimer(1, 1500);
        d.onTestTimer = [&](std::uintptr_t) {
            d.RestoreQzDevice();
            d.SetTimer(2, 1000);
            d.onTestTimer = [&](std::uintptr_t) { d.EndDialog(IDOK); };
        };
    });
    EXPECT_EQ(dlg.finishedMessages, 1);
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes[0], u"An error has occurred. Error code 3002. \r\nTry again.");
}

}  // namespace
