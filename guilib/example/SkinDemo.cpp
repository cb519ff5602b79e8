// qz_skin_demo: one skinned dialog with every control of the library (three-
// slice and image buttons, labels with shadow and gradient, a hyperlink, a
// picture progress bar, a picture control) and the skinned message box, all
// from the program's own resources. The display tests drive it; it is also
// the starting point for a skinned program.
//
//   qz_skin_demo [--lang LANGID] [--screenshots DIR] [--message]
//
// --screenshots (or QZ_SCREENSHOT_DIR) saves dialog.png and messagebox.png
// as drawn; --message opens the message box at once. Exit status: 0 closed
// with Close, 2 closed otherwise, 1 when the dialog could not be shown.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "guilib/src/GUIButton.h"
#include "guilib/src/GUIDialog.h"
#include "guilib/src/GUILabel.h"
#include "guilib/src/GUIMessageBox.h"
#include "guilib/src/GUIPictureCtrl.h"
#include "guilib/src/GUIProgressCtrl.h"
#include "guilib/src/Properties.h"
#include "guilib/src/Resources.h"
#include "guilib/src/UTMLString.h"
#include "port/Locale.h"
#include "port/Messages.h"

namespace {

using namespace nork::gui;
namespace port = nork::port;

constexpr int kDemoDialog = 100;
constexpr int kSkinResource = 600;
// Posted to itself so the box opens after the click that asked for it has
// been answered (an assistive technology waits for that answer).
constexpr std::uint32_t kShowMessage = port::WM_USER + 100;
constexpr std::uintptr_t kScreenshotTimer = 1;

enum : int {
    IDC_SHOW = 1000,
    IDC_PROGRESS_TEXT = 1001,
    IDC_INTRO = 1002,
    IDC_LINK = 1003,
    IDC_EXPLAIN = 1004,
    IDC_PROGRESS = 1005,
    IDC_X = 1006,
    IDC_LOGO = 1007,
    IDC_TITLE = 1008,
    IDC_GRADIENT = 1009,
};

std::string g_screenshots;

void saveShot(CWnd& window, const char* name) {
    if (g_screenshots.empty() || !window.native())
        return;
    std::string path = g_screenshots + "/" + name;
    Bitmap shot = backend().render(*window.native());
    if (shot.savePng(path))
        std::printf("screenshot: %s\n", path.c_str());
    else
        std::fprintf(stderr, "qz_skin_demo: could not save %s (%dx%d)\n", path.c_str(),
                     shot.width(), shot.height());
}

DialogTemplate demoTemplate() {
    DialogTemplate t;
    t.style = WS_POPUP | WS_VISIBLE | WS_SYSMENU | DS_SETFONT;
    t.exStyle = WS_EX_APPWINDOW;
    t.cx = 320;
    t.cy = 200;
    t.fontFace = u"MS Shell Dlg";
    auto item = [](int id, const char16_t* cls, std::uint32_t style, int x, int y, int cx, int cy) {
        DialogItemTemplate i;
        i.id = id;
        i.className = cls;
        i.style = WS_CHILD | WS_VISIBLE | style;
        i.x = x;
        i.y = y;
        i.cx = cx;
        i.cy = cy;
        i.text = u"...";
        return i;
    };
    t.items = {
        item(IDOK, CLASS_BUTTON, BS_DEFPUSHBUTTON | WS_TABSTOP, 260, 180, 50, 14),
        item(IDC_SHOW, CLASS_BUTTON, WS_TABSTOP, 200, 180, 50, 14),
        item(IDC_X, CLASS_BUTTON, 0, 290, 4, 14, 14),
        item(IDC_TITLE, CLASS_STATIC, 0, 40, 8, 200, 14),
        item(IDC_INTRO, CLASS_STATIC, 0, 8, 50, 200, 20),
        item(IDC_LINK, CLASS_STATIC, SS_NOTIFY | WS_TABSTOP, 8, 72, 160, 8),
        item(IDC_EXPLAIN, CLASS_STATIC, 0, 8, 90, 200, 24),
        item(IDC_GRADIENT, CLASS_STATIC, 0, 8, 118, 200, 10),
        item(IDC_PROGRESS, CLASS_PROGRESS, WS_BORDER, 8, 134, 120, 10),
        item(IDC_LOGO, CLASS_STATIC, 0, 4, 4, 30, 14),
    };
    // What assistive technology calls the bar (it draws no text of its own).
    t.items[8].text = u"Progress";
    return t;
}

// String 3021 holds the language's reading order: non-zero is right to left.
bool rightToLeft() {
    std::string digits;
    for (char16_t c : LoadLocalizedString(3021))
        if (c < 0x80)
            digits += static_cast<char>(c);
    return std::atoi(digits.c_str()) != 0;
}

// The box of the demo: as the library draws it, photographed once shown.
class CDemoMessageBox : public CGUIMessageBox {
  public:
    using CGUIMessageBox::CGUIMessageBox;
    bool OnInitDialog() override {
        bool result = CGUIMessageBox::OnInitDialog();
        if (!g_screenshots.empty())
            SetTimer(kScreenshotTimer, 300);
        return result;
    }
    void OnTimer(std::uintptr_t id) override {
        if (id != kScreenshotTimer)
            return;
        KillTimer(id);
        takeShot();
    }
    // A box closed before its timer still leaves its picture.
    bool OnCommand(int id, int notifyCode) override {
        takeShot();
        return CGUIMessageBox::OnCommand(id, notifyCode);
    }

