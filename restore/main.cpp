// RestoreQz: the restore program started from the drive it restores.
#include "restore/RestoreQzApp.h"

int main() {
    // The start-up routine shows the dialog (or a refusal) and the program
    // ends with it.
    nork::restore::theApp().InitInstance();
    return 0;
}
