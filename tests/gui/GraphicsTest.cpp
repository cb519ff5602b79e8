// The drawing layer: canvas pixels, text placement and fonts, picture codecs.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "guilib/port/Graphics.h"

namespace nork::gui {
namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kGreen = RGB(0, 255, 0);

// The bounding box of the pixels that differ from `background`.
Rect inkBounds(const Bitmap& b, COLORREF background) {
    Rect r{INT_MAX, INT_MAX, INT_MIN, INT_MIN};
    for (int y = 0; y < b.height(); ++y)
        for (int x = 0; x < b.width(); ++x)
            if (b.pixel(x, y) != background) {
                r.left = std::min(r.left, x);
                r.top = std::min(r.top, y);
                r.right = std::max(r.right, x + 1);
                r.bottom = std::max(r.bottom, y + 1);
            }
    return r;
}

LogFont pixelFont(int charHeight) {
    LogFont f;
    f.height = -charHeight;
    return f;
}

TEST(CanvasTest, FillAndFrameStayInsideTheirRectangles) {
    Bitmap b(20, 20, kWhite);
    auto canvas = canvasForBitmap(b);
    canvas->fillRect({2, 3, 6, 8}, kRed);
    canvas->frameRect({10, 10, 15, 16}, kBlue);
    canvas.reset();

    EXPECT_EQ(inkBounds(b.copy({0, 0, 9, 9}), kWhite), (Rect{2, 3, 6, 8}));
    EXPECT_EQ(b.pixel(2, 3), kRed);
    EXPECT_EQ(b.pixel(5, 7), kRed);
    EXPECT_EQ(b.alpha(5, 7), 255);
    // The frame is the outermost pixel ring of its rectangle only.
    for (Point p :
         {Point{10, 10}, Point{14, 10}, Point{10, 15}, Point{14, 15}, Point{12, 10}, Point{10, 13}})
        EXPECT_EQ(b.pixel(p.x, p.y), kBlue) << p.x << "," << p.y;
    for (Point p : {Point{11, 11}, Point{13, 14}, Point{15, 10}, Point{10, 16}, Point{9, 9}})
        EXPECT_EQ(b.pixel(p.x, p.y), kWhite) << p.x << "," << p.y;
}

TEST(CanvasTest, ClipAndTranslateNest) {
    Bitmap b(30, 30, kWhite);
    auto canvas = canvasForBitmap(b);
    canvas->pushClip({5, 5, 15, 15});
    canvas->translate(5, 5);
    canvas->fillRect({0, 0, 100, 100}, kRed);  // clipped to 5..15
    canvas->popClip();
    // The translation outlives the clip it was made under.
    canvas->fillRect({20, 20, 22, 22}, kBlue);
    canvas.reset();

    EXPECT_EQ(inkBounds(b.copy({0, 0, 20, 20}), kWhite), (Rect{5, 5, 15, 15}));
    EXPECT_EQ(b.pixel(25, 25), kBlue);
    EXPECT_EQ(b.pixel(20, 20), kWhite);
}

TEST(CanvasTest, MaskedCopyShowsImageWhereMaskIsBlack) {
    Bitmap dest(4, 2, kGreen);
    Bitmap image(4, 2, kRed);
    Bitmap mask(4, 2, kWhite);
    mask.setPixel(0, 0, 0);
    mask.setPixel(1, 1, 0);
    canvasForBitmap(dest)->drawBitmapMasked(image, mask, 0, 0);

    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x) {
            const bool shown = (x == 0 && y == 0) || (x == 1 && y == 1);
            EXPECT_EQ(dest.pixel(x, y), shown ? kRed : kGreen) << x << "," << y;
        }
}

TEST(CanvasTest, ScaledPartSamplesOnlyThatPart) {
    // A two-state strip: red left half, blue right half.
    Bitmap strip(8, 4, kBlue);
    canvasForBitmap(strip)->fillRect({0, 0, 4, 4}, kRed);

    Bitmap b(40, 40, kWhite);
    canvasForBitmap(b)->drawBitmapPart(strip, {0, 0, 4, 4}, {5, 5, 25, 35});

    EXPECT_EQ(inkBounds(b, kWhite), (Rect{5, 5, 25, 35}));
    for (int y = 5; y < 35; ++y)
        for (int x = 5; x < 25; ++x)
            ASSERT_EQ(b.pixel(x, y), kRed) << x << "," << y;  // no blue from the next state
}

