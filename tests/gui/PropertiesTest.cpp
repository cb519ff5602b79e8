// The skin document reader: value grammars, element lookups, the typed
// getters and the load failures with their debug lines.
#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <string>

#include "DebugCapture.h"
#include "SkinTestSupport.h"
#include "guilib/src/Properties.h"

namespace nork::gui::test {
namespace {

TEST(SkinGrammar, Numbers) {
    struct Case {
        std::u16string text;
        std::int32_t asInt;
        std::uint32_t asULong;
    };
    const Case cases[] = {
        {u"42", 42, 42},
        {u"  -11px", -11, 4294967285u},  // blanks and sign, stops at the first other character
        {u"+7", 7, 7},
        {u"abc", 0, 0},
        {u"-", 0, 0},
        {u"2147483647", INT32_MAX, 2147483647u},
        {u"2147483648", INT32_MAX, 2147483648u},
        {u"-2147483648", INT32_MIN, 2147483648u},
        {u"-99999999999", INT32_MIN, UINT32_MAX},
        {u"4294967295", INT32_MAX, UINT32_MAX},
        {u"4294967296", INT32_MAX, UINT32_MAX},
        {u"00012", 12, 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
        EXPECT_EQ(skin::parseInt(c.text), c.asInt);
        EXPECT_EQ(skin::parseLong(c.text), c.asInt);
        EXPECT_EQ(skin::parseULong(c.text), c.asULong);
    }
}

TEST(SkinGrammar, BoolIsFalseOnlyForLeadingZero) {
    struct Case {
        std::u16string text;
        bool value;
    };
    const Case cases[] = {{u"1", true},  {u"true", true}, {u"false", true},
                          {u"0", false}, {u"0x1", false}, {u" 0", true}};
    for (const auto& c : cases)
        EXPECT_EQ(skin::parseBool(c.text), c.value) << std::string(c.text.begin(), c.text.end());
}

TEST(SkinGrammar, Colours) {
    struct Case {
        std::u16string text;
        COLORREF value;
    };
    const Case cases[] = {
        {u"222,235,246", 0x00F6EBDE},
        {u"0,45,148", 0x00942D00},
        {u"300,0,0", 0x0000002C},  // each field modulo 256
        {u"-1,0,0", 0x000000FF},
        {u"1,2,3,4", 0x00030201},  // the last field keeps the rest: "3,4" reads 3
        {u"1,2", SKIN_NO_COLOR},
        {u"1,,3", SKIN_NO_COLOR},
        {u",2,3", SKIN_NO_COLOR},
        {u"1,2,", SKIN_NO_COLOR},
        {u"red", SKIN_NO_COLOR},
        {u"a,b,c", 0x00000000},  // present but not numbers: leading-digit value 0
    };
    for (const auto& c : cases)
        EXPECT_EQ(skin::parseColor(c.text), c.value) << std::string(c.text.begin(), c.text.end());
}

TEST(SkinGrammar, Fonts) {
    LogFont bold = skin::parseFont(u"Tahoma,-11,1,0,0");
    EXPECT_EQ(bold.faceName, u"Tahoma");
    EXPECT_EQ(bold.height, -11);
    EXPECT_EQ(bold.weight, 700);
    EXPECT_EQ(bold.italic, 0);
    EXPECT_EQ(bold.underline, 0);

    LogFont styled = skin::parseFont(u"Arial,14,0,2,1");
    EXPECT_EQ(styled.weight, 400);
    EXPECT_EQ(styled.underline, 1);
    EXPECT_EQ(styled.italic, 1);
    EXPECT_EQ(styled.height, 14);
    // Members the value does not give come from the default record.
    EXPECT_EQ(styled.pitchAndFamily, 0x22);
    EXPECT_EQ(styled.outPrecision, 1);

    // The fifth field keeps the rest of the text: "1,9" reads as 1.
    EXPECT_EQ(skin::parseFont(u"Arial,10,0,0,1,9").italic, 1);

    for (const char16_t* bad :
         {u"Tahoma,-11", u"Tahoma,-11,1,0,", u",-11,1,0,0", u"Tahoma,,1,0,0", u""}) {
        LogFont f = skin::parseFont(bad);
        EXPECT_EQ(f, skin::defaultFont());
        EXPECT_EQ(f.faceName, u"MS Sans Serif");
    }
}

TEST(SkinGrammar, LongFaceNamesAreCutTo31Units) {
    std::u16string face(40, u'F');
    EXPECT_EQ(skin::parseFont(face + u",1,0,0,0").faceName, std::u16string(31, u'F'));
    // A cut through a surrogate pair drops its first half too.
    std::u16string pairAtEnd = std::u16string(30, u'F') + u"\U0001F600" + u"tail";
    EXPECT_EQ(skin::parseFont(pairAtEnd + u",1,0,0,0").faceName, std::u16string(30, u'F'));
}

// The message box comes first and shares control ids with the dialog.
constexpr std::string_view kSkin = R"(<?xml version="1.0" encoding="UTF-8"?>
<UserData>
  <General>
    <AllowedVen>QZ</AllowedVen>
    <Nested><RunWin2kGuest>1</RunWin2kGuest></Nested>
  </General>
  <Controls>
    <MessageBox><ID>7000</ID>
      <Label><ID>1000</ID><TxtID>3001</TxtID></Label>
    </MessageBox>
    <Dialog><ID>200</ID>
      <RGBBack>222,235,246</RGBBack>
      <ImageID></ImageID>
      <Button><ID>1000</ID><Show>false</Show><X>5</X><X>9</X></Button>
      <Label><ID>1002</ID><Show>0</Show><Box><Width>40</Width></Box>
        <TxtID><!-- a comment -->12<b>3</b></TxtID></Label>
      <Label><ID>0300</ID></Label>
    </Dialog>
  </Controls>
  <VersionTable/>
</UserData>)";

class SkinDocumentTest : public SkinStateTest {};

TEST_F(SkinDocumentTest, LookupsTakeTheFirstMatchInDocumentOrder) {
    CProperties& p = CProperties::instance();
    EXPECT_TRUE(p.GetElementByID(200).empty()) << "nothing loaded yet";
    ASSERT_TRUE(loadSkin(kSkin));

    CSkinElement box = p.GetElementByID(7000);
    CSkinElement dialog = p.GetElementByID(200);
    ASSERT_FALSE(box.empty());
    ASSERT_FALSE(dialog.empty());
    EXPECT_EQ(box.name(), "MessageBox");

    EXPECT_EQ(p.GetElementByID(1000, box).name(), "Label");
    EXPECT_EQ(p.GetElementByID(1000, dialog).name(), "Button");
    EXPECT_EQ(p.GetElementByID(1000).name(), "Label") << "document-wide: the message box's";
    EXPECT_TRUE(p.GetElementByID(1002, box).empty()) << "only below the context";
    EXPECT_TRUE(p.GetElementByID(300).empty()) << "IDs compare as text: 0300 is not 300";
    EXPECT_TRUE(p.GetElementByID(-1).empty());

    p.unload();
    EXPECT_TRUE(p.GetElementByID(200).empty());
    EXPECT_TRUE(p.GetGeneral().empty());
}

TEST_F(SkinDocumentTest, GeneralValuesAtAnyDepth) {
    CProperties& p = CProperties::instance();
    ASSERT_TRUE(loadSkin(kSkin));
    CSkinElement general = p.GetGeneral();
    ASSERT_EQ(general.name(), "General");
    EXPECT_EQ(p.GetGeneralValue(general, "AllowedVen"), u"QZ");
    EXPECT_EQ(p.GetGeneralValue(general, "RunWin2kGuest"), u"1");
    EXPECT_EQ(p.GetGeneralValue(general, "DocumentResID"), std::nullopt);
    // A name that is not a plain element name never becomes part of the path.
    EXPECT_EQ(p.GetGeneralValue(general, "*"), std::nullopt);
    EXPECT_EQ(p.GetGeneralValue(general, "AllowedVen | //ID"), std::nullopt);
    EXPECT_EQ(p.GetGeneralValue(CSkinElement(), "AllowedVen"), std::nullopt);
}

TEST_F(SkinDocumentTest, GettersReadDirectChildrenOnly) {
    CProperties& p = CProperties::instance();
    ASSERT_TRUE(loadSkin(kSkin));
    CSkinElement dialog = p.GetElementByID(200);
    CUTPropertiesReader dialogReader(dialog);

    COLORREF back = 0;
    EXPECT_TRUE(dialogReader.GetColor("RGBBack", back));
    EXPECT_EQ(back, 0x00F6EBDEu);
    std::int32_t image = -5;
    EXPECT_FALSE(dialogReader.GetInt("ImageID", image)) << "an empty element is not given";
    EXPECT_EQ(image, -5) << "and the output stays untouched";
    std::int32_t x = 0;
    EXPECT_FALSE(dialogReader.GetLong("X", x)) << "X belongs to a child control, not the dialog";
    EXPECT_FALSE(dialogReader.GetColor("rgbback", back)) << "names are case-sensitive";

    CUTPropertiesReader button(p.GetElementByID(1000, dialog));
    bool show = false;
    EXPECT_TRUE(button.GetBool("Show", show));
    EXPECT_TRUE(show) << "\"false\" does not start with 0";
    EXPECT_TRUE(button.GetLong("X", x));
    EXPECT_EQ(x, 5) << "the first child of that name";

    CUTPropertiesReader label(p.GetElementByID(1002, dialog));
    EXPECT_TRUE(label.GetBool("Show", show));
    EXPECT_FALSE(show);
    std::int32_t width = 0;
    EXPECT_FALSE(label.GetLong("Width", width)) << "a grandchild is not seen";
    std::u16string txt;
    EXPECT_TRUE(label.GetString("TxtID", txt));
    EXPECT_EQ(txt, u"123") << "text of the node and all its descendants";

    CUTPropertiesReader none{CSkinElement()};
    EXPECT_FALSE(none.GetString("TxtID", txt));
}

TEST_F(SkinDocumentTest, HandleOutlivesAReplacedDocument) {
    CProperties& p = CProperties::instance();
    ASSERT_TRUE(loadSkin(kSkin));
    CSkinElement dialog = p.GetElementByID(200);
    ASSERT_TRUE(loadSkin("<UserData><X><ID>200</ID></X></UserData>"));
    COLORREF back = 0;
    EXPECT_TRUE(CUTPropertiesReader(dialog).GetColor("RGBBack", back));
    EXPECT_EQ(back, 0x00F6EBDEu);
    EXPECT_EQ(p.GetElementByID(200).name(), "X");
}

TEST_F(SkinDocumentTest, ParseFailureWritesReasonAndPositionQuietly) {
    DebugCapture debug;
    CProperties& p = CProperties::instance();
    ASSERT_TRUE(loadSkin(kSkin));
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(loadSkin("<UserData>\n  <General>\n</UserData>"));
    std::string stderrText = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(stderrText, "") << "libxml2 must not print on its own";
    EXPECT_FALSE(p.isLoaded());
    EXPECT_TRUE(p.GetElementByID(200).empty()) << "a failed load leaves no document";

    std::string text = debug.text();
    EXPECT_NE(text.find("Properties.cpp("), std::string::npos) << text;
    EXPECT_NE(text.find(") : ERROR \nResLoad - XML Document FAILED to load! \r\n"),
              std::string::npos)
        << text;
    auto xmlError = text.find("XML Error: ");
    ASSERT_NE(xmlError, std::string::npos) << text;
    EXPECT_NE(text.find("(Line : 3; Char : ", xmlError), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 3), ")\n\n");
    // Trailing line breaks of the reason are removed.
    EXPECT_EQ(text.find("\n (Line"), std::string::npos) << text;
}

TEST_F(SkinDocumentTest, ExternalEntitiesAreNotRead) {
    // The skin is data: a file named by an entity must not become a value.
    auto secret = nork::testing::freshTestDir() / "secret.txt";
    std::ofstream(secret) << "SECRET";
    std::string xml = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY x SYSTEM \"file://" +
                      secret.string() + "\">]><r><A><ID>1</ID><TxtID>&x;</TxtID></A></r>";
    std::u16string text;
    if (loadSkin(xml))
        CUTPropertiesReader(CProperties::instance().GetElementByID(1)).GetString("TxtID", text);
    EXPECT_EQ(text.find(u"SECRET"), std::u16string::npos);
}

TEST_F(SkinDocumentTest, MissingResource) {
    DebugCapture debug;
    EXPECT_FALSE(CProperties::instance().load(601));
    EXPECT_FALSE(CProperties::instance().load(-3));
    std::string text = debug.text();
    EXPECT_NE(text.find("ERROR FindResource - fail \r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ERROR CUTXMLParser::ResLoad fail to extract data! \r\n"),
              std::string::npos)
        << text;
}

TEST_F(SkinDocumentTest, LoadsFromATestResource) {
    res::addResourceCopy(res::ResId(SKIN_RESOURCE_TYPE), res::ResId(601), 0,
                         std::span<const std::uint8_t>(
                             reinterpret_cast<const std::uint8_t*>(kSkin.data()), kSkin.size()));
    EXPECT_TRUE(CProperties::instance().load(601));
    EXPECT_FALSE(CProperties::instance().GetElementByID(7000).empty());
}

}  // namespace
}  // namespace nork::gui::test
