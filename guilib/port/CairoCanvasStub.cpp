// Stand-in for the cairo canvas until the real one lands: rectangles,
// bitmaps, clipping and translation; text is not drawn.
#include <cairo.h>

#include "guilib/port/Graphics.h"

namespace nork::gui::detail {

namespace {

void setColour(cairo_t* cr, COLORREF c) {
    cairo_set_source_rgb(cr, GetRValue(c) / 255.0, GetGValue(c) / 255.0, GetBValue(c) / 255.0);
}

class StubCanvas final : public Canvas {
  public:
    explicit StubCanvas(cairo_t* cr) : cr_(cairo_reference(cr)) { cairo_save(cr_); }
    ~StubCanvas() override {
        cairo_restore(cr_);
        cairo_destroy(cr_);
    }
    void fillRect(const Rect& r, COLORREF colour) override {
        setColour(cr_, colour);
        cairo_rectangle(cr_, r.left, r.top, r.width(), r.height());
        cairo_fill(cr_);
    }
    void frameRect(const Rect& r, COLORREF colour) override {
        setColour(cr_, colour);
        cairo_rectangle(cr_, r.left + 0.5, r.top + 0.5, r.width() - 1, r.height() - 1);
        cairo_set_line_width(cr_, 1);
        cairo_stroke(cr_);
    }
    void drawEdge(const Rect& r, Edge) override { frameRect(r, 0x808080); }
    void drawFocusRect(const Rect& r) override { frameRect(r, 0); }
    void drawBitmap(const Bitmap& bitmap, int x, int y) override {
        if (bitmap.empty())
            return;
        cairo_surface_t* s = cairo_image_surface_create_for_data(
            reinterpret_cast<unsigned char*>(const_cast<std::uint32_t*>(bitmap.data())),
            CAIRO_FORMAT_ARGB32, bitmap.width(), bitmap.height(), bitmap.stride());
        cairo_set_source_surface(cr_, s, x, y);
        cairo_paint(cr_);
        cairo_surface_destroy(s);
    }
    void drawBitmapPart(const Bitmap& bitmap, const Rect&, const Rect& dst) override {
        drawBitmap(bitmap, dst.left, dst.top);
    }
    void drawBitmapMasked(const Bitmap& image, const Bitmap&, int x, int y) override {
        drawBitmap(image, x, y);
    }
    void drawText(const std::u16string&, const Rect&, const LogFont&, COLORREF,
                  std::uint32_t) override {}
    Size measureText(const std::u16string&, const LogFont&, std::uint32_t, int) override {
        return {};
    }
    void pushClip(const Rect& r) override {
        cairo_save(cr_);
        cairo_rectangle(cr_, r.left, r.top, r.width(), r.height());
        cairo_clip(cr_);
    }
    void popClip() override { cairo_restore(cr_); }
    void translate(int dx, int dy) override { cairo_translate(cr_, dx, dy); }

  private:
    cairo_t* cr_;
};

}  // namespace

std::unique_ptr<Canvas> canvasForCairo(struct _cairo* cr) {
    return std::make_unique<StubCanvas>(cr);
}

}  // namespace nork::gui::detail
