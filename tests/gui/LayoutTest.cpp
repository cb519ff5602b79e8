// Placement of skinned windows: the flag grammar, every placement rule, the
// order of laying out controls placed next to others, and what the dialog
// reads from its own element (background, mask, opacity).
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "GuiTestSupport.h"
#include "guilib/src/GUIDialog.h"
#include "guilib/src/SkinLayout.h"
#include "port/Locale.h"

namespace nork::gui::test {
namespace {

constexpr int kDialogId = 9100;

// A skinned control that only places itself: enough to see the engine.
class PlacedControl : public CWnd, public CSkinLayout {};

// A dialog of 400 x 300 dialog units whose children are plain windows at
// known places, registered in the order given.
class LayoutDialog : public CGUIDialog {
  public:
    explicit LayoutDialog(std::vector<int> order)
        : CGUIDialog(kDialogId), order_(std::move(order)) {}
    bool OnInitDialog() override {
        CGUIDialog::OnInitDialog();
        for (int id : order_) {
            auto& control = controls[id];
            control = std::make_unique<PlacedControl>();
            EXPECT_TRUE(control->SubclassDlgItem(id, this));
            EXPECT_TRUE(AddControl(control.get(), control.get(), id));
        }
        ArrangeControls();
        return true;
    }
    Rect rectOf(int id) const { return controls.at(id)->GetWindowRect(); }
    std::map<int, std::unique_ptr<PlacedControl>> controls;

