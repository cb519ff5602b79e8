// The small window framework the skinned library sits on: CWnd (a window
// object over a NativeWindow of the window layer) and CDialog (a dialog made
// from a dialog template, with its window messages and timers on the message
// layer). The library's controls derive from CWnd and attach to the child
// windows a dialog made from its template (SubclassDlgItem), as the skin
// classes expect of their platform.
//
// Threads: user-interface thread only, except CDialog::PostMessage (any
// thread, through the message layer).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "guilib/port/Window.h"
#include "port/Messages.h"

namespace nork::gui {

// Window styles (the bits templates and the Parts give).
inline constexpr std::uint32_t WS_POPUP = 0x80000000;
inline constexpr std::uint32_t WS_CHILD = 0x40000000;
inline constexpr std::uint32_t WS_VISIBLE = 0x10000000;
inline constexpr std::uint32_t WS_DISABLED = 0x08000000;
inline constexpr std::uint32_t WS_CAPTION = 0x00C00000;
inline constexpr std::uint32_t WS_BORDER = 0x00800000;
inline constexpr std::uint32_t WS_SYSMENU = 0x00080000;
inline constexpr std::uint32_t WS_THICKFRAME = 0x00040000;
inline constexpr std::uint32_t WS_GROUP = 0x00020000;
inline constexpr std::uint32_t WS_TABSTOP = 0x00010000;
inline constexpr std::uint32_t DS_SETFONT = 0x40;
inline constexpr std::uint32_t DS_MODALFRAME = 0x80;
inline constexpr std::uint32_t DS_CENTER = 0x800;
inline constexpr std::uint32_t WS_EX_DLGMODALFRAME = 0x1;
inline constexpr std::uint32_t WS_EX_TOPMOST = 0x8;
inline constexpr std::uint32_t WS_EX_CLIENTEDGE = 0x200;
inline constexpr std::uint32_t WS_EX_RIGHT = 0x1000;
inline constexpr std::uint32_t WS_EX_RTLREADING = 0x2000;
inline constexpr std::uint32_t WS_EX_STATICEDGE = 0x20000;
inline constexpr std::uint32_t WS_EX_APPWINDOW = 0x40000;
inline constexpr std::uint32_t WS_EX_LAYERED = 0x80000;
inline constexpr std::uint32_t WS_EX_LAYOUTRTL = 0x400000;
// Button styles.
inline constexpr std::uint32_t BS_PUSHBUTTON = 0x0;
inline constexpr std::uint32_t BS_DEFPUSHBUTTON = 0x1;
inline constexpr std::uint32_t BS_CHECKBOX = 0x2;
inline constexpr std::uint32_t BS_AUTOCHECKBOX = 0x3;
inline constexpr std::uint32_t BS_RADIOBUTTON = 0x4;
inline constexpr std::uint32_t BS_GROUPBOX = 0x7;
inline constexpr std::uint32_t BS_AUTORADIOBUTTON = 0x9;
inline constexpr std::uint32_t BS_OWNERDRAW = 0xB;
inline constexpr std::uint32_t BS_TYPEMASK = 0xF;
inline constexpr std::uint32_t BS_FLAT = 0x8000;
// Static styles.
inline constexpr std::uint32_t SS_LEFT = 0x0;
inline constexpr std::uint32_t SS_CENTER = 0x1;
inline constexpr std::uint32_t SS_RIGHT = 0x2;
inline constexpr std::uint32_t SS_BITMAP = 0xE;
inline constexpr std::uint32_t SS_LEFTNOWORDWRAP = 0xC;
inline constexpr std::uint32_t SS_TYPEMASK = 0x1F;
inline constexpr std::uint32_t SS_NOTIFY = 0x100;
inline constexpr std::uint32_t SS_CENTERIMAGE = 0x200;
inline constexpr std::uint32_t SS_SUNKEN = 0x1000;
// Progress bar styles.
inline constexpr std::uint32_t PBS_VERTICAL = 0x4;

// Messages and codes of the framework.
inline constexpr std::uint32_t WM_CLOSE = 0x0010;
inline constexpr std::uint32_t WM_COMMAND = 0x0111;
inline constexpr std::uint16_t BN_CLICKED = 0;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

constexpr std::uintptr_t MAKEWPARAM(unsigned low, unsigned high) {
    return (low & 0xFFFF) | ((high & 0xFFFF) << 16);
}

// Template class names.
inline constexpr const char16_t* CLASS_BUTTON = u"Button";
inline constexpr const char16_t* CLASS_STATIC = u"Static";
inline constexpr const char16_t* CLASS_PROGRESS = u"msctls_progress32";

struct DialogItemTemplate {
    std::u16string className;  // CLASS_BUTTON, CLASS_STATIC, CLASS_PROGRESS
    std::u16string text;
    int id = -1;  // -1: no id (a static nobody addresses)
    std::uint32_t style = WS_CHILD | WS_VISIBLE;
    std::uint32_t exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0;  // dialog units
    int imageId = 0;                   // SS_BITMAP statics: the bitmap resource shown
};

struct DialogTemplate {
    std::uint32_t style = WS_POPUP | WS_VISIBLE | DS_SETFONT;
    std::uint32_t exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0;  // dialog units
    std::u16string caption;
    int pointSize = 8;
    std::u16string fontFace = u"MS Sans Serif";
    std::uint8_t charSet = 0;
    std::vector<DialogItemTemplate> items;
};

// The program's dialog templates by id (its resources).
void registerDialogTemplate(int id, DialogTemplate dialogTemplate);
const DialogTemplate* findDialogTemplate(int id);

class CDialog;

class CWnd : public WindowHandler {
  public:
    CWnd();
    ~CWnd() override;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    NativeWindow* native() const { return native_; }
    bool IsWindow() const { return native_ != nullptr; }
    int GetDlgCtrlID() const { return id_; }
    CWnd* GetParent() const { return parent_; }
    // The dialog this window belongs to (itself for a dialog), or nullptr.
    CDialog* GetOwnerDialog() const;
    // "Button", "Static", "msctls_progress32", or "Dialog".
    const std::u16string& className() const { return className_; }

