// Labels and hyperlinks: the font record (the "Default" face, angle, point
// size), the draw format a static's style gives, the gradient background,
// right-to-left text placed by the application's format, and links opening
// their target through the desktop's handler or notifying their window.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "ControlTestDialog.h"
#include "GuiTestSupport.h"
#include "guilib/src/GUILabel.h"
#include "port/Shell.h"

namespace nork::gui::test {
namespace {

namespace fs = std::filesystem;

constexpr int kDialogId = 9300;
constexpr int kLabelId = 1100;

class LabelTest : public OffscreenTest {
  protected:
    void useTemplate(std::uint32_t style, const char16_t* text = u"Label",
                     const char16_t* dialogFace = u"MS Sans Serif") {
        DialogTemplate t = controlTemplate({controlItem(kLabelId, CLASS_STATIC, style, text)});
        t.fontFace = dialogFace;
        registerDialogTemplate(kDialogId, t);
    }
    static void skin(const std::string& properties) {
        ASSERT_TRUE(
            loadSkin(controlSkin(kDialogId, controlElement("Label", kLabelId, properties))));
    }
};

// Columns of the area that have a pixel of that colour.
std::pair<int, int> columnsWith(const Bitmap& shot, const Rect& area, COLORREF colour) {
    int first = -1, last = -1;
    for (int x = area.left; x < area.right; ++x)
        for (int y = area.top; y < area.bottom; ++y)
            if (shot.pixel(x, y) == colour) {
                if (first < 0)
                    first = x;
                last = x;
                break;
            }
    return {first, last};
}

TEST_F(LabelTest, DefaultFaceTakesTheDialogTemplateFont) {
    useTemplate(SS_LEFT, u"Label", u"DejaVu Serif");
    skin("<Font>Default,-15,1,0,0</Font>");
    CGUILabel label;
    ControlTestDialog dialog(kDialogId, {{kLabelId, &label, &label}});
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(label.labelFont().faceName, u"DejaVu Serif");
    EXPECT_EQ(label.labelFont().height, -15) << "the rest of the record stays the skin's";
    EXPECT_EQ(label.GetFont().faceName, u"DejaVu Serif") << "the window has the font";
}

TEST_F(LabelTest, DrawFormatFromTheStaticStyle) {
    struct Case {
        std::uint32_t style;
        const char16_t* text;
        std::uint32_t override;
        std::uint32_t format;
    };
    const Case cases[] = {
        {SS_LEFT, u"a", 0, 16},
        {SS_CENTER, u"a", 0, 17},
        {SS_RIGHT, u"a", 0, 18},
        {SS_LEFTNOWORDWRAP, u"a", 0, 0},
        {SS_CENTERIMAGE, u"a", 0, 37},
        {SS_CENTERIMAGE | SS_RIGHT, u"a", 0, 37},
        {SS_CENTERIMAGE, u"two\r\nlines", 0, 1},
        {SS_CENTER, u"a", DT_RIGHT | DT_RTLREADING, DT_RIGHT | DT_RTLREADING},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.style);
        useTemplate(c.style, c.text);
        CGUILabel label;
        ControlTestDialog dialog(kDialogId, {{kLabelId, &label, &label}});
        ASSERT_TRUE(dialog.Create());
        label.SetDrawFormat(c.override);
        EXPECT_EQ(label.GetDrawFormat(), c.format);
    }
}

TEST_F(LabelTest, FontSetters) {
    useTemplate(SS_LEFT);
    CGUILabel label;
    ControlTestDialog dialog(kDialogId, {{kLabelId, &label, &label}});
    ASSERT_TRUE(dialog.Create());
    label.SetAngle(45);
    EXPECT_EQ(label.labelFont().escapement, 450);
    EXPECT_EQ(label.labelFont().orientation, 450);
    EXPECT_TRUE(label.rotated());
    label.SetAngle(0);
    EXPECT_FALSE(label.rotated());
    label.SetPointSize(12);
    EXPECT_EQ(label.labelFont().height, pointsToPixelHeight(12));
    label.SetBold(true);
    EXPECT_EQ(label.GetFont().weight, 700);

    EXPECT_TRUE(label.SetTextEffect(3));
    for (int effect : {-1, 4}) {
        EXPECT_FALSE(label.SetTextEffect(effect)) << effect;
        EXPECT_EQ(label.textEffect(), 3);
    }
    // A font that cannot be made keeps the previous one.
    label.SetFontName(u"");
    EXPECT_EQ(label.GetFont().weight, 700);
    EXPECT_FALSE(label.GetFont().faceName.empty());
}

TEST_F(LabelTest, GradientBackgroundFromTheSkin) {
    useTemplate(SS_LEFT, u"");
    skin(
        "<X>20</X><Y>30</Y><Width>200</Width><Height>20</Height>"
        "<RGBBack>0,0,0</RGBBack><RGBBackRight>200,0,100</RGBBackRight>");
    CGUILabel label;
    ControlTestDialog dialog(kDialogId, {{kLabelId, &label, &label}});
    ASSERT_TRUE(dialog.Create());
    EXPECT_FALSE(label.transparent());
    EXPECT_TRUE(label.GetGradient());
    Bitmap shot = backend().render(*dialog.native());
    // 200 pixels wide: bands of one pixel, each channel x / 200 of the way.
    EXPECT_EQ(shot.pixel(20, 40), RGB(0, 0, 0));
    EXPECT_EQ(shot.pixel(120, 40), RGB(100, 0, 50));
    EXPECT_EQ(shot.pixel(219, 40), RGB(199, 0, 99));
}

TEST_F(LabelTest, RightToLeftTextGoesWhereTheApplicationsFormatSaysOnly) {
    struct Case {
        std::uint32_t format;
        bool rightHalf;
    };
    const Case cases[] = {
        {DT_RIGHT | DT_RTLREADING | DT_SINGLELINE | DT_VCENTER, true},
        {DT_LEFT | DT_SINGLELINE | DT_VCENTER, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        useTemplate(SS_LEFT, u"\u05E9\u05DC\u05D5\u05DD abc");
        skin(
            "<X>0</X><Y>0</Y><Width>300</Width><Height>24</Height>"
            "<Trnsprnt>0</Trnsprnt><RGBBack>255,255,255</RGBBack><RGBTxt>0,0,0</RGBTxt>");
        CGUILabel label;
        ControlTestDialog dialog(kDialogId, {{kLabelId, &label, &label}});
        ASSERT_TRUE(dialog.Create());
        label.SetDrawFormat(c.format);
        Bitmap shot = backend().render(*dialog.native());
        auto [first, last] = columnsWith(shot, {0, 0, 300, 24}, RGB(0, 0, 0));
        ASSERT_GE(first, 0) << "text drawn";
        if (c.rightHalf) {
            EXPECT_GT(first, 150);
            EXPECT_GE(last, 280);
        } else {
            EXPECT_LT(first, 20);
            EXPECT_LT(last, 150);
        }
    }
}

class HyperlinkTest : public LabelTest {
  protected:
    void SetUp() override {
        LabelTest::SetUp();
        const char* tmp = std::getenv("QZ_TEST_TMP");
        dir = fs::path(tmp ? tmp : "/tmp") /
              ("hyperlink-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        script = dir / "open.sh";
        record = dir / "opened";
        std::ofstream(script) << "#!/bin/sh\nprintf '%s' \"$1\" > \"" << record.string()
                              << ".part\" && mv \"" << record.string() << ".part\" \""
                              << record.string() << "\"\n";
        fs::permissions(script, fs::perms::owner_all);
        const char* previous = std::getenv("QZ_OPEN_URL_COMMAND");
        saved = previous ? std::optional<std::string>(previous) : std::nullopt;
        ::setenv("QZ_OPEN_URL_COMMAND", script.c_str(), 1);
    }
    void TearDown() override {
        if (saved)
            ::setenv("QZ_OPEN_URL_COMMAND", saved->c_str(), 1);
        else
            ::unsetenv("QZ_OPEN_URL_COMMAND");
        fs::remove_all(dir);
        LabelTest::TearDown();
    }
    // What the command received, once it has run (empty if it never did).
    std::string opened() const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!fs::exists(record) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::ifstream in(record);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path dir, script, record;
    std::optional<std::string> saved;
};

TEST_F(HyperlinkTest, ClickOpensTheTargetAndTurnsVisited) {
    useTemplate(SS_LEFT | SS_NOTIFY, u"Home page");
    CGUIHyperlink link;
    ControlTestDialog dialog(kDialogId, {{kLabelId, &link, &link}});
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(link.native()->kind(), WidgetKind::Link);
    EXPECT_EQ(link.textColor(), 0x00FF0000u);
    link.SetTarget(u"https://example.invalid/path?q=a b&x=\u00e9");
    backend().simulateMouseDown(*link.native(), {2, 2});
    EXPECT_EQ(opened(), "https://example.invalid/path?q=a b&x=\xC3\xA9");
    EXPECT_EQ(link.textColor(), link.visitedColor());
    EXPECT_EQ(link.visitedColor(), 0x00800080u);
    EXPECT_TRUE(dialog.messages.empty());
}

TEST_F(HyperlinkTest, WithoutTargetTheNotifyWindowHearsOfTheClick) {
    useTemplate(SS_LEFT | SS_NOTIFY, u"Details");
    CGUIHyperlink link;
    ControlTestDialog dialog(kDialogId, {{kLabelId, &link, &link}});
    ASSERT_TRUE(dialog.Create());
    constexpr std::uint32_t kNotify = 0x8123;
    link.SetNotify(&dialog, kNotify);
    backend().simulateMouseDown(*link.native(), {2, 2});
    backend().runPending();
    bool heard = false;
    for (auto& [message, wParam] : dialog.messages)
        heard = heard || (message == kNotify && wParam == kLabelId);
    EXPECT_TRUE(heard);
    EXPECT_FALSE(fs::exists(record)) << "nothing opened";
}

TEST_F(HyperlinkTest, SkinLinkIsUnderlinedAndSizedToItsText) {
    useTemplate(SS_LEFT | SS_NOTIFY, u"x");
    skin("<RGBTxt>0,0,128</RGBTxt><RGBTxtShade>0,128,0</RGBTxtShade>");
    CGUIHyperlink link;
    ControlTestDialog dialog(kDialogId, {{kLabelId, &link, &link}});
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(link.labelFont().underline, 1);
    EXPECT_EQ(link.textColor(), RGB(0, 0, 128));
    EXPECT_EQ(link.visitedColor(), RGB(0, 128, 0));
    link.SetText(u"A longer link text");
    const Size extent = measureText(u"A longer link text", link.labelFont(), DT_SINGLELINE);
    EXPECT_EQ(link.GetClientRect(), (Rect{0, 0, extent.cx, extent.cy}));
}

TEST(OpenUrl, Errors) {
    EXPECT_EQ(port::openUrl("").code, port::PortErrc::InvalidArgument);
    const char* previous = std::getenv("QZ_OPEN_URL_COMMAND");
    std::optional<std::string> saved =
        previous ? std::optional<std::string>(previous) : std::nullopt;
    ::setenv("QZ_OPEN_URL_COMMAND", "/nonexistent/open-command", 1);
    EXPECT_EQ(port::openUrl("https://example.invalid/").code, port::PortErrc::NotFound);
    if (saved)
        ::setenv("QZ_OPEN_URL_COMMAND", saved->c_str(), 1);
    else
        ::unsetenv("QZ_OPEN_URL_COMMAND");
}

}  // namespace
}  // namespace nork::gui::test
