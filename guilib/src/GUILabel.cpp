#include "guilib/src/GUILabel.h"

#include <algorithm>
#include <utility>

#include "guilib/src/DebugOut.h"
#include "guilib/src/UTMLString.h"
#include "port/Shell.h"
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

// Horizontal gradient in bands of max(1, width / 255) pixels.
void fillGradient(Canvas& canvas, const Rect& r, COLORREF left, COLORREF right) {
    const int width = r.width();
    if (width <= 0)
        return;
    const int band = std::max(1, width / 255);
    for (int x = 0; x < width; x += band)
        canvas.fillRect({r.left + x, r.top, std::min(r.left + x + band, r.right), r.bottom},
                        lerp(left, right, x, width));
}

}  // namespace

// ---- CGUILabel ----

CGUILabel::CGUILabel() {
    text_ = sysColor(COLOR_WINDOWTEXT);
    textShade_ = sysColor(COLOR_HIGHLIGHTTEXT);
    back_ = sysColor(COLOR_BTNFACE);
    transparent_ = true;
}

CGUILabel::~CGUILabel() = default;

void CGUILabel::PreSubclassWindow() {
    logFont_ = GetFont();
    font_ = logFont_;
}

void CGUILabel::redraw() {
    Invalidate();
    if (CWnd* parent = GetParent())
        parent->Invalidate();
}

void CGUILabel::ReconstructFont() {
    LogFont made = logFont_;
    if (made.faceName == u"Default") {
        // The face of the window's current font (its dialog's when it has none).
        LogFont current = GetFont();
        made.faceName = current.faceName;
        made.charSet = current.charSet;
        logFont_.faceName = made.faceName;
        logFont_.charSet = made.charSet;
    }
    if (made.faceName.empty() || made.faceName.size() > 31) {
        debugText("CGUILabel::ReconstructFont - fail to create font\n");
        return;
    }
    font_ = made;
    CWnd::SetFont(font_, true);
    redraw();
}

void CGUILabel::SetText(const std::u16string& text) {
    SetWindowText(text);
    redraw();
}

std::u16string CGUILabel::GetText() const {
    return GetWindowText();
}

void CGUILabel::SetBold(bool bold) {
    logFont_.weight = bold ? 700 : 400;
    ReconstructFont();
}

void CGUILabel::SetFontName(const std::u16string& face, std::uint8_t charSet) {
    logFont_.faceName = face;
    logFont_.charSet = charSet;
    ReconstructFont();
}

void CGUILabel::SetUnderline(bool underline) {
    logFont_.underline = underline ? 1 : 0;
    ReconstructFont();
}

void CGUILabel::SetItalic(bool italic) {
    logFont_.italic = italic ? 1 : 0;
    ReconstructFont();
}

void CGUILabel::SetPointSize(int points) {
    logFont_.height = pointsToPixelHeight(points);
    logFont_.width = 0;
    ReconstructFont();
}

void CGUILabel::SetLogFont(const LogFont& font) {
    logFont_ = font;
    ReconstructFont();
}

void CGUILabel::SetSunken(bool sunken) {
    ModifyStyle(sunken ? 0 : SS_SUNKEN, sunken ? SS_SUNKEN : 0);
    redraw();
}

void CGUILabel::SetBorder(bool border) {
    ModifyStyle(border ? 0 : WS_BORDER, border ? WS_BORDER : 0);
    redraw();
}

bool CGUILabel::SetTextEffect(int effect) {
    if (effect < 0 || effect > 3)
        return false;
    effect_ = effect;
    redraw();
    return true;
}

void CGUILabel::SetAngle(int degrees) {
    logFont_.escapement = 10 * degrees;
    logFont_.orientation = 10 * degrees;
    rotated_ = degrees != 0;
    ReconstructFont();
}

void CGUILabel::SetGradient(bool on) {
    gradient_ = on;
    redraw();
}

void CGUILabel::SetGradientColors(COLORREF left, COLORREF right) {
    gradientLeft_ = left;
    gradientRight_ = right;
    redraw();
}

COLORREF CGUILabel::gradientLeft() const {
    return gradientLeft_ == GRADIENT_SYSTEM_COLOR ? sysColor(COLOR_ACTIVECAPTION) : gradientLeft_;
}

COLORREF CGUILabel::gradientRight() const {
    return gradientRight_ == GRADIENT_SYSTEM_COLOR ? sysColor(COLOR_GRADIENTACTIVECAPTION)
                                                   : gradientRight_;
}

void CGUILabel::SetDrawFormat(std::uint32_t format) {
    drawFormat_ = format;
    redraw();
}

std::uint32_t CGUILabel::GetDrawFormat() const {
    if (drawFormat_ != 0)
        return drawFormat_;
    if (GetStyle() & SS_CENTERIMAGE)
        return GetWindowText().find(u"\r\n") != std::u16string::npos
                   ? DT_CENTER
                   : DT_CENTER | DT_VCENTER | DT_SINGLELINE;
    switch (GetStyle() & SS_TYPEMASK) {
        case SS_CENTER:
            return DT_CENTER | DT_WORDBREAK;
        case SS_RIGHT:
            return DT_RIGHT | DT_WORDBREAK;
        case SS_LEFTNOWORDWRAP:
            return DT_LEFT;
        default:
            return DT_WORDBREAK;
    }
}

void CGUILabel::SetTransparent(bool transparent) {
    CSkinLayout::SetTransparent(transparent);
    redraw();
}

COLORREF CGUILabel::SetBackColor(COLORREF colour) {
    COLORREF previous = CSkinLayout::SetBackColor(colour);
    redraw();
    return previous;
}

