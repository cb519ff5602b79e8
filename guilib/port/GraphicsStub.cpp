// Stand-in for the drawing value types until the real ones land: what the
// desktop backend and its display tests need.
#include <cairo.h>

#include <algorithm>

#include "guilib/port/Graphics.h"

namespace nork::gui {

namespace {

std::uint32_t opaque(COLORREF c) {
    return 0xFF000000u | (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c);
}

}  // namespace

Bitmap::Bitmap(int width, int height, COLORREF fill)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      pixels_(static_cast<std::size_t>(width_) * height_, opaque(fill)) {}

COLORREF Bitmap::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return 0;
    const std::uint32_t p = pixels_[static_cast<std::size_t>(y) * width_ + x];
    const unsigned a = p >> 24;
    if (a == 0)
        return 0;
    auto un = [a](unsigned v) { return std::min(255u, (v * 255 + a / 2) / a); };
    return RGB(un((p >> 16) & 0xFF), un((p >> 8) & 0xFF), un(p & 0xFF));
}

std::uint8_t Bitmap::alpha(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return 0;
    return static_cast<std::uint8_t>(pixels_[static_cast<std::size_t>(y) * width_ + x] >> 24);
}

void Bitmap::setPixel(int x, int y, COLORREF colour, std::uint8_t a) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return;
    auto pre = [a](unsigned v) { return (v * a + 127) / 255; };
    pixels_[static_cast<std::size_t>(y) * width_ + x] =
        (static_cast<std::uint32_t>(a) << 24) | (pre(GetRValue(colour)) << 16) |
        (pre(GetGValue(colour)) << 8) | pre(GetBValue(colour));
}

bool Bitmap::savePng(const std::string& path) const {
    if (empty())
        return false;
    cairo_surface_t* s = cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char*>(const_cast<std::uint32_t*>(pixels_.data())),
        CAIRO_FORMAT_ARGB32, width_, height_, stride());
    const bool ok = cairo_surface_write_to_png(s, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(s);
    return ok;
}

bool Region::contains(int x, int y) const {
    return std::any_of(rects_.begin(), rects_.end(), [&](const Rect& r) {
        return r.contains(Point{x, y});
    });
}

Rect Region::bounds() const {
    Rect b;
    bool first = true;
    for (const Rect& r : rects_) {
        if (r.isEmpty())
            continue;
        if (first) {
            b = r;
            first = false;
            continue;
        }
        b.left = std::min(b.left, r.left);
        b.top = std::min(b.top, r.top);
        b.right = std::max(b.right, r.right);
        b.bottom = std::max(b.bottom, r.bottom);
    }
    return b;
}

}  // namespace nork::gui
