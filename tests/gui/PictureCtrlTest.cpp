// The picture control: where each draw style places the image, the window
// sized to the image, refused styles, and a transparent colour.
#include <gtest/gtest.h>

#include "ControlTestDialog.h"
#include "GuiTestSupport.h"
#include "guilib/src/GUIPictureCtrl.h"

namespace nork::gui::test {
namespace {

constexpr int kDialogId = 9500;
constexpr int kPictureId = 1300;

class PictureCtrlTest : public OffscreenTest {
  protected:
    void SetUp() override {
        OffscreenTest::SetUp();
        registerDialogTemplate(kDialogId,
                               controlTemplate({controlItem(kPictureId, CLASS_STATIC, SS_LEFT)}));
        ASSERT_TRUE(loadSkin(
            controlSkin(kDialogId,
                        controlElement("Picture", kPictureId,
                                       "<X>10</X><Y>10</Y><Width>200</Width><Height>200</Height>"
                                       "<InheritLayout>1</InheritLayout>"),
                        "<RGBBack>1,2,3</RGBBack>")));
    }
};

TEST_F(PictureCtrlTest, PlacementByDrawStyle) {
    struct Case {
        int style;
        int w, h;
        Rect placed;
    };
    const Case cases[] = {
        {0, 100, 50, {0, 50, 200, 150}},   // fit: scale 2, centred vertically
        {0, 30, 70, {58, 0, 143, 200}},    // scale 200/70: 85 x 200, spare 115 -> 58
        {1, 100, 50, {50, 75, 150, 125}},  // actual size centred
        {1, 31, 250, {85, 0, 116, 250}},   // taller than the client: not moved up
        {2, 100, 50, {0, 0, 200, 200}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.style);
        CGUIPictureCtrl picture;
        ControlTestDialog dialog(kDialogId, {{kPictureId, &picture, &picture}});
        ASSERT_TRUE(dialog.Create());
        addPicture("#2", 401, Bitmap(c.w, c.h, RGB(9, 9, 9)));
        ASSERT_TRUE(picture.LoadBitmap(401));
        ASSERT_TRUE(picture.SetDrawStyle(c.style));
        EXPECT_EQ(picture.placement(), c.placed);
        res::removeAddedResources();
    }
}

TEST_F(PictureCtrlTest, SizeToImageAndRefusedStyles) {
    addPicture("GIF", 402, Bitmap(64, 48, RGB(0, 100, 0)));
    CGUIPictureCtrl picture;
    ControlTestDialog dialog(kDialogId, {{kPictureId, &picture, &picture}});
    ASSERT_TRUE(dialog.Create());
    EXPECT_TRUE(picture.inheritLayout());
    EXPECT_FALSE(picture.SetDrawStyle(4));
    EXPECT_FALSE(picture.SetDrawStyle(-1));
    EXPECT_EQ(picture.m_DrawStyle, 0);
    EXPECT_FALSE(picture.LoadPicture("GIF", 4711));
    EXPECT_EQ(picture.content(), CGUIPictureCtrl::Content::Text);
    ASSERT_TRUE(picture.SetDrawStyle(3));
    ASSERT_TRUE(picture.LoadPicture("GIF", 402));
    EXPECT_EQ(picture.GetClientRect(), (Rect{0, 0, 64, 48}));
    Bitmap shot = backend().render(*dialog.native());
    EXPECT_EQ(shot.pixel(10 + 63, 10 + 47), RGB(0, 100, 0));

    picture.m_DrawStyle = 7;  // only reachable by writing the field
    EXPECT_FALSE(picture.placement().has_value());
    shot = backend().render(*dialog.native());
    EXPECT_EQ(shot.pixel(10 + 20, 10 + 20), RGB(1, 2, 3)) << "an unknown style draws nothing";
}

TEST_F(PictureCtrlTest, TransparentColourShowsWhatIsUnder) {
    Bitmap image(20, 20, RGB(255, 0, 255));
    for (int y = 5; y < 15; ++y)
        for (int x = 5; x < 15; ++x)
            image.setPixel(x, y, RGB(0, 0, 250));
    addPicture("#2", 403, image);
    for (int style : {1, 2}) {
        SCOPED_TRACE(style);
        CGUIPictureCtrl picture;
        ControlTestDialog dialog(kDialogId, {{kPictureId, &picture, &picture}});
        ASSERT_TRUE(dialog.Create());
        ASSERT_TRUE(picture.SetDrawStyle(style));
        ASSERT_TRUE(picture.LoadBitmap(403, RGB(255, 0, 255)));
        const Rect placed = *picture.placement();
        Bitmap shot = backend().render(*dialog.native());
        const int cx = 10 + (placed.left + placed.right) / 2;
        const int cy = 10 + (placed.top + placed.bottom) / 2;
        EXPECT_EQ(shot.pixel(cx, cy), RGB(0, 0, 250));
        EXPECT_EQ(shot.pixel(10 + placed.left + 1, 10 + placed.top + 1), RGB(1, 2, 3));
    }
}

}  // namespace
}  // namespace nork::gui::test