TEST(CanvasTest, EdgesUseTheClassicShades) {
    struct Case {
        Edge edge;
        int outerTopLeft, outerBottomRight, innerTopLeft, innerBottomRight;
    };
    const Case cases[] = {
        {Edge::Raised, 22, COLOR_3DDKSHADOW, COLOR_3DHILIGHT, COLOR_BTNSHADOW},
        {Edge::Sunken, COLOR_BTNSHADOW, COLOR_3DHILIGHT, COLOR_3DDKSHADOW, 22},
        {Edge::Etched, COLOR_BTNSHADOW, COLOR_3DHILIGHT, COLOR_3DHILIGHT, COLOR_BTNSHADOW},
    };
    for (const Case& c : cases) {
        Bitmap b(10, 10, kGreen);
        canvasForBitmap(b)->drawEdge({0, 0, 10, 10}, c.edge);
        SCOPED_TRACE(static_cast<int>(c.edge));
        EXPECT_EQ(b.pixel(3, 0), sysColor(c.outerTopLeft));
        EXPECT_EQ(b.pixel(0, 3), sysColor(c.outerTopLeft));
        EXPECT_EQ(b.pixel(3, 9), sysColor(c.outerBottomRight));
        EXPECT_EQ(b.pixel(9, 3), sysColor(c.outerBottomRight));
        EXPECT_EQ(b.pixel(3, 1), sysColor(c.innerTopLeft));
        EXPECT_EQ(b.pixel(3, 8), sysColor(c.innerBottomRight));
        EXPECT_EQ(b.pixel(5, 5), kGreen);  // two pixels only
        EXPECT_EQ(b.pixel(2, 2), kGreen);
    }
}

TEST(TextTest, DrawsInItsColourInsideItsRectangle) {
    Bitmap b(120, 40, kWhite);
    const Rect r{10, 10, 60, 30};
    canvasForBitmap(b)->drawText(u"Wide text that overflows", r, pixelFont(12), kRed,
                                 DT_SINGLELINE);
    const Rect ink = inkBounds(b, kWhite);
    EXPECT_FALSE(ink.isEmpty());
    EXPECT_GE(ink.left, r.left);
    EXPECT_GE(ink.top, r.top);
    EXPECT_LE(ink.right, r.right);  // clipped
    EXPECT_LE(ink.bottom, r.bottom);
    bool sawRed = false;
    for (int y = ink.top; y < ink.bottom; ++y)
        for (int x = ink.left; x < ink.right; ++x)
            sawRed = sawRed || b.pixel(x, y) == kRed;
    EXPECT_TRUE(sawRed);
}

TEST(TextTest, AlignmentPlacesTheInk) {
    struct Case {
        const char16_t* text;
        std::uint32_t format;
        const char* expect;  // "left", "centre", "right" horizontally; vertical with SINGLELINE
    };
    const Rect r{0, 0, 200, 60};
    const Case cases[] = {
        {u"Hello", DT_SINGLELINE, "left top"},
        {u"Hello", DT_SINGLELINE | DT_CENTER | DT_VCENTER, "centre centre"},
        {u"Hello", DT_SINGLELINE | DT_RIGHT | DT_BOTTOM, "right bottom"},
        {u"עברית", DT_SINGLELINE | DT_RIGHT | DT_RTLREADING, "right top"},
        {u"العربية", DT_SINGLELINE | DT_RIGHT | DT_RTLREADING, "right top"},
        {u"עברית abc", DT_RTLREADING, "left top"},
        // Vertical alignment needs a single line.
        {u"Hello", DT_VCENTER | DT_BOTTOM, "left top"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.expect) + " format " + std::to_string(c.format));
        Bitmap b(r.width(), r.height(), kWhite);
        canvasForBitmap(b)->drawText(c.text, r, pixelFont(14), 0, c.format);
        const Rect ink = inkBounds(b, kWhite);
        ASSERT_FALSE(ink.isEmpty());
        const std::string expect = c.expect;
        if (expect.starts_with("left")) {
            EXPECT_LE(ink.left, 3);
        }
        if (expect.starts_with("right")) {
            EXPECT_GE(ink.right, r.right - 4);
            EXPECT_GT(ink.left, 80);
        }
        if (expect.starts_with("centre")) {
            EXPECT_NEAR((ink.left + ink.right) / 2.0, r.width() / 2.0, 4);
        }
        if (expect.ends_with("top")) {
            EXPECT_LE(ink.top, 8);
        }
        if (expect.ends_with("bottom")) {
            EXPECT_GE(ink.bottom, r.bottom - 6);
        }
        if (expect.ends_with("centre")) {
            EXPECT_NEAR((ink.top + ink.bottom) / 2.0, r.height() / 2.0, 4);
        }
    }
}

