// The canvas over cairo, with text laid out by pango. Used for bitmaps (the
// offscreen backend, tests) and for the desktop backend's widgets.
#include "guilib/port/CairoCanvas.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <string_view>
#include <vector>

#include "port/Utf.h"

namespace nork::gui {

namespace {

constexpr int kColor3dLight = 22;
// Character height of a record that gives none (an 8-point font).
constexpr int kDefaultCharHeight = 11;

void setSource(cairo_t* cr, COLORREF colour) {
    cairo_set_source_rgb(cr, GetRValue(colour) / 255.0, GetGValue(colour) / 255.0,
                         GetBValue(colour) / 255.0);
}

void addRect(cairo_t* cr, int left, int top, int width, int height) {
    if (width > 0 && height > 0)
        cairo_rectangle(cr, left, top, width, height);
}

// The old user-interface faces exist on no Linux desktop; they, and anything
// else not installed, end up in these, which between them cover the scripts
// the program is translated into (fontconfig adds the CJK faces as fallback).
constexpr const char* kFallbackFamilies = "DejaVu Sans,Noto Sans";

bool isLegacyUiFace(std::string_view face) {
    static constexpr std::string_view faces[] = {
        "",       "MS Sans Serif", "MS Shell Dlg", "MS Shell Dlg 2", "Microsoft Sans Serif",
        "Tahoma", "System",        "Segoe UI"};
    for (std::string_view f : faces) {
        if (f.size() == face.size() &&
            std::equal(f.begin(), f.end(), face.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            }))
            return true;
    }
    return false;
}

std::string familyList(const std::u16string& faceName) {
    std::string face = port::utf::toUtf8(faceName);
    // A comma would split the family list.
    std::replace(face.begin(), face.end(), ',', ' ');
    if (isLegacyUiFace(face))
        return kFallbackFamilies;
    return face + "," + kFallbackFamilies;
}

void applyFontOptions(PangoContext* context) {
    // The same options for measuring and drawing, whatever the target's
    // defaults, so that measured text fits where it is drawn.
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
    pango_cairo_context_set_font_options(context, options);
    cairo_font_options_destroy(options);
}

// Em size per pixel of cell height (ascent + descent) of the families: a
// positive record height is a cell height.
double emPerCellPixel(PangoContext* context, const std::string& families) {
    static std::mutex lock;
    static std::map<std::string, double> cache;
    std::lock_guard<std::mutex> guard(lock);
    if (auto it = cache.find(families); it != cache.end())
        return it->second;
    constexpr int probe = 1000;
    PangoFontDescription* desc = pango_font_description_new();
    pango_font_description_set_family(desc, families.c_str());
    pango_font_description_set_absolute_size(desc, probe * PANGO_SCALE);
    double ratio = 1.0;
    if (PangoFontMetrics* metrics = pango_context_get_metrics(context, desc, nullptr)) {
        const int cell =
            pango_font_metrics_get_ascent(metrics) + pango_font_metrics_get_descent(metrics);
        if (cell > 0)
            ratio = static_cast<double>(probe) * PANGO_SCALE / cell;
        pango_font_metrics_unref(metrics);
    }
    pango_font_description_free(desc);
    cache.emplace(families, ratio);
    return ratio;
}

PangoFontDescription* describe(PangoContext* context, const LogFont& font) {
    const std::string families = familyList(font.faceName);
    PangoFontDescription* desc = pango_font_description_new();
    pango_font_description_set_family(desc, families.c_str());
    double pixels = kDefaultCharHeight;
    if (font.height < 0)
        pixels = -static_cast<double>(font.height);
    else if (font.height > 0)
        pixels = font.height * emPerCellPixel(context, families);
    pango_font_description_set_absolute_size(desc, pixels * PANGO_SCALE);
    const int weight = font.weight <= 0 ? 400 : std::clamp(font.weight, 100, 1000);
    pango_font_description_set_weight(desc, static_cast<PangoWeight>(weight));
    pango_font_description_set_style(desc, font.italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
    return desc;
}

struct PreparedText {
    std::string utf8;
    int mnemonicStart = -1;  // bytes of the underlined access key
    int mnemonicEnd = -1;
};

PreparedText prepare(const std::u16string& text, std::uint32_t format) {
    std::u16string shown;
    shown.reserve(text.size());
    std::size_t mnemonic = std::u16string::npos;
    const bool prefixes = !(format & DT_NOPREFIX);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (prefixes && c == u'&') {
            if (i + 1 >= text.size())
                break;  // a trailing marker marks nothing
            c = text[++i];
            if (c != u'&' && mnemonic == std::u16string::npos)
                mnemonic = shown.size();
        }
        if ((format & DT_SINGLELINE) && (c == u'\r' || c == u'\n'))
            c = u' ';
        shown.push_back(c);
    }
    PreparedText out;
    out.utf8 = port::utf::toUtf8(shown);
    if (mnemonic != std::u16string::npos) {
        std::size_t end = mnemonic + 1;
        if (end < shown.size() && (shown[mnemonic] & 0xFC00) == 0xD800)
            ++end;  // both halves of a surrogate pair
        out.mnemonicStart = static_cast<int>(
            port::utf::toUtf8(std::u16string_view(shown).substr(0, mnemonic)).size());
        out.mnemonicEnd =
            static_cast<int>(port::utf::toUtf8(std::u16string_view(shown).substr(0, end)).size());
    }
    return out;
}

// A layout of the text as drawText shows it: font, attributes, direction and
// word breaks at widthLimit pixels (DT_WORDBREAK with a positive limit).
PangoLayout* makeLayout(PangoContext* context, const std::u16string& text, const LogFont& font,
                        std::uint32_t format, int widthLimit) {
    pango_context_set_base_dir(
        context, (format & DT_RTLREADING) ? PANGO_DIRECTION_RTL : PANGO_DIRECTION_LTR);
    PangoLayout* layout = pango_layout_new(context);
    // The format decides the paragraph direction, not the first strong letter.
    pango_layout_set_auto_dir(layout, FALSE);
    PangoFontDescription* desc = describe(context, font);
    pango_layout_set_font_description(layout, desc);
    pango_font_description_free(desc);

    const PreparedText prepared = prepare(text, format);
    pango_layout_set_text(layout, prepared.utf8.data(), static_cast<int>(prepared.utf8.size()));
    PangoAttrList* attrs = pango_attr_list_new();
    if (font.underline)
        pango_attr_list_insert(attrs, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
    if (font.strikeOut)
        pango_attr_list_insert(attrs, pango_attr_strikethrough_new(TRUE));
    if (prepared.mnemonicStart >= 0 && !font.underline) {
        PangoAttribute* key = pango_attr_underline_new(PANGO_UNDERLINE_SINGLE);
        key->start_index = static_cast<guint>(prepared.mnemonicStart);
        key->end_index = static_cast<guint>(prepared.mnemonicEnd);
        pango_attr_list_insert(attrs, key);
    }
    pango_layout_set_attributes(layout, attrs);
    pango_attr_list_unref(attrs);

    if ((format & DT_WORDBREAK) && !(format & DT_SINGLELINE) && widthLimit > 0) {
        pango_layout_set_width(layout, widthLimit * PANGO_SCALE);
        // Words wider than the line overflow it, as they are not broken.
        pango_layout_set_wrap(layout, PANGO_WRAP_WORD);
    }
    return layout;
}

PangoContext* newContext(cairo_t* cr) {
    PangoContext* context = pango_cairo_create_context(cr);
    applyFontOptions(context);
    return context;
}

// A context for measuring without a target (per thread, as pango's font maps are).
PangoContext* measuringContext() {
    struct Holder {
        cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
        cairo_t* cr = cairo_create(surface);
        PangoContext* context = newContext(cr);
        ~Holder() {
            g_object_unref(context);
            cairo_destroy(cr);
            cairo_surface_destroy(surface);
        }
    };
    thread_local Holder holder;
    return holder.context;
}

Size measureWith(PangoContext* context, const std::u16string& text, const LogFont& font,
                 std::uint32_t format, int widthLimit) {
    PangoLayout* layout = makeLayout(context, text, font, format, widthLimit);
    PangoRectangle logical;
    pango_layout_get_pixel_extents(layout, nullptr, &logical);
    g_object_unref(layout);
    return Size{logical.width, logical.height};
}

class CairoCanvas final : public Canvas {
  public:
    // Takes a reference to cr; owns `surface` when given (a bitmap's).
    CairoCanvas(cairo_t* cr, cairo_surface_t* ownedSurface)
        : cr_(cairo_reference(cr)), surface_(ownedSurface), context_(newContext(cr)) {
        cairo_save(cr_);
    }

    ~CairoCanvas() override {
        while (!clips_.empty()) {
            clips_.pop_back();
            cairo_restore(cr_);
        }
        cairo_restore(cr_);
        g_object_unref(context_);
        cairo_destroy(cr_);
        if (surface_) {
            cairo_surface_flush(surface_);
            cairo_surface_destroy(surface_);
        }
    }

    CairoCanvas(const CairoCanvas&) = delete;
    CairoCanvas& operator=(const CairoCanvas&) = delete;

    void fillRect(const Rect& r, COLORREF colour) override {
        if (r.isEmpty() || colour == CLR_NONE_COLOR)
            return;
        setSource(cr_, colour);
        cairo_rectangle(cr_, r.left, r.top, r.width(), r.height());
        cairo_fill(cr_);
    }

    void frameRect(const Rect& r, COLORREF colour) override {
        if (r.isEmpty() || colour == CLR_NONE_COLOR)
            return;
        setSource(cr_, colour);
        addRect(cr_, r.left, r.top, r.width(), 1);
        addRect(cr_, r.left, r.bottom - 1, r.width(), r.height() > 1 ? 1 : 0);
        addRect(cr_, r.left, r.top + 1, 1, r.height() - 2);
        addRect(cr_, r.right - 1, r.top + 1, r.width() > 1 ? 1 : 0, r.height() - 2);
        cairo_fill(cr_);
    }

    void drawEdge(const Rect& r, Edge edge) override {
        // Outer ring then inner ring: {top-left colour, bottom-right colour}.
        int outerTl = COLOR_BTNSHADOW, outerBr = COLOR_3DHILIGHT;
        int innerTl = COLOR_3DHILIGHT, innerBr = COLOR_BTNSHADOW;
        switch (edge) {
            case Edge::Raised:
                outerTl = kColor3dLight;
                outerBr = COLOR_3DDKSHADOW;
                innerTl = COLOR_3DHILIGHT;
                innerBr = COLOR_BTNSHADOW;
                break;
            case Edge::Sunken:
                outerTl = COLOR_BTNSHADOW;
                outerBr = COLOR_3DHILIGHT;
                innerTl = COLOR_3DDKSHADOW;
                innerBr = kColor3dLight;
                break;
            case Edge::Etched:
                break;
        }
        Rect ring = r;
        ring3d(ring, sysColor(outerTl), sysColor(outerBr));
        ring.inflate(-1, -1);
        ring3d(ring, sysColor(innerTl), sysColor(innerBr));
    }

    void drawFocusRect(const Rect& r) override {
        if (r.isEmpty())
            return;
        // Every other pixel of the frame inverted: drawn twice it is gone.
        cairo_save(cr_);
        cairo_set_operator(cr_, CAIRO_OPERATOR_DIFFERENCE);
        cairo_set_source_rgb(cr_, 1, 1, 1);
        auto dot = [this, &r](int x, int y) {
            if (((x - r.left) + (y - r.top)) % 2 == 0)
                cairo_rectangle(cr_, x, y, 1, 1);
        };
        for (int x = r.left; x < r.right; ++x) {
            dot(x, r.top);
            if (r.height() > 1)
                dot(x, r.bottom - 1);
        }
        for (int y = r.top + 1; y < r.bottom - 1; ++y) {
            dot(r.left, y);
            if (r.width() > 1)
                dot(r.right - 1, y);
        }
        cairo_fill(cr_);
        cairo_restore(cr_);
    }

    void drawBitmap(const Bitmap& bitmap, int x, int y) override {
        if (bitmap.empty())
            return;
        cairo_surface_t* source = sourceSurface(bitmap);
        cairo_save(cr_);
        cairo_set_source_surface(cr_, source, x, y);
        cairo_rectangle(cr_, x, y, bitmap.width(), bitmap.height());
        cairo_fill(cr_);
        cairo_restore(cr_);
        cairo_surface_destroy(source);
    }

    void drawBitmapPart(const Bitmap& bitmap, const Rect& src, const Rect& dst) override {
        if (dst.isEmpty())
            return;
        // Only the part itself is sampled, so that scaling does not blend in
        // the pixels next to it (skins keep several states in one picture).
        const Bitmap part = bitmap.copy(src);
        if (part.empty())
            return;
        if (part.width() == dst.width() && part.height() == dst.height()) {
            drawBitmap(part, dst.left, dst.top);
            return;
        }
        cairo_surface_t* source = sourceSurface(part);
        cairo_save(cr_);
        cairo_rectangle(cr_, dst.left, dst.top, dst.width(), dst.height());
        cairo_clip(cr_);
        cairo_translate(cr_, dst.left, dst.top);
        cairo_scale(cr_, static_cast<double>(dst.width()) / part.width(),
                    static_cast<double>(dst.height()) / part.height());
        cairo_set_source_surface(cr_, source, 0, 0);
        cairo_pattern_set_filter(cairo_get_source(cr_), CAIRO_FILTER_BILINEAR);
        cairo_pattern_set_extend(cairo_get_source(cr_), CAIRO_EXTEND_PAD);
        cairo_paint(cr_);
        cairo_restore(cr_);
        cairo_surface_destroy(source);
    }

    void drawBitmapMasked(const Bitmap& image, const Bitmap& mask, int x, int y) override {
        if (image.empty())
            return;
        // The mask becomes the image's alpha: black shows it, white keeps the
        // canvas (greys blend, where raster operations would mix bits).
        Bitmap shown(image.width(), image.height());
        std::fill(shown.data(),
                  shown.data() + static_cast<std::size_t>(shown.width()) * shown.height(), 0u);
        const int w = std::min(image.width(), mask.width());
        const int h = std::min(image.height(), mask.height());
        for (int py = 0; py < h; ++py) {
            for (int px = 0; px < w; ++px) {
                const COLORREF m = mask.pixel(px, py);
                const unsigned white = (GetRValue(m) + GetGValue(m) + GetBValue(m)) / 3;
                const unsigned a = (255 - white) * image.alpha(px, py) / 255;
                shown.setPixel(px, py, image.pixel(px, py), static_cast<std::uint8_t>(a));
            }
        }
        drawBitmap(shown, x, y);
    }

    void drawText(const std::u16string& text, const Rect& r, const LogFont& font, COLORREF colour,
                  std::uint32_t format) override {
        if (text.empty() || colour == CLR_NONE_COLOR || (format & DT_CALCRECT))
            return;
        const bool wordBreak = (format & DT_WORDBREAK) && !(format & DT_SINGLELINE);
        cairo_save(cr_);
        pango_cairo_update_context(cr_, context_);
        PangoLayout* layout = makeLayout(context_, text, font, format, wordBreak ? r.width() : 0);
        if (!(format & DT_NOCLIP)) {
            cairo_rectangle(cr_, r.left, r.top, std::max(r.width(), 0), std::max(r.height(), 0));
            cairo_clip(cr_);
        }
        setSource(cr_, colour);

        PangoRectangle natural;
        pango_layout_get_extents(layout, nullptr, &natural);
        double x = r.left;
        double y = r.top;
        if (font.escapement != 0) {
            // Turned about the rectangle's centre, counter-clockwise as the
            // angle grows; the text's own box is centred there.
            cairo_translate(cr_, r.left + r.width() / 2.0, r.top + r.height() / 2.0);
            cairo_rotate(cr_, -font.escapement / 10.0 * M_PI / 180.0);
            x = -natural.width / 2.0 / PANGO_SCALE;
            y = -natural.height / 2.0 / PANGO_SCALE;
            pango_cairo_update_context(cr_, context_);
            pango_layout_context_changed(layout);
        } else {
            PangoAlignment alignment = PANGO_ALIGN_LEFT;
            if (format & DT_CENTER)
                alignment = PANGO_ALIGN_CENTER;
            else if (format & DT_RIGHT)
                alignment = PANGO_ALIGN_RIGHT;
            pango_layout_set_alignment(layout, alignment);
            if (!wordBreak || r.width() <= 0) {
                // Lines are aligned within the rectangle, or within the widest
                // line when that is wider (it then overflows on the far side).
                const int boxWidth = std::max(natural.width, r.width() * PANGO_SCALE);
                pango_layout_set_width(layout, boxWidth);
                const double box = static_cast<double>(boxWidth) / PANGO_SCALE;
                if (alignment == PANGO_ALIGN_RIGHT)
                    x = r.right - box;
                else if (alignment == PANGO_ALIGN_CENTER)
                    x = r.left + (r.width() - box) / 2.0;
            }
            if (format & DT_SINGLELINE) {
                PangoRectangle logical;
                pango_layout_get_pixel_extents(layout, nullptr, &logical);
                if (format & DT_VCENTER)
                    y = r.top + (r.height() - logical.height) / 2;
                else if (format & DT_BOTTOM)
                    y = r.bottom - logical.height;
            }
        }
        cairo_move_to(cr_, x, y);
        pango_cairo_show_layout(cr_, layout);
        cairo_restore(cr_);
        g_object_unref(layout);
    }

    Size measureText(const std::u16string& text, const LogFont& font, std::uint32_t format,
                     int widthLimit) override {
        return measureWith(context_, text, font, format, widthLimit);
    }

    void pushClip(const Rect& r) override {
        clips_.push_back(Point{tx_, ty_});
        cairo_save(cr_);
        cairo_rectangle(cr_, r.left, r.top, std::max(r.width(), 0), std::max(r.height(), 0));
        cairo_clip(cr_);
    }

    void popClip() override {
        if (clips_.empty())
            return;
        const Point at = clips_.back();
        clips_.pop_back();
        // The restore also undoes translations made since the push; they stay.
        cairo_restore(cr_);
        cairo_translate(cr_, tx_ - at.x, ty_ - at.y);
    }

    void translate(int dx, int dy) override {
        tx_ += dx;
        ty_ += dy;
        cairo_translate(cr_, dx, dy);
    }

  private:
    cairo_surface_t* sourceSurface(const Bitmap& bitmap) {
        auto* data = reinterpret_cast<unsigned char*>(const_cast<std::uint32_t*>(bitmap.data()));
        return cairo_image_surface_create_for_data(data, CAIRO_FORMAT_ARGB32, bitmap.width(),
                                                   bitmap.height(), bitmap.stride());
    }

    void ring3d(const Rect& r, COLORREF topLeft, COLORREF bottomRight) {
        if (r.isEmpty())
            return;
        setSource(cr_, topLeft);
        addRect(cr_, r.left, r.top, r.width() - 1, 1);
        addRect(cr_, r.left, r.top + 1, 1, r.height() - 2);
        cairo_fill(cr_);
        setSource(cr_, bottomRight);
        addRect(cr_, r.left, r.bottom - 1, r.width(), 1);
        addRect(cr_, r.right - 1, r.top, 1, r.height() - 1);
        cairo_fill(cr_);
    }

    cairo_t* cr_;
    cairo_surface_t* surface_;
    PangoContext* context_;
    std::vector<Point> clips_;  // the translation at each push
    int tx_ = 0;
    int ty_ = 0;
};

}  // namespace

std::unique_ptr<Canvas> canvasForBitmap(Bitmap& bitmap) {
    cairo_surface_t* surface;
    if (bitmap.empty())
        surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 0, 0);
    else
        surface = cairo_image_surface_create_for_data(
            reinterpret_cast<unsigned char*>(bitmap.data()), CAIRO_FORMAT_ARGB32, bitmap.width(),
            bitmap.height(), bitmap.stride());
    cairo_t* cr = cairo_create(surface);
    auto canvas = std::make_unique<CairoCanvas>(cr, surface);
    cairo_destroy(cr);  // the canvas holds its own reference
    return canvas;
}