  private:
    void takeShot() {
        if (shot_)
            return;
        shot_ = true;
        saveShot(*this, "messagebox.png");
    }
    bool shot_ = false;
};

class CSkinDemoDlg : public CGUIDialog {
  public:
    CSkinDemoDlg() : CGUIDialog(kDemoDialog) {}

    bool OnInitDialog() override {
        CGUIDialog::OnInitDialog();
        struct Entry {
            CWnd* window;
            CSkinLayout* layout;
            int id;
        } entries[] = {
            {&show_, &show_, IDC_SHOW},
            {&close_, &close_, IDOK},
            {&x_, &x_, IDC_X},
            {&title_, &title_, IDC_TITLE},
            {&intro_, &intro_, IDC_INTRO},
            {&explain_, &explain_, IDC_EXPLAIN},
            {&gradient_, &gradient_, IDC_GRADIENT},
            {&link_, &link_, IDC_LINK},
            {&progress_, &progress_, IDC_PROGRESS},
            {&logo_, &logo_, IDC_LOGO},
        };
        for (const Entry& e : entries) {
            e.window->SubclassDlgItem(e.id, this);
            AddControl(e.window, e.layout, e.id);
        }
        for (CGUIButtonBase* b :
             {static_cast<CGUIButtonBase*>(&show_), static_cast<CGUIButtonBase*>(&close_),
              static_cast<CGUIButtonBase*>(&x_)})
            b->SetDrawFocusRect(false);
        link_.SetLink(3008, 3009);
        progress_.SetBarImages(401, 400, "GIF");
        progress_.SetBorder(false);
        progress_.SetRange(0, 100);
        progress_.SetPos(37);
        progress_.ShowText(false);
        logo_.SetDrawStyle(3);
        logo_.LoadPicture("GIF", 601, 255);
        SetWindowText(LoadLocalizedString(3000));
        if (rightToLeft()) {
            ModifyStyleEx(0, WS_EX_RTLREADING | WS_EX_RIGHT);
            for (CGUILabel* l :
                 {&title_, &intro_, &explain_, &gradient_, static_cast<CGUILabel*>(&link_)}) {
                l->ModifyStyleEx(0, WS_EX_RTLREADING | WS_EX_RIGHT);
                l->SetDrawFormat(DT_RIGHT | DT_RTLREADING | DT_WORDBREAK);
            }
            for (CGUIResizeButton* b : {&show_, &close_}) {
                b->ModifyStyleEx(0, WS_EX_RTLREADING | WS_EX_RIGHT);
                b->SetTextFormat(b->textFormat() | DT_RIGHT | DT_RTLREADING);
            }
        }
        ArrangeControls();
        CenterWindow();
        if (!g_screenshots.empty())
            SetTimer(kScreenshotTimer, 300);
        if (openMessageAtOnce)
            PostMessage(kShowMessage, 0, 0);
        return true;
    }

