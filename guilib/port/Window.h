// The window layer of the skinned dialog library: top-level windows and the
// child controls inside them, as the library above sees them.
//
// Two backends implement it:
//  - the desktop backend (GtkBackend.cpp): GTK 3 windows. A child control is
//    a real GTK widget whose drawing we own (a GtkButton for buttons, so
//    focus, the default button, tab order and accessibility come from GTK;
//    labels, links and progress bars are drawn widgets with the matching
//    accessible role and name). Toolkit events arrive in the WindowHandler.
//  - the offscreen backend (OffscreenBackend.cpp): the same tree in memory,
//    drawn into a Bitmap on request; tests drive it through the handler and
//    the simulate* calls.
//
// Coordinates: a child's bounds are in its parent's client coordinates; a
// top-level window's bounds are its client area in screen coordinates (our
// windows draw their own caption when they have one, so the client area is
// the whole window).
//
// Threads: the user-interface thread only (the thread that first called
// backend()). Window messages and timers of the library go through the
// message layer (port/Messages.h); the desktop backend pumps that thread's
// message queue from the GLib main loop, the offscreen backend from
// runModalLoop.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "guilib/port/Graphics.h"

namespace nork::gui {

enum class WidgetKind {
    TopLevel,
    Button,    // push, check and radio buttons: "push button" to assistive technology
    Label,     // static text or picture: "label"
    Link,      // a hyperlink label: "link"
    Progress,  // "progress bar" with its value
};

// Virtual key codes the handlers receive.
inline constexpr int VK_RETURN = 0x0D;
inline constexpr int VK_ESCAPE = 0x1B;
inline constexpr int VK_SPACE = 0x20;

// What a window tells its owner (the library's window object). Defaults do
// nothing. Called on the user-interface thread from the backend's event
// dispatch; a handler may destroy other windows but not its own window.
class WindowHandler {
  public:
    virtual ~WindowHandler() = default;
    // Paint the whole client area (the canvas is clipped and translated to it).
    virtual void onPaint(Canvas& canvas) {}
    virtual void onMouseDown(Point client, bool doubleClick) {}
    virtual void onMouseUp(Point client) {}
    virtual void onMouseMove(Point client) {}
    virtual void onMouseLeave() {}
    virtual void onKeyDown(int vk) {}
    virtual void onKeyUp(int vk) {}
    virtual void onFocus(bool gained) {}
    // A button was clicked: mouse released over it after a press, the space
    // key released, Enter on the default button, or the action of an
    // assistive technology.
    virtual void onClicked() {}
    // The user asked to close a top-level window (window manager, Escape).
    virtual void onCloseRequest() {}
};

class NativeWindow {
  public:
    virtual ~NativeWindow() = default;
    virtual WidgetKind kind() const = 0;
    // The handler receives this window's events; nullptr detaches.
    virtual void setHandler(WindowHandler* handler) = 0;
    virtual WindowHandler* handler() const = 0;
    virtual NativeWindow* parent() const = 0;

    virtual void setBounds(const Rect& bounds) = 0;
    virtual Rect bounds() const = 0;
    // Title of a top-level window, label of a control; also its accessible name.
    virtual void setText(const std::u16string& text) = 0;
    virtual std::u16string text() const = 0;
    virtual void setVisible(bool visible) = 0;
    virtual bool isVisible() const = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual bool isEnabled() const = 0;
    // Only the region's pixels (client coordinates) belong to the window;
    // nullptr gives back the whole rectangle.
    virtual void setRegion(const Region* region) = 0;
    // Top-level windows: 0..255; -1 makes the window opaque (not layered).
    virtual void setOpacity(int alpha) = 0;
    virtual int opacity() const = 0;
    virtual void setIcons(const Bitmap* large, const Bitmap* small) = 0;
    // Repaint soon (invalidate) or now (update; nothing on the offscreen backend).
    virtual void invalidate() = 0;
    virtual void update() = 0;
    virtual void setFocus() = 0;
    virtual bool hasFocus() const = 0;
    // Buttons: Enter in the top-level window clicks the default button.
    virtual void setDefault(bool isDefault) = 0;
    // Progress bars: the value assistive technology reads (0..1).
    virtual void setProgressValue(double fraction) = 0;
    virtual void setHandCursor(bool hand) = 0;
    // Right-to-left reading order for the accessible text and key navigation.
    virtual void setRtl(bool rtl) = 0;
    // Top-level windows: centred on the owner's window, or on the screen.
    virtual void centre(const NativeWindow* owner) = 0;
    // Top-level windows: in front of every other window (or no longer).
    virtual void setTopMost(bool topMost) = 0;
    // Top-level windows: move with the pointer while the button is held, as a
    // press on the caption does (the press was at `screen`).
    virtual void beginMoveDrag(Point screen) = 0;
    // Child windows: ordered after their siblings in the tab order by
    // creation; this one takes part in tab navigation or not.
    virtual void setTabStop(bool tabStop) = 0;
};

class Backend {
  public:
    virtual ~Backend() = default;
    virtual bool isOffscreen() const = 0;
    // A hidden top-level window, owned by `owner` when given (modal boxes).
    virtual std::unique_ptr<NativeWindow> createTopLevel(NativeWindow* owner) = 0;
    // A hidden child of the window (top-level or not) at the bounds.
    virtual std::unique_ptr<NativeWindow> createChild(NativeWindow& parent, WidgetKind kind,
                                                      const Rect& bounds) = 0;
    // Runs the thread's events (toolkit events and the message layer's posted
    // messages, sent messages and timers) until done() answers true; nested
    // calls are allowed (a modal box over a modal dialog). `window` is the
    // modal window: input to other top-level windows is blocked meanwhile.
    virtual void runModalLoop(NativeWindow& window, const std::function<bool()>& done) = 0;
    // Runs what is ready now without blocking (tests, progress updates).
    virtual void runPending() = 0;
    virtual Size screenSize() const = 0;
    // The window and its visible children as drawn now, region and opacity
    // applied (pixels outside the region are transparent).
    virtual Bitmap render(NativeWindow& window) = 0;

    // Test drivers (both backends): deliver input as a user's would arrive.
    virtual void simulateMouseDown(NativeWindow& window, Point client) = 0;
    virtual void simulateMouseUp(NativeWindow& window, Point client) = 0;
    virtual void simulateMouseMove(NativeWindow& window, Point client) = 0;
    virtual void simulateMouseLeave(NativeWindow& window) = 0;
    virtual void simulateKey(NativeWindow& window, int vk, bool down) = 0;
    // The whole screen as shown now (screenshots of display tests); empty
    // where there is no screen (the offscreen backend).
    virtual Bitmap captureScreen() { return {}; }
};

// The backend of this process, chosen on first use: the desktop backend when
// a display can be opened (and QZ_GUI_BACKEND is not "offscreen"), else the
// offscreen backend.
Backend& backend();
// Tests: use the offscreen backend from now on (before any window exists).
void useOffscreenBackend();
// Whether the desktop backend is in use.
bool desktopBackendActive();

}  // namespace nork::gui
