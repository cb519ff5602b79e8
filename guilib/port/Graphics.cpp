// The plain drawing types (bitmaps, regions, the system palette) and the
// picture codecs: PNG out through cairo, every picture format in through a
// gdk-pixbuf loader.
#include "guilib/port/Graphics.h"

#include <cairo.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace nork::gui {

namespace {

std::uint32_t premultiplied(COLORREF colour, std::uint8_t alpha) {
    auto scale = [alpha](unsigned v) { return (v * alpha + 127) / 255; };
    return (std::uint32_t{alpha} << 24) | (scale(GetRValue(colour)) << 16) |
           (scale(GetGValue(colour)) << 8) | scale(GetBValue(colour));
}

// A cairo surface over the bitmap's own pixels (nothing is copied). Cairo
// only reads through it when it is used as a source.
cairo_surface_t* surfaceOver(const Bitmap& bitmap) {
    if (bitmap.empty())
        return cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 0, 0);
    auto* data = reinterpret_cast<unsigned char*>(const_cast<std::uint32_t*>(bitmap.data()));
    return cairo_image_surface_create_for_data(data, CAIRO_FORMAT_ARGB32, bitmap.width(),
                                               bitmap.height(), bitmap.stride());
}

cairo_status_t appendToVector(void* closure, const unsigned char* data, unsigned int length) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(closure);
    out->insert(out->end(), data, data + length);
    return CAIRO_STATUS_SUCCESS;
}

Bitmap fromPixbuf(GdkPixbuf* pixbuf) {
    const int w = gdk_pixbuf_get_width(pixbuf);
    const int h = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const bool hasAlpha = gdk_pixbuf_get_has_alpha(pixbuf);
    const int rowstride = gdk_pixbuf_get_rowstride(pixbuf);
    if (w <= 0 || h <= 0 || gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 ||
        channels < (hasAlpha ? 4 : 3))
        return {};
    const guint8* pixels = gdk_pixbuf_read_pixels(pixbuf);
    Bitmap out(w, h);
    for (int y = 0; y < h; ++y) {
        const guint8* row = pixels + static_cast<std::size_t>(y) * rowstride;
        for (int x = 0; x < w; ++x) {
            const guint8* p = row + static_cast<std::size_t>(x) * channels;
            out.setPixel(x, y, RGB(p[0], p[1], p[2]), hasAlpha ? p[3] : 255);
        }
    }
    return out;
}

// Bitmap resources are often stored as a bare device-independent bitmap (the
// info header first, no file header); the loader wants the file header.
std::vector<std::uint8_t> withBmpFileHeader(const std::uint8_t* data, std::size_t size) {
    auto u32 = [data](std::size_t at) {
        return std::uint32_t{data[at]} | (std::uint32_t{data[at + 1]} << 8) |
               (std::uint32_t{data[at + 2]} << 16) | (std::uint32_t{data[at + 3]} << 24);
    };
    auto u16 = [data](std::size_t at) {
        return unsigned{data[at]} | (unsigned{data[at + 1]} << 8);
    };
    const std::uint32_t headerSize = u32(0);
    const unsigned bitCount = u16(14);
    const std::uint32_t compression = u32(16);
    std::uint32_t colours = u32(32);
    if (colours == 0 && bitCount <= 8)
        colours = 1u << bitCount;
    std::uint32_t offset = 14 + headerSize + colours * 4;
    if (compression == 3 && headerSize == 40)  // bit fields follow the header
        offset += 12;
    const std::uint32_t fileSize = static_cast<std::uint32_t>(size + 14);
    std::vector<std::uint8_t> out = {'B',
                                     'M',
                                     static_cast<std::uint8_t>(fileSize),
                                     static_cast<std::uint8_t>(fileSize >> 8),
                                     static_cast<std::uint8_t>(fileSize >> 16),
                                     static_cast<std::uint8_t>(fileSize >> 24),
                                     0,
                                     0,
                                     0,
                                     0,
                                     static_cast<std::uint8_t>(offset),
                                     static_cast<std::uint8_t>(offset >> 8),
                                     static_cast<std::uint8_t>(offset >> 16),
                                     static_cast<std::uint8_t>(offset >> 24)};
    out.insert(out.end(), data, data + size);
    return out;
}

