// The desktop backend under a real X server (run-display-test.sh --alone):
// the message queue inside the GLib loop, rendering of the window tree, the
// test drivers' click rules and window lifetimes.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "guilib/port/Window.h"
#include "port/Messages.h"

namespace nork::gui {
namespace {

namespace port = nork::port;

class Recorder : public WindowHandler {
  public:
    explicit Recorder(COLORREF colour = 0) : colour_(colour) {}
    void onPaint(Canvas& canvas) override { canvas.fillRect({0, 0, 1000, 1000}, colour_); }
    void onClicked() override { ++clicks; }
    void onCloseRequest() override { ++closes; }
    int clicks = 0;
    int closes = 0;

  private:
    COLORREF colour_;
};

class GtkBackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ui_ = &backend();
        if (!desktopBackendActive())
            GTEST_SKIP() << "no display: the desktop backend is not in use";
    }
    // A window of the message layer whose procedure is `proc`, with a
    // watchdog timer so that no loop below can hang the suite.
    port::HWND messageWindow(port::WindowProc proc) {
        const port::HWND h = port::createWindow(u"gtk backend test", std::move(proc));
        port::setTimer(h, kWatchdog, 10000);
        windows_.push_back(h);
        return h;
    }
    void TearDown() override {
        for (port::HWND h : windows_)
            port::destroyWindow(h);
    }
    static constexpr std::uintptr_t kWatchdog = 99;
    Backend* ui_ = nullptr;
    std::vector<port::HWND> windows_;
};

// Posted messages, timers and messages sent from another thread all run
// while the modal loop waits in the toolkit.
TEST_F(GtkBackendTest, TheMessageQueueRunsInsideTheModalLoop) {
    auto top = ui_->createTopLevel(nullptr);
    top->setBounds({0, 0, 50, 50});
    bool posted = false, ticked = false, expired = false;
    const port::HWND h = messageWindow(
        [&](port::HWND, std::uint32_t msg, std::uintptr_t w, std::intptr_t) -> std::intptr_t {
            if (msg == port::WM_USER)
                posted = true;
            if (msg == port::WM_TIMER)
                (w == kWatchdog ? expired : ticked) = true;
            return msg == port::WM_USER + 1 ? 42 : 0;
        });
    port::postMessage(h, port::WM_USER, 0, 0);
    port::setTimer(h, 1, 20);
    std::intptr_t answer = 0;
    bool answered = false;
    std::thread sender([&] { answer = port::sendMessage(h, port::WM_USER + 1, 0, 0); });
    std::thread watcher([&] {
        sender.join();
        answered = true;
        port::postMessage(h, port::WM_NULL, 0, 0);  // wakes the loop to look
    });
    ui_->runModalLoop(*top, [&] { return (posted && ticked && answered) || expired; });
    watcher.join();
    EXPECT_FALSE(expired);
    EXPECT_TRUE(posted);
    EXPECT_TRUE(ticked);
    EXPECT_EQ(answer, 42);
}

// A quit request ends the loops and stays for the thread's own message loop.
TEST_F(GtkBackendTest, AQuitRequestEndsTheModalLoopAndIsHandedBack) {
    auto top = ui_->createTopLevel(nullptr);
    top->setBounds({0, 0, 50, 50});
    bool expired = false, innerDone = false;
    const port::HWND h = messageWindow(
        [&](port::HWND, std::uint32_t msg, std::uintptr_t w, std::intptr_t) -> std::intptr_t {
            if (msg == port::WM_TIMER && w == kWatchdog)
                expired = true;
            if (msg == port::WM_USER) {
                // A nested loop (a box over a dialog) sees the quit first.
                port::postQuitMessage(5);
                ui_->runModalLoop(*top, [&] { return expired; });
                innerDone = true;
            }
            return 0;
        });
    port::postMessage(h, port::WM_USER, 0, 0);
    ui_->runModalLoop(*top, [&] { return expired; });
    EXPECT_TRUE(innerDone);
    EXPECT_FALSE(expired) << "the quit request did not end the loops";
    port::Msg m;
    ASSERT_TRUE(port::peekMessage(m, true));
    EXPECT_EQ(m.message, port::WM_QUIT);
    EXPECT_EQ(m.wParam, 5u);
    ui_->runPending();
    EXPECT_FALSE(port::peekMessage(m, false)) << "the quit came back twice";
}

