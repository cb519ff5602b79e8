// RestoreQz's own controls on the shipped skin, and its message boxes.
#include <gtest/gtest.h>

#include <string>

#include "guilib/src/GUIDialog.h"
#include "tests/restore/RestoreTestSupport.h"

namespace nork::restore::test {
namespace {

using gui::CGUIMessageBox;
using gui::Rect;

constexpr int kTestDialog = 9200;

// The restore dialog's buttons, labels, link and logo on a template of the
// same controls, read from the shipped skin's element 200 (renumbered).
class ControlsDialog : public gui::CGUIDialog {
  public:
    ControlsDialog() : gui::CGUIDialog(kTestDialog) {}

    std::u16string restoreText;  // replaces the skin's text when set
    std::u16string cancelText;
    CQzResizeButton restore;
    CQzResizeButton cancel;
    CRestoreLabel intro;
    CRestoreHyperlink link;
    CRestoreLogo logo;

    bool OnInitDialog() override {
        gui::CGUIDialog::OnInitDialog();
        restore.SubclassDlgItem(1000, this);
        AddControl(&restore, &restore, 1000);
        cancel.SubclassDlgItem(1, this);
        AddControl(&cancel, &cancel, 1);
        intro.SubclassDlgItem(1002, this);
        AddControl(&intro, &intro, 1002);
        link.SubclassDlgItem(1003, this);
        AddControl(&link, &link, 1003);
        logo.SubclassDlgItem(1007, this);
        AddControl(&logo, &logo, 1007);
        if (!restoreText.empty())
            restore.SetWindowText(restoreText);
        if (!cancelText.empty())
            cancel.SetWindowText(cancelText);
        restore.PositionText();
        cancel.PositionText();
        cancel.SetMinWidth(restore.GetMinWidth());
        ArrangeControls();
        return true;
    }

    static void registerTemplate() {
        gui::DialogTemplate t;
        t.style = 0x90080048;
        t.cx = 198;
        t.cy = 185;
        t.fontFace = u"MS Shell Dlg";
        auto item = [](const char16_t* cls, int id, std::uint32_t style, int x, int y, int cx,
                       int cy) {
            gui::DialogItemTemplate i;
            i.className = cls;
            i.id = id;
            i.style = style;
            i.x = x;
            i.y = y;
            i.cx = cx;
            i.cy = cy;
            return i;
        };
        const std::uint32_t child = gui::WS_CHILD | gui::WS_VISIBLE;
        t.items = {
            item(gui::CLASS_BUTTON, 1, child | gui::WS_TABSTOP | gui::BS_DEFPUSHBUTTON, 141, 164,
                 50, 14),
            item(gui::CLASS_BUTTON, 1000, child | gui::WS_TABSTOP, 79, 164, 50, 14),
            item(gui::CLASS_STATIC, 1002, child, 7, 14, 158, 53),
            item(gui::CLASS_STATIC, 1003, child, 7, 67, 161, 8),
            item(gui::CLASS_STATIC, 1007, child, 175, 97, 16, 8),
        };
        gui::registerDialogTemplate(kTestDialog, t);
    }
};

class ControlsTest : public RestoreTest {
  protected:
    void SetUp() override {
        RestoreTest::SetUp();
        installAllLanguages();
        gui::CUTMLString::instance().InitLanguages(3001);
        ASSERT_EQ(gui::CUTMLString::instance().SetLanguage(1033), 1033);
        ControlsDialog::registerTemplate();
    }

