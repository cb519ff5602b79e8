#include "guilib/src/GUIButton.h"

#include <algorithm>
#include <utility>

#include "guilib/src/DebugOut.h"
#include "guilib/src/UTMLString.h"

namespace nork::gui {

namespace {

constexpr COLORREF kMaskKey = 0x00FFFFFF;

// Copies a w x h block of src at (sx, sy) to dst at (dx, dy), clipped to both.
void blit(Bitmap& dst, int dx, int dy, const Bitmap& src, int sx, int sy, int w, int h) {
    for (int y = 0; y < h; ++y) {
        const int sy2 = sy + y;
        const int dy2 = dy + y;
        if (sy2 < 0 || sy2 >= src.height() || dy2 < 0 || dy2 >= dst.height())
            continue;
        for (int x = 0; x < w; ++x) {
            const int sx2 = sx + x;
            const int dx2 = dx + x;
            if (sx2 < 0 || sx2 >= src.width() || dx2 < 0 || dx2 >= dst.width())
                continue;
            dst.data()[dy2 * dst.width() + dx2] = src.data()[sy2 * src.width() + sx2];
        }
    }
}

}  // namespace

// ---- CGUIButtonBase ----

CGUIButtonBase::CGUIButtonBase() {
    text_ = sysColor(COLOR_BTNTEXT);
    back_ = sysColor(COLOR_BTNFACE);
    shade_ = sysColor(COLOR_BTNFACE);
    frame_ = sysColor(COLOR_BTNSHADOW);
}

CGUIButtonBase::~CGUIButtonBase() = default;

void CGUIButtonBase::PreSubclassWindow() {
    switch (GetStyle() & BS_TYPEMASK) {
        case BS_PUSHBUTTON:
        case BS_DEFPUSHBUTTON:
            kind_ = Kind::Push;
            defaultCapable_ = true;
            isDefault_ = (GetStyle() & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
            break;
        case BS_CHECKBOX:
        case BS_AUTOCHECKBOX:
        case 0x5:  // three-state
        case 0x6:  // automatic three-state
            kind_ = Kind::Check;
            break;
        case BS_RADIOBUTTON:
        case BS_AUTORADIOBUTTON:
            kind_ = Kind::Radio;
            break;
        case BS_GROUPBOX:
            kind_ = Kind::GroupBox;
            break;
        default:
            QZ_GUI_ERROR("CGUIButtonBase::PreSubclassWindow - unknown type");
            break;
    }
    // GetFont answers the dialog's font when the window has none of its own.
    font_ = GetFont();
    ModifyStyle(BS_TYPEMASK, BS_OWNERDRAW);
}

void CGUIButtonBase::SetButtonStyle(std::uint32_t style, bool redraw) {
    const std::uint32_t type = style & BS_TYPEMASK;
    if (defaultCapable_ && (type == BS_DEFPUSHBUTTON || type == BS_PUSHBUTTON)) {
        isDefault_ = type == BS_DEFPUSHBUTTON;
        if (native())
            native()->setDefault(isDefault_);
    }
    // The button stays owner-drawn whatever kind was asked for.
    ModifyStyle(BS_TYPEMASK, BS_OWNERDRAW);
    if (redraw)
        Invalidate();
}

COLORREF CGUIButtonBase::SetFrameColor(COLORREF colour) {
    return std::exchange(frame_, colour);
}

bool CGUIButtonBase::SetIcon(int iconId, int sizeCode) {
    CGUIIcon icon;
    if (!icon.Load(iconId, sizeCode))
        return false;
    icon_ = std::move(icon);
    Invalidate();
    return true;
}

bool CGUIButtonBase::SetImages(int, int, int, int, int) {
    return false;
}

bool CGUIButtonBase::SetMask(int) {
    return false;
}

void CGUIButtonBase::SetText(const std::u16string& text) {
    drawText_ = true;
    SetWindowText(text);
}

void CGUIButtonBase::SetFont(const LogFont& font) {
    font_ = font;
    Invalidate();
}

void CGUIButtonBase::ReadProperties(const CSkinElement& element) {
    CSkinLayout::ReadProperties(element);
    CUTPropertiesReader reader(element);
    LogFont font;
    if (reader.GetFont("Font", font))
        SetFont(font);
    std::int32_t up = 0, down = 0, hover = 0, disabled = 0, focused = 0;
    bool anyImage = reader.GetInt("ImgUpID", up);
    anyImage = reader.GetInt("ImgDnID", down) || anyImage;
    anyImage = reader.GetInt("ImgOvID", hover) || anyImage;
    anyImage = reader.GetInt("ImgDsID", disabled) || anyImage;
    anyImage = reader.GetInt("ImgDfID", focused) || anyImage;
    if (anyImage)
        SetImages(up, down, hover, focused, disabled);
    std::int32_t id = 0;
    if (reader.GetInt("MaskID", id))
        SetMask(id);
    if (reader.GetInt("TxtID", id)) {
        std::u16string text = LoadLocalizedString(id);
        if (!text.empty()) {
            textId_ = id;
            SetText(text);
        }
    }
    // A design rectangle at (0,0) means "where the template put it"; an
    // empty one means "the size it has".
    const Rect current = GetWindowRect();
    if (design_.left == 0 && design_.top == 0)
        design_ = {current.left, current.top, current.left + design_.width(),
                   current.top + design_.height()};
    if (design_.isEmpty())
        design_ = {design_.left, design_.top, design_.left + current.width(),
                   design_.top + current.height()};
}

void CGUIButtonBase::setState(int state, std::optional<bool> pressed) {
    state_ = state;
    if (pressed)
        pressed_ = *pressed;
    Invalidate();
}

void CGUIButtonBase::onMouseMove(Point) {
    if (tracking_)
        return;
    tracking_ = true;
    // Back over the button while the mouse button is still held: pressed again.
    if (mouseHeld_)
        pressed_ = true;
    setState(pressed_ ? StatePressed : StateHover, std::nullopt);
}

void CGUIButtonBase::onMouseLeave() {
    tracking_ = false;
    setState(StateNormal, false);
}

void CGUIButtonBase::onMouseDown(Point, bool) {
    // A double click counts as a press.
    mouseHeld_ = true;
    setState(StatePressed, true);
}

void CGUIButtonBase::onMouseUp(Point) {
    mouseHeld_ = false;
    setState(StateNormal, false);
}

void CGUIButtonBase::onKeyDown(int vk) {
    if (vk == VK_SPACE)
        setState(StatePressed, true);
}

void CGUIButtonBase::onKeyUp(int vk) {
    if (vk == VK_SPACE)
        setState(StateNormal, false);
}

void CGUIButtonBase::onFocus(bool gained) {
    setState(gained ? StateFocused : StateNormal, std::nullopt);
}

void CGUIButtonBase::onPaint(Canvas& canvas) {
    DrawItem(canvas, GetClientRect(), HasFocus(), !IsWindowEnabled(), pressed_);
}

void CGUIButtonBase::DrawItem(Canvas& canvas, const Rect& rect, bool focused, bool disabled,
                              bool selected) {
    const int index = disabled ? StateDisabledImage : (selected ? StatePressed : state_);
    const std::optional<Bitmap>& image = images_.at(static_cast<std::size_t>(index));
    const bool flat = (GetStyle() & BS_FLAT) != 0;
    if (!image) {
        canvas.fillRect(rect, back_);
        if (selected) {
            canvas.drawEdge(rect, flat ? Edge::Etched : Edge::Sunken);
        } else if (!flat) {
            canvas.drawEdge(rect, Edge::Raised);
            if (state_ == StateFocused)
                canvas.frameRect(rect, text_);
        } else {
            canvas.frameRect(rect, frame_);
        }
    } else if (mask_) {
        canvas.drawBitmapMasked(*image, *mask_, rect.left, rect.top);
    } else {
        canvas.drawBitmap(*image, rect.left, rect.top);
    }

    if (focused && drawFocus_) {
        Rect focus = rect;
        focus.inflate(-3, -3);
        canvas.drawFocusRect(focus);
    }
    if (icon_.IsLoaded())
        icon_.Draw(&canvas, {0, 0});

    if (!drawText_)
        return;
    Rect textRect = rect;
    textRect.left += margin_;
    textRect.right -= margin_;
    if (selected)
        textRect.offset(1, 1);
    const std::u16string text = GetWindowText();
    Rect shifted = textRect;
    shifted.offset(-1, -1);
    if (!disabled) {
        if (textShadow_) {
            canvas.drawText(text, textRect, font_, textShade_, format_);
            canvas.drawText(text, shifted, font_, text_, format_);
        } else {
            canvas.drawText(text, textRect, font_, text_, format_);
        }
    } else {
        canvas.drawText(text, textRect, font_, sysColor(COLOR_HIGHLIGHTTEXT), format_);
        canvas.drawText(text, shifted, font_, sysColor(COLOR_GRAYTEXT), format_);
    }
}

// ---- CGUIImageButton ----

bool CGUIImageButton::SetImages(int up, int down, int hover, int focused, int disabled) {
    if (up == 0 || down == 0 || hover == 0 || focused == 0 || disabled == 0)
        return false;
    // Index order: up, focused, disabled, down, hover.
    const int ids[5] = {up, focused, disabled, down, hover};
    std::array<std::optional<Bitmap>, 5> loaded;
    for (std::size_t i = 0; i < loaded.size(); ++i) {
        loaded[i] = LoadBitmapResource(ids[i]);
        if (!loaded[i])
            return false;
    }
    images_ = std::move(loaded);
    const int w = images_[0]->width();
    const int h = images_[0]->height();
    SetWindowSize(w, h);
    SetRect({0, 0, w, h}, false);
    drawFocus_ = false;
    drawText_ = false;
    Invalidate();
    return true;
}

bool CGUIImageButton::SetMask(int bitmapId) {
    if (!images_[0])
        return false;
    auto mask = LoadBitmapResource(bitmapId);
    if (!mask)
        return false;
    mask_ = std::move(mask);
    SetRegion(CreateRegionFromBitmap(*mask_, kMaskKey, false));
    return true;
}

// ---- CGUIResizeButton ----

int CGUIResizeButton::minimumWidth = CGUIResizeButton::kMinimumWidth;

bool CGUIResizeButton::SetSlices(std::uint16_t left, std::uint16_t middle, std::uint16_t right) {
    if (left == 0 && middle == 0 && right == 0)
        return false;
    left_ = left;
    middle_ = middle;
    right_ = right;
    Rebuild();
    return true;
}

bool CGUIResizeButton::SetImages(int up, int down, int hover, int focused, int disabled) {
    sourceIds_ = {up, focused, disabled, down, hover};
    Rebuild();
    return up != 0 && down != 0 && hover != 0 && focused != 0 && disabled != 0;
}

bool CGUIResizeButton::SetMask(int bitmapId) {
    maskId_ = bitmapId;
    Rebuild();
    return bitmapId != 0;
}

void CGUIResizeButton::SetText(const std::u16string& text) {
    // SetWindowText (below) rebuilds.
    CGUIButtonBase::SetText(text);
}

void CGUIResizeButton::SetFont(const LogFont& font) {
    CGUIButtonBase::SetFont(font);
    Rebuild();
}

void CGUIResizeButton::SetWindowText(const std::u16string& text) {
    CWnd::SetWindowText(text);
    Rebuild();
}

void CGUIResizeButton::ReadProperties(const CSkinElement& element) {
    CGUIButtonBase::ReadProperties(element);
    CUTPropertiesReader reader(element);
    std::int32_t left = left_, middle = middle_, right = right_;
    bool any = reader.GetInt("ImgLeft", left);
    any = reader.GetInt("ImgMid", middle) || any;
    any = reader.GetInt("ImgRight", right) || any;
    if (any)
        SetSlices(static_cast<std::uint16_t>(left), static_cast<std::uint16_t>(middle),
                  static_cast<std::uint16_t>(right));
}

int CGUIResizeButton::widthFor(int textWidth) const {
    int width = std::max(textWidth + 2 * (margin_ + 3), minimumWidth);
    if (middle_ != 0) {
        const int caps = left_ + right_;
        int k = 1;
        if (width > caps + middle_)
            k = (width - caps + middle_ - 1) / middle_;
        width = caps + k * middle_;
    }
    return width;
}

void CGUIResizeButton::Rebuild() {
    if (!IsWindow())
        return;
    const Size extent = measureText(GetWindowText(), font_, DT_SINGLELINE);
    if (extent.cx == width_ && extent.cy == height_ && extent.cx >= minimumWidth)
        return;
    width_ = widthFor(extent.cx);
    height_ = std::max(extent.cy + margin_, kMinimumHeight);

    // Owner-drawn always (since subclassing): the images are built first and
    // take over only when all five build.
    std::array<std::optional<Bitmap>, 5> built;
    bool ok = true;
    for (std::size_t i = 0; i < built.size() && ok; ++i) {
        built[i] = buildImage(sourceIds_[i], width_);
        ok = built[i].has_value();
    }
    if (!ok) {
        SetWindowSize(width_, height_);
        return;
    }
    images_ = std::move(built);
    SetWindowSize(images_[0]->width(), images_[0]->height());
    SetRect(GetClientRect(), false);
    if (maskId_ != 0) {
        if (auto mask = buildImage(maskId_, width_)) {
            mask_ = std::move(mask);
            SetRegion(CreateRegionFromBitmap(*mask_, kMaskKey, false));
        }
    }
    Invalidate();
}

std::optional<Bitmap> CGUIResizeButton::buildImage(int sourceId, int width) const {
    if (left_ == 0 || middle_ == 0 || right_ == 0 || sourceId == 0 || width <= 0)
        return std::nullopt;
    auto source = LoadBitmapResource(sourceId);
    if (!source)
        return std::nullopt;
    const int h = source->height();
    const int sw = source->width();
    Bitmap image(width, h);
    blit(image, 0, 0, *source, 0, 0, left_, h);
    for (int x = left_; x <= width - right_; x += middle_)
        blit(image, x, 0, *source, left_, 0, middle_, h);
    blit(image, width - right_, 0, *source, sw - right_, 0, right_, h);
    return image;
}

}  // namespace nork::gui
