// Stand-in until the offscreen backend lands: no offscreen windows.
#include "guilib/port/Backends.h"

namespace nork::gui::detail {

std::unique_ptr<Backend> makeOffscreenBackend() {
    return nullptr;
}

}  // namespace nork::gui::detail
