// Drawing for the skinned dialog library: the value types every window and
// control uses (points, rectangles, colours, font records, bitmaps, regions)
// and the canvas they draw on.
//
// The types are plain C++; the canvas is implemented over cairo and pango in
// this folder (CairoCanvas.cpp), which is the only place that sees them. A
// canvas draws either into a window of the desktop backend or into a Bitmap
// (the offscreen backend, tests), with the same code.
//
// Threads: user-interface thread only. Nothing here throws.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nork::gui {

// 0x00BBGGRR, as the skin's colour values are written.
using COLORREF = std::uint32_t;
inline constexpr COLORREF CLR_NONE_COLOR = 0xFFFFFFFF;

constexpr COLORREF RGB(unsigned r, unsigned g, unsigned b) {
    return (r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16);
}
constexpr unsigned GetRValue(COLORREF c) {
    return c & 0xFF;
}
constexpr unsigned GetGValue(COLORREF c) {
    return (c >> 8) & 0xFF;
}
constexpr unsigned GetBValue(COLORREF c) {
    return (c >> 16) & 0xFF;
}

struct Point {
    int x = 0;
    int y = 0;
    bool operator==(const Point&) const = default;
};

struct Size {
    int cx = 0;
    int cy = 0;
    bool operator==(const Size&) const = default;
};

struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    // Empty when its width or height is not positive.
    bool isEmpty() const { return width() <= 0 || height() <= 0; }
    bool contains(Point p) const {
        return p.x >= left && p.x < right && p.y >= top && p.y < bottom;
    }
    void offset(int dx, int dy) {
        left += dx;
        right += dx;
        top += dy;
        bottom += dy;
    }
    void inflate(int dx, int dy) {
        left -= dx;
        right += dx;
        top -= dy;
        bottom += dy;
    }
    bool operator==(const Rect&) const = default;
};

// A logical font record (the layout skin fonts are written in). Height < 0 is
// a character height in pixels; > 0 a cell height; 0 the default size.
// Escapement and orientation are in tenths of a degree.
struct LogFont {
    int height = -11;
    int width = 0;
    int escapement = 0;
    int orientation = 0;
    int weight = 400;
    std::uint8_t italic = 0;
    std::uint8_t underline = 0;
    std::uint8_t strikeOut = 0;
    std::uint8_t charSet = 0;
    std::uint8_t outPrecision = 1;
    std::uint8_t clipPrecision = 2;
    std::uint8_t quality = 1;
    std::uint8_t pitchAndFamily = 0x22;
    std::u16string faceName = u"MS Sans Serif";  // at most 31 units
    bool operator==(const LogFont&) const = default;
};

// Pixels in cairo's ARGB32 layout (premultiplied alpha, native endian),
// row after row without padding.
class Bitmap {
  public:
    Bitmap() = default;
    // Every pixel opaque `fill`.
    Bitmap(int width, int height, COLORREF fill = 0);
    int width() const { return width_; }
    int height() const { return height_; }
    bool empty() const { return width_ <= 0 || height_ <= 0; }
    // The colour of a pixel, un-premultiplied; 0 outside.
    COLORREF pixel(int x, int y) const;
    std::uint8_t alpha(int x, int y) const;
    void setPixel(int x, int y, COLORREF colour, std::uint8_t alpha = 255);
    std::uint32_t* data() { return pixels_.data(); }
    const std::uint32_t* data() const { return pixels_.data(); }
    int stride() const { return width_ * 4; }
    // A copy of part of it (clipped to the bitmap).
    Bitmap copy(const struct Rect& area) const;
    // Written as a PNG file (tests, screenshots). False on failure.
    bool savePng(const std::string& path) const;

  private:
    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint32_t> pixels_;
};

// A window region: a union of rectangles. An empty region hides the window.
class Region {
  public:
    Region() = default;
    explicit Region(std::vector<Rect> rects) : rects_(std::move(rects)) {}
    void add(const Rect& r) { rects_.push_back(r); }
    const std::vector<Rect>& rects() const { return rects_; }
    bool empty() const { return rects_.empty(); }
    bool contains(int x, int y) const;
    Rect bounds() const;

  private:
    std::vector<Rect> rects_;
};

// Text format bits (the values the Parts' formats are given in).
inline constexpr std::uint32_t DT_TOP = 0x0;
inline constexpr std::uint32_t DT_LEFT = 0x0;
inline constexpr std::uint32_t DT_CENTER = 0x1;
inline constexpr std::uint32_t DT_RIGHT = 0x2;
inline constexpr std::uint32_t DT_VCENTER = 0x4;
inline constexpr std::uint32_t DT_BOTTOM = 0x8;
inline constexpr std::uint32_t DT_WORDBREAK = 0x10;
inline constexpr std::uint32_t DT_SINGLELINE = 0x20;
inline constexpr std::uint32_t DT_EXPANDTABS = 0x40;
inline constexpr std::uint32_t DT_NOCLIP = 0x100;
inline constexpr std::uint32_t DT_CALCRECT = 0x400;
inline constexpr std::uint32_t DT_NOPREFIX = 0x800;
inline constexpr std::uint32_t DT_RTLREADING = 0x20000;

