#include "guilib/src/GUIMessageBox.h"

#include <algorithm>

namespace nork::gui {

namespace {

constexpr int kIconEdge = 32;
constexpr int kButtonGap = 6;
// The desktop's title bar lies outside the client area here, so the box's
// size needs nothing for it.
constexpr int kCaptionHeight = 0;

// The system's icon of a kind when the skin has none: a disc in the kind's
// colour on a transparent square.
Bitmap systemIcon(CGUIMessageBox::IconKind kind) {
    COLORREF colour = RGB(0, 0, 255);
    switch (kind) {
        case CGUIMessageBox::IconKind::Error:
            colour = RGB(220, 0, 0);
            break;
        case CGUIMessageBox::IconKind::Warning:
            colour = RGB(240, 200, 0);
            break;
        case CGUIMessageBox::IconKind::Question:
            colour = RGB(0, 90, 220);
            break;
        default:
            colour = RGB(0, 60, 200);
            break;
    }
    Bitmap icon(kIconEdge, kIconEdge);
    const int c = kIconEdge / 2;
    for (int y = 0; y < kIconEdge; ++y)
        for (int x = 0; x < kIconEdge; ++x) {
            const int dx = x - c, dy = y - c;
            const bool inside = dx * dx + dy * dy < (c - 1) * (c - 1);
            icon.setPixel(x, y, inside ? colour : 0, inside ? 255 : 0);
        }
    return icon;
}

}  // namespace

int CGUIMessageBox::IconErrorResID = 0;
int CGUIMessageBox::IconWarningResID = 0;
int CGUIMessageBox::IconQuestionResID = 0;
int CGUIMessageBox::IconInfoResID = 0;
int CGUIMessageBox::systemIconSize = SYSTEM_ICON_SIZE;

CGUIMessageBox::CGUIMessageBox(std::u16string text, std::u16string caption, std::uint32_t code,
                               CWnd* parent)
    : CGUIDialog(kSkinId, parent),
      message_(std::move(text)),
      caption_(std::move(caption)),
      code_(code) {}

CGUIMessageBox::~CGUIMessageBox() = default;

DialogTemplate CGUIMessageBox::buildTemplate() {
    DialogTemplate t;
    t.style = 0x10C80A80;
    t.x = 50;
    t.y = 50;
    t.cx = 250;
    t.cy = 100;
    t.caption = u"Caption";
    t.pointSize = 8;
    t.fontFace = u"MS Sans Serif";
    auto button = [](int id, const char16_t* text, int y) {
        DialogItemTemplate item;
        item.className = CLASS_BUTTON;
        item.text = text;
        item.id = id;
        item.style = 0x40010000;
        item.x = 50;
        item.y = y;
        item.cx = 50;
        item.cy = 14;
        return item;
    };
    t.items.push_back(button(1001, u"OK", 70));
    t.items.push_back(button(1002, u"Cancel", 50));
    t.items.push_back(button(1003, u"3rd", 90));
    t.items.push_back(button(1004, u"4th", 90));
    DialogItemTemplate label;
    label.className = CLASS_STATIC;
    label.text = u"Message...";
    label.id = kTextId;
    label.style = 0x50020000;
    label.x = 40;
    label.y = 10;
    label.cx = 350;
    label.cy = 35;
    t.items.push_back(label);
    return t;
}

void CGUIMessageBox::SetButtonText(int button, const std::u16string& text) {
    if (button >= 1 && button <= 4)
        buttonTexts_[static_cast<std::size_t>(button - 1)] = text;
}

int CGUIMessageBox::buttonCount() const {
    const unsigned count = code_ & 0xF;
    return count >= 2 && count <= 4 ? static_cast<int>(count) : 1;
}

int CGUIMessageBox::DoModal() {
    InitModalIndirect(buildTemplate());
    return CDialog::DoModal();
}

void CGUIMessageBox::ReadProperties(const CSkinElement& element) {
    CGUIDialog::ReadProperties(element);
    CUTPropertiesReader reader(element);
    std::uint32_t style = 0;
    if (reader.GetULong("WinStyle", style))
        ModifyStyle(0, style);
    std::int32_t id = 0;
    if (reader.GetInt("IconErrorResID", id))
        IconErrorResID = id;
    if (reader.GetInt("IconWarningResID", id))
        IconWarningResID = id;
    if (reader.GetInt("IconQuestionResID", id))
        IconQuestionResID = id;
    if (reader.GetInt("IconInfoResID", id))
        IconInfoResID = id;
    systemIconSize = SYSTEM_ICON_SIZE;
}

bool CGUIMessageBox::OnInitDialog() {
    CGUIDialog::OnInitDialog();
    if (label_.SubclassDlgItem(kTextId, this))
        AddControl(&label_, &label_, kTextId);
    for (int i = 0; i < 4; ++i) {
        CGUIResizeButton& b = buttons_[static_cast<std::size_t>(i)];
        if (b.SubclassDlgItem(kFirstButtonId + i, this))
            AddControl(&b, &b, kFirstButtonId + i);
    }
    label_.SetLogFont(GetFont());
    ArrangeControls();
    layoutContent();
    layoutButtons();
    CenterWindow();
    // The default button has the focus already.
    return false;
}

void CGUIMessageBox::chooseIcon() {
    int skinIcon = 0;
    switch (code_ & 0xF00) {
        case 0x100:
            iconKind_ = IconKind::Error;
            skinIcon = IconErrorResID;
            break;
        case 0x200:
            iconKind_ = IconKind::Warning;
            skinIcon = IconWarningResID;
            break;
        case 0x300:
            iconKind_ = IconKind::Question;
            skinIcon = IconQuestionResID;
            break;
        case 0x400:
            iconKind_ = IconKind::Information;
            skinIcon = IconInfoResID;
            break;
        default:
            iconKind_ = IconKind::None;
            iconBitmap_ = Bitmap();
            return;
    }
    CGUIIcon icon;
    if (skinIcon != 0 && icon.Load(skinIcon, 3))
        iconBitmap_ = icon.bitmap();
    else
        iconBitmap_ = systemIcon(iconKind_);
}

void CGUIMessageBox::layoutContent() {
    label_.SetText(message_);
    SetWindowText(caption_);
    chooseIcon();
    const bool hasIcon = iconKind_ != IconKind::None;
    const int iconWidth = hasIcon ? kIconEdge : 0;

    int limit =
        background_.IsLoaded() ? GetClientRect().width() : backend().screenSize().cx / 2 + 100;
    if (hasIcon)
        limit -= iconWidth + 48;
    const Size text =
        measureText(message_, label_.labelFont(), DT_WORDBREAK | DT_NOPREFIX, std::max(limit, 1));
    const int x = hasIcon ? iconWidth + 36 : 12;
    label_.MoveWindow({x, 12, x + text.cx, 12 + text.cy});
    contentHeight_ = std::max(text.cy, systemIconSize) + 12;
    contentWidth_ = text.cx + 24 + (hasIcon ? iconWidth + 24 : 0);
}

void CGUIMessageBox::layoutButtons() {
    const int count = buttonCount();
    int sum = 0;
    for (int i = 0; i < 4; ++i) {
        CGUIResizeButton& b = buttons_[static_cast<std::size_t>(i)];
        if (!b.IsWindow())
            continue;
        if (i < count) {
            const std::u16string& text = buttonTexts_[static_cast<std::size_t>(i)];
            b.SetText(text.empty() ? b.GetWindowText() : text);
            b.ShowWindow(true);
            sum += b.GetWindowRect().width();
        } else {
            b.ShowWindow(false);
        }
    }
    const int top = contentHeight_ + 12;
    const int width = std::max(contentWidth_, 24 + sum + kButtonGap * count);
    int x = (width - (sum + kButtonGap * count) + 1) / 2;
    int buttonHeight = 0;
    for (int i = 0; i < count; ++i) {
        CGUIResizeButton& b = buttons_[static_cast<std::size_t>(i)];
        if (!b.IsWindow())
            continue;
        const Rect r = b.GetWindowRect();
        b.MoveWindow({x, top, x + r.width(), top + r.height()});
        x += r.width() + kButtonGap;
        buttonHeight = std::max(buttonHeight, r.height());
    }
    int height = top + buttonHeight + 12;
    if (GetStyle() & WS_CAPTION)
        height += kCaptionHeight;
    SetWindowSize(width, height);

    // The asked-for default, or the nearest visible one below it, else button 1.
    const unsigned asked = (code_ & 0xF0) >> 4;
    defaultButton_ = 1;
    if (asked >= 2 && asked <= 4)
        for (int n = static_cast<int>(asked); n >= 1; --n)
            if (n <= count) {
                defaultButton_ = n;
                break;
            }
    for (int i = 0; i < count; ++i)
        buttons_[static_cast<std::size_t>(i)].SetButtonStyle(
            i + 1 == defaultButton_ ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
    SetDefID(kFirstButtonId + defaultButton_ - 1);
    button(defaultButton_).SetFocus();
}

bool CGUIMessageBox::OnCommand(int id, int notifyCode) {
    if (notifyCode == BN_CLICKED && id >= kFirstButtonId && id < kFirstButtonId + 4) {
        EndDialog(id - kFirstButtonId + 1);
        return true;
    }
    return CGUIDialog::OnCommand(id, notifyCode);
}

void CGUIMessageBox::onPaint(Canvas& canvas) {
    CGUIDialog::onPaint(canvas);
    if (!iconBitmap_.empty())
        canvas.drawBitmapPart(iconBitmap_, {0, 0, iconBitmap_.width(), iconBitmap_.height()},
                              {12, 12, 12 + kIconEdge, 12 + kIconEdge});
}

}  // namespace nork::gui
