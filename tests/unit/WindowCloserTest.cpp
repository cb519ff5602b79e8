// The window closer over this process's windows, on a port whose system
// shows device dialogs: the warning and the wizard are asked to close, a
// window that stays is given up on after a bounded number of rounds, and
// nothing seen answers false. On this platform's own port it neither looks
// nor waits.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "ReconnectTestSupport.h"
#include "WindowCloser.h"

namespace nork {
namespace {

using namespace std::chrono_literals;
using testing::WindowThread;

constexpr std::uint32_t WM_SYSCOMMAND = 0x0112;
constexpr std::uintptr_t SC_CLOSE = 0xF060;

// A dialog that counts close requests and, when it obeys, goes away.
class Dialog {
  public:
    Dialog(const std::u16string& title, bool obeys)
        : m_window(title,
                   [this, obeys](port::HWND hwnd, std::uint32_t message, std::uintptr_t w,
                                 std::intptr_t) -> std::intptr_t {
                       if (message == WM_SYSCOMMAND && w == SC_CLOSE) {
                           ++closeRequests;
                           if (obeys)
                               port::destroyWindow(hwnd);
                       }
                       return 0;
                   }) {}
    port::HWND hwnd() const { return m_window.hwnd(); }
    std::atomic<int> closeRequests{0};

  private:
    WindowThread m_window;
};

// A port whose system shows the dialogs the closer is for.
class WindowCloserWithDialogs : public ::testing::Test {
  protected:
    void SetUp() override { port::setSystemShowsDeviceDialogs(true); }
    void TearDown() override { port::setSystemShowsDeviceDialogs(std::nullopt); }
};

TEST_F(WindowCloserWithDialogs, ClosesTheWarningAndTheWizard) {
    CWindowCloser closer;
    closer.setSettleDelay(0ms);
    Dialog warning(u"Unsafe Removal of Device", true);
    Dialog wizard(u"Found New Hardware Wizard", true);
    EXPECT_TRUE(closer.closeWindow());
    EXPECT_FALSE(port::isWindow(warning.hwnd()));
    EXPECT_FALSE(port::isWindow(wizard.hwnd()));
    EXPECT_EQ(warning.closeRequests.load(), 1);
    EXPECT_EQ(wizard.closeRequests.load(), 1);
}

TEST_F(WindowCloserWithDialogs, AWindowThatStaysIsGivenUpOn) {
    CWindowCloser closer;
    closer.setSettleDelay(0ms);
    Dialog stubborn(u"Found New Hardware Wizard", false);
    EXPECT_TRUE(closer.closeWindow());
    // Every request was posted before closeWindow returned; give the owner a
    // moment to take the last ones.
    for (int i = 0; i < 100 && stubborn.closeRequests.load() < CWindowCloser::MAX_ROUNDS; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(stubborn.closeRequests.load(), CWindowCloser::MAX_ROUNDS);
    EXPECT_TRUE(port::isWindow(stubborn.hwnd()));
}

TEST_F(WindowCloserWithDialogs, NothingSeenAnswersFalseAfterWaitingForTheWarning) {
    auto log = testing::LogCapture::onProcessLog("Closer");
    CWindowCloser closer;
    closer.setSettleDelay(60ms);
    std::vector<std::chrono::milliseconds> pauses;
    closer.setPauseFunction([&](std::chrono::milliseconds d) { pauses.push_back(d); });
    EXPECT_FALSE(closer.closeWindow());
    EXPECT_EQ(pauses, (std::vector<std::chrono::milliseconds>{60ms}));
    EXPECT_EQ(closer.unsafeRemovalTitle(), u"Unsafe Removal of Device");
    EXPECT_TRUE(closer.secondTitle().empty());

    // A second title, once known, is looked for first (with real pauses:
    // the dialog's thread needs them to go).
    closer.setPauseFunction(nullptr);
    closer.setSecondTitle(u"Confirm Device Removal");
    Dialog confirm(u"Confirm Device Removal", true);
    log->take();
    EXPECT_TRUE(closer.closeWindow());
    EXPECT_FALSE(port::isWindow(confirm.hwnd()));
    const auto lines = log->takeNarrow();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("WindowCloser::closeWindow was call") != std::string::npos;
    }));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find(
                   "CWindowCloser::closeWindow FindWindow Succeed finding Window Confirm "
                   "Device Removal ") != std::string::npos;
    }));
}

TEST(WindowCloser, OnThisPlatformItNeitherWaitsNorLooks) {
    ASSERT_FALSE(port::systemShowsDeviceDialogs());
    auto log = testing::LogCapture::onProcessLog("Closer");
    CWindowCloser closer;
    int pauses = 0;
    closer.setPauseFunction([&](std::chrono::milliseconds) { ++pauses; });
    // Even a window with the warning's title is none of its business.
    Dialog lookalike(u"Unsafe Removal of Device", true);
    EXPECT_FALSE(closer.closeWindow());
    EXPECT_EQ(pauses, 0);
    EXPECT_EQ(lookalike.closeRequests.load(), 0);
    EXPECT_TRUE(port::isWindow(lookalike.hwnd()));
    const auto lines = log->takeNarrow();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("WindowCloser::closeWindow was call") != std::string::npos;
    }));
}

}  // namespace
}  // namespace nork
