#include "restore/RestoreControls.h"

#include <memory>
#include <utility>

#include "guilib/src/Properties.h"
#include "guilib/src/UTMLString.h"
#include "restore/QzLog.h"

namespace nork::restore {

using namespace nork::gui;

namespace {

constexpr int kRightToLeftStringId = 3021;
constexpr int kBoxButtonTextId = 3018;
constexpr std::uint32_t kRightToLeftExStyles = WS_EX_RTLREADING | WS_EX_RIGHT;

// The integer a string starts with, as the C library reads it (leading
// blanks, a sign, digits); 0 when there is none.
long parseLeadingInt(const std::u16string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    long value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9' && value < 100000000; ++i)
        value = value * 10 + (text[i] - u'0');
    return negative ? -value : value;
}

int showBox(CWnd* parent, const std::u16string& text, const std::u16string& caption,
            std::uint32_t code) {
    // One box per showing; it is gone when the call returns.
    auto box = std::make_unique<CQzMessageBox>(text, caption, code, parent);
    box->SetButtonText(1, LoadLocalizedString(kBoxButtonTextId));
    return box->DoModal() == 1 ? 1 : 2;
}

}  // namespace

bool IsRightToLeft() {
    return parseLeadingInt(LoadLocalizedString(kRightToLeftStringId)) != 0;
}

// ---- CQzResizeButton ----

CQzResizeButton::CQzResizeButton() : minWidth_(CGUIResizeButton::minimumWidth) {}

void CQzResizeButton::ReadProperties(const CSkinElement& element) {
    CGUIResizeButton::ReadProperties(element);
    CUTPropertiesReader reader(element);
    std::int32_t cap = 0;
    if (reader.GetInt("ImgLeft", cap))
        capLeft_ = cap;
    if (reader.GetInt("ImgRight", cap))
        capRight_ = cap;
    reader.GetColor("RGBTxtDisabled", disabledText_);
    if (IsRightToLeft()) {
        SetTextFormat(textFormat() | kRightToLeftFormat);
        ModifyStyleEx(0, kRightToLeftExStyles);
    }
}

void CQzResizeButton::rebuildWithMinimum(int minimum) {
    // The library's rule reads the process-wide minimum; it is this button's
    // only for the rebuild.
    const int saved = CGUIResizeButton::minimumWidth;
    CGUIResizeButton::minimumWidth = minimum;
    Resize();
    CGUIResizeButton::minimumWidth = saved;
}

void CQzResizeButton::PositionText() {
    if (!IsWindow()) {
        QZLOG("CQzResizeButton::PositionText() Error -  pDC = GetDC() = NULL\n");
        return;
    }
    const Size text = measureText(GetWindowText(), buttonFont(), DT_SINGLELINE);
    minWidth_ = text.cx + capLeft_ + capRight_ + 10;
    rebuildWithMinimum(minWidth_);
}

void CQzResizeButton::SetMinWidth(int w) {
    minWidth_ = w;
    rebuildWithMinimum(w);
}

void CQzResizeButton::ReloadText() {
    CGUIResizeButton::ReloadText();
    PositionText();
    ApplyLayout();
}

void CQzResizeButton::DrawItem(Canvas& canvas, const Rect& rect, bool focused, bool disabled,
                               bool selected) {
    // The library draws the image; the text goes between the caps.
    const bool withText = drawText_;
    drawText_ = false;
    CGUIResizeButton::DrawItem(canvas, rect, focused, disabled, selected);
    drawText_ = withText;
    if (!withText)
        return;
    Rect textRect{rect.left + capLeft_, rect.top, rect.right - capRight_, rect.bottom};
    if (selected)
        textRect.offset(1, 1);
    const std::u16string text = GetWindowText();
    if (disabled) {
        canvas.drawText(text, textRect, buttonFont(), disabledText_, textFormat());
        return;
    }
    if (textShadow_) {
        canvas.drawText(text, textRect, buttonFont(), textShadeColor(), textFormat());
        Rect shifted = textRect;
        shifted.offset(-1, -1);
        canvas.drawText(text, shifted, buttonFont(), textColor(), textFormat());
    } else {
        canvas.drawText(text, textRect, buttonFont(), textColor(), textFormat());
    }
}

// ---- CRestoreLabel ----

void CRestoreLabel::ReadProperties(const CSkinElement& element) {
    CGUILabel::ReadProperties(element);
    CUTPropertiesReader reader(element);
    std::int32_t width = 0, height = 0;
    const bool hasWidth = reader.GetInt("Width", width);
    if (reader.GetInt("Height", height) && hasWidth && IsWindow())
        SetWindowSize(width, height);
    if (logFont_.height > 0) {
        // A positive skin height means the character height.
        logFont_.height = -logFont_.height;
        ReconstructFont();
    }
    if (IsRightToLeft()) {
        SetDrawFormat(GetDrawFormat() | kRightToLeftFormat);
        ModifyStyleEx(0, kRightToLeftExStyles);
    }
}

// ---- CRestoreHyperlink ----

void CRestoreHyperlink::ReadProperties(const CSkinElement& element) {
    CGUIHyperlink::ReadProperties(element);
    if (!IsRightToLeft())
        return;
    SetDrawFormat(GetDrawFormat() | kRightToLeftFormat);
    ModifyStyleEx(0, kRightToLeftExStyles);
    // A link aligned to the left of its reference goes to its right.
    CUTPropertiesReader reader(element);
    std::u16string align;
    if (posType_ == 3 && reader.GetString("AlignFlags", align)) {
        for (char16_t& c : align)
            if (c == u'L')
                c = u'R';
        flags_ = parsePlacementFlags(3, align);
    }
}

// ---- CRestoreLogo ----

void CRestoreLogo::ReadProperties(const CSkinElement& element) {
    textId_ = 0;
    if (IsWindow())
        SetWindowText(u"");
    CGUIPictureCtrl::ReadProperties(element);
    CUTPropertiesReader reader(element);
    std::int32_t value = 0;
    if (reader.GetInt("PicStyle", value))
        m_DrawStyle = value;
    std::int32_t imageId = 0;
    reader.GetInt("ImgDfID", imageId);
    std::int32_t type = 0;
    if (!reader.GetInt("ImgType", type))
        return;
    if (type == 2)
        LoadPicture("GIF", imageId, 255);
    else if (type == 1)
        LoadBitmap(imageId);
}

// ---- CQzMessageBox ----

CQzMessageBox::CQzMessageBox(std::u16string text, std::u16string caption, std::uint32_t code,
                             CWnd* parent)
    : CGUIMessageBox(std::move(text), caption, code, parent), captionText_(std::move(caption)) {}

CQzMessageBox::~CQzMessageBox() = default;

int CQzMessageBox::DoModal() {
    DialogTemplate t = buildTemplate();
    t.style = kMessageBoxStyle;
    InitModalIndirect(t);
    return CDialog::DoModal();
}

void CQzMessageBox::ReadProperties(const CSkinElement& element) {
    CGUIMessageBox::ReadProperties(element);
    CUTPropertiesReader reader(element);
    reader.GetFont("Font2", captionFont_);
    reader.GetColor("RGBBack", bandColour_);
    reader.GetColor("RGBCaption", captionColour_);
    if (IsRightToLeft()) {
        ModifyStyleEx(0, kRightToLeftExStyles);
        rtl_ = true;
    }
}

bool CQzMessageBox::OnInitDialog() {
    CGUIMessageBox::OnInitDialog();
    if (band_) {
        // Room for the caption band above the content.
        const Rect r = GetWindowRect();
        SetWindowSize(r.width(), r.height() + kCaptionBandHeight);
        auto moveDown = [](CWnd& w) {
            Rect c = w.GetWindowRect();
            c.offset(0, kCaptionBandHeight);
            w.MoveWindow(c);
        };
        for (int i = 1; i <= 4; ++i)
            moveDown(button(i));
        moveDown(label());
        iconTop_ += kCaptionBandHeight;
    }
    ModifyStyleEx(WS_EX_APPWINDOW, 0);
    for (int i = 1; i <= 4; ++i)
        button(i).SetDrawFocusRect(false);
    if (rtl_) {
        label().SetDrawFormat(label().GetDrawFormat() | kRightToLeftFormat);
        for (int i = 1; i <= 4; ++i)
            if (button(i).IsWindowVisible())
                button(i).SetTextFormat(button(i).textFormat() | kRightToLeftFormat);
    }
    CenterWindow();
    SetIcon(kProgramIconId);
    // Top-most and back brings the box in front even without a parent.
    if (native()) {
        native()->setTopMost(true);
        native()->setTopMost(false);
    }
    return false;
}

void CQzMessageBox::onPaint(Canvas& canvas) {
    // The dialog's painting without the library's icon, which sits lower here.
    CGUIDialog::onPaint(canvas);
    const Bitmap& icon = iconBitmap();
    if (!icon.empty())
        canvas.drawBitmapPart(icon, {0, 0, icon.width(), icon.height()},
                              {12, iconTop_, 12 + 32, iconTop_ + 32});
    Rect frame = GetClientRect();
    canvas.frameRect(frame, shadeColor());
    frame.inflate(-1, -1);
    canvas.frameRect(frame, shadeColor());
    if (!band_)
        return;
    frame.inflate(-1, -1);
    canvas.fillRect({frame.left, frame.top, frame.right, 33}, bandColour_);
    if (captionText_.empty())
        return;
    const Rect captionRect{20, 6, GetClientRect().right - 10, 33};
    const std::uint32_t format =
        DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | (rtl_ ? kRightToLeftFormat : DT_LEFT);
    canvas.drawText(captionText_, captionRect, captionFont_, captionColour_, format);
}

void CQzMessageBox::onMouseDown(Point client, bool) {
    // The whole box is its caption: a press anywhere moves it.
    if (!native())
        return;
    const Rect r = GetWindowRect();
    native()->beginMoveDrag({r.left + client.x, r.top + client.y});
}

// ---- the two entry points ----

int ShowResultMessageBox(CWnd* parent, const std::u16string& text, const std::u16string& caption,
                         int styleFlag) {
    return showBox(parent, text, caption, styleFlag == 1 ? 0x101 : 0x401);
}

int ShowStartupMessage(CWnd* parent, int textId, int captionId, int styleFlag) {
    return showBox(parent, LoadLocalizedString(textId), LoadLocalizedString(captionId),
                   styleFlag == 1 ? 0x201 : 0x401);
}

}  // namespace nork::restore
