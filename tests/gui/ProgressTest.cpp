// The skinned progress bar: the filled length for a position (in and out of
// the range), solid and vertical fills, and the two-picture mode.
#include <gtest/gtest.h>

#include "ControlTestDialog.h"
#include "GuiTestSupport.h"
#include "guilib/src/GUIProgressCtrl.h"

namespace nork::gui::test {
namespace {

constexpr int kDialogId = 9400;
constexpr int kBarId = 1200;
constexpr COLORREF kBack = RGB(240, 240, 240);
constexpr COLORREF kBar = RGB(0, 0, 200);

class ProgressTest : public OffscreenTest {
  protected:
    void useTemplate(std::uint32_t style) {
        registerDialogTemplate(kDialogId,
                               controlTemplate({controlItem(kBarId, CLASS_PROGRESS, style)}));
        ASSERT_TRUE(loadSkin(controlSkin(
            kDialogId, controlElement("Progress", kBarId,
                                      "<X>10</X><Y>10</Y><Width>200</Width><Height>20</Height>"
                                      "<RGBBack>240,240,240</RGBBack>"))));
    }
};

TEST(ProgressFill, LengthForPosition) {
    struct Case {
        int lower, upper, pos, length, filled;
    };
    const Case cases[] = {
        {0, 100, 37, 200, 74}, {0, 100, 101, 200, 0}, {0, 100, -1, 200, 0}, {0, 100, 100, 200, 200},
        {0, 100, 0, 200, 0},   {0, 3, 1, 100, 33},    {0, 3, 2, 100, 67},   {10, 20, 15, 50, 25},
        {5, 5, 5, 200, 0},     {20, 10, 15, 200, 0},
    };
    for (const Case& c : cases) {
        CGUIProgressCtrl bar;
        bar.SetRange(c.lower, c.upper);
        bar.SetPos(c.pos);
        EXPECT_EQ(bar.filledLength(c.length), c.filled)
            << c.lower << ".." << c.upper << " at " << c.pos;
    }
}

TEST_F(ProgressTest, SolidFillDrawnAlongTheBar) {
    struct Case {
        std::uint32_t style;
        int pos;
        Point filledPixel;
        Point emptyPixel;
    };
    // The bar is at (10,10)-(210,30) in the dialog.
    const Case cases[] = {
        {0, 37, {10 + 73, 20}, {10 + 74, 20}},
        {0, 101, {0, 0}, {10, 20}},
        {PBS_VERTICAL, 50, {100, 29}, {100, 19}},  // 10 of 20 pixels, from the bottom
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pos);
        useTemplate(c.style);
        CGUIProgressCtrl bar;
        ControlTestDialog dialog(kDialogId, {{kBarId, &bar, &bar}});
        ASSERT_TRUE(dialog.Create());
        bar.SetBorder(false);
        bar.SetBarColor(kBar);
        bar.SetPos(c.pos);
        Bitmap shot = backend().render(*dialog.native());
        if (c.filledPixel.x > 0) {
            EXPECT_EQ(shot.pixel(c.filledPixel.x, c.filledPixel.y), kBar);
        }
        EXPECT_EQ(shot.pixel(c.emptyPixel.x, c.emptyPixel.y), kBack);
    }
}

TEST_F(ProgressTest, TwoPictures) {
    useTemplate(0);
    addPicture("GIF", 301, Bitmap(100, 10, RGB(10, 10, 10)));
    addPicture("GIF", 302, Bitmap(100, 10, RGB(0, 220, 0)));
    CGUIProgressCtrl bar;
    ControlTestDialog dialog(kDialogId, {{kBarId, &bar, &bar}});
    ASSERT_TRUE(dialog.Create());
    bar.SetBorder(true);
    EXPECT_FALSE(bar.SetBarImages(301, 4711, "GIF"));
    EXPECT_EQ(bar.drawMode(), CGUIProgressCtrl::ModeSolid) << "a failed load changes nothing";
    ASSERT_TRUE(bar.SetBarImages(301, 302, "GIF"));
    EXPECT_EQ(bar.drawMode(), CGUIProgressCtrl::ModePictures);
    EXPECT_EQ(bar.GetClientRect(), (Rect{0, 0, 100, 10})) << "sized to the background";
    EXPECT_EQ(bar.GetExStyle() & WS_EX_CLIENTEDGE, 0u) << "edges removed";
    bar.SetPos(25);
    Bitmap shot = backend().render(*dialog.native());
    EXPECT_EQ(shot.pixel(10 + 24, 15), RGB(0, 220, 0));
    EXPECT_EQ(shot.pixel(10 + 25, 15), RGB(10, 10, 10));
}

}  // namespace
}  // namespace nork::gui::test
