#include "restore/RestoreQzDlg.h"

namespace nork::restore {

void RegisterRestoreDialogTemplate() {
    gui::DialogTemplate t;
    t.style = 0x90080048;
    t.exStyle = 0x00040000;
    t.cx = 198;
    t.cy = 185;
    t.fontFace = u"MS Shell Dlg";
    t.charSet = 1;
    gui::registerDialogTemplate(200, t);
}

CRestoreQzDlg::CRestoreQzDlg(gui::CWnd* parent) : gui::CGUIDialog(200, parent) {}

}  // namespace nork::restore