    // The shipped skin with its dialog element renumbered for the test template.
    static bool loadShippedSkin() {
        auto bytes =
            gui::res::findResource(gui::res::ResId(gui::res::RT_HTML), gui::res::ResId(600));
        if (!bytes)
            return false;
        std::string xml(reinterpret_cast<const char*>(bytes->data()), bytes->size());
        const auto at = xml.find("<ID>200</ID>");
        if (at == std::string::npos)
            return false;
        xml.replace(at, 12, "<ID>" + std::to_string(kTestDialog) + "</ID>");
        return loadSkin(xml);
    }
};

TEST_F(ControlsTest, ShippedLayoutPlacesButtonsLabelsAndLink) {
    ASSERT_TRUE(loadShippedSkin());
    ControlsDialog dlg;
    ASSERT_TRUE(dlg.Create());
    const Rect client = dlg.GetClientRect();
    const Rect cancel = dlg.cancel.GetWindowRect();
    const Rect restore = dlg.restore.GetWindowRect();
    EXPECT_EQ(client.right - cancel.right, 30);
    EXPECT_EQ(client.bottom - cancel.bottom, 20);
    EXPECT_EQ(cancel.left - restore.right, 7);
    EXPECT_EQ(restore.bottom, cancel.bottom);
    const Rect intro = dlg.intro.GetWindowRect();
    EXPECT_EQ(intro, (Rect{30, 85, 430, 110}));
    const Rect link = dlg.link.GetWindowRect();
    EXPECT_EQ(link.left, intro.left);
    EXPECT_EQ(link.top, intro.bottom + 3);
    // The logo is a picture, sized to it, with no text.
    EXPECT_EQ(dlg.logo.content(), gui::CGUIPictureCtrl::Content::Picture);
    EXPECT_EQ(dlg.logo.m_DrawStyle, 3);
    EXPECT_TRUE(dlg.logo.GetWindowText().empty());
    EXPECT_EQ(dlg.restore.disabledTextColor(), gui::RGB(61, 61, 61));
    dlg.DestroyWindow();
}

TEST_F(ControlsTest, CancelIsAtLeastAsWideAsRestoreNeeds) {
    ASSERT_TRUE(loadShippedSkin());
    struct Case {
        const char* name;
        std::u16string restore;
        std::u16string cancel;
    };
    const Case cases[] = {
        {"wide restore", u"Restore the drive's own software now", u"Cancel"},
        {"wide cancel", u"Restore", u"Cancel and leave the drive as it is now"},
        {"both short", u"Go", u"No"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ControlsDialog dlg;
        dlg.restoreText = c.restore;
        dlg.cancelText = c.cancel;
        ASSERT_TRUE(dlg.Create());
        const gui::LogFont font = dlg.restore.buttonFont();
        const int restoreText = gui::measureText(c.restore, font, gui::DT_SINGLELINE).cx;
        const int cancelText = gui::measureText(c.cancel, font, gui::DT_SINGLELINE).cx;
        const int restoreWidth = dlg.restore.GetWindowRect().width();
        const int cancelWidth = dlg.cancel.GetWindowRect().width();
        // Text between the caps with room to spare (caps 10 + 10 and 5 + 5).
        EXPECT_EQ(dlg.restore.GetMinWidth(), restoreText + 30);
        EXPECT_GE(restoreWidth, restoreText + 30);
        EXPECT_GE(cancelWidth, restoreText + 30);
        EXPECT_GE(cancelWidth, cancelText + 20);
        if (restoreText > cancelText + 30) {  // one Restore slice rounds by at most 30
            EXPECT_LT(std::abs(cancelWidth - restoreWidth), 30);
        }
        if (cancelText > restoreText + 40) {
            EXPECT_GT(cancelWidth, restoreWidth);
        }
        // The process-wide minimum is back.
        EXPECT_EQ(gui::CGUIResizeButton::minimumWidth, gui::CGUIResizeButton::kMinimumWidth);
        dlg.DestroyWindow();
    }
}

TEST_F(ControlsTest, LanguageChangeResizesButtonsToTheNewText) {
    ASSERT_TRUE(loadShippedSkin());
    ControlsDialog dlg;
    dlg.cancelText = u"C";
    ASSERT_TRUE(dlg.Create());
    ASSERT_EQ(dlg.cancel.GetWindowText(), u"C");
    ASSERT_EQ(gui::CUTMLString::instance().SetLanguage(1031), 1031);
    dlg.ReloadText();
    const std::u16string text = gui::LoadLocalizedString(3011);
    EXPECT_EQ(dlg.cancel.GetWindowText(), text);
    const int textWidth = gui::measureText(text, dlg.cancel.buttonFont(), gui::DT_SINGLELINE).cx;
    EXPECT_EQ(dlg.cancel.GetMinWidth(), textWidth + 20);
    // Placed again by its anchors.
    EXPECT_EQ(dlg.GetClientRect().right - dlg.cancel.GetWindowRect().right, 30);
    dlg.DestroyWindow();
}

TEST_F(ControlsTest, RightToLeftLanguagesAlignRight) {
    ASSERT_TRUE(loadShippedSkin());
    for (std::uint16_t language : {std::uint16_t{1033}, std::uint16_t{1025}}) {
        SCOPED_TRACE(language);
        ASSERT_EQ(gui::CUTMLString::instance().SetLanguage(language), language);
        const bool rtl = language == 1025;
        ControlsDialog dlg;
        ASSERT_TRUE(dlg.Create());
        const Rect intro = dlg.intro.GetWindowRect();
        const Rect link = dlg.link.GetWindowRect();
        EXPECT_EQ(link.top, intro.bottom + 3);
        if (rtl)
            EXPECT_EQ(link.right, intro.right);
        else
            EXPECT_EQ(link.left, intro.left);
        const std::uint32_t rtlFormat = gui::DT_RIGHT | gui::DT_RTLREADING;
        EXPECT_EQ((dlg.intro.GetDrawFormat() & rtlFormat) == rtlFormat, rtl);
        EXPECT_EQ((dlg.link.GetDrawFormat() & rtlFormat) == rtlFormat, rtl);
        EXPECT_EQ((dlg.restore.textFormat() & rtlFormat) == rtlFormat, rtl);
        EXPECT_EQ((dlg.cancel.GetExStyle() & gui::WS_EX_RTLREADING) != 0, rtl);
        dlg.DestroyWindow();
    }
}

TEST_F(ControlsTest, MessageBoxStyleCodesAndResults) {
    struct Case {
        const char* name;
        bool startup;
        int flag;
        int pressed;
        CGUIMessageBox::IconKind icon;
        int result;
    };
    using Icon = CGUIMessageBox::IconKind;
    const Case cases[] = {
        {"startup warning", true, 1, 1, Icon::Warning, 1},
        {"startup notice", true, 0, 1, Icon::Information, 1},
        {"result error", false, 1, 1, Icon::Error, 1},
        {"result notice", false, 0, 1, Icon::Information, 1},
        {"closed", false, 1, 2, Icon::Error, 2},
        {"another button", true, 1, 3, Icon::Warning, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        boxResult = c.pressed;
        const int result = c.startup ? ShowStartupMessage(nullptr, 3014, 3019, c.flag)
                                     : ShowResultMessageBox(nullptr, u"Done: 5", u"Qz", c.flag);
        EXPECT_EQ(result, c.result);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].icon, c.icon);
        EXPECT_EQ(boxes[0].style, kMessageBoxStyle);
        EXPECT_EQ(boxes[0].buttonText, gui::LoadLocalizedString(3018));
        EXPECT_EQ(boxes[0].text, c.startup ? gui::LoadLocalizedString(3014) : u"Done: 5");
        EXPECT_EQ(boxes[0].caption, c.startup ? gui::LoadLocalizedString(3019) : u"Qz");
    }
}

TEST_F(ControlsTest, MessageBoxCaptionBandAndFrames) {
    ASSERT_TRUE(gui::CProperties::instance().load(600));
    struct Seen {
        Rect label, button;
        int iconTop = 0;
        gui::COLORREF corner = 0, band = 0, body = 0;
        gui::LogFont captionFont;
        bool topMostLeft = false;
        std::uint32_t exStyle = 0;
    } seen;
    onBox = [&seen](CQzMessageBox& box) {
        seen.label = box.label().GetWindowRect();
        seen.button = box.button(1).GetWindowRect();
        seen.iconTop = box.iconTop();
        seen.captionFont = box.captionFont();
        seen.exStyle = box.GetExStyle();
        const Rect client = box.GetClientRect();
        gui::Bitmap image(client.width(), client.height());
        box.onPaint(*gui::canvasForBitmap(image));
        seen.corner = image.pixel(0, 0);
        seen.band = image.pixel(client.width() - 5, 3);
        seen.body = image.pixel(client.width() - 5, client.height() / 2 + 20);
    };
    ShowResultMessageBox(nullptr, u"The drive was restored.", u"Restore Qz", 0);
    ASSERT_EQ(boxes.size(), 1u);
    // Everything under the band.
    EXPECT_GE(seen.label.top, kCaptionBandHeight);
    EXPECT_GE(seen.button.top, seen.label.bottom);
    EXPECT_EQ(seen.iconTop, 12 + kCaptionBandHeight);
    EXPECT_EQ(seen.captionFont.height, -13);
    EXPECT_EQ(seen.captionFont.weight, 700);
    EXPECT_EQ(seen.exStyle & gui::WS_EX_APPWINDOW, 0u);
    EXPECT_EQ(seen.corner, gui::RGB(25, 83, 148));  // RGBShade frame
    EXPECT_EQ(seen.band, gui::RGB(222, 235, 246));  // RGBBack band
    EXPECT_NE(seen.body, gui::RGB(25, 83, 148));
}

TEST_F(ControlsTest, MessageBoxWithoutSkinStillLaysOut) {
    Rect label, button;
    std::u16string buttonText;
    onBox = [&](CQzMessageBox& box) {
        label = box.label().GetWindowRect();
        button = box.button(1).GetWindowRect();
        buttonText = box.button(1).GetWindowText();
    };
    ShowStartupMessage(nullptr, 3016, 3019, 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, gui::LoadLocalizedString(3016));
    EXPECT_GE(label.top, kCaptionBandHeight);
    EXPECT_GT(label.width(), 0);
    EXPECT_GE(button.top, label.bottom);
    EXPECT_EQ(buttonText, gui::LoadLocalizedString(3018));
}

TEST_F(ControlsTest, RightToLeftMessageBox) {
    ASSERT_TRUE(gui::CProperties::instance().load(600));
    ASSERT_EQ(gui::CUTMLString::instance().SetLanguage(1037), 1037);
    bool rtl = false;
    std::uint32_t labelFormat = 0, buttonFormat = 0;
    onBox = [&](CQzMessageBox& box) {
        rtl = box.rightToLeft();
        labelFormat = box.label().GetDrawFormat();
        buttonFormat = box.button(1).textFormat();
    };
    ShowStartupMessage(nullptr, 3014, 3019, 0);
    EXPECT_TRUE(rtl);
    EXPECT_EQ(labelFormat & kRightToLeftFormat, kRightToLeftFormat);
    EXPECT_EQ(buttonFormat & kRightToLeftFormat, kRightToLeftFormat);
}

}  // namespace
}  // namespace nork::restore::test
