// The two window-layer backends (internal to guilib/port).
#pragma once

#include <memory>

#include "guilib/port/Window.h"

namespace nork::gui::detail {

std::unique_ptr<Backend> makeOffscreenBackend();
// nullptr when no display can be opened.
std::unique_ptr<Backend> makeGtkBackend();

}  // namespace nork::gui::detail
