// Stand-in of the restore dialog, used only while restore/RestoreQzDlg.h is
// missing (restore/CMakeLists.txt): the agreed interface over an empty dialog.
#pragma once

#include "guilib/src/GUIDialog.h"

namespace nork::restore {

// Registers dialog template 200.
void RegisterRestoreDialogTemplate();

class CRestoreQzDlg : public gui::CGUIDialog {
  public:
    explicit CRestoreQzDlg(gui::CWnd* parent = nullptr);
};

}  // namespace nork::restore