TEST(TextTest, WordBreakWrapsAtTheRectangleWidth) {
    const std::u16string text = u"several short words that need more than one line";
    const LogFont font = pixelFont(12);
    const Size oneLine = measureText(text, font, DT_WORDBREAK);
    const Size wrapped = measureText(text, font, DT_WORDBREAK, 80);
    EXPECT_GT(oneLine.cx, 80);
    EXPECT_LE(wrapped.cx, 80);
    EXPECT_GE(wrapped.cy, 3 * oneLine.cy);

    Bitmap b(200, 200, kWhite);
    canvasForBitmap(b)->drawText(text, {0, 0, 80, 200}, font, 0, DT_WORDBREAK);
    const Rect ink = inkBounds(b, kWhite);
    EXPECT_LE(ink.right, 80);
    EXPECT_GE(ink.height(), 2 * oneLine.cy);
    // Without the flag the same text stays on one line.
    EXPECT_EQ(measureText(text, font, 0, 80).cy, oneLine.cy);
}

TEST(TextTest, EscapementTurnsTheText) {
    LogFont font = pixelFont(14);
    font.escapement = 900;  // reads bottom to top
    Bitmap b(60, 200, kWhite);
    canvasForBitmap(b)->drawText(u"Vertical label", {0, 0, 60, 200}, font, 0, DT_SINGLELINE);
    const Rect ink = inkBounds(b, kWhite);
    ASSERT_FALSE(ink.isEmpty());
    EXPECT_GT(ink.height(), 3 * ink.width());
    EXPECT_NEAR((ink.top + ink.bottom) / 2.0, 100, 6);
}

TEST(TextTest, AccessKeyMarkerIsNotDrawn) {
    const LogFont font = pixelFont(12);
    EXPECT_EQ(measureText(u"&Open", font, 0).cx, measureText(u"Open", font, DT_NOPREFIX).cx);
    EXPECT_EQ(measureText(u"A&&B", font, 0).cx, measureText(u"A&B", font, DT_NOPREFIX).cx);
    EXPECT_GT(measureText(u"&Open", font, DT_NOPREFIX).cx, measureText(u"Open", font, 0).cx);
}

TEST(FontTest, EveryScriptHasGlyphs) {
    const std::u16string samples[] = {u"Deutsch", u"Ελληνικά",   u"Русский", u"العربية",
                                      u"עברית",   u"Tiếng Việt", u"中文",    u"日本語",
                                      u"한국어",  u"Türkçe ąęł"};
    for (const char16_t* face : {u"MS Sans Serif", u"MS Shell Dlg", u"Tahoma"}) {
        LogFont font = pixelFont(12);
        font.faceName = face;
        for (const auto& text : samples)
            EXPECT_EQ(countMissingGlyphs(text, font), 0)
                << std::string(face, face + 5) << " / sample " << (&text - samples);
    }
    // The count does see characters no font has (private use plane).
    EXPECT_EQ(countMissingGlyphs(u"a\U000F0001\U000F0002b", pixelFont(12)), 2);
}

TEST(FontTest, OldFacesResolveToAnInstalledSansFace) {
    for (const char16_t* face : {u"MS Sans Serif", u"MS Shell Dlg", u"Tahoma", u"No Such Face"}) {
        LogFont font;
        font.faceName = face;
        const std::string family = resolvedFontFamily(font);
        EXPECT_TRUE(family == "DejaVu Sans" || family == "Noto Sans") << family;
    }
}

