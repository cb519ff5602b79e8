#include "guilib/src/Wnd.h"

#include <map>

#include "guilib/src/GUIPicture.h"

namespace nork::gui {

namespace {

std::map<int, DialogTemplate>& templates() {
    static std::map<int, DialogTemplate> registry;
    return registry;
}

std::function<void(CDialog&)>& showHook() {
    static std::function<void(CDialog&)> hook;
    return hook;
}

// Windows' MulDiv: rounded, as dialog units are converted.
int mulDiv(int value, int numerator, int denominator) {
    if (denominator == 0)
        return -1;
    long long product = static_cast<long long>(value) * numerator;
    long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : (product - half) / denominator);
}

WidgetKind kindFor(const DialogItemTemplate& item) {
    if (item.className == CLASS_BUTTON) {
        // A group box is a frame with a caption, not something to press.
        if ((item.style & BS_TYPEMASK) == BS_GROUPBOX)
            return WidgetKind::Label;
        return WidgetKind::Button;
    }
    if (item.className == CLASS_PROGRESS)
        return WidgetKind::Progress;
    return WidgetKind::Label;
}

}  // namespace

void registerDialogTemplate(int id, DialogTemplate dialogTemplate) {
    templates()[id] = std::move(dialogTemplate);
}

const DialogTemplate* findDialogTemplate(int id) {
    auto it = templates().find(id);
    return it == templates().end() ? nullptr : &it->second;
}

// ---- CWnd ----

CWnd::CWnd() = default;

CWnd::~CWnd() {
    if (dialog_ && dialog_ != this)
        dialog_->releaseChild(this);
    if (native_ && native_->handler() == this)
        native_->setHandler(nullptr);
}

CDialog* CWnd::GetOwnerDialog() const {
    return dialog_;
}

void CWnd::dialogSelf(CDialog* self) {
    dialog_ = self;
}

void CWnd::bindNative(NativeWindow* window, CWnd* parent, CDialog* dialog, int id,
                      std::u16string className, std::uint32_t style, std::uint32_t exStyle) {
    native_ = window;
    parent_ = parent;
    dialog_ = dialog;
    id_ = id;
    className_ = std::move(className);
    style_ = style;
    exStyle_ = exStyle;
    if (native_)
        native_->setHandler(this);
}

void CWnd::unbindNative() {
    if (native_ && native_->handler() == this)
        native_->setHandler(nullptr);
    native_ = nullptr;
    dialog_ = nullptr;
    parent_ = nullptr;
}

void CWnd::ModifyStyle(std::uint32_t remove, std::uint32_t add) {
    std::uint32_t before = style_;
    style_ = (style_ & ~remove) | add;
    if (!native_)
        return;
    if ((before ^ style_) & WS_VISIBLE)
        native_->setVisible((style_ & WS_VISIBLE) != 0);
    if ((before ^ style_) & WS_DISABLED)
        native_->setEnabled((style_ & WS_DISABLED) == 0);
}

void CWnd::ModifyStyleEx(std::uint32_t remove, std::uint32_t add) {
    std::uint32_t before = exStyle_;
    exStyle_ = (exStyle_ & ~remove) | add;
    constexpr std::uint32_t rtl = WS_EX_RTLREADING | WS_EX_LAYOUTRTL;
    if (native_ && ((before ^ exStyle_) & rtl))
        native_->setRtl((exStyle_ & rtl) != 0);
}

void CWnd::SetWindowText(const std::u16string& text) {
    if (!native_)
        return;
    native_->setText(text);
    native_->invalidate();
}

std::u16string CWnd::GetWindowText() const {
    return native_ ? native_->text() : std::u16string();
}

void CWnd::MoveWindow(const Rect& rect, bool repaint) {
    if (!native_)
        return;
    native_->setBounds(rect);
    if (repaint)
        native_->invalidate();
}

void CWnd::SetWindowSize(int cx, int cy) {
    if (!native_)
        return;
    Rect r = native_->bounds();
    native_->setBounds({r.left, r.top, r.left + cx, r.top + cy});
    native_->invalidate();
}

Rect CWnd::GetWindowRect() const {
    return native_ ? native_->bounds() : Rect{};
}

Rect CWnd::GetClientRect() const {
    Rect r = GetWindowRect();
    return {0, 0, r.width(), r.height()};
}

void CWnd::ShowWindow(bool show) {
    style_ = show ? (style_ | WS_VISIBLE) : (style_ & ~WS_VISIBLE);
    if (native_)
        native_->setVisible(show);
}

bool CWnd::IsWindowVisible() const {
    return native_ && native_->isVisible();
}