bool looksLikeBareDib(const std::uint8_t* data, std::size_t size) {
    if (size < 40)
        return false;
    const std::uint32_t headerSize = std::uint32_t{data[0]} | (std::uint32_t{data[1]} << 8) |
                                     (std::uint32_t{data[2]} << 16) |
                                     (std::uint32_t{data[3]} << 24);
    return headerSize == 40 || headerSize == 108 || headerSize == 124;
}

std::optional<Bitmap> loadWithPixbuf(const std::uint8_t* data, std::size_t size) {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    if (!loader)
        return std::nullopt;
    GError* error = nullptr;
    bool ok = gdk_pixbuf_loader_write(loader, data, size, &error);
    if (error) {
        g_error_free(error);
        error = nullptr;
    }
    // Closed in every case: an unclosed loader complains on finalisation.
    const bool closed = gdk_pixbuf_loader_close(loader, &error);
    if (error)
        g_error_free(error);
    std::optional<Bitmap> result;
    if (ok && closed) {
        if (GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader)) {
            Bitmap bitmap = fromPixbuf(pixbuf);
            if (!bitmap.empty())
                result = std::move(bitmap);
        }
    }
    g_object_unref(loader);
    return result;
}

}  // namespace

Bitmap::Bitmap(int width, int height, COLORREF fill)
    : width_(std::max(width, 0)), height_(std::max(height, 0)) {
    // Beyond cairo's largest image surface nothing could draw into it.
    constexpr int kMaxSide = 32767;
    if (width_ == 0 || height_ == 0 || width_ > kMaxSide || height_ > kMaxSide) {
        width_ = height_ = 0;
        return;
    }
    pixels_.assign(static_cast<std::size_t>(width_) * height_, premultiplied(fill, 255));
}

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

void Bitmap::setPixel(int x, int y, COLORREF colour, std::uint8_t alpha) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return;
    pixels_[static_cast<std::size_t>(y) * width_ + x] = premultiplied(colour, alpha);
}

Bitmap Bitmap::copy(const Rect& area) const {
    const int left = std::max(area.left, 0);
    const int top = std::max(area.top, 0);
    const int right = std::min(area.right, width_);
    const int bottom = std::min(area.bottom, height_);
    if (right <= left || bottom <= top)
        return {};
    Bitmap out(right - left, bottom - top);
    for (int y = top; y < bottom; ++y)
        std::memcpy(&out.pixels_[static_cast<std::size_t>(y - top) * out.width_],
                    &pixels_[static_cast<std::size_t>(y) * width_ + left],
                    static_cast<std::size_t>(right - left) * 4);
    return out;
}

bool Bitmap::savePng(const std::string& path) const {
    if (empty())
        return false;
    cairo_surface_t* surface = surfaceOver(*this);
    const bool ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    return ok;
}

bool Region::contains(int x, int y) const {
    return std::any_of(rects_.begin(), rects_.end(), [x, y](const Rect& r) {
        return r.contains(Point{x, y});
    });
}

Rect Region::bounds() const {
    Rect out;
    bool first = true;
    for (const Rect& r : rects_) {
        if (r.isEmpty())
            continue;
        if (first) {
            out = r;
            first = false;
            continue;
        }
        out.left = std::min(out.left, r.left);
        out.top = std::min(out.top, r.top);
        out.right = std::max(out.right, r.right);
        out.bottom = std::max(out.bottom, r.bottom);
    }
    return out;
}

