// The offscreen window layer: rendering of the tree, focus, the input rules
// of buttons and dialogs, and the modal loop over the message layer.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "guilib/port/Graphics.h"
#include "guilib/port/Window.h"
#include "port/Messages.h"

namespace nork::gui {
namespace {

constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kGreen = RGB(0, 255, 0);

// Fills its client area (or a given rectangle) and writes down its events.
class Recorder : public WindowHandler {
  public:
    Recorder(std::string name, std::vector<std::string>* log, COLORREF fill = CLR_NONE_COLOR,
             Rect area = {0, 0, 1000, 1000})
        : name_(std::move(name)), log_(log), fill_(fill), area_(area) {}

    void onPaint(Canvas& canvas) override { canvas.fillRect(area_, fill_); }
    void onMouseDown(Point p, bool) override { add("down " + at(p)); }
    void onMouseUp(Point p) override { add("up " + at(p)); }
    void onMouseLeave() override { add("leave"); }
    void onKeyDown(int vk) override { add("keydown " + std::to_string(vk)); }
    void onFocus(bool gained) override { add(gained ? "focus" : "blur"); }
    void onClicked() override { add("clicked"); }
    void onCloseRequest() override { add("close"); }

  private:
    static std::string at(Point p) { return std::to_string(p.x) + "," + std::to_string(p.y); }
    void add(const std::string& what) {
        if (log_)
            log_->push_back(name_ + " " + what);
    }
    std::string name_;
    std::vector<std::string>* log_;
    COLORREF fill_;
    Rect area_;
};

class OffscreenBackendTest : public ::testing::Test {
  protected:
    void SetUp() override { useOffscreenBackend(); }
    Backend& ui() { return backend(); }

