// Temporary: no desktop backend yet, so the offscreen one is always chosen.
#include "guilib/port/Backends.h"

namespace nork::gui::detail {

std::unique_ptr<Backend> makeGtkBackend() {
    return nullptr;
}

}  // namespace nork::gui::detail
