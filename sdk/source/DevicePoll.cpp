#include "DevicePoll.h"

#include <atomic>

namespace nork {

namespace {
std::atomic<port::HWND> g_sdkWindow{port::HWND_NONE};
}

port::HWND sdkWindow() {
    return g_sdkWindow.load();
}

void setSdkWindow(port::HWND hwnd) {
    g_sdkWindow.store(hwnd);
}

CDevicePoll& CDevicePoll::instance() {
    static CDevicePoll poll;
    return poll;
}

void CDevicePoll::pause() {}

void CDevicePoll::resume() {}

}  // namespace nork
