// The skinned buttons: the state machine, the image and three-slice buttons
// built from a skin, their drawing (states, masked corners, classic look) and
// the default-button flags.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ControlTestDialog.h"
#include "GuiTestSupport.h"
#include "guilib/src/GUIButton.h"

namespace nork::gui::test {
namespace {

constexpr int kDialogId = 9200;
constexpr int kButtonId = 1001;
constexpr int kOtherId = 1002;

constexpr COLORREF kUp = RGB(200, 0, 0);
constexpr COLORREF kDown = RGB(0, 160, 0);
constexpr COLORREF kHover = RGB(0, 0, 220);
constexpr COLORREF kFocused = RGB(230, 230, 0);
constexpr COLORREF kDisabled = RGB(90, 90, 90);

class ButtonTest : public OffscreenTest {
  protected:
    void SetUp() override {
        OffscreenTest::SetUp();
        registerDialogTemplate(
            kDialogId,
            controlTemplate({controlItem(kButtonId, CLASS_BUTTON, BS_PUSHBUTTON, u"OK"),
                             controlItem(kOtherId, CLASS_BUTTON, BS_AUTOCHECKBOX, u"Check", 150)}));
    }
    // Five 40 x 20 state bitmaps (101-105) and a mask (106) whose 3 x 3
    // corners are white.
    static void addStateBitmaps() {
        addPicture("#2", 101, Bitmap(40, 20, kUp));
        addPicture("#2", 102, Bitmap(40, 20, kDown));
        addPicture("#2", 103, Bitmap(40, 20, kHover));
        addPicture("#2", 104, Bitmap(40, 20, kFocused));
        addPicture("#2", 105, Bitmap(40, 20, kDisabled));
        Bitmap mask(40, 20, RGB(0, 0, 0));
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 3; ++x) {
                mask.setPixel(x, y, RGB(255, 255, 255));
                mask.setPixel(39 - x, 19 - y, RGB(255, 255, 255));
            }
        addPicture("#2", 106, mask);
    }
    static std::string imageProperties() {
        return "<X>10</X><Y>10</Y><ImgUpID>101</ImgUpID><ImgDnID>102</ImgDnID>"
               "<ImgOvID>103</ImgOvID><ImgDsID>105</ImgDsID><ImgDfID>104</ImgDfID>"
               "<MaskID>106</MaskID>";
    }
};

// ---- state machine ----

enum class Ev { Move, Leave, Down, DoubleDown, Up, SpaceDown, SpaceUp, EnterDown, Focus, Blur };

TEST_F(ButtonTest, StateMachine) {
    struct Case {
        const char* name;
        std::vector<Ev> events;
        int state;
        bool pressed;
    };
    const Case cases[] = {
        {"hover", {Ev::Move}, 4, false},
        {"press", {Ev::Move, Ev::Down}, 3, true},
        {"double click presses", {Ev::DoubleDown}, 3, true},
        {"release", {Ev::Move, Ev::Down, Ev::Up}, 0, false},
        {"leave", {Ev::Move, Ev::Leave}, 0, false},
        {"leave while held", {Ev::Move, Ev::Down, Ev::Leave}, 0, false},
        {"back over it while held", {Ev::Move, Ev::Down, Ev::Leave, Ev::Move}, 3, true},
        {"released outside", {Ev::Down, Ev::Leave, Ev::Up}, 0, false},
        {"released outside, then back", {Ev::Down, Ev::Leave, Ev::Up, Ev::Move}, 4, false},
        {"moving while tracking changes nothing", {Ev::Move, Ev::Down, Ev::Move}, 3, true},
        {"space", {Ev::SpaceDown}, 3, true},
        {"space released", {Ev::SpaceDown, Ev::SpaceUp}, 0, false},
        {"other keys", {Ev::EnterDown}, 0, false},
        {"focus", {Ev::Focus}, 1, false},
        {"focus lost", {Ev::Focus, Ev::Blur}, 0, false},
        {"focus keeps the press", {Ev::Down, Ev::Focus}, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CGUIImageButton button;
        ControlTestDialog dialog(kDialogId, {{kButtonId, &button, &button}});
        ASSERT_TRUE(dialog.Create());
        for (Ev e : c.events) {
            switch (e) {
                case Ev::Move:
                    button.onMouseMove({5, 5});
                    break;
                case Ev::Leave:
                    button.onMouseLeave();
                    break;
                case Ev::Down:
                    button.onMouseDown({5, 5}, false);
                    break;
                case Ev::DoubleDown:
                    button.onMouseDown({5, 5}, true);
                    break;
                case Ev::Up:
                    button.onMouseUp({5, 5});
                    break;
                case Ev::SpaceDown:
                    button.onKeyDown(VK_SPACE);
                    break;
                case Ev::SpaceUp:
                    button.onKeyUp(VK_SPACE);
                    break;
                case Ev::EnterDown:
                    button.onKeyDown(VK_RETURN);
                    break;
                case Ev::Focus:
                    button.onFocus(true);
                    break;
                case Ev::Blur:
                    button.onFocus(false);
                    break;
            }
        }
        EXPECT_EQ(button.visualState(), c.state);
        EXPECT_EQ(button.pressed(), c.pressed);
    }
}

// ---- image buttons ----

TEST_F(ButtonTest, ImageButtonFromTheSkin) {
    addStateBitmaps();
    ASSERT_TRUE(
        loadSkin(controlSkin(kDialogId, controlElement("Button", kButtonId, imageProperties()))));
    CGUIImageButton button;
    ControlTestDialog dialog(kDialogId, {{kButtonId, &button, &button}});
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(button.GetWindowRect(), (Rect{10, 10, 50, 30})) << "sized to the up bitmap";
    EXPECT_EQ(button.designRect(), (Rect{10, 10, 50, 30}));
    ASSERT_TRUE(button.region().has_value());
    EXPECT_FALSE(button.region()->contains(0, 0)) << "white mask pixels are outside";
    EXPECT_FALSE(button.region()->contains(39, 19));
    EXPECT_TRUE(button.region()->contains(3, 0));
    EXPECT_TRUE(button.region()->contains(20, 10));
}

TEST_F(ButtonTest, ImageButtonNeedsAllFiveImages) {
    addStateBitmaps();
    CGUIImageButton button;
    ControlTestDialog dialog(kDialogId, {{kButtonId, &button, &button}});
    ASSERT_TRUE(dialog.Create());
    EXPECT_FALSE(button.SetMask(106)) << "a mask needs the images first";
    EXPECT_FALSE(button.SetImages(101, 102, 103, 0, 105));
    EXPECT_FALSE(button.SetImages(101, 102, 103, 104, 4711)) << "one does not load";
    EXPECT_FALSE(button.image(0).has_value()) << "a failed set keeps the previous look";
    EXPECT_TRUE(button.SetImages(101, 102, 103, 104, 105));
    EXPECT_EQ(button.image(3)->pixel(0, 0), kDown);
    EXPECT_EQ(button.image(1)->pixel(0, 0), kFocused);
    EXPECT_EQ(button.image(2)->pixel(0, 0), kDisabled);
}

TEST_F(ButtonTest, ImageButtonDrawsTheStateImageWithMaskedCorners) {
    addStateBitmaps();
    ASSERT_TRUE(
        loadSkin(controlSkin(kDialogId, controlElement("Button", kButtonId, imageProperties()),
                             "<RGBBack>1,2,3</RGBBack>")));
    CGUIImageButton button;
    ControlTestDialog dialog(kDialogId, {{kButtonId, &button, &button}});
    ASSERT_TRUE(dialog.Create());
    auto at = [&](int x, int y) { return backend().render(*dialog.native()).pixel(x, y); };
    NativeWindow& w = *button.native();

    EXPECT_EQ(at(30, 20), kUp);
    EXPECT_EQ(at(10, 10), RGB(1, 2, 3)) << "masked corner shows the dialog";
    EXPECT_EQ(at(49, 29), RGB(1, 2, 3));
    backend().simulateMouseMove(w, {20, 10});
    EXPECT_EQ(at(30, 20), kHover);
    backend().simulateMouseDown(w, {20, 10});
    EXPECT_EQ(at(30, 20), kDown);
    backend().simulateMouseLeave(w);
    EXPECT_NE(at(30, 20), kDown);
    backend().simulateMouseMove(w, {20, 10});
    EXPECT_EQ(at(30, 20), kDown) << "back over the held button: down again";
    backend().simulateMouseLeave(w);
    backend().simulateMouseUp(w, {100, 100});
    EXPECT_EQ(button.visualState(), 0);
    button.EnableWindow(false);
    EXPECT_EQ(at(30, 20), kDisabled);
}

// ---- three-slice buttons ----

TEST(ResizeButtonWidth, ThreeSliceRule) {
    struct Case {
        std::uint16_t left, middle, right;
        int textWidth;
        int width;
    };
    const Case cases[] = {
        {10, 30, 10, 40, 80},   // 40 + 22 = 62 < 75, raised to 10 + 10 + 2 x 30
        {10, 0, 10, 40, 75},    // no middle: just the minimum
        {10, 0, 10, 100, 122},  // no middle: text + 2 x (8 + 3)
        {10, 30, 10, 100, 140}, {10, 30, 10, 0, 80},
        {5, 7, 5, 60, 87},      {10, 55, 10, 40, 75},  // one middle exactly reaches the minimum
    };
    for (const Case& c : cases) {
        CGUIResizeButton button;
        ASSERT_TRUE(button.SetSlices(c.left, c.middle, c.right));
        EXPECT_EQ(button.widthFor(c.textWidth), c.width)
            << c.left << "/" << c.middle << "/" << c.right << " text " << c.textWidth;
    }
    CGUIResizeButton button;
    EXPECT_FALSE(button.SetSlices(0, 0, 0));
}

TEST_F(ButtonTest, ResizeButtonWithoutImagesTakesTheComputedSize) {
    for (const char16_t* text : {u"OK", u"A much longer caption than fits in 75 pixels"}) {
        CGUIResizeButton button;
        ControlTestDialog dialog(kDialogId, {{kButtonId, &button, &button}});
        ASSERT_TRUE(dialog.Create());
        button.SetText(text);
        const Size extent = measureText(text, button.buttonFont(), DT_SINGLELINE);
        const Rect r = button.GetWindowRect();
        EXPECT_EQ(r.width(), std::max(extent.cx + 22, 75));
        EXPECT_EQ(r.height(), std::max(extent.cy + 8, 24));
    }
}

TEST_F(ButtonTest, ResizeButtonBuildsItsImagesFromThreeSlices) {
    // Source 50 x 20: left cap red (10), middle green with a blue first
    // column (30), right cap yellow (10).
    auto source = [](COLORREF middle) {
        Bitmap b(50, 20, middle);
        for (int y = 0; y < 20; ++y) {
            for (int x = 0; x < 10; ++x) {
                b.setPixel(x, y, RGB(255, 0, 0));
                b.setPixel(40 + x, y, RGB(255, 255, 0));
            }
            b.setPixel(10, y, RGB(0, 0, 255));
        }
        return b;
    };
    for (int id = 201; id <= 205; ++id)
        addPicture("#2", id, source(RGB(0, id, 0)));
    Bitmap mask(50, 20, RGB(0, 0, 0));
    mask.setPixel(0, 0, RGB(255, 255, 255));
    addPicture("#2", 206, mask);
    ASSERT_TRUE(loadSkin(controlSkin(
        kDialogId,
        controlElement("Button", kButtonId,
                       "<X>10</X><Y>10</Y><ImgUpID>201</ImgUpID><ImgDnID>202</ImgDnID>"
                       "<ImgOvID>203</ImgOvID><ImgDsID>204</ImgDsID><ImgDfID>205</ImgDfID>"
                       "<MaskID>206</MaskID><ImgLeft>10</ImgLeft><ImgMid>30</ImgMid>"
                       "<ImgRight>10</ImgRight>"))));
    CGUIResizeButton button;
    ControlTestDialog dialog(kDialogId, {{kButtonId, &button, &button}});
    ASSERT_TRUE(dialog.Create());
    // "OK" is far narrower than 53 pixels: 75, raised to 80.
    EXPECT_EQ(button.GetWindowRect().width(), 80);
    EXPECT_EQ(button.GetWindowRect().height(), 20) << "the image's height";
    ASSERT_TRUE(button.image(0).has_value());
    const Bitmap& up = *button.image(0);
    ASSERT_EQ(up.width(), 80);
    struct Column {
        int x;
        COLORREF colour;
    } columns[] = {{0, RGB(255, 0, 0)},  {9, RGB(255, 0, 0)},    {10, RGB(0, 0, 255)},
                   {11, RGB(0, 201, 0)}, {39, RGB(0, 201, 0)},   {40, RGB(0, 0, 255)},
                   {69, RGB(0, 201, 0)}, {70, RGB(255, 255, 0)}, {79, RGB(255, 255, 0)}};
    for (const Column& c : columns)
        EXPECT_EQ(up.pixel(c.x, 5), c.colour) << "x " << c.x;
    EXPECT_EQ(button.image(3)->pixel(20, 5), RGB(0, 202, 0)) << "down image from ImgDnID";
    ASSERT_TRUE(button.region().has_value());
    EXPECT_FALSE(button.region()->contains(0, 0));
    EXPECT_TRUE(button.region()->contains(79, 19)) << "the mask is stretched like the images";

    // A longer text rebuilds at a wider multiple of the middle.
    button.SetText(u"A caption of some length for this button");
    const int textWidth =
        measureText(u"A caption of some length for this button", button.buttonFont(), DT_SINGLELINE)
            .cx;
    EXPECT_EQ(button.GetWindowRect().width(), button.widthFor(textWidth));
    EXPECT_EQ((button.GetWindowRect().width() - 20) % 30, 0);
}

// ---- classic look and flags ----

TEST_F(ButtonTest, ClassicLookWithoutImages) {
    ASSERT_TRUE(loadSkin(controlSkin(
        kDialogId, controlElement("Button", kButtonId,
                                  "<X>10</X><Y>10</Y><Width>60</Width><Height>24</Height>"
                                  "<RGBBack>10,200,30</RGBBack><RGBTxt>200,0,200</RGBTxt>"))));
    CGUIImageButton button;
    ControlTestDialog dialog(kDialogId, {{kButtonId, &button, &button}});
    ASSERT_TRUE(dialog.Create());
    button.SetText(u"");
    Bitmap shot = backend().render(*dialog.native());
    EXPECT_EQ(shot.pixel(14, 14), RGB(10, 200, 30)) << "filled with the back colour";
    EXPECT_NE(shot.pixel(10, 10), RGB(200, 0, 200));
    button.onFocus(true);
    shot = backend().render(*dialog.native());
    EXPECT_EQ(shot.pixel(10, 10), RGB(200, 0, 200)) << "focused: a frame in the text colour";
}

TEST_F(ButtonTest, KindAndDefaultFlagsFromTheTemplateStyle) {
    registerDialogTemplate(
        kDialogId + 1,
        controlTemplate({controlItem(kButtonId, CLASS_BUTTON, BS_DEFPUSHBUTTON, u"OK"),
                         controlItem(kOtherId, CLASS_BUTTON, BS_AUTOCHECKBOX, u"Check", 150)}));
    CGUIImageButton push;
    CGUIImageButton check;
    ControlTestDialog dialog(kDialogId + 1,
                             {{kButtonId, &push, &push}, {kOtherId, &check, &check}});
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(push.kind(), CGUIButtonBase::Kind::Push);
    EXPECT_TRUE(push.IsDefault());
    EXPECT_EQ(push.GetStyle() & BS_TYPEMASK, BS_OWNERDRAW);
    push.SetButtonStyle(BS_PUSHBUTTON);
    EXPECT_FALSE(push.IsDefault());
    EXPECT_EQ(push.GetStyle() & BS_TYPEMASK, BS_OWNERDRAW) << "stays owner-drawn";
    push.SetButtonStyle(BS_DEFPUSHBUTTON);
    EXPECT_TRUE(push.IsDefault());

    EXPECT_EQ(check.kind(), CGUIButtonBase::Kind::Check);
    check.SetButtonStyle(BS_DEFPUSHBUTTON);
    EXPECT_FALSE(check.IsDefault()) << "only push buttons can be the default";
}

}  // namespace
}  // namespace nork::gui::test