    std::uint32_t GetStyle() const { return style_; }
    std::uint32_t GetExStyle() const { return exStyle_; }
    // Style bits as stored; visibility, enabling and reading order (WS_VISIBLE,
    // WS_DISABLED, WS_EX_RTLREADING / WS_EX_LAYOUTRTL) also reach the window.
    void ModifyStyle(std::uint32_t remove, std::uint32_t add);
    void ModifyStyleEx(std::uint32_t remove, std::uint32_t add);

    virtual void SetWindowText(const std::u16string& text);
    std::u16string GetWindowText() const;
    // Children: parent client coordinates; top-level windows: screen.
    void MoveWindow(const Rect& rect, bool repaint = true);
    // Keeps the position.
    void SetWindowSize(int cx, int cy);
    Rect GetWindowRect() const;
    // (0, 0, width, height).
    Rect GetClientRect() const;
    void ShowWindow(bool show);
    bool IsWindowVisible() const;
    void EnableWindow(bool enable);
    bool IsWindowEnabled() const;
    void Invalidate();
    void UpdateWindow();
    // nullopt: the whole rectangle again.
    void SetWindowRgn(std::optional<Region> region, bool redraw);
    const std::optional<Region>& GetWindowRgn() const { return region_; }
    void SetFocus();
    bool HasFocus() const;
    // A child of this window by control id (dialogs), or nullptr.
    virtual CWnd* GetDlgItem(int id) const;

    // The window font record; a window without its own uses its dialog's.
    void SetFont(const LogFont& font, bool redraw = true);
    LogFont GetFont() const;
    bool HasOwnFont() const { return font_.has_value(); }

    // Takes over the dialog's child window with that id (made from the
    // template): this object receives its events from now on, and
    // PreSubclassWindow runs. False when there is no such child or another
    // object has it already.
    bool SubclassDlgItem(int id, CWnd* parentDialog);
    virtual void PreSubclassWindow() {}
    // The kind of window this class needs (a hyperlink over a template's
    // static wants a link); the dialog remakes the child window at
    // SubclassDlgItem when it differs. nullopt: keep the template's.
    virtual std::optional<WidgetKind> preferredKind() const { return std::nullopt; }

    // The window layer's events. The defaults draw the platform control's
    // plain look and report clicks of buttons to the dialog (WM_COMMAND,
    // BN_CLICKED).
    void onPaint(Canvas& canvas) override;
    void onClicked() override;

