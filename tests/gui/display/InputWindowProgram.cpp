// qzgui_input_window: real pointer and key input (xdotool through the X
// server) reaching the window layer's handlers as on the desktop, for the
// display tests. Exit status 0 when every check passed, 1 otherwise (each
// failure is described on stderr), 2 without a display, 77 without xdotool.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "guilib/port/Window.h"
#include "port/Messages.h"

using namespace nork::gui;
namespace port = nork::port;

namespace {

struct Recorder : WindowHandler {
    void onPaint(Canvas& canvas) override {
        canvas.fillRect({0, 0, 1000, 1000}, RGB(90, 90, 90));
        ++paints;
    }
    void onMouseDown(Point p, bool) override { downs.push_back(p); }
    void onMouseUp(Point p) override { ups.push_back(p); }
    void onKeyDown(int vk) override { keysDown.push_back(vk); }
    void onKeyUp(int vk) override { keysUp.push_back(vk); }
    void onFocus(bool gained) override { (gained ? gains : losses)++; }
    void onClicked() override { ++clicks; }
    void onCloseRequest() override { ++closes; }
    std::vector<Point> downs, ups;
    std::vector<int> keysDown, keysUp;
    int gains = 0, losses = 0, clicks = 0, closes = 0, paints = 0;
};

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "qzgui_input_window: FAILED: %s\n", what);
        ++failures;
    }
}

bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

}  // namespace

int main() {
    Backend& ui = backend();
    if (!desktopBackendActive())
        return 2;
    if (!run("command -v xdotool >/dev/null 2>&1")) {
        std::printf("SKIP: xdotool is not installed\n");
        return 77;
    }

    // Runs the loop until cond() holds or `ms` milliseconds passed.
    bool expired = false;
    const port::HWND clock = port::createWindow(
        u"input test clock",
        [&](port::HWND h, std::uint32_t msg, std::uintptr_t, std::intptr_t) -> std::intptr_t {
            if (msg == port::WM_TIMER) {
                expired = true;
                port::killTimer(h, 1);
            }
            return 0;
        });
    Recorder topRec, labelRec, firstRec, secondRec, thirdRec;
    auto top = ui.createTopLevel(nullptr);
    auto waitFor = [&](const std::function<bool()>& cond, std::uint32_t ms = 5000) {
        expired = false;
        port::setTimer(clock, 1, ms);
        ui.runModalLoop(*top, [&] { return cond() || expired; });
        port::killTimer(clock, 1);
        return cond();
    };

    top->setHandler(&topRec);
    top->setText(u"Input test");
    top->setBounds({100, 100, 400, 300});
    auto label = ui.createChild(*top, WidgetKind::Label, {20, 20, 200, 40});
    label->setHandler(&labelRec);
    // Creation order differs from the order on the screen.
    auto first = ui.createChild(*top, WidgetKind::Button, {10, 100, 90, 124});
    first->setHandler(&firstRec);
    auto second = ui.createChild(*top, WidgetKind::Button, {200, 100, 280, 124});
    second->setHandler(&secondRec);
    auto third = ui.createChild(*top, WidgetKind::Button, {100, 100, 180, 124});
    third->setHandler(&thirdRec);
    third->setDefault(true);
    for (auto* w : {label.get(), first.get(), second.get(), third.get()}) {
        w->setText(u"control");
        w->setVisible(true);
    }
    top->setVisible(true);
    // On the screen once it painted (a paint comes only after the mapping).
    check(waitFor([&] { return topRec.paints > 0 && thirdRec.paints > 0; }), "the window drew");

    const Rect at = top->bounds();
    auto click = [&](int x, int y) {
        return run("xdotool mousemove " + std::to_string(at.left + x) + " " +
                   std::to_string(at.top + y) + " click 1");
    };

    // A press on a label is its window's, in the window's coordinates.
    check(click(110, 30), "xdotool click on the label");
    waitFor([&] { return !topRec.ups.empty(); });
    check(labelRec.downs.empty(), "the label took the press");
    check(topRec.downs.size() == 1 && topRec.downs[0] == Point{110, 30},
          "the window did not get the press on its label at (110,30)");

    // A real click on a button: its handler sees the press and the release in
    // its own coordinates, and the click once.
    check(click(15, 105), "xdotool click on a button");
    waitFor([&] { return firstRec.clicks > 0; });
    check(firstRec.clicks == 1, "the click on the first button");
    check(!firstRec.downs.empty() && firstRec.downs[0] == Point{5, 5},
          "the button's press in its coordinates (5,5)");
    check(!firstRec.ups.empty(), "the button's release");
    check(topRec.downs.size() == 1, "the window got the press on its button too");

    // Tab follows creation order (first, second), not the screen's.
    first->setFocus();
    waitFor([&] { return first->hasFocus(); });
    check(run("xdotool key Tab"), "xdotool key Tab");
    waitFor([&] { return second->hasFocus(); });
    check(second->hasFocus(), "Tab from the first button focuses the second");
    check(secondRec.gains >= 1 && firstRec.losses >= 1, "focus changes reach the handlers");

    // Space clicks the focused button; its handler sees the key going down and up.
    check(run("xdotool key space"), "xdotool key space");
    waitFor([&] { return secondRec.clicks > 0; });
    check(secondRec.clicks == 1, "space clicks the focused button");
    check(!secondRec.keysDown.empty() && secondRec.keysDown[0] == VK_SPACE &&
              !secondRec.keysUp.empty() && secondRec.keysUp[0] == VK_SPACE,
          "the button's handler saw space down and up");

    // Enter with no button focused clicks the default button; Escape asks the
    // window to close.
    top->setFocus();
    check(run("xdotool key Return"), "xdotool key Return");
    waitFor([&] { return thirdRec.clicks > 0; });
    check(thirdRec.clicks == 1, "Enter clicks the default button");
    check(run("xdotool key Escape"), "xdotool key Escape");
    waitFor([&] { return topRec.closes > 0; });
    check(topRec.closes == 1, "Escape asks the window to close");

    port::destroyWindow(clock);
    if (failures == 0)
        std::printf("qzgui_input_window: all input checks passed\n");
    return failures == 0 ? 0 : 1;
}