    std::unique_ptr<NativeWindow> topLevel(const Rect& bounds, WindowHandler* handler) {
        auto w = ui().createTopLevel(nullptr);
        w->setBounds(bounds);
        w->setHandler(handler);
        w->setVisible(true);
        return w;
    }
    std::unique_ptr<NativeWindow> child(NativeWindow& parent, WidgetKind kind, const Rect& bounds,
                                        WindowHandler* handler) {
        auto w = ui().createChild(parent, kind, bounds);
        w->setHandler(handler);
        w->setVisible(true);
        return w;
    }
};

TEST_F(OffscreenBackendTest, RenderDrawsVisibleChildrenInTheirBounds) {
    Recorder topPaint("top", nullptr, kBlue);
    // Paints far beyond its bounds: only its own rectangle may show.
    Recorder redPaint("red", nullptr, kRed, {-50, -50, 100, 100});
    Recorder greenPaint("green", nullptr, kGreen);
    Recorder innerPaint("inner", nullptr, kBlue, {0, 0, 2, 2});
    auto top = topLevel({100, 100, 140, 130}, &topPaint);
    auto red = child(*top, WidgetKind::Label, {10, 10, 20, 20}, &redPaint);
    auto hidden = child(*top, WidgetKind::Label, {0, 0, 5, 5}, &greenPaint);
    hidden->setVisible(false);
    auto inner = child(*red, WidgetKind::Label, {4, 4, 8, 8}, &innerPaint);

    const Bitmap b = ui().render(*top);
    ASSERT_EQ(b.width(), 40);
    ASSERT_EQ(b.height(), 30);
    EXPECT_EQ(b.pixel(0, 0), kBlue);  // the hidden child is not drawn
    EXPECT_EQ(b.pixel(9, 9), kBlue);
    EXPECT_EQ(b.pixel(10, 10), kRed);
    EXPECT_EQ(b.pixel(19, 19), kRed);
    EXPECT_EQ(b.pixel(20, 20), kBlue);
    EXPECT_EQ(b.pixel(14, 14), kBlue);  // the grandchild, at its parent's origin + 4
    EXPECT_EQ(b.pixel(16, 16), kRed);   // ... and only where it painted
    EXPECT_EQ(b.alpha(39, 29), 255);
}

TEST_F(OffscreenBackendTest, RegionsAndOpacity) {
    Recorder topPaint("top", nullptr, kBlue);
    Recorder redPaint("red", nullptr, kRed);
    auto top = topLevel({0, 0, 40, 20}, &topPaint);
    auto red = child(*top, WidgetKind::Label, {20, 0, 40, 20}, &redPaint);
    const Region childRegion({{0, 0, 10, 20}});  // its left half only
    red->setRegion(&childRegion);
    const Region topRegion({{0, 0, 40, 10}});  // the upper half
    top->setRegion(&topRegion);

    Bitmap b = ui().render(*top);
    EXPECT_EQ(b.pixel(25, 5), kRed);
    EXPECT_EQ(b.pixel(35, 5), kBlue);  // outside the child's region: the parent
    EXPECT_EQ(b.alpha(5, 5), 255);
    EXPECT_EQ(b.alpha(5, 15), 0);  // outside the window's region: transparent
    EXPECT_EQ(b.alpha(25, 15), 0);

    top->setOpacity(128);
    b = ui().render(*top);
    EXPECT_EQ(b.alpha(5, 5), 128);
    EXPECT_EQ(b.pixel(5, 5), kBlue);
    EXPECT_EQ(b.alpha(5, 15), 0);

    top->setOpacity(-1);
    top->setRegion(nullptr);
    b = ui().render(*top);
    EXPECT_EQ(b.alpha(5, 15), 255);

    const Region nothing;
    top->setRegion(&nothing);
    b = ui().render(*top);
    EXPECT_EQ(b.alpha(5, 5), 0);
}

TEST_F(OffscreenBackendTest, FocusMovesWithNotifications) {
    std::vector<std::string> log;
    Recorder topHandler("top", &log), aHandler("a", &log), bHandler("b", &log);
    auto top = topLevel({0, 0, 100, 100}, &topHandler);
    auto a = child(*top, WidgetKind::Button, {0, 0, 10, 10}, &aHandler);
    auto b = child(*top, WidgetKind::Button, {20, 0, 30, 10}, &bHandler);

    a->setFocus();
    a->setFocus();  // no change, no notification
    b->setFocus();
    EXPECT_EQ(log, (std::vector<std::string>{"a focus", "a blur", "b focus"}));
    EXPECT_TRUE(b->hasFocus());
    EXPECT_FALSE(a->hasFocus());

    b.reset();  // a destroyed focus window is simply gone
    log.clear();
    a->setFocus();
    EXPECT_EQ(log, (std::vector<std::string>{"a focus"}));
}

TEST_F(OffscreenBackendTest, ButtonClickRules) {
    // Input arrives at the top-level window in its client coordinates; the
    // button sits at 10,10 .. 30,20, a plain label at 40,10 .. 60,20.
    struct Step {
        enum What { Down, Up, KeyDown, KeyUp } what;
        Point at{};
        int vk = 0;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        bool isDefault;
        bool enabled;
        std::vector<std::string> expect;
    };
    const Case cases[] = {
        {"press and release on it",
         {{Step::Down, {12, 12}}, {Step::Up, {28, 18}}},
         false,
         true,
         {"btn down 2,2", "btn up 18,8", "btn clicked"}},
        {"released outside",
         {{Step::Down, {12, 12}}, {Step::Up, {50, 15}}},
         false,
         true,
         {"btn down 2,2", "btn up 40,5"}},
        {"pressed elsewhere",
         {{Step::Down, {50, 15}}, {Step::Up, {12, 12}}},
         false,
         true,
         {"label down 10,5", "label up -28,2"}},
        {"disabled", {{Step::Down, {12, 12}}, {Step::Up, {12, 12}}}, false, false, {}},
        {"space down and up",
         {{Step::KeyDown, {}, VK_SPACE}, {Step::KeyUp, {}, VK_SPACE}},
         false,
         true,
         {"btn keydown 32", "btn clicked"}},
        {"space up alone", {{Step::KeyUp, {}, VK_SPACE}}, false, true, {}},
        {"enter clicks the default button",
         {{Step::KeyDown, {}, VK_RETURN}},
         true,
         true,
         {"btn keydown 13", "btn clicked"}},
        {"enter without a default button",
         {{Step::KeyDown, {}, VK_RETURN}},
         false,
         true,
         {"btn keydown 13"}},
        {"escape asks to close",
         {{Step::KeyDown, {}, VK_ESCAPE}},
         true,
         true,
         {"btn keydown 27", "top close"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> log;
        Recorder topHandler("top", &log), btnHandler("btn", &log), labelHandler("label", &log);
        auto top = topLevel({0, 0, 100, 50}, &topHandler);
        auto btn = child(*top, WidgetKind::Button, {10, 10, 30, 20}, &btnHandler);
        auto label = child(*top, WidgetKind::Label, {40, 10, 60, 20}, &labelHandler);
        btn->setDefault(c.isDefault);
        btn->setEnabled(c.enabled);
        btn->setFocus();
        log.clear();
        for (const Step& s : c.steps) {
            switch (s.what) {
                case Step::Down:
                    ui().simulateMouseDown(*top, s.at);
                    break;
                case Step::Up:
                    ui().simulateMouseUp(*top, s.at);
                    break;
                case Step::KeyDown:
                    ui().simulateKey(*top, s.vk, true);
                    break;
                case Step::KeyUp:
                    ui().simulateKey(*top, s.vk, false);
                    break;
            }
        }
        EXPECT_EQ(log, c.expect);
    }
}

TEST_F(OffscreenBackendTest, MouseLeaveFollowsThePointer) {
    std::vector<std::string> log;
    Recorder topHandler("top", &log), btnHandler("btn", &log);
    auto top = topLevel({0, 0, 100, 50}, &topHandler);
    auto btn = child(*top, WidgetKind::Button, {10, 10, 30, 20}, &btnHandler);
    ui().simulateMouseMove(*top, {12, 12});
    ui().simulateMouseMove(*top, {14, 12});
    ui().simulateMouseMove(*top, {50, 40});  // off the button
    ui().simulateMouseLeave(*top);           // off the window
    EXPECT_EQ(log, (std::vector<std::string>{"btn leave", "top leave"}));
}

TEST_F(OffscreenBackendTest, ModalLoopRunsPostedMessagesUntilDone) {
    std::vector<std::string> log;
    Recorder dialogHandler("dialog", &log), otherHandler("other", &log), btnHandler("btn", &log);
    auto other = topLevel({0, 0, 50, 50}, &otherHandler);
    auto otherButton = child(*other, WidgetKind::Button, {0, 0, 50, 50}, &btnHandler);
    auto dialog = topLevel({0, 0, 50, 50}, &dialogHandler);

    bool done = false;
    int handled = 0;
    const port::HWND target = port::createWindow(
        u"modal loop test",
        [&](port::HWND, std::uint32_t msg, std::uintptr_t, std::intptr_t) -> std::intptr_t {
            if (msg != port::WM_USER + 1)
                return 0;
            ++handled;
            // Other top-level windows take no input while the dialog is modal.
            ui().simulateMouseDown(*other, {5, 5});
            ui().simulateMouseUp(*other, {5, 5});
            ui().simulateKey(*dialog, VK_ESCAPE, true);
            done = true;
            return 0;
        });
    ASSERT_NE(target, port::HWND_NONE);

    // Nothing posted: runPending returns at once.
    ui().runPending();
    EXPECT_EQ(handled, 0);

    ASSERT_TRUE(port::postMessage(target, port::WM_USER + 1, 0, 0));
    ui().runModalLoop(*dialog, [&] { return done; });
    EXPECT_EQ(handled, 1);
    EXPECT_EQ(log, (std::vector<std::string>{"dialog keydown 27", "dialog close"}));

    // With the loop over, the other window takes input again.
    log.clear();
    ui().simulateMouseDown(*other, {5, 5});
    ui().simulateMouseUp(*other, {5, 5});
    EXPECT_EQ(log, (std::vector<std::string>{"btn down 5,5", "btn up 5,5", "btn clicked"}));

    // runPending dispatches what is queued without waiting for more.
    done = false;
    ASSERT_TRUE(port::postMessage(target, port::WM_USER + 1, 0, 0));
    ui().runPending();
    EXPECT_EQ(handled, 2);
    port::destroyWindow(target);
}

TEST_F(OffscreenBackendTest, CentreOnOwnerOrScreen) {
    auto owner = topLevel({100, 100, 500, 400}, nullptr);
    auto box = ui().createTopLevel(owner.get());
    box->setBounds({0, 0, 200, 100});
    box->centre(owner.get());
    EXPECT_EQ(box->bounds(), (Rect{200, 200, 400, 300}));
    box->centre(nullptr);
    const Size screen = ui().screenSize();
    EXPECT_EQ(screen, (Size{1280, 1024}));
    EXPECT_EQ(box->bounds(), (Rect{540, 462, 740, 562}));
}

}  // namespace
}  // namespace nork::gui