void CWnd::EnableWindow(bool enable) {
    style_ = enable ? (style_ & ~WS_DISABLED) : (style_ | WS_DISABLED);
    if (native_) {
        native_->setEnabled(enable);
        native_->invalidate();
    }
}

bool CWnd::IsWindowEnabled() const {
    return native_ && native_->isEnabled();
}

void CWnd::Invalidate() {
    if (native_)
        native_->invalidate();
}

void CWnd::UpdateWindow() {
    if (native_)
        native_->update();
}

void CWnd::SetWindowRgn(std::optional<Region> region, bool redraw) {
    region_ = std::move(region);
    if (!native_)
        return;
    native_->setRegion(region_ ? &*region_ : nullptr);
    if (redraw)
        native_->invalidate();
}

void CWnd::SetFocus() {
    if (native_)
        native_->setFocus();
}

bool CWnd::HasFocus() const {
    return native_ && native_->hasFocus();
}

CWnd* CWnd::GetDlgItem(int) const {
    return nullptr;
}

void CWnd::SetFont(const LogFont& font, bool redraw) {
    font_ = font;
    if (redraw)
        Invalidate();
}

LogFont CWnd::GetFont() const {
    if (font_)
        return *font_;
    if (dialog_ && dialog_ != this)
        return dialog_->GetFont();
    return LogFont{};
}

bool CWnd::SubclassDlgItem(int id, CWnd* parentDialog) {
    auto* dialog = dynamic_cast<CDialog*>(parentDialog);
    if (!dialog || native_)
        return false;
    for (auto& child : dialog->children_) {
        if (child.id != id || child.attached)
            continue;
        auto wanted = preferredKind();
        if (wanted && *wanted != child.window->kind() && dialog->topLevel_) {
            // Same place, text and state in a window of the kind this class needs.
            auto fresh = backend().createChild(*dialog->topLevel_, *wanted, child.window->bounds());
            if (fresh) {
                CWnd& plain = *child.placeholder;
                fresh->setText(child.window->text());
                fresh->setVisible(child.window->isVisible());
                fresh->setEnabled(child.window->isEnabled());
                fresh->setTabStop((plain.style_ & WS_TABSTOP) != 0);
                plain.bindNative(fresh.get(), dialog, dialog, id, plain.className_, plain.style_,
                                 plain.exStyle_);
                child.window = std::move(fresh);
            }
        }
        const CWnd& plain = *child.placeholder;
        child.attached = this;
        templateImageId = plain.templateImageId;
        bindNative(child.window.get(), dialog, dialog, id, plain.className_, plain.style_,
                   plain.exStyle_);
        PreSubclassWindow();
        return true;
    }
    return false;
}

void CWnd::onPaint(Canvas& canvas) {
    drawDefault(canvas);
}

void CWnd::onClicked() {
    if (className_ == CLASS_BUTTON && dialog_ && dialog_ != this)
        dialog_->WindowProc(WM_COMMAND, MAKEWPARAM(static_cast<unsigned>(id_), BN_CLICKED), 0);
}

