// Device polling: the background thread that owns the library's hidden
// window, turns device notifications into queued device events and hands
// ready events to the device manager and its observers.
#pragma once

#include "port/Messages.h"

namespace nork {

// The library's hidden window (target of WM_SDK_BROADCAST_REQUEST);
// HWND_NONE while device polling is not running.
port::HWND sdkWindow();
// Set by the polling thread when it creates or destroys its window (tests
// install their own window).
void setSdkWindow(port::HWND hwnd);

class CDevicePoll {
  public:
    static CDevicePoll& instance();

    // Holds event processing (no event is fired) until resume(); nests.
    void pause();
    void resume();
};

}  // namespace nork