  private:
    std::vector<int> order_;
};

DialogTemplate layoutTemplate() {
    DialogTemplate t;
    t.style = WS_POPUP | WS_VISIBLE | DS_SETFONT;
    t.cx = 400;
    t.cy = 300;
    auto item = [](int id, const char16_t* cls, std::uint32_t style) {
        DialogItemTemplate i;
        i.id = id;
        i.className = cls;
        i.style = WS_CHILD | WS_VISIBLE | style;
        i.x = 10;
        i.y = 10;
        i.cx = 40;
        i.cy = 12;
        return i;
    };
    t.items = {item(1, CLASS_BUTTON, BS_DEFPUSHBUTTON), item(1000, CLASS_BUTTON, 0),
               item(1002, CLASS_STATIC, 0), item(1003, CLASS_STATIC, 0),
               item(1004, CLASS_STATIC, 0)};
    return t;
}

class LayoutTest : public OffscreenTest {
  protected:
    void SetUp() override {
        OffscreenTest::SetUp();
        registerDialogTemplate(kDialogId, layoutTemplate());
    }
    // The skin document with these control elements inside the dialog's.
    static void skin(const std::string& dialogProperties, const std::string& controls) {
        std::string xml =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><UserData><General/><Controls>"
            "<Dialog><ID>" +
            std::to_string(kDialogId) + "</ID>" + dialogProperties + controls +
            "</Dialog></Controls><VersionTable/></UserData>";
        ASSERT_TRUE(loadSkin(xml));
    }
    static std::string control(int id, const std::string& properties) {
        return "<Button><ID>" + std::to_string(id) + "</ID>" + properties + "</Button>";
    }
};

TEST(PlacementFlags, GrammarPerPosType) {
    struct Case {
        int posType;
        const char16_t* text;
        std::uint32_t flags;
    } cases[] = {
        {2, u"L,T", ANCHOR_LEFT | ANCHOR_TOP},
        {2, u"R,B", ANCHOR_RIGHT | ANCHOR_BOTTOM},
        {2, u"lr", ANCHOR_LEFT | ANCHOR_RIGHT},
        {2, u"TLBR", 0xF},
        {3, u"L,B", ALIGN_LEFT_OF | ALIGN_BOTTOMS},
        {3, u"B,L", ALIGN_BELOW | ALIGN_LEFTS},
        {3, u"b", ALIGN_BELOW},
        {3, u"BXL", ALIGN_BELOW | ALIGN_LEFTS},  // the second character is never read
        {3, u"B,Q", ALIGN_BELOW},                // unknown third character: no cross flag
        {3, u"X,T", ALIGN_TOPS},
        {3, u"", 0},
        {1, u"L,T", 0},
        {4, u"L,T", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parsePlacementFlags(c.posType, c.text), c.flags)
            << "PosType " << c.posType << " text "
            << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text));
}

TEST_F(LayoutTest, AnchoredToTheParent) {
    skin("",
         control(1002,
                 "<PosType>2</PosType><AnchorFlags>L,T</AnchorFlags><TopDiff>85</TopDiff>"
                 "<LeftDiff>30</LeftDiff><Width>400</Width><Height>25</Height>") +
             control(1,
                     "<PosType>2</PosType><AnchorFlags>R,B</AnchorFlags><RightDiff>30</RightDiff>"
                     "<BotmDiff>20</BotmDiff>") +
             control(1004,
                     "<PosType>2</PosType><AnchorFlags>LR</AnchorFlags><LeftDiff>5</LeftDiff>"
                     "<RightDiff>7</RightDiff>"));
    LayoutDialog dialog({1002, 1, 1004});
    ASSERT_TRUE(dialog.Create());
    const Rect client = dialog.GetClientRect();
    EXPECT_EQ(dialog.rectOf(1002), (Rect{30, 85, 430, 110}));

    const Rect cancel = dialog.rectOf(1);
    const Rect templ = dialog.MapDialogRect({10, 10, 50, 22});
    EXPECT_EQ(cancel.width(), templ.width()) << "no size given: the size stays";
    EXPECT_EQ(cancel.height(), templ.height());
    EXPECT_EQ(cancel.right, client.width() - 30);
    EXPECT_EQ(cancel.bottom, client.height() - 20);

    const Rect stretched = dialog.rectOf(1004);
    EXPECT_EQ(stretched.left, 5);
    EXPECT_EQ(stretched.right, client.width() - 7) << "L and R stretch between the distances";
    EXPECT_EQ(stretched.top, templ.top) << "no vertical flag: the vertical place stays";
}

TEST_F(LayoutTest, NextToAReferenceLaidOutAfterIt) {
    // 1000 is registered before its reference 1, which moves: it must be
    // placed against 1's final place.
    skin("", control(1,
                     "<PosType>2</PosType><AnchorFlags>R,B</AnchorFlags><RightDiff>30</RightDiff>"
                     "<BotmDiff>20</BotmDiff>") +
                 control(1000,
                         "<PosType>3</PosType><AlignFlags>L,B</AlignFlags><RefCtrlID>1</RefCtrlID>"
                         "<RightDiff>7</RightDiff>"));
    LayoutDialog dialog({1000, 1});
    ASSERT_TRUE(dialog.Create());
    const Rect ok = dialog.rectOf(1);
    const Rect restore = dialog.rectOf(1000);
    EXPECT_EQ(restore.right, ok.left - 7);
    EXPECT_EQ(restore.bottom, ok.bottom);
    EXPECT_EQ(restore.width(), ok.width());
}

TEST_F(LayoutTest, BelowAReferenceCentredOrAligned) {
    struct Case {
        const char* flags;
        const char* extra;
        int expectedLeft;  // relative to the reference's left
    };
    // Reference 1002 at (30,85)-(430,110); the control is 40 px wide after
    // its design size.
    const Case cases[] = {
        {"B", "", 200 - 20},    // centred: half(400) - half(40)
        {"B,Q", "", 200 - 20},  // an unknown third character centres too
        {"B,L", "<LeftDiff>4</LeftDiff>", 4},
        {"B,R", "<RightDiff>6</RightDiff>", 400 - 6 - 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        skin("",
             control(1002,
                     "<PosType>2</PosType><AnchorFlags>L,T</AnchorFlags><TopDiff>85</TopDiff>"
                     "<LeftDiff>30</LeftDiff><Width>400</Width><Height>25</Height>") +
                 control(1003, std::string("<PosType>3</PosType><AlignFlags>") + c.flags +
                                   "</AlignFlags><RefCtrlID>1002</RefCtrlID><TopDiff>3</TopDiff>"
                                   "<Width>40</Width><Height>10</Height>" +
                                   c.extra));
        LayoutDialog dialog({1003, 1002});
        ASSERT_TRUE(dialog.Create());
        const Rect link = dialog.rectOf(1003);
        EXPECT_EQ(link.top, 110 + 3);
        EXPECT_EQ(link.left, 30 + c.expectedLeft);
        EXPECT_EQ(link.width(), 40);
        EXPECT_EQ(link.height(), 10);
    }
}

TEST_F(LayoutTest, ReferenceCyclesAndMissingReferencesLeaveControlsInPlace) {
    skin(
        "",
        control(1002, "<PosType>3</PosType><AlignFlags>B</AlignFlags><RefCtrlID>1003</RefCtrlID>") +
            control(1003,
                    "<PosType>3</PosType><AlignFlags>B</AlignFlags><RefCtrlID>1002</RefCtrlID>") +
            control(1004,
                    "<PosType>3</PosType><AlignFlags>B</AlignFlags><RefCtrlID>4242</RefCtrlID>"));
    LayoutDialog dialog({1002, 1003, 1004});
    ASSERT_TRUE(dialog.Create());  // ends: the visited mark breaks the cycle
    EXPECT_EQ(dialog.rectOf(1004), dialog.MapDialogRect({10, 10, 50, 22}));
}

TEST_F(LayoutTest, AbsoluteDesignRectangle) {
    // Width and Height without X and Y: a rectangle at (0,0).
    skin("", control(1002, "<Width>50</Width><Height>20</Height>") +
                 control(1003, "<X>5</X><Y>6</Y><Width>50</Width><Height>20</Height>"));
    LayoutDialog dialog({1002, 1003});
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(dialog.rectOf(1002), (Rect{0, 0, 50, 20}));
    EXPECT_EQ(dialog.rectOf(1003), (Rect{5, 6, 55, 26}));
}

TEST_F(LayoutTest, ShowHidesOnlyOnZero) {
    skin("", control(1002, "<Show>false</Show>") + control(1003, "<Show>0</Show>") +
                 control(1004, "<Show></Show>"));
    LayoutDialog dialog({1002, 1003, 1004});
    ASSERT_TRUE(dialog.Create());
    EXPECT_TRUE(dialog.controls.at(1002)->IsWindowVisible()) << "\"false\" does not start with 0";
    EXPECT_FALSE(dialog.controls.at(1003)->IsWindowVisible());
    EXPECT_TRUE(dialog.controls.at(1004)->IsWindowVisible()) << "an empty element is not given";
}

TEST_F(LayoutTest, WithoutSkinEverythingKeepsTheTemplate) {
    LayoutDialog dialog({1002, 1});
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(dialog.rectOf(1002), dialog.MapDialogRect({10, 10, 50, 22}));
    EXPECT_EQ(dialog.rectOf(1), dialog.MapDialogRect({10, 10, 50, 22}));
    EXPECT_EQ(dialog.backColor(), sysColor(COLOR_BTNFACE));
}

TEST_F(LayoutTest, ControlElementsAreLookedUpInsideTheDialogOnly) {
    // Another window's element with the same id comes first in the document.
    std::string xml =
        "<UserData><Controls><MessageBox><ID>7000</ID><Label><ID>1002</ID><X>1</X><Y>1</Y>"
        "<Width>9</Width><Height>9</Height></Label></MessageBox><Dialog><ID>" +
        std::to_string(kDialogId) +
        "</ID><Label><ID>1002</ID><X>3</X><Y>4</Y><Width>30</Width><Height>40</Height></Label>"
        "</Dialog></Controls></UserData>";
    ASSERT_TRUE(loadSkin(xml));
    LayoutDialog dialog({1002});
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(dialog.rectOf(1002), (Rect{3, 4, 33, 44}));
}

// ---- the dialog's own element ----

class DialogSkinTest : public LayoutTest {};

TEST_F(DialogSkinTest, BackgroundPictureSizesTheWindow) {
    addPicture("GIF", 402, Bitmap(120, 90, RGB(10, 20, 30)));
    skin("<ImageID>402</ImageID>", "");
    LayoutDialog dialog({});
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(dialog.GetClientRect(), (Rect{0, 0, 120, 90}));
    Bitmap shot = backend().render(*dialog.native());
    EXPECT_EQ(shot.pixel(60, 45), RGB(10, 20, 30));
}

TEST_F(DialogSkinTest, EmptyImageIdAndMissingPictureKeepTheWindow) {
    for (const char* properties : {"<ImageID></ImageID>", "<ImageID>4711</ImageID>"}) {
        SCOPED_TRACE(properties);
        skin(properties, "");
        LayoutDialog dialog({});
        ASSERT_TRUE(dialog.Create());
        EXPECT_FALSE(dialog.backgroundPicture().IsLoaded());
        EXPECT_EQ(dialog.GetClientRect().width(), dialog.MapDialogRect({0, 0, 400, 300}).width());
    }
}

TEST_F(DialogSkinTest, MaskWithWhiteCornerMakesWhiteTransparent) {
    Bitmap mask(40, 30, RGB(255, 255, 255));
    for (int y = 5; y < 25; ++y)
        for (int x = 10; x < 30; ++x)
            mask.setPixel(x, y, RGB(0, 0, 0));
    addPicture("#2", 317, mask);
    addPicture("GIF", 402, Bitmap(40, 30, RGB(200, 0, 0)));
    skin("<ImageID>402</ImageID><MaskID>317</MaskID>", "");
    LayoutDialog dialog({});
    ASSERT_TRUE(dialog.Create());
    ASSERT_TRUE(dialog.region().has_value());
    EXPECT_EQ(dialog.region()->bounds(), (Rect{10, 5, 30, 25}));
    Bitmap shot = backend().render(*dialog.native());
    EXPECT_EQ(shot.alpha(2, 2), 0) << "a white mask pixel is outside the window";
    EXPECT_EQ(shot.alpha(15, 10), 255);
    EXPECT_EQ(shot.pixel(15, 10), RGB(200, 0, 0));
}

TEST_F(DialogSkinTest, OpacityPercentToAlpha) {
    struct Case {
        const char* value;
        int alpha;
    } cases[] = {{"50", 127}, {"100", 255}, {"0", 0}, {"250", 255}, {"-5", 255}, {"-1", -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        skin(std::string("<Opacity>") + c.value + "</Opacity>", "");
        LayoutDialog dialog({});
        ASSERT_TRUE(dialog.Create());
        EXPECT_EQ(dialog.native()->opacity(), c.alpha);
        EXPECT_EQ((dialog.GetExStyle() & WS_EX_LAYERED) != 0, c.alpha != -1);
    }
}

TEST_F(DialogSkinTest, OpacityMinusOneRemovesLayering) {
    skin("<Opacity>50</Opacity>", "");
    LayoutDialog dialog({});
    ASSERT_TRUE(dialog.Create());
    ASSERT_EQ(dialog.native()->opacity(), 127);
    EXPECT_TRUE(dialog.SetOpacity(-1));
    EXPECT_EQ(dialog.native()->opacity(), -1);
    EXPECT_EQ(dialog.GetExStyle() & WS_EX_LAYERED, 0u);
}

TEST_F(DialogSkinTest, ColoursAndFontFromTheElement) {
    skin("<RGBBack>222,235,246</RGBBack><RGBTxt>0,45,148</RGBTxt><Font>Tahoma,-13,1,0,0</Font>",
         "");
    LayoutDialog dialog({});
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(dialog.backColor(), 0x00F6EBDEu);
    EXPECT_EQ(dialog.textColor(), 0x00942D00u);
    EXPECT_EQ(dialog.GetFont().faceName, u"Tahoma");
    EXPECT_EQ(dialog.GetFont().weight, 700);
    Bitmap shot = backend().render(*dialog.native());
    EXPECT_EQ(shot.pixel(1, 1), 0x00F6EBDEu);
}

}  // namespace
}  // namespace nork::gui::test

namespace nork::gui::test {
namespace {

// Texts by id follow the user-interface language; a string the language
// lacks leaves the window's text as it was.
class SkinTextTest : public LayoutTest {
  protected:
    void SetUp() override {
        LayoutTest::SetUp();
        port::setUserDefaultLanguageForTest(1033);
        port::setSystemDefaultLanguageForTest(1033);
        port::setInstalledLanguagesForTest(std::vector<std::uint16_t>{1033, 1031});
        res::addStringTableCopy(1033, {{3001, u"English"}, {3007, u"Intro"}, {3010, u"Restore"}});
        res::addStringTableCopy(1031, {{3001, u"Deutsch"}, {3007, u"Einleitung"}});
        CUTMLString::instance().InitLanguages(3001);
    }
    void TearDown() override {
        port::setUserDefaultLanguageForTest(std::nullopt);
        port::setSystemDefaultLanguageForTest(std::nullopt);
        port::setInstalledLanguagesForTest(std::nullopt);
        LayoutTest::TearDown();
    }
};

TEST_F(SkinTextTest, TextIdsInTheChosenLanguageAndReloadAfterAChange) {
    skin("", control(1002, "<TxtID>3007</TxtID>") + control(1, "<TxtID>3010</TxtID>") +
                 control(1003, "<TxtID>0</TxtID>"));
    LayoutDialog dialog({1002, 1, 1003});
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(dialog.controls.at(1002)->GetWindowText(), u"Intro");
    EXPECT_EQ(dialog.controls.at(1)->GetWindowText(), u"Restore");
    EXPECT_EQ(dialog.controls.at(1003)->textId(), 0) << "id 0 loads nothing";

    ASSERT_EQ(CUTMLString::instance().SetLanguage(1031), 1031);
    dialog.ReloadText();
    EXPECT_EQ(dialog.controls.at(1002)->GetWindowText(), u"Einleitung");
    EXPECT_EQ(dialog.controls.at(1)->GetWindowText(), u"Restore")
        << "3010 is missing in German: the text stays";
}

}  // namespace
}  // namespace nork::gui::test
