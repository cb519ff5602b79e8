// RestoreQz: the restore program started from the drive it restores.
#include <cstdio>

#include "guilib/port/Window.h"
#include "restore/RestoreQzApp.h"

int main() {
    // Without a display nothing could be shown or answered: every box would
    // wait for ever.
    nork::gui::backend();
    if (!nork::gui::desktopBackendActive()) {
        std::fputs("RestoreQz: no display; the restore dialog cannot be shown\n", stderr);
        return 1;
    }
    // The start-up routine shows the dialog (or a refusal) and the program
    // ends with it.
    nork::restore::theApp().InitInstance();
    return 0;
}