COLORREF CGUILabel::SetTextColor(COLORREF colour) {
    COLORREF previous = CSkinLayout::SetTextColor(colour);
    redraw();
    return previous;
}

COLORREF CGUILabel::SetTextShadeColor(COLORREF colour) {
    COLORREF previous = CSkinLayout::SetTextShadeColor(colour);
    redraw();
    return previous;
}

void CGUILabel::ReadProperties(const CSkinElement& element) {
    CSkinLayout::ReadProperties(element);
    CUTPropertiesReader reader(element);
    bool flag = false;
    if (reader.GetBool("Grdient", flag))
        SetGradient(flag);
    COLORREF left = 0, right = 0;
    if (reader.GetColor("RGBBack", left) && reader.GetColor("RGBBackRight", right)) {
        SetTransparent(false);
        SetGradient(true);
        SetGradientColors(left, right);
    }
    LogFont font;
    if (reader.GetFont("Font", font)) {
        logFont_ = font;
        ReconstructFont();
    }
    std::int32_t value = 0;
    if (reader.GetInt("FAngle", value))
        SetAngle(value);
    if (reader.GetInt("TxtID", value))
        SetTextId(value);
    if (reader.GetInt("FType", value))
        SetTextEffect(value);
}

void CGUILabel::onPaint(Canvas& canvas) {
    Paint(canvas, GetClientRect());
}

void CGUILabel::Paint(Canvas& canvas, const Rect& rect) {
    if (transparent_) {
        DrawLabelText(canvas, rect);
    } else {
        // Through an off-screen bitmap so the background and the text reach
        // the screen in one copy.
        Bitmap offscreen(std::max(rect.width(), 1), std::max(rect.height(), 1));
        if (auto off = canvasForBitmap(offscreen)) {
            Rect local{0, 0, rect.width(), rect.height()};
            if (gradient_)
                fillGradient(*off, local, gradientLeft(), gradientRight());
            else
                off->fillRect(local, back_);
            DrawLabelText(*off, local);
        }
        canvas.drawBitmap(offscreen, rect.left, rect.top);
    }
    if (GetStyle() & SS_SUNKEN)
        canvas.drawEdge(rect, Edge::Sunken);
    else if (GetStyle() & WS_BORDER)
        canvas.frameRect(rect, sysColor(COLOR_WINDOWTEXT));
}

void CGUILabel::DrawLabelText(Canvas& canvas, const Rect& rect) {
    const std::u16string text = GetWindowText();
    if (text.empty())
        return;
    const std::uint32_t format = GetDrawFormat();
    Rect below = rect;
    below.offset(1, 1);
    // A rotated font turns about the rectangle's centre (the canvas does it).
    if (!IsWindowEnabled()) {
        canvas.drawText(text, below, font_, sysColor(COLOR_HIGHLIGHTTEXT), format);
        canvas.drawText(text, rect, font_, sysColor(COLOR_GRAYTEXT), format);
        return;
    }
    switch (effect_) {
        case 1:
            canvas.drawText(text, below, font_, textShade_, format);
            canvas.drawText(text, rect, font_, text_, format);
            break;
        case 2:
        case 3:
            canvas.drawText(text, below, font_, text_, format);
            canvas.drawText(text, rect, font_, textShade_, format);
            break;
        default:
            canvas.drawText(text, rect, font_, text_, format);
            break;
    }
}

// ---- CGUIHyperlink ----

CGUIHyperlink::CGUIHyperlink() {
    text_ = 0x00FF0000;
    textShade_ = 0x00800080;
    visited_ = textShade_;
}

void CGUIHyperlink::PreSubclassWindow() {
    CGUILabel::PreSubclassWindow();
    if (native())
        native()->setHandCursor(true);
}

bool CGUIHyperlink::SetLink(int textId, int targetId) {
    const std::u16string text = LoadLocalizedString(textId);
    const std::u16string target = LoadLocalizedString(targetId);
    SetText(text);
    if (!target.empty())
        target_ = target;
    notifyWindow_ = nullptr;
    notifyMessage_ = 0;
    return !target_.empty();
}

void CGUIHyperlink::SetNotify(CDialog* window, std::uint32_t message) {
    notifyWindow_ = window;
    notifyMessage_ = message;
}

void CGUIHyperlink::SetWindowText(const std::u16string& text) {
    CGUILabel::SetWindowText(text);
    const Size extent = measureText(text, font_, DT_SINGLELINE);
    SetWindowSize(extent.cx, extent.cy);
}

void CGUIHyperlink::ReadProperties(const CSkinElement& element) {
    CGUILabel::ReadProperties(element);
    CUTPropertiesReader reader(element);
    std::int32_t id = 0;
    if (reader.GetInt("URLTxtID", id)) {
        std::u16string target = LoadLocalizedString(id);
        if (!target.empty())
            target_ = target;
    }
    SetTextColor(text_);
    visited_ = textShade_;
    SetUnderline(true);
}

void CGUIHyperlink::onMouseDown(Point, bool) {
    if (!target_.empty()) {
        if (port::PortError error = port::openUrl(port::utf::toUtf8(target_)))
            QZ_GUI_ERROR(std::string("CGUIHyperlink - cannot open the link: ") +
                         port::portErrcName(error.code));
    } else if (notifyWindow_) {
        notifyWindow_->PostMessage(notifyMessage_, static_cast<std::uintptr_t>(GetDlgCtrlID()), 0);
    }
    SetTextColor(visited_);
}

}  // namespace nork::gui