TEST(FontTest, HeightsAndBaseUnits) {
    struct PointCase {
        int points, pixels;
    };
    for (PointCase c : {PointCase{8, -11}, {9, -12}, {10, -13}, {12, -16}, {0, 0}, {-8, 11}})
        EXPECT_EQ(pointsToPixelHeight(c.points), c.pixels) << c.points;

    // A negative height is the character height, a positive one the whole
    // cell, so the same number gives a smaller font when positive.
    LogFont cell;
    cell.height = 24;
    LogFont character = pixelFont(24);
    EXPECT_NEAR(measureText(u"Xg", cell, 0).cy, 24, 2);
    EXPECT_GT(measureText(u"Xg", character, 0).cy, measureText(u"Xg", cell, 0).cy);

    const Size units = fontBaseUnits(pixelFont(11));
    EXPECT_GE(units.cx, 5);
    EXPECT_LE(units.cx, 8);
    EXPECT_EQ(units.cy, measureText(u"X", pixelFont(11), 0).cy);
    LogFont bold = pixelFont(11);
    bold.weight = 700;
    EXPECT_GE(fontBaseUnits(bold).cx, units.cx);
}

// --- picture codecs ---

void put16(std::vector<std::uint8_t>& v, unsigned x) {
    v.push_back(static_cast<std::uint8_t>(x));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}
void put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

// A 32-bit device-independent bitmap of one colour (the info header first),
// with the AND mask icons carry when `iconMask`.
std::vector<std::uint8_t> dib32(int size, COLORREF colour, bool iconMask) {
    std::vector<std::uint8_t> v;
    put32(v, 40);
    put32(v, static_cast<std::uint32_t>(size));
    put32(v, static_cast<std::uint32_t>(iconMask ? 2 * size : size));
    put16(v, 1);
    put16(v, 32);
    for (int i = 0; i < 6; ++i)
        put32(v, 0);
    for (int i = 0; i < size * size; ++i) {
        v.push_back(static_cast<std::uint8_t>(GetBValue(colour)));
        v.push_back(static_cast<std::uint8_t>(GetGValue(colour)));
        v.push_back(static_cast<std::uint8_t>(GetRValue(colour)));
        v.push_back(255);
    }
    if (iconMask)
        v.insert(v.end(), static_cast<std::size_t>(size) * 4, 0);  // rows of 4 bytes
    return v;
}

std::vector<std::uint8_t> bmpFile(int size, COLORREF colour) {
    const auto dib = dib32(size, colour, false);
    std::vector<std::uint8_t> v = {'B', 'M'};
    put32(v, static_cast<std::uint32_t>(14 + dib.size()));
    put32(v, 0);
    put32(v, 54);
    v.insert(v.end(), dib.begin(), dib.end());
    return v;
}

std::vector<std::uint8_t> icoFile(const std::vector<std::pair<int, COLORREF>>& images) {
    std::vector<std::vector<std::uint8_t>> dibs;
    for (auto [size, colour] : images)
        dibs.push_back(dib32(size, colour, true));
    std::vector<std::uint8_t> v;
    put16(v, 0);
    put16(v, 1);
    put16(v, static_cast<unsigned>(images.size()));
    std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        v.push_back(static_cast<std::uint8_t>(images[i].first));
        v.push_back(static_cast<std::uint8_t>(images[i].first));
        v.push_back(0);
        v.push_back(0);
        put16(v, 1);
        put16(v, 32);
        put32(v, static_cast<std::uint32_t>(dibs[i].size()));
        put32(v, offset);
        offset += static_cast<std::uint32_t>(dibs[i].size());
    }
    for (const auto& d : dibs)
        v.insert(v.end(), d.begin(), d.end());
    return v;
}

TEST(PictureTest, PngRoundTripKeepsColourAndAlpha) {
    Bitmap b(3, 2, kBlue);
    b.setPixel(0, 0, RGB(200, 100, 50), 128);
    b.setPixel(2, 1, 0, 0);
    const auto png = encodePng(b);
    ASSERT_FALSE(png.empty());
    const auto back = decodeImage(png.data(), png.size());
    ASSERT_TRUE(back.has_value());
    ASSERT_EQ(back->width(), 3);
    ASSERT_EQ(back->height(), 2);
    EXPECT_EQ(back->alpha(0, 0), 128);
    const COLORREF c = back->pixel(0, 0);
    EXPECT_NEAR(GetRValue(c), 200, 2);
    EXPECT_NEAR(GetGValue(c), 100, 2);
    EXPECT_NEAR(GetBValue(c), 50, 2);
    EXPECT_EQ(back->pixel(1, 1), kBlue);
    EXPECT_EQ(back->alpha(2, 1), 0);
}

