// qz_screenshot: saves what the X server shows as a PNG, for the display
// tests of programs that have no screenshot code of their own.
//
//   qz_screenshot FILE [X Y WIDTH HEIGHT]
//
// With an area only that part of the screen is kept (clipped to the screen).
// Exit status 0 when the file was written; 1 without a display; 2 when the
// picture could not be taken or written.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "guilib/port/Window.h"

int main(int argc, char** argv) {
    if (argc != 2 && argc != 6) {
        std::fprintf(stderr, "usage: qz_screenshot FILE [X Y WIDTH HEIGHT]\n");
        return 2;
    }
    auto& ui = nork::gui::backend();
    if (ui.isOffscreen()) {
        std::fprintf(stderr, "qz_screenshot: no display to take a picture of\n");
        return 1;
    }
    nork::gui::Bitmap shot = ui.captureScreen();
    if (shot.width() == 0) {
        std::fprintf(stderr, "qz_screenshot: the screen could not be read\n");
        return 2;
    }
    if (argc == 6) {
        const int x = std::atoi(argv[2]);
        const int y = std::atoi(argv[3]);
        shot = shot.copy(nork::gui::Rect{x, y, x + std::atoi(argv[4]), y + std::atoi(argv[5])});
    }
    if (!shot.savePng(argv[1])) {
        std::fprintf(stderr, "qz_screenshot: cannot write %s\n", argv[1]);
        return 2;
    }
    std::printf("qz_screenshot: %s (%dx%d)\n", argv[1], shot.width(), shot.height());
    return 0;
}