// System colour indexes (a fixed classic palette, sysColor()).
inline constexpr int COLOR_ACTIVECAPTION = 2;
inline constexpr int COLOR_WINDOW = 5;
inline constexpr int COLOR_WINDOWTEXT = 8;
inline constexpr int COLOR_CAPTIONTEXT = 9;
inline constexpr int COLOR_HIGHLIGHT = 13;
inline constexpr int COLOR_HIGHLIGHTTEXT = 14;
inline constexpr int COLOR_BTNFACE = 15;
inline constexpr int COLOR_BTNSHADOW = 16;
inline constexpr int COLOR_GRAYTEXT = 17;
inline constexpr int COLOR_BTNTEXT = 18;
inline constexpr int COLOR_3DHILIGHT = 20;
inline constexpr int COLOR_3DDKSHADOW = 21;
inline constexpr int COLOR_GRADIENTACTIVECAPTION = 27;
COLORREF sysColor(int index);

enum class Edge { Raised, Sunken, Etched };

class Canvas {
  public:
    virtual ~Canvas() = default;
    virtual void fillRect(const Rect& r, COLORREF colour) = 0;
    // A one-pixel frame just inside r.
    virtual void frameRect(const Rect& r, COLORREF colour) = 0;
    // A two-pixel three-dimensional edge just inside r (system colours).
    virtual void drawEdge(const Rect& r, Edge edge) = 0;
    virtual void drawFocusRect(const Rect& r) = 0;
    // At natural size, its alpha respected.
    virtual void drawBitmap(const Bitmap& bitmap, int x, int y) = 0;
    // The src part of the bitmap into dst, scaled when the sizes differ.
    virtual void drawBitmapPart(const Bitmap& bitmap, const Rect& src, const Rect& dst) = 0;
    // Where the mask is black the image shows; where it is white what is
    // already on the canvas stays (the three raster passes of a masked copy).
    virtual void drawBitmapMasked(const Bitmap& image, const Bitmap& mask, int x, int y) = 0;
    // Transparent text in r by the DT_* format: word breaks at
    // DT_WORDBREAK, one line with DT_SINGLELINE (vertical alignment only
    // then), right-to-left paragraph with DT_RTLREADING. A font with an
    // escapement is drawn rotated about r's centre, on its baseline.
    virtual void drawText(const std::u16string& text, const Rect& r, const LogFont& font,
                          COLORREF colour, std::uint32_t format) = 0;
    // The extent of the text laid out as drawText would, within widthLimit
    // pixels when it is positive (word breaks need it).
    virtual Size measureText(const std::u16string& text, const LogFont& font, std::uint32_t format,
                             int widthLimit = 0) = 0;
    // Drawing after this is clipped to r (intersected with the current clip)
    // until the matching popClip.
    virtual void pushClip(const Rect& r) = 0;
    virtual void popClip() = 0;
    // Moves the origin (child windows draw in their own coordinates).
    virtual void translate(int dx, int dy) = 0;
};

// A canvas that draws into the bitmap (which must outlive it).
std::unique_ptr<Canvas> canvasForBitmap(Bitmap& bitmap);

// Measuring without a window at hand (the same fonts as drawing).
Size measureText(const std::u16string& text, const LogFont& font, std::uint32_t format,
                 int widthLimit = 0);
// Average character width and line height of the font: dialog units are
// converted with these (x: units * cx / 4, y: units * cy / 8).
Size fontBaseUnits(const LogFont& font);
// The family fontconfig resolved the record's face to (for logs and tests).
std::string resolvedFontFamily(const LogFont& font);
// Point size to a character height in pixels at the backend's 96 dpi.
int pointsToPixelHeight(int points);
// How many characters of the text no installed font can draw (they would show
// as boxes) in that font and its fallbacks.
int countMissingGlyphs(const std::u16string& text, const LogFont& font);

// Pictures of the program's resources: PNG, GIF (first frame), BMP, ICO (the
// largest image). nullopt when the bytes are not a picture.
std::optional<Bitmap> decodeImage(const std::uint8_t* data, std::size_t size);
// PNG bytes of the bitmap (tests build picture resources with it); empty on
// failure.
std::vector<std::uint8_t> encodePng(const Bitmap& bitmap);
// Scaled (bilinear) to the size; the same bitmap when it has it already.
Bitmap scaleBitmap(const Bitmap& bitmap, int width, int height);

}  // namespace nork::gui