COLORREF sysColor(int index) {
    // The classic grey desktop scheme; the skins were designed against it.
    static constexpr std::array<COLORREF, 31> palette = {
        RGB(192, 192, 192),  // 0 scroll bar
        RGB(0, 128, 128),    // 1 desktop
        RGB(0, 0, 128),      // 2 active caption
        RGB(128, 128, 128),  // 3 inactive caption
        RGB(192, 192, 192),  // 4 menu
        RGB(255, 255, 255),  // 5 window
        RGB(0, 0, 0),        // 6 window frame
        RGB(0, 0, 0),        // 7 menu text
        RGB(0, 0, 0),        // 8 window text
        RGB(255, 255, 255),  // 9 caption text
        RGB(192, 192, 192),  // 10 active border
        RGB(192, 192, 192),  // 11 inactive border
        RGB(128, 128, 128),  // 12 application workspace
        RGB(0, 0, 128),      // 13 highlight
        RGB(255, 255, 255),  // 14 highlight text
        RGB(192, 192, 192),  // 15 button face
        RGB(128, 128, 128),  // 16 button shadow
        RGB(128, 128, 128),  // 17 grey text
        RGB(0, 0, 0),        // 18 button text
        RGB(192, 192, 192),  // 19 inactive caption text
        RGB(255, 255, 255),  // 20 3-D highlight
        RGB(0, 0, 0),        // 21 3-D dark shadow
        RGB(223, 223, 223),  // 22 3-D light
        RGB(0, 0, 0),        // 23 tooltip text
        RGB(255, 255, 225),  // 24 tooltip background
        RGB(192, 192, 192),  // 25 (unused)
        RGB(0, 0, 255),      // 26 hot-tracked item
        RGB(16, 132, 208),   // 27 active caption gradient
        RGB(181, 181, 181),  // 28 inactive caption gradient
        RGB(0, 0, 128),      // 29 menu highlight
        RGB(192, 192, 192),  // 30 menu bar
    };
    if (index < 0 || index >= static_cast<int>(palette.size()))
        return 0;
    return palette[static_cast<std::size_t>(index)];
}

int pointsToPixelHeight(int points) {
    // Rounded to the nearest pixel as an integer multiply-divide rounds,
    // halves away from zero.
    const long long num = static_cast<long long>(points) * 96;
    const long long rounded = num >= 0 ? (num + 36) / 72 : (num - 36) / 72;
    return -static_cast<int>(rounded);
}

std::optional<Bitmap> decodeImage(const std::uint8_t* data, std::size_t size) {
    if (!data || size == 0)
        return std::nullopt;
    if (looksLikeBareDib(data, size)) {
        auto file = withBmpFileHeader(data, size);
        if (auto bitmap = loadWithPixbuf(file.data(), file.size()))
            return bitmap;
    }
    return loadWithPixbuf(data, size);
}

std::vector<std::uint8_t> encodePng(const Bitmap& bitmap) {
    std::vector<std::uint8_t> out;
    if (bitmap.empty())
        return out;
    cairo_surface_t* surface = surfaceOver(bitmap);
    if (cairo_surface_write_to_png_stream(surface, appendToVector, &out) != CAIRO_STATUS_SUCCESS)
        out.clear();
    cairo_surface_destroy(surface);
    return out;
}

Bitmap scaleBitmap(const Bitmap& bitmap, int width, int height) {
    if (width <= 0 || height <= 0 || bitmap.empty())
        return {};
    if (width == bitmap.width() && height == bitmap.height())
        return bitmap;
    Bitmap out(width, height);
    std::fill(out.data(), out.data() + static_cast<std::size_t>(width) * height, 0u);
    cairo_surface_t* src = surfaceOver(bitmap);
    cairo_surface_t* dst = surfaceOver(out);
    cairo_t* cr = cairo_create(dst);
    cairo_scale(cr, static_cast<double>(width) / bitmap.width(),
                static_cast<double>(height) / bitmap.height());
    cairo_set_source_surface(cr, src, 0, 0);
    cairo_pattern_t* pattern = cairo_get_source(cr);
    cairo_pattern_set_filter(pattern, CAIRO_FILTER_BILINEAR);
    // Edge pixels are repeated rather than faded into transparency.
    cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(dst);
    cairo_surface_destroy(dst);
    cairo_surface_destroy(src);
    return out;
}

}  // namespace nork::gui
