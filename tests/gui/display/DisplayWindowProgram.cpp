// qzgui_display_window: a top-level window with one control of each kind,
// made through the window layer on the desktop backend, for the display
// tests. It paints plain colours, saves screenshots (its own rendering and the
// screen), then waits for the link and then the button to be clicked (by an
// assistive technology client) and exits.
//
// Exit status: 0 link then button clicked, and the message queue ran inside
// the toolkit loop; 2 no display; 3 nobody clicked in time; 4 the posted
// message never arrived; 5 a screenshot shows the wrong colours; 6 the button
// was clicked without the link first.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "guilib/port/Window.h"
#include "port/Messages.h"

using namespace nork::gui;
namespace port = nork::port;

namespace {

constexpr COLORREF kBack = RGB(0xE0, 0xE0, 0xE0);
constexpr COLORREF kButton = RGB(0x20, 0x40, 0xC0);
constexpr COLORREF kLabel = RGB(0x20, 0xA0, 0x40);
constexpr COLORREF kLink = RGB(0xC0, 0x30, 0x30);
constexpr COLORREF kBar = RGB(0xF0, 0xC0, 0x00);

class Filler : public WindowHandler {
  public:
    Filler(COLORREF colour, Size size) : colour_(colour), size_(size) {}
    void onPaint(Canvas& canvas) override { canvas.fillRect({0, 0, size_.cx, size_.cy}, colour_); }
    void onClicked() override { ++clicks; }
    int clicks = 0;

  private:
    COLORREF colour_;
    Size size_;
};

// The progress bar: the first half filled.
class Bar : public WindowHandler {
  public:
    explicit Bar(Size size) : size_(size) {}
    void onPaint(Canvas& canvas) override {
        canvas.fillRect({0, 0, size_.cx, size_.cy}, RGB(0x40, 0x40, 0x40));
        canvas.fillRect({0, 0, size_.cx / 2, size_.cy}, kBar);
    }

  private:
    Size size_;
};

std::string screenshotDir() {
    const char* tmp = std::getenv("QZ_TEST_TMP");
    std::string dir = tmp && *tmp ? std::string(tmp) + "/screenshots" : "screenshots";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return dir;
}

bool expectPixel(const Bitmap& b, Point p, COLORREF want, const char* what) {
    if (b.pixel(p.x, p.y) == want)
        return true;
    std::fprintf(stderr, "qzgui_display_window: %s at (%d,%d) is %06X, expected %06X\n", what, p.x,
                 p.y, b.pixel(p.x, p.y), want);
    return false;
}

}  // namespace

int main() {
    Backend& ui = backend();
    if (!desktopBackendActive()) {
        std::fprintf(stderr, "qzgui_display_window: no display\n");
        return 2;
    }

    auto top = ui.createTopLevel(nullptr);
    Filler back(kBack, {320, 200});
    top->setHandler(&back);
    top->setText(u"Display test");
    top->setBounds({0, 0, 320, 200});
    top->centre(nullptr);

    const Rect labelBox{20, 20, 300, 40}, linkBox{20, 60, 200, 80}, barBox{20, 100, 300, 116},
        buttonBox{20, 140, 120, 164};
    auto label = ui.createChild(*top, WidgetKind::Label, labelBox);
    Filler labelPaint(kLabel, {labelBox.width(), labelBox.height()});
    label->setHandler(&labelPaint);
    label->setText(u"Ready to restore");

    auto link = ui.createChild(*top, WidgetKind::Link, linkBox);
    Filler linkPaint(kLink, {linkBox.width(), linkBox.height()});
    link->setHandler(&linkPaint);
    link->setText(u"Visit the web site");

    auto bar = ui.createChild(*top, WidgetKind::Progress, barBox);
    Bar barPaint({barBox.width(), barBox.height()});
    bar->setHandler(&barPaint);
    bar->setText(u"Restoring");
    bar->setProgressValue(0.5);

    auto button = ui.createChild(*top, WidgetKind::Button, buttonBox);
    Filler buttonPaint(kButton, {buttonBox.width(), buttonBox.height()});
    button->setHandler(&buttonPaint);
    button->setText(u"Restore Qz");

    for (NativeWindow* w : {label.get(), link.get(), bar.get(), button.get()})
        w->setVisible(true);
    button->setDefault(true);
    top->setVisible(true);

    // The message layer runs inside the toolkit loop: a posted message, a
    // settling timer and a watchdog timer.
    bool posted = false, settled = false, timedOut = false;
    const port::HWND hwnd = port::createWindow(
        u"qzgui display test",
        [&](port::HWND h, std::uint32_t msg, std::uintptr_t id, std::intptr_t) -> std::intptr_t {
            if (msg == port::WM_USER + 1)
                posted = true;
            if (msg == port::WM_TIMER && id == 1) {
                settled = true;
                port::killTimer(h, 1);
            }
            if (msg == port::WM_TIMER && id == 2)
                timedOut = true;
            return 0;
        });
    port::postMessage(hwnd, port::WM_USER + 1, 0, 0);
    port::setTimer(hwnd, 1, 500);
    port::setTimer(hwnd, 2, 60000);

    ui.runModalLoop(*top, [&] { return settled || timedOut; });

    const std::string dir = screenshotDir();
    const Bitmap own = ui.render(*top);
    const Bitmap screen = ui.captureScreen();
    own.savePng(dir + "/display-window.png");
    screen.savePng(dir + "/display-screen.png");
    std::printf("qzgui_display_window: screenshots in %s\n", dir.c_str());
    bool pictures = expectPixel(own, {5, 5}, kBack, "window background") &&
                    expectPixel(own, {30, 150}, kButton, "button") &&
                    expectPixel(own, {30, 30}, kLabel, "label") &&
                    expectPixel(own, {30, 70}, kLink, "link") &&
                    expectPixel(own, {30, 108}, kBar, "progress bar");
    const Rect at = top->bounds();
    pictures = pictures &&
               expectPixel(screen, {at.left + 30, at.top + 150}, kButton, "button on the screen");
    std::fflush(stdout);

    ui.runModalLoop(*top, [&] { return buttonPaint.clicks > 0 || timedOut; });
    port::destroyWindow(hwnd);
    if (buttonPaint.clicks == 0)
        return 3;
    if (!posted)
        return 4;
    if (!pictures)
        return 5;
    if (linkPaint.clicks == 0)
        return 6;
    return 0;
}