    // Framework internals: the dialog binds its windows with these.
    void bindNative(NativeWindow* window, CWnd* parent, CDialog* dialog, int id,
                    std::u16string className, std::uint32_t style, std::uint32_t exStyle);
    void unbindNative();

protected:
    void dialogSelf(CDialog* self);

public:

  protected:
    // Draws the plain look of the template control (classic buttons, static
    // text, progress bars), used until a subclass draws itself.
    void drawDefault(Canvas& canvas);

  private:
    NativeWindow* native_ = nullptr;
    CWnd* parent_ = nullptr;
    CDialog* dialog_ = nullptr;
    int id_ = 0;
    std::u16string className_;
    std::uint32_t style_ = 0;
    std::uint32_t exStyle_ = 0;
    std::optional<LogFont> font_;
    std::optional<Region> region_;

  public:
    // SS_BITMAP statics of the template show this bitmap.
    int templateImageId = 0;
};

class CDialog : public CWnd {
  public:
    // A dialog on the program's template `templateId`.
    explicit CDialog(int templateId, CWnd* parent = nullptr);
    ~CDialog() override;

    // Use this template instead of a registered one (boxes built in memory).
    void InitModalIndirect(const DialogTemplate& dialogTemplate);
    // Creates the windows, runs OnInitDialog, shows the dialog and runs the
    // thread's events until EndDialog; the windows are gone when it returns.
    // -1 when there is no template or the window layer failed.
    int DoModal();
    // Modeless: creates and initialises the dialog (shown when its template
    // style has WS_VISIBLE). False on failure.
    bool Create();
    void DestroyWindow();
    void EndDialog(int result);
    bool IsEnded() const { return ended_; }

    virtual bool OnInitDialog();
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // WM_COMMAND: IDOK and IDCANCEL clicked end the dialog; true when handled.
    virtual bool OnCommand(int id, int notifyCode);
    virtual void OnTimer(std::uintptr_t id) {}
    // Every message of the dialog's message-layer window (posted, sent,
    // timers) and the framework's own WM_COMMAND. The default hands
    // WM_TIMER to OnTimer, WM_COMMAND to OnCommand, WM_CLOSE to OnCancel.
    virtual std::intptr_t WindowProc(std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam);

    // The dialog's window in the message layer (posting target of workers);
    // HWND_NONE before creation and after destruction.
    port::HWND GetSafeHwnd() const { return hwnd_; }
    bool SetTimer(std::uintptr_t id, std::uint32_t ms);
    bool KillTimer(std::uintptr_t id);
    bool PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

    // Centred on the parent dialog's window, or on the screen.
    void CenterWindow();
    // Dialog units to pixels with the template font's base units.
    Rect MapDialogRect(const Rect& dialogUnits) const;
    Size dialogBaseUnits() const;
    int templateId() const { return templateId_; }
    // The template's font as a record (face, point size as a pixel height).
    LogFont templateFont() const;
    // The button Enter clicks.
    void SetDefID(int id);
    int GetDefID() const { return defId_; }

    CWnd* GetDlgItem(int id) const override;
    // Every child window of the template, subclassed or not, in template order.
    std::vector<CWnd*> children() const;

    void onPaint(Canvas& canvas) override;
    void onCloseRequest() override;

    // Tests: called once a dialog is shown inside DoModal, before its events
    // run (a test presses its buttons from here or from timers it sets).
    static void setShowHook(std::function<void(CDialog&)> hook);

  private:
    bool createWindows();
    void destroyWindows();
    void releaseChild(CWnd* control);

    int templateId_;
    CWnd* parentWnd_;
    std::optional<DialogTemplate> indirect_;
    DialogTemplate template_;
    std::unique_ptr<NativeWindow> topLevel_;
    struct Child {
        std::unique_ptr<NativeWindow> window;
        std::unique_ptr<CWnd> placeholder;  // the plain window object until subclassed
        CWnd* attached = nullptr;           // the object that took it over
        int id = -1;
    };
    std::vector<Child> children_;
    port::HWND hwnd_ = port::HWND_NONE;
    bool ended_ = false;
    int result_ = 0;
    int defId_ = IDOK;
    Size baseUnits_{};

    friend class CWnd;
};

}  // namespace nork::gui
