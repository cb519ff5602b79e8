// The skinned message box: buttons, default button and icon chosen by the
// style code, the geometry of the content and the button row, the result of
// each button and of closing, and icons from the skin.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "GuiTestSupport.h"
#include "guilib/src/GUIMessageBox.h"

namespace nork::gui::test {
namespace {

using IconKind = CGUIMessageBox::IconKind;

class MessageBoxTest : public OffscreenTest {
  protected:
    void TearDown() override {
        CDialog::setShowHook(nullptr);
        CGUIMessageBox::IconErrorResID = 0;
        CGUIMessageBox::IconWarningResID = 0;
        CGUIMessageBox::IconQuestionResID = 0;
        CGUIMessageBox::IconInfoResID = 0;
        OffscreenTest::TearDown();
    }
    // The box created modeless, to look at it.
    static void open(CGUIMessageBox& box) {
        box.InitModalIndirect(CGUIMessageBox::buildTemplate());
        ASSERT_TRUE(box.Create());
    }
};

TEST_F(MessageBoxTest, StyleCodeChoosesButtonsDefaultAndIcon) {
    struct Case {
        std::uint32_t code;
        int buttons;
        int defaultButton;
        IconKind icon;
    };
    const Case cases[] = {
        {0x201, 1, 1, IconKind::Warning},     {0x101, 1, 1, IconKind::Error},
        {0x423, 3, 2, IconKind::Information}, {0x334, 4, 3, IconKind::Question},
        {0x042, 2, 2, IconKind::None},  // asks for 4: the nearest shown below it
        {0x015, 1, 1, IconKind::None},  // 5 buttons is no count: one
        {0x512, 2, 1, IconKind::None},  // 1 is not a default asked for
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        CGUIMessageBox box(u"Message", u"Title", c.code);
        open(box);
        for (int i = 1; i <= 4; ++i) {
            EXPECT_EQ(box.button(i).IsWindowVisible(), i <= c.buttons) << "button " << i;
            EXPECT_EQ(box.button(i).IsDefault(), i == c.defaultButton) << "button " << i;
        }
        EXPECT_EQ(box.defaultButton(), c.defaultButton);
        EXPECT_EQ(box.GetDefID(), 1000 + c.defaultButton);
        EXPECT_TRUE(box.button(c.defaultButton).HasFocus());
        EXPECT_EQ(box.iconKind(), c.icon);
        EXPECT_EQ(box.iconBitmap().empty(), c.icon == IconKind::None);
        EXPECT_EQ(box.label().GetWindowText(), u"Message");
        EXPECT_EQ(box.GetWindowText(), u"Title");
    }
}

TEST_F(MessageBoxTest, ContentAndButtonRowGeometry) {
    struct Case {
        const char16_t* text;
        std::uint32_t code;
    };
    const Case cases[] = {
        {u"Short.", 0x423},
        {u"A much longer message that makes the content wider than the row of buttons "
         u"under it, so the row is centred in the content's width.",
         0x002},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        CGUIMessageBox box(c.text, u"", c.code);
        box.SetButtonText(1, u"Yes");
        box.SetButtonText(2, u"No");
        open(box);
        const bool icon = c.code & 0xF00;
        const Rect label = box.label().GetWindowRect();
        EXPECT_EQ(label.left, icon ? 32 + 36 : 12);
        EXPECT_EQ(label.top, 12);
        EXPECT_EQ(box.contentSize().cy, std::max(label.height(), 32) + 12);
        EXPECT_EQ(box.contentSize().cx, label.width() + 24 + (icon ? 32 + 24 : 0));
        EXPECT_EQ(box.button(1).GetWindowText(), u"Yes");

        const int count = static_cast<int>(c.code & 0xF);
        int sum = 0;
        for (int i = 1; i <= count; ++i)
            sum += box.button(i).GetWindowRect().width();
        const int width = std::max(box.contentSize().cx, 24 + sum + 6 * count);
        int x = (width - (sum + 6 * count) + 1) / 2;
        const int top = box.contentSize().cy + 12;
        for (int i = 1; i <= count; ++i) {
            const Rect r = box.button(i).GetWindowRect();
            EXPECT_EQ(r.left, x) << "button " << i;
            EXPECT_EQ(r.top, top) << "button " << i;
            EXPECT_GE(r.width(), 75);
            EXPECT_GE(r.height(), 24);
            x = r.right + 6;
        }
        EXPECT_EQ(box.GetClientRect(),
                  (Rect{0, 0, width, top + box.button(1).GetWindowRect().height() + 12}));
    }
}

TEST_F(MessageBoxTest, ResultIsTheButtonPressedOrTwoWhenClosed) {
    struct Case {
        int press;  // 0: closed
        int result;
    };
    const Case cases[] = {{1, 1}, {2, 2}, {3, 3}, {0, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.press);
        CGUIMessageBox box(u"Continue?", u"Question", 0x033);
        CDialog::setShowHook([&](CDialog&) {
            if (c.press == 0) {
                box.native()->handler()->onCloseRequest();
                return;
            }
            NativeWindow& button = *box.button(c.press).native();
            backend().simulateMouseDown(button, {5, 5});
            backend().simulateMouseUp(button, {5, 5});
        });
        EXPECT_EQ(box.DoModal(), c.result);
    }
}

TEST_F(MessageBoxTest, IconFromTheSkin) {
    Bitmap icon(32, 32, RGB(0, 128, 128));
    addPicture(res::ResId(res::RT_GROUP_ICON), 501, icon);
    ASSERT_TRUE(
        loadSkin("<UserData><General/><Controls><MessageBox><ID>7000</ID>"
                 "<IconWarningResID>501</IconWarningResID><RGBBack>250,250,250</RGBBack>"
                 "</MessageBox></Controls></UserData>"));
    CGUIMessageBox box(u"Careful", u"", 0x200);
    open(box);
    EXPECT_EQ(CGUIMessageBox::IconWarningResID, 501);
    ASSERT_FALSE(box.iconBitmap().empty());
    EXPECT_EQ(box.iconBitmap().pixel(16, 16), RGB(0, 128, 128));
    Bitmap shot = backend().render(*box.native());
    EXPECT_EQ(shot.pixel(12 + 16, 12 + 16), RGB(0, 128, 128)) << "painted at (12,12)";
    EXPECT_EQ(shot.pixel(5, 5), RGB(250, 250, 250));
}

}  // namespace
}  // namespace nork::gui::test