TEST(PictureTest, DecodesEachFormat) {
    // One red pixel, no transparency.
    const std::vector<std::uint8_t> gif = {'G', 'I',  'F', '8', '9', 'a', 1, 0,    1,    0, 0x80, 0,
                                           0,   0xFF, 0,   0,   0,   0,   0, 0x2C, 0,    0, 0,    0,
                                           1,   0,    1,   0,   0,   2,   2, 0x44, 0x01, 0, 0x3B};
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        int size;
        COLORREF colour;
    };
    const Case cases[] = {
        {"gif", gif, 1, kRed},
        {"bmp file", bmpFile(3, kGreen), 3, kGreen},
        {"bare bitmap", dib32(3, kBlue, false), 3, kBlue},
        {"icon, largest image", icoFile({{2, kRed}, {6, kGreen}, {4, kBlue}}), 6, kGreen},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto bitmap = decodeImage(c.bytes.data(), c.bytes.size());
        ASSERT_TRUE(bitmap.has_value());
        EXPECT_EQ(bitmap->width(), c.size);
        EXPECT_EQ(bitmap->height(), c.size);
        EXPECT_EQ(bitmap->pixel(0, 0), c.colour);
        EXPECT_EQ(bitmap->alpha(c.size - 1, c.size - 1), 255);
    }
}

TEST(PictureTest, RejectsWhatIsNotAPicture) {
    auto png = encodePng(Bitmap(8, 8, kRed));
    const std::vector<std::uint8_t> truncated(png.begin(), png.begin() + png.size() / 2);
    const std::string text = "just some text, not a picture at all";
    const std::vector<std::uint8_t> notPicture(text.begin(), text.end());
    EXPECT_FALSE(decodeImage(truncated.data(), truncated.size()).has_value());
    EXPECT_FALSE(decodeImage(notPicture.data(), notPicture.size()).has_value());
    EXPECT_FALSE(decodeImage(nullptr, 0).has_value());
    EXPECT_TRUE(encodePng(Bitmap()).empty());
}

TEST(PictureTest, ScalingKeepsEdgesOpaque) {
    Bitmap b(2, 2, kRed);
    const Bitmap up = scaleBitmap(b, 7, 5);
    ASSERT_EQ(up.width(), 7);
    ASSERT_EQ(up.height(), 5);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) {
            ASSERT_EQ(up.alpha(x, y), 255) << x << "," << y;
            ASSERT_EQ(up.pixel(x, y), kRed) << x << "," << y;
        }
    EXPECT_TRUE(scaleBitmap(b, 0, 3).empty());
}

TEST(BitmapTest, CopyIsClippedAndPixelsUnpremultiply) {
    Bitmap b(4, 4, kWhite);
    b.setPixel(3, 3, kBlue);
    b.setPixel(0, 0, RGB(255, 0, 0), 64);
    EXPECT_EQ(b.pixel(0, 0), kRed);
    EXPECT_EQ(b.alpha(0, 0), 64);
    EXPECT_EQ(b.pixel(-1, 0), 0u);
    const Bitmap part = b.copy({2, 2, 10, 10});
    ASSERT_EQ(part.width(), 2);
    ASSERT_EQ(part.height(), 2);
    EXPECT_EQ(part.pixel(1, 1), kBlue);
    EXPECT_TRUE(b.copy({5, 5, 8, 8}).empty());
    // Too large for a cairo surface: empty, and drawing into it does nothing.
    Bitmap huge(40000, 1, kWhite);
    EXPECT_TRUE(huge.empty());
    canvasForBitmap(huge)->fillRect({0, 0, 10, 1}, kRed);
}

TEST(BitmapTest, RegionMembership) {
    const Region r({{0, 0, 10, 5}, {20, 20, 30, 30}});
    EXPECT_TRUE(r.contains(0, 0));
    EXPECT_FALSE(r.contains(10, 0));
    EXPECT_TRUE(r.contains(29, 29));
    EXPECT_FALSE(r.contains(15, 15));
    EXPECT_EQ(r.bounds(), (Rect{0, 0, 30, 30}));
}

}  // namespace
}  // namespace nork::gui
