// Closes the system windows that a drive's detach and re-attach may bring
// up (the unsafe-removal warning, the new-hardware wizard, a confirmation
// with a "No" button) so a transparent reconnection stays transparent.
//
// Only where the port says the system shows such dialogs: elsewhere (every
// Linux desktop) there is nothing to wait for or look for, and closeWindow
// returns at once. Windows are found by title through port/Messages.h,
// which sees this process's windows only: there is no desktop-wide list to
// search. The
// localized titles of the system's own dialogs are not available either,
// so the unsafe-removal title keeps its English default and the second
// title stays unknown (nothing to look for) until set.
//
// Threads: closeWindow runs on the caller's thread (the reconnecting thread
// and the polling thread); it sleeps between rounds and gives up after a
// bounded number of rounds per window.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "Singleton.h"

namespace nork {

class CWindowCloser {
  public:
    static constexpr const char16_t* DEFAULT_UNSAFE_REMOVAL_TITLE = u"Unsafe Removal of Device";
    static constexpr const char16_t* NEW_HARDWARE_TITLE = u"Found New Hardware Wizard";
    // Close requests per window before giving up on it.
    static constexpr int MAX_ROUNDS = 50;

    CWindowCloser() = default;
    CWindowCloser(const CWindowCloser&) = delete;
    CWindowCloser& operator=(const CWindowCloser&) = delete;

    static CWindowCloser& instance() { return TSingleton<CWindowCloser>::instance(); }

    // True when any of the windows was seen.
    bool closeWindow();

    std::u16string unsafeRemovalTitle() const;
    void setUnsafeRemovalTitle(const std::u16string& title);
    std::u16string secondTitle() const;
    void setSecondTitle(const std::u16string& title);
    // How long an absent unsafe-removal window is given to appear (1 s).
    void setSettleDelay(std::chrono::milliseconds delay);
    // How the closer waits (tests count the calls); null: sleep.
    using PauseFunction = std::function<void(std::chrono::milliseconds)>;
    void setPauseFunction(PauseFunction pause);

  private:
    // Closes every window with the title; true when one was seen.
    bool closeAll(const std::u16string& title);
    void pause(std::chrono::milliseconds d);

    mutable std::mutex m_mutex;
    std::u16string m_unsafeRemovalTitle = DEFAULT_UNSAFE_REMOVAL_TITLE;
    bool m_initialised = false;
    std::u16string m_secondTitle;
    std::chrono::milliseconds m_settleDelay{1000};
    PauseFunction m_pause;
};

}  // namespace nork
