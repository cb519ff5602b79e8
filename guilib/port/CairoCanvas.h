// Internal to guilib/port: the cairo canvas for the desktop backend, which
// draws its widgets with the same code as the offscreen bitmaps.
#pragma once

#include <memory>

#include "guilib/port/Graphics.h"

struct _cairo;  // cairo_t, kept out of the headers

namespace nork::gui::detail {

// A canvas over the context (referenced while the canvas lives). Its origin
// and clip start as the context's.
std::unique_ptr<Canvas> canvasForCairo(struct _cairo* cr);

}  // namespace nork::gui::detail
