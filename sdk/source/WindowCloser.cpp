#include "WindowCloser.h"

#include <thread>

#include "Log.h"
#include "port/Messages.h"

namespace nork {

namespace {

constexpr std::uint32_t WM_SYSCOMMAND = 0x0112;
constexpr std::uintptr_t SC_CLOSE = 0xF060;
constexpr std::chrono::milliseconds ROUND_PAUSE{20};

}  // namespace

void CWindowCloser::pause(std::chrono::milliseconds d) {
    PauseFunction hook;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        hook = m_pause;
    }
    if (hook)
        hook(d);
    else if (d.count() > 0)
        std::this_thread::sleep_for(d);
}

void CWindowCloser::setPauseFunction(PauseFunction pause) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_pause = std::move(pause);
}

std::u16string CWindowCloser::unsafeRemovalTitle() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_unsafeRemovalTitle;
}

void CWindowCloser::setUnsafeRemovalTitle(const std::u16string& title) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_unsafeRemovalTitle = title;
    m_initialised = true;
}

std::u16string CWindowCloser::secondTitle() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_secondTitle;
}

void CWindowCloser::setSecondTitle(const std::u16string& title) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_secondTitle = title;
}

void CWindowCloser::setSettleDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_settleDelay = delay;
}

bool CWindowCloser::closeAll(const std::u16string& title) {
    bool seen = false;
    port::HWND hwnd = port::findWindowByTitle(title);
    for (int round = 0; hwnd != port::HWND_NONE && round < MAX_ROUNDS; ++round) {
        seen = true;
        port::postMessage(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        pause(ROUND_PAUSE);
        hwnd = port::findWindowByTitle(title);
    }
    return seen;
}

bool CWindowCloser::closeWindow() {
    try {
        NORK_LOG(LOG_DEBUG, "WindowCloser::closeWindow was call");
        if (!port::systemShowsDeviceDialogs())
            return false;
        std::u16string unsafeTitle;
        std::u16string second;
        std::chrono::milliseconds settle{};
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            // The localized title would come from the system's resources;
            // there are none to read, so the default stays.
            m_initialised = true;
            unsafeTitle = m_unsafeRemovalTitle;
            second = m_secondTitle;
            settle = m_settleDelay;
        }
        bool seen = false;

        // The confirmation window: asked to close; the window layer has no
        // child controls, so there is no "No" button to press besides.
        if (!second.empty()) {
            port::HWND hwnd = port::findWindowByTitle(second);
            for (int round = 0; hwnd != port::HWND_NONE && round < MAX_ROUNDS; ++round) {
                seen = true;
                NORK_LOG(LOG_DEBUG,
                         "CWindowCloser::closeWindow FindWindow Succeed finding Window %s ",
                         second);
                port::postMessage(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
                NORK_LOG(LOG_DEBUG, "CWindowCloser::closeWindow WM_SYSCOMMAND to window %s ",
                         second);
                pause(ROUND_PAUSE);
                hwnd = port::findWindowByTitle(second);
                if (hwnd != port::HWND_NONE)
                    NORK_LOG(LOG_DEBUG, "CWindowCloser::closeWindow window %s  still there",
                             second);
                pause(ROUND_PAUSE);
            }
        }

        // The warning may appear a moment after the drive left.
        if (port::findWindowByTitle(unsafeTitle) == port::HWND_NONE)
            pause(settle);
        seen = closeAll(unsafeTitle) || seen;
        seen = closeAll(NEW_HARDWARE_TITLE) || seen;
        return seen;
    } catch (...) {
        return false;
    }
}

}  // namespace nork