    bool OnCommand(int id, int notifyCode) override {
        if (id == IDC_SHOW && notifyCode == BN_CLICKED) {
            PostMessage(kShowMessage, 0, 0);
            return true;
        }
        if (id == IDC_X && notifyCode == BN_CLICKED) {
            OnCancel();
            return true;
        }
        return CGUIDialog::OnCommand(id, notifyCode);
    }

    void OnTimer(std::uintptr_t id) override {
        if (id != kScreenshotTimer)
            return;
        KillTimer(id);
        takeShot();
    }
    // A dialog closed before its timer still leaves its picture.
    void OnOK() override {
        takeShot();
        CGUIDialog::OnOK();
    }
    void OnCancel() override {
        takeShot();
        CGUIDialog::OnCancel();
    }

    std::intptr_t WindowProc(std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override {
        if (message == kShowMessage) {
            CDemoMessageBox box(LoadLocalizedString(3020), LoadLocalizedString(3019), 0x401, this);
            box.SetButtonText(1, LoadLocalizedString(3018));
            std::printf("message box: %d\n", box.DoModal());
            std::fflush(stdout);
            return 0;
        }
        return CGUIDialog::WindowProc(message, wParam, lParam);
    }

    bool openMessageAtOnce = false;

  private:
    void takeShot() {
        if (shot_)
            return;
        shot_ = true;
        saveShot(*this, "dialog.png");
    }
    bool shot_ = false;
    CGUIResizeButton show_;
    CGUIResizeButton close_;
    CGUIImageButton x_;
    CGUILabel title_;
    CGUILabel intro_;
    CGUILabel explain_;
    CGUILabel gradient_;
    CGUIHyperlink link_;
    CGUIProgressCtrl progress_;
    CGUIPictureCtrl logo_;
};

int usage(FILE* out) {
    std::fputs("usage: qz_skin_demo [--lang LANGID] [--screenshots DIR] [--message]\n", out);
    return out == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    int language = 0;
    bool message = false;
    if (const char* dir = std::getenv("QZ_SCREENSHOT_DIR"))
        g_screenshots = dir;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help"))
            return usage(stdout);
        if (!std::strcmp(argv[i], "--lang") && i + 1 < argc) {
            language = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--screenshots") && i + 1 < argc) {
            g_screenshots = argv[++i];
        } else if (!std::strcmp(argv[i], "--message")) {
            message = true;
        } else {
            return usage(stderr);
        }
    }

    registerDialogTemplate(kDemoDialog, demoTemplate());
    if (language) {
        // --lang shows a language even where the system has no locale
        // generated for it (a bare test machine): every language of the
        // string tables counts as installed.
        std::vector<std::uint16_t> all =
            res::resourceLanguages(res::ResId(res::RT_STRING), res::ResId(3001 / 16 + 1));
        port::setInstalledLanguagesForTest(all);
    }
    CUTMLString::instance().InitLanguages(3001);
    if (language &&
        CUTMLString::instance().SetLanguage(static_cast<std::uint16_t>(language)) != language)
        std::fprintf(stderr, "qz_skin_demo: no strings in language %d; keeping %d\n", language,
                     CUTMLString::instance().currentLanguage());
    if (!CProperties::instance().load(kSkinResource))
        std::fputs("qz_skin_demo: the skin document did not load; plain look\n", stderr);

    CSkinDemoDlg dialog;
    dialog.openMessageAtOnce = message;
    int result = dialog.DoModal();
    if (result < 0) {
        std::fputs("qz_skin_demo: the dialog could not be shown\n", stderr);
        return 1;
    }
    return result == IDOK ? 0 : 2;
}