Size measureText(const std::u16string& text, const LogFont& font, std::uint32_t format,
                 int widthLimit) {
    return measureWith(measuringContext(), text, font, format, widthLimit);
}

Size fontBaseUnits(const LogFont& font) {
    static const std::u16string alphabet = u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    const Size extent = measureText(alphabet, font, DT_SINGLELINE | DT_NOPREFIX);
    return Size{(extent.cx / 26 + 1) / 2, extent.cy};
}

std::string resolvedFontFamily(const LogFont& font) {
    PangoContext* context = measuringContext();
    PangoFontDescription* desc = describe(context, font);
    std::string family;
    if (PangoFont* loaded = pango_context_load_font(context, desc)) {
        PangoFontDescription* actual = pango_font_describe(loaded);
        if (const char* name = pango_font_description_get_family(actual))
            family = name;
        pango_font_description_free(actual);
        g_object_unref(loaded);
    }
    pango_font_description_free(desc);
    return family;
}

int countMissingGlyphs(const std::u16string& text, const LogFont& font) {
    PangoLayout* layout = makeLayout(measuringContext(), text, font, DT_NOPREFIX, 0);
    const int missing = pango_layout_get_unknown_glyphs_count(layout);
    g_object_unref(layout);
    return missing;
}

namespace detail {

std::unique_ptr<Canvas> canvasForCairo(struct _cairo* cr) {
    return std::make_unique<CairoCanvas>(cr, nullptr);
}

}  // namespace detail

}  // namespace nork::gui
