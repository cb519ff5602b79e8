#include "guilib/src/GUIProgressCtrl.h"

#include <algorithm>
#include <cstdio>

#include "port/Utf.h"

namespace nork::gui {

namespace {

COLORREF lerp(COLORREF a, COLORREF b, int pos, int span) {
    auto channel = [&](unsigned ca, unsigned cb) {
        return static_cast<unsigned>(static_cast<int>(ca) +
                                     (static_cast<int>(cb) - static_cast<int>(ca)) * pos / span);
    };
    return RGB(channel(GetRValue(a), GetRValue(b)), channel(GetGValue(a), GetGValue(b)),
               channel(GetBValue(a), GetBValue(b)));
}

// A gradient along the bar's direction (left to right, or bottom to top).
void fillGradient(Canvas& canvas, const Rect& r, COLORREF from, COLORREF to, bool vertical) {
    const int length = vertical ? r.height() : r.width();
    for (int i = 0; i < length; ++i) {
        const COLORREF c = lerp(from, to, i, length);
        if (vertical)
            canvas.fillRect({r.left, r.bottom - i - 1, r.right, r.bottom - i}, c);
        else
            canvas.fillRect({r.left + i, r.top, r.left + i + 1, r.bottom}, c);
    }
}

}  // namespace

CGUIProgressCtrl::CGUIProgressCtrl() {
    back_ = sysColor(COLOR_BTNFACE);
    text_ = sysColor(COLOR_CAPTIONTEXT);
    // The system's variable-pitch font, in bold.
    font_.faceName = u"Sans";
    font_.weight = 700;
}

CGUIProgressCtrl::~CGUIProgressCtrl() = default;

void CGUIProgressCtrl::PreSubclassWindow() {
    vertical_ = (GetStyle() & PBS_VERTICAL) != 0;
}

void CGUIProgressCtrl::SetRange(int lower, int upper) {
    lower_ = lower;
    upper_ = upper;
    SetPos(pos_);
}

int CGUIProgressCtrl::SetPos(int position) {
    const int previous = pos_;
    pos_ = position;
    if (native()) {
        const double span = static_cast<double>(upper_) - lower_;
        double fraction = span > 0 ? (static_cast<double>(pos_) - lower_) / span : 0.0;
        native()->setProgressValue(std::clamp(fraction, 0.0, 1.0));
    }
    Invalidate();
    return previous;
}

int CGUIProgressCtrl::filledLength(int length) const {
    if (upper_ <= lower_ || pos_ < lower_ || pos_ > upper_)
        return 0;
    const double fraction =
        (static_cast<double>(pos_) - lower_) / (static_cast<double>(upper_) - lower_);
    return static_cast<int>(fraction * length + 0.5);
}

bool CGUIProgressCtrl::SetBarImages(int backgroundId, int barId, const std::string& typeName) {
    CGUIPictureVC6 background;
    CGUIPictureVC6 bar;
    if (!background.LoadFromResource(typeName, backgroundId) ||
        !bar.LoadFromResource(typeName, barId))
        return false;
    background_ = std::move(background);
    barPicture_ = std::move(bar);
    const Size size = background_.GetSizeInPixels();
    SetWindowSize(size.cx, size.cy);
    ModifyStyleEx(WS_EX_CLIENTEDGE | WS_EX_STATICEDGE | WS_EX_DLGMODALFRAME, 0);
    mode_ = ModePictures;
    Invalidate();
    return true;
}

bool CGUIProgressCtrl::SetPattern(int bitmapId) {
    auto bitmap = LoadBitmapResource(bitmapId);
    if (!bitmap)
        return false;
    pattern_ = std::move(bitmap);
    Invalidate();
    return true;
}

void CGUIProgressCtrl::SetDrawMode(int mode) {
    mode_ = mode;
    Invalidate();
}

void CGUIProgressCtrl::SetBorder(bool on) {
    if (on)
        ModifyStyleEx(0, WS_EX_CLIENTEDGE);
    else
        ModifyStyleEx(WS_EX_CLIENTEDGE | WS_EX_STATICEDGE | WS_EX_DLGMODALFRAME, 0);
    Invalidate();
}

void CGUIProgressCtrl::ShowText(bool on) {
    showText_ = on;
    Invalidate();
}

void CGUIProgressCtrl::SetBarColor(COLORREF colour) {
    bar_ = colour;
    Invalidate();
}

void CGUIProgressCtrl::SetGradientColors(COLORREF first, COLORREF second) {
    bar_ = first;
    second_ = second;
    Invalidate();
}

void CGUIProgressCtrl::SetFrameColor(COLORREF colour) {
    frame_ = colour;
    Invalidate();
}

COLORREF CGUIProgressCtrl::SetBackColor(COLORREF colour) {
    COLORREF previous = CSkinLayout::SetBackColor(colour);
    Invalidate();
    return previous;
}

void CGUIProgressCtrl::ReadProperties(const CSkinElement& element) {
    CSkinLayout::ReadProperties(element);
    SetBackColor(back_);
    text_ = sysColor(COLOR_CAPTIONTEXT);
}

void CGUIProgressCtrl::onPaint(Canvas& canvas) {
    const Rect client = GetClientRect();
    if (client.isEmpty())
        return;
    // Through an off-screen bitmap: one copy reaches the screen.
    Bitmap offscreen(client.width(), client.height());
    if (auto off = canvasForBitmap(offscreen))
        paintBar(*off, client);
    canvas.drawBitmap(offscreen, 0, 0);
}

void CGUIProgressCtrl::paintBar(Canvas& canvas, const Rect& client) {
    canvas.fillRect(client, back_);
    Rect inner = client;
    if (GetExStyle() & WS_EX_CLIENTEDGE) {
        if (frame_ == kSystemColor) {
            canvas.drawEdge(client, Edge::Sunken);
            inner.inflate(-2, -2);
        } else if (frame_ != kNoFrame) {
            canvas.frameRect(client, frame_);
            inner.inflate(-1, -1);
        }
    }
    const int length = vertical_ ? inner.height() : inner.width();
    const int filled = filledLength(length);
    Rect part = inner;
    if (vertical_)
        part.top = inner.bottom - filled;
    else
        part.right = inner.left + filled;

    const COLORREF first = bar_ == kSystemColor ? sysColor(COLOR_ACTIVECAPTION) : bar_;
    const COLORREF second =
        second_ == kSystemColor ? sysColor(COLOR_GRADIENTACTIVECAPTION) : second_;
    switch (mode_) {
        case ModeSolid:
            if (filled > 0)
                canvas.fillRect(part, first);
            break;
        case ModeGradient:
            if (filled > 0) {
                // Out to the second colour over the first half, back over the second.
                Rect a = part;
                Rect b = part;
                if (vertical_) {
                    a.top = part.bottom - filled / 2;
                    b.bottom = a.top;
                } else {
                    a.right = part.left + filled / 2;
                    b.left = a.right;
                }
                fillGradient(canvas, a, first, second, vertical_);
                fillGradient(canvas, b, second, first, vertical_);
            }
            break;
        case ModePattern:
            if (filled > 0 && pattern_ && !pattern_->empty()) {
                canvas.pushClip(part);
                for (int y = inner.top; y < inner.bottom; y += pattern_->height())
                    for (int x = inner.left; x < inner.right; x += pattern_->width())
                        canvas.drawBitmap(*pattern_, x, y);
                canvas.popClip();
            }
            break;
        case ModePictures:
            if (background_.IsLoaded())
                background_.Draw(canvas, client);
            if (filled > 0 && barPicture_.IsLoaded()) {
                canvas.pushClip(part);
                barPicture_.Draw(canvas, client);
                canvas.popClip();
            }
            break;
        default:
            break;
    }

    if (showText_) {
        std::u16string text = GetWindowText();
        if (text.empty()) {
            const double span = static_cast<double>(upper_) - lower_;
            const int percent = span > 0 ? static_cast<int>(pos_ / span * 100 + 0.5) : 0;
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%d %%", percent);
            text = port::utf::toUtf16(buffer);
        }
        canvas.drawText(text, client, font_, text_, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    }
}

}  // namespace nork::gui