void CWnd::drawDefault(Canvas& canvas) {
    Rect client = GetClientRect();
    const bool enabled = IsWindowEnabled();
    const COLORREF textColour = enabled ? sysColor(COLOR_BTNTEXT) : sysColor(COLOR_GRAYTEXT);
    if (className_ == CLASS_BUTTON) {
        if ((style_ & BS_TYPEMASK) == BS_GROUPBOX) {
            Rect frame = client;
            frame.top += 6;
            canvas.drawEdge(frame, Edge::Etched);
            canvas.drawText(GetWindowText(), {8, 0, client.right - 8, 14}, GetFont(), textColour,
                            DT_LEFT | DT_SINGLELINE);
            return;
        }
        canvas.fillRect(client, sysColor(COLOR_BTNFACE));
        canvas.drawEdge(client, Edge::Raised);
        canvas.drawText(GetWindowText(), client, GetFont(), textColour,
                        DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        if (HasFocus()) {
            Rect focus = client;
            focus.inflate(-3, -3);
            canvas.drawFocusRect(focus);
        }
        return;
    }
    if (className_ == CLASS_PROGRESS) {
        canvas.fillRect(client, sysColor(COLOR_BTNFACE));
        canvas.drawEdge(client, Edge::Sunken);
        return;
    }
    if (className_ == CLASS_STATIC) {
        if ((style_ & SS_TYPEMASK) == SS_BITMAP) {
            if (auto bitmap = LoadBitmapResource(templateImageId))
                canvas.drawBitmap(*bitmap, 0, 0);
            return;
        }
        std::uint32_t format = DT_WORDBREAK;
        switch (style_ & SS_TYPEMASK) {
            case SS_CENTER:
                format = DT_CENTER | DT_WORDBREAK;
                break;
            case SS_RIGHT:
                format = DT_RIGHT | DT_WORDBREAK;
                break;
            case SS_LEFTNOWORDWRAP:
                format = DT_LEFT;
                break;
            default:
                break;
        }
        if (exStyle_ & WS_EX_RTLREADING)
            format |= DT_RTLREADING;
        canvas.drawText(GetWindowText(), client, GetFont(), textColour, format);
        return;
    }
    canvas.fillRect(client, sysColor(COLOR_BTNFACE));
}

// ---- CDialog ----

CDialog::CDialog(int templateId, CWnd* parent) : templateId_(templateId), parentWnd_(parent) {}

CDialog::~CDialog() {
    destroyWindows();
}

void CDialog::InitModalIndirect(const DialogTemplate& dialogTemplate) {
    indirect_ = dialogTemplate;
}

void CDialog::setShowHook(std::function<void(CDialog&)> hook) {
    showHook() = std::move(hook);
}

LogFont CDialog::templateFont() const {
    LogFont font;
    font.faceName = template_.fontFace.substr(0, 31);
    font.height = pointsToPixelHeight(template_.pointSize);
    font.charSet = template_.charSet;
    return font;
}

Size CDialog::dialogBaseUnits() const {
    return baseUnits_;
}

Rect CDialog::MapDialogRect(const Rect& units) const {
    return {mulDiv(units.left, baseUnits_.cx, 4), mulDiv(units.top, baseUnits_.cy, 8),
            mulDiv(units.right, baseUnits_.cx, 4), mulDiv(units.bottom, baseUnits_.cy, 8)};
}

bool CDialog::createWindows() {
    if (topLevel_)
        return false;
    const DialogTemplate* source = indirect_ ? &*indirect_ : findDialogTemplate(templateId_);
    if (!source)
        return false;
    template_ = *source;
    ended_ = false;
    result_ = 0;

    LogFont font = templateFont();
    baseUnits_ = fontBaseUnits(font);
    // A font the system cannot measure still gives usable windows.
    if (baseUnits_.cx <= 0 || baseUnits_.cy <= 0)
        baseUnits_ = {6, 13};

    auto* owner = dynamic_cast<CDialog*>(parentWnd_);
    NativeWindow* ownerWindow = owner ? owner->topLevel_.get() : nullptr;
    topLevel_ = backend().createTopLevel(ownerWindow);
    if (!topLevel_)
        return false;
    Rect bounds = MapDialogRect(
        {template_.x, template_.y, template_.x + template_.cx, template_.y + template_.cy});
    if (ownerWindow) {
        Rect o = ownerWindow->bounds();
        bounds.offset(o.left, o.top);
    }
    topLevel_->setBounds(bounds);
    topLevel_->setText(template_.caption);
    bindNative(topLevel_.get(), parentWnd_, this, 0, u"Dialog", template_.style, template_.exStyle);
    SetFont(font, false);
    if (template_.exStyle & (WS_EX_RTLREADING | WS_EX_LAYOUTRTL))
        topLevel_->setRtl(true);

    hwnd_ = port::createWindow(
        u"", [this](port::HWND, std::uint32_t message, std::uintptr_t wParam,
                    std::intptr_t lParam) { return WindowProc(message, wParam, lParam); });

    defId_ = IDOK;
    for (const DialogItemTemplate& item : template_.items) {
        Rect r = MapDialogRect({item.x, item.y, item.x + item.cx, item.y + item.cy});
        Child child;
        child.id = item.id;
        child.window = backend().createChild(*topLevel_, kindFor(item), r);
        if (!child.window)
            continue;
        child.placeholder = std::make_unique<CWnd>();
        child.placeholder->bindNative(child.window.get(), this, this, item.id, item.className,
                                      item.style, item.exStyle);
        child.placeholder->templateImageId = item.imageId;
        child.window->setText(item.text);
        child.window->setEnabled((item.style & WS_DISABLED) == 0);
        child.window->setTabStop((item.style & WS_TABSTOP) != 0);
        if (item.exStyle & (WS_EX_RTLREADING | WS_EX_LAYOUTRTL))
            child.window->setRtl(true);
        if (item.className == CLASS_STATIC && (item.style & SS_TYPEMASK) == SS_BITMAP) {
            // A bitmap static takes the size of its bitmap.
            if (auto bitmap = LoadBitmapResource(item.imageId))
                child.window->setBounds(
                    {r.left, r.top, r.left + bitmap->width(), r.top + bitmap->height()});
        }
        if (item.className == CLASS_BUTTON && (item.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
            defId_ = item.id;
            child.window->setDefault(true);
        }
        child.window->setVisible((item.style & WS_VISIBLE) != 0);
        children_.push_back(std::move(child));
    }
    return true;
}

void CDialog::destroyWindows() {
    if (hwnd_ != port::HWND_NONE) {
        port::destroyWindow(hwnd_);
        hwnd_ = port::HWND_NONE;
    }
    for (auto& child : children_) {
        if (child.attached)
            child.attached->unbindNative();
        if (child.placeholder)
            child.placeholder->unbindNative();
    }
    children_.clear();
    if (topLevel_) {
        // The dialog keeps its owner dialog (itself) for the fonts.
        CDialog* self = this;
        unbindNative();
        dialogSelf(self);
        topLevel_.reset();
    }
}

void CDialog::releaseChild(CWnd* control) {
    for (auto& child : children_) {
        if (child.attached != control)
            continue;
        child.attached = nullptr;
        if (child.window)
            child.window->setHandler(child.placeholder.get());
    }
}

int CDialog::DoModal() {
    if (!createWindows())
        return -1;
    bool focusFirst = OnInitDialog();
    if (!ended_ && topLevel_) {
        topLevel_->setVisible(true);
        if (focusFirst) {
            for (auto& child : children_) {
                CWnd* w = child.attached ? child.attached : child.placeholder.get();
                if ((w->GetStyle() & WS_TABSTOP) && w->IsWindowVisible() && w->IsWindowEnabled()) {
                    w->SetFocus();
                    break;
                }
            }
        }
        if (showHook())
            showHook()(*this);
        if (!ended_ && topLevel_)
            backend().runModalLoop(*topLevel_, [this] { return ended_; });
    }
    int result = result_;
    destroyWindows();
    return result;
}

bool CDialog::Create() {
    if (!createWindows())
        return false;
    OnInitDialog();
    if (topLevel_ && (template_.style & WS_VISIBLE))
        topLevel_->setVisible(true);
    return true;
}

void CDialog::DestroyWindow() {
    destroyWindows();
}

void CDialog::EndDialog(int result) {
    result_ = result;
    ended_ = true;
    if (topLevel_)
        topLevel_->setVisible(false);
}

bool CDialog::OnInitDialog() {
    return true;
}

bool CDialog::OnCommand(int id, int notifyCode) {
    if (notifyCode != BN_CLICKED)
        return false;
    if (id == IDOK) {
        OnOK();
        return true;
    }
    if (id == IDCANCEL) {
        OnCancel();
        return true;
    }
    return false;
}

std::intptr_t CDialog::WindowProc(std::uint32_t message, std::uintptr_t wParam, std::intptr_t) {
    switch (message) {
        case port::WM_TIMER:
            OnTimer(wParam);
            return 0;
        case WM_COMMAND:
            return OnCommand(static_cast<int>(wParam & 0xFFFF),
                             static_cast<int>((wParam >> 16) & 0xFFFF))
                       ? 1
                       : 0;
        case WM_CLOSE:
            OnCancel();
            return 0;
        default:
            return 0;
    }
}

bool CDialog::SetTimer(std::uintptr_t id, std::uint32_t ms) {
    return hwnd_ != port::HWND_NONE && port::setTimer(hwnd_, id, ms);
}

bool CDialog::KillTimer(std::uintptr_t id) {
    return hwnd_ != port::HWND_NONE && port::killTimer(hwnd_, id);
}

bool CDialog::PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    return hwnd_ != port::HWND_NONE && port::postMessage(hwnd_, message, wParam, lParam);
}

void CDialog::CenterWindow() {
    if (!topLevel_)
        return;
    auto* owner = dynamic_cast<CDialog*>(parentWnd_);
    topLevel_->centre(owner ? owner->topLevel_.get() : nullptr);
}

void CDialog::SetDefID(int id) {
    for (auto& child : children_) {
        if (!child.window)
            continue;
        if (child.id == defId_)
            child.window->setDefault(false);
        if (child.id == id)
            child.window->setDefault(true);
    }
    defId_ = id;
}

CWnd* CDialog::GetDlgItem(int id) const {
    for (const auto& child : children_)
        if (child.id == id)
            return child.attached ? child.attached : child.placeholder.get();
    return nullptr;
}

std::vector<CWnd*> CDialog::children() const {
    std::vector<CWnd*> out;
    for (const auto& child : children_)
        out.push_back(child.attached ? child.attached : child.placeholder.get());
    return out;
}

void CDialog::onPaint(Canvas& canvas) {
    canvas.fillRect(GetClientRect(), sysColor(COLOR_BTNFACE));
}

void CDialog::onCloseRequest() {
    WindowProc(WM_CLOSE, 0, 0);
}

}  // namespace nork::gui