// Children are drawn at their places in the top-level (a grandchild too),
// hidden ones not at all; regions cut pixels away; opacity scales alpha.
// The same picture whether the window is on the screen or not.
TEST_F(GtkBackendTest, RenderDrawsTheTreeWithRegionsAndOpacity) {
    const COLORREF back = RGB(200, 200, 200), one = RGB(200, 0, 0), hidden = RGB(0, 200, 0),
                   grand = RGB(0, 0, 200);
    Recorder topPaint(back), onePaint(one), hiddenPaint(hidden), grandPaint(grand);
    auto top = ui_->createTopLevel(nullptr);
    top->setHandler(&topPaint);
    top->setBounds({100, 100, 200, 180});
    auto child = ui_->createChild(*top, WidgetKind::Button, {10, 10, 40, 30});
    child->setHandler(&onePaint);
    auto invisible = ui_->createChild(*top, WidgetKind::Label, {50, 10, 90, 30});
    invisible->setHandler(&hiddenPaint);
    auto grandchild = ui_->createChild(*child, WidgetKind::Label, {5, 5, 15, 15});
    grandchild->setHandler(&grandPaint);
    child->setVisible(true);
    grandchild->setVisible(true);
    // Only the corner of the child keeps its pixels.
    const Region childRegion({Rect{0, 0, 10, 10}});
    child->setRegion(&childRegion);

    struct Probe {
        Point at;
        COLORREF colour;
    };
    const Probe probes[] = {
        {{2, 2}, back},    {{12, 12}, one},  {{35, 25}, back},  // outside the child's region
        {{17, 17}, grand}, {{60, 20}, back},                    // the hidden child is not drawn
    };
    for (const bool shown : {false, true}) {
        SCOPED_TRACE(shown ? "on the screen" : "not shown");
        if (shown) {
            top->setVisible(true);
            for (int i = 0; i < 20; ++i) {
                ui_->runPending();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        const Bitmap b = ui_->render(*top);
        ASSERT_EQ(b.width(), 100);
        ASSERT_EQ(b.height(), 80);
        for (const Probe& p : probes) {
            EXPECT_EQ(b.pixel(p.at.x, p.at.y), p.colour) << p.at.x << "," << p.at.y;
            EXPECT_EQ(b.alpha(p.at.x, p.at.y), 255) << p.at.x << "," << p.at.y;
        }
    }

    const Region left({Rect{0, 0, 50, 80}});
    top->setRegion(&left);
    top->setOpacity(128);
    const Bitmap b = ui_->render(*top);
    EXPECT_EQ(b.alpha(80, 40), 0) << "outside the window's region";
    EXPECT_EQ(b.alpha(2, 2), 128);
    top->setOpacity(-1);
    EXPECT_EQ(ui_->render(*top).alpha(2, 2), 255) << "-1 makes it opaque again";
}

// The test drivers click a button as a user's input would.
TEST_F(GtkBackendTest, SimulatedInputFollowsTheClickRules) {
    enum Kind { Down, Up, KeyDown, KeyUp };
    struct Step {
        Kind kind;
        Point at;
        int vk;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        int clicks;
    };
    const Point in{5, 5}, out{30, 5};
    const std::vector<Case> cases = {
        {"press and release inside", {{Down, in, 0}, {Up, in, 0}}, 1},
        {"released outside", {{Down, in, 0}, {Up, out, 0}}, 0},
        {"release without a press", {{Up, in, 0}}, 0},
        {"space pressed and released", {{KeyDown, {}, VK_SPACE}, {KeyUp, {}, VK_SPACE}}, 1},
        {"space released alone", {{KeyUp, {}, VK_SPACE}}, 0},
    };
    auto top = ui_->createTopLevel(nullptr);
    top->setBounds({0, 0, 60, 40});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder r;
        auto button = ui_->createChild(*top, WidgetKind::Button, {0, 0, 20, 10});
        button->setHandler(&r);
        for (const Step& s : c.steps) {
            if (s.kind == Down)
                ui_->simulateMouseDown(*button, s.at);
            else if (s.kind == Up)
                ui_->simulateMouseUp(*button, s.at);
            else
                ui_->simulateKey(*button, s.vk, s.kind == KeyDown);
        }
        EXPECT_EQ(r.clicks, c.clicks);
    }

    Recorder topRec, defRec, otherRec;
    top->setHandler(&topRec);
    auto other = ui_->createChild(*top, WidgetKind::Button, {0, 0, 20, 10});
    other->setHandler(&otherRec);
    auto def = ui_->createChild(*top, WidgetKind::Button, {0, 20, 20, 30});
    def->setHandler(&defRec);
    def->setDefault(true);
    ui_->simulateKey(*top, VK_RETURN, true);
    EXPECT_EQ(defRec.clicks, 1) << "Enter clicks the default button";
    EXPECT_EQ(otherRec.clicks, 0);
    ui_->simulateKey(*top, VK_ESCAPE, true);
    EXPECT_EQ(topRec.closes, 1) << "Escape asks to close";
    def->setEnabled(false);
    ui_->simulateMouseDown(*def, in);
    ui_->simulateMouseUp(*def, in);
    EXPECT_EQ(defRec.clicks, 1) << "a disabled button takes no clicks";
}

// A top-level may end before its controls (the library's members end in
// any order); the controls then end quietly.
TEST_F(GtkBackendTest, ControlsMayOutliveTheirTopLevel) {
    auto top = ui_->createTopLevel(nullptr);
    top->setBounds({0, 0, 60, 40});
    auto child = ui_->createChild(*top, WidgetKind::Button, {0, 0, 20, 10});
    auto grandchild = ui_->createChild(*child, WidgetKind::Label, {1, 1, 5, 5});
    top->setVisible(true);
    child->setVisible(true);
    ui_->runPending();
    top.reset();
    child->setText(u"still here");
    child->setBounds({1, 1, 2, 2});
    child->setVisible(false);
    EXPECT_EQ(child->text(), u"still here");
    child.reset();
    grandchild->setVisible(true);
    grandchild.reset();
    ui_->runPending();
}

}  // namespace
}  // namespace nork::gui
