#include <cstdlib>
#include <string_view>

#include "guilib/port/Backends.h"

namespace nork::gui {

namespace {

std::unique_ptr<Backend>& current() {
    static std::unique_ptr<Backend> instance;
    return instance;
}

bool& desktop() {
    static bool active = false;
    return active;
}

}  // namespace

Backend& backend() {
    auto& b = current();
    if (!b) {
        const char* forced = std::getenv("QZ_GUI_BACKEND");
        if (!forced || std::string_view(forced) != "offscreen") {
            b = detail::makeGtkBackend();
            desktop() = b != nullptr;
        }
        if (!b)
            b = detail::makeOffscreenBackend();
    }
    return *b;
}

void useOffscreenBackend() {
    auto& b = current();
    if (b && b->isOffscreen())
        return;
    b = detail::makeOffscreenBackend();
    desktop() = false;
}

bool desktopBackendActive() {
    return desktop();
}

}  // namespace nork::gui
