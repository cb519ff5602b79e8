// Windows and message queues: the message layer every program and the
// library's background threads use.
//
// A window is an addressable target owned by the thread that created it. Each
// thread has one queue, created on first use. Messages are posted (queued,
// from any thread, any time) or sent (a synchronous call of the window
// procedure on its owner thread: the sender blocks until the owner handled
// it). Sent messages are delivered only while the owner thread is inside
// peekMessage, getMessage, sendMessage or pumpOneMessage, so a thread that
// owns windows must keep pumping. Timers put WM_TIMER into the owner's queue.
//
// Across processes of the user: registered message names map to the same
// number in every process (a shared names file under a lock in the runtime
// directory), and broadcastMessage posts to every top-level window of every
// process (one Unix datagram socket per process in the runtime directory;
// sockets of processes that died are removed by the next broadcast).
//
// Threads: every function may be called from any thread; none throws. Only
// getMessage and sendMessage/sendMessageTimeout block. Window procedures run
// without any of the layer's locks held, so they may call back into it.
//
// GLib integration: threadQueueFd() is readable whenever the calling thread's
// queue has work (posted, sent, quit or a due timer); a main loop watches it
// and calls pumpOneMessage-style peek/dispatch until it is drained.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "port/PortError.h"

namespace nork::port {

using HWND = std::uintptr_t;
inline constexpr HWND HWND_NONE = 0;
// As target of postMessage: every top-level window of every process of the user.
inline constexpr HWND HWND_BROADCAST = 0xFFFF;

inline constexpr std::uint32_t WM_NULL = 0x0000;
inline constexpr std::uint32_t WM_QUIT = 0x0012;
inline constexpr std::uint32_t WM_TIMER = 0x0113;
inline constexpr std::uint32_t WM_USER = 0x0400;
// The range registerWindowMessage hands out.
inline constexpr std::uint32_t REGISTERED_MESSAGE_FIRST = 0xC000;
inline constexpr std::uint32_t REGISTERED_MESSAGE_LAST = 0xFFFF;

struct Msg {
    HWND hwnd = HWND_NONE;
    std::uint32_t message = WM_NULL;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

using WindowProc = std::function<std::intptr_t(HWND, std::uint32_t, std::uintptr_t, std::intptr_t)>;

// Creates a top-level window owned by the calling thread. The title is what
// findWindowByTitle matches. HWND_NONE when proc is empty. The first window of
// the process starts its broadcast receiver.
HWND createWindow(const std::u16string& title, WindowProc proc);
// Removes the window, its timers and its posted messages. Messages sent to it
// and not yet delivered answer 0. False when it did not exist. A window also
// ends with its owner thread.
bool destroyWindow(HWND hwnd);
bool isWindow(HWND hwnd);
// This process's windows only (there is no desktop-wide window list). The
// first window created with that exact title, HWND_NONE when none.
HWND findWindowByTitle(const std::u16string& title);

// A thread's message queue as seen from another thread, so that a wait of
// that thread which also watches something of its own (a flag looked at
// between waitThreadQueue calls) can be woken by a post.
struct ThreadQueueHandle {
    std::weak_ptr<void> queue;
};
ThreadQueueHandle currentThreadQueue();
// Posts a thread message (hwnd HWND_NONE) to that queue. False when the
// handle is empty or its thread has ended.
bool postThreadMessage(const ThreadQueueHandle& thread, std::uint32_t message,
                       std::uintptr_t wParam, std::intptr_t lParam);

// Whether the system opens windows of its own when a device leaves or
// arrives (an unsafe-removal warning, a new-hardware wizard) that a program
// may have to close. No Linux desktop does: false, unless a test says
// otherwise (std::nullopt restores the platform's answer).
bool systemShowsDeviceDialogs();
void setSystemShowsDeviceDialogs(std::optional<bool> shows);

// Queues the message for the window's owner thread. HWND_NONE posts to the
// calling thread's own queue (hwnd 0 in the message); HWND_BROADCAST is
// broadcastMessage. False for a window that does not exist.
bool postMessage(HWND hwnd, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

// Calls the window procedure on the owner thread and returns its answer: a
// direct call on the owner thread, otherwise the caller blocks (delivering
// messages sent to its own windows meanwhile) until the owner handled it.
// 0 for a window that does not exist or ends before handling the message.
std::intptr_t sendMessage(HWND hwnd, std::uint32_t message, std::uintptr_t wParam,
                          std::intptr_t lParam);
// As sendMessage, but gives up after `timeout` (the message may still be
// handled later; its answer is then dropped). True with *result set when the
// procedure answered in time; false for a missing window or a timeout.
bool sendMessageTimeout(HWND hwnd, std::uint32_t message, std::uintptr_t wParam,
                        std::intptr_t lParam, std::chrono::milliseconds timeout,
                        std::intptr_t* result);

// Delivers the messages sent to the calling thread's windows, then looks at
// its queue: posted messages in order, then WM_QUIT (once posted), then due
// timers. True with `out` set when there was one; `remove` takes it off.
bool peekMessage(Msg& out, bool remove);
// Blocks until a message is there (delivering sent messages meanwhile) and
// takes it. False when it is WM_QUIT (out.wParam = exit code).
bool getMessage(Msg& out);
// Calls the procedure of out.hwnd with the message; 0 when the window is gone.
std::intptr_t dispatchMessage(const Msg& msg);
// Asks the calling thread's message loop to end: getMessage answers false
// once the posted messages before it are taken.
void postQuitMessage(int exitCode);

// WM_TIMER (wParam = id, lParam = 0) every `ms` milliseconds to the window's
// owner thread; several elapsed periods collapse into one message. Setting an
// existing (hwnd, id) restarts it. False for a missing window.
bool setTimer(HWND hwnd, std::uintptr_t id, std::uint32_t ms);
bool killTimer(HWND hwnd, std::uintptr_t id);

// The number for a name, the same in every process of the user (ASCII letters
// compare without case). 0 for an empty name, a name with a line break, a
// full range or an unusable runtime directory.
std::uint32_t registerWindowMessage(const std::u16string& name);

// Posts the message to every top-level window of every process of the user
// (this one included). Never blocks on another process: a receiver that is
// full misses the message, a socket whose process died is removed. Messages
// below WM_USER reach this process's windows only: their parameters may be
// pointers, which mean nothing in another process.
PortError broadcastMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

// A file descriptor (eventfd) readable while the calling thread's queue has
// work; owned by the layer, valid until the thread ends. -1 when none could be
// made.
int threadQueueFd();

// Blocks up to `timeout` until threadQueueFd() is readable (a loop that also
// waits for other things polls the descriptor itself). True when it is.
bool waitThreadQueue(std::chrono::milliseconds timeout);

// Takes at most one message off the calling thread's queue without
// dispatching it; messages sent to the thread's windows are delivered during
// the call. True when a message was taken. Never blocks. A quit request is
// left for the thread's own loop. (The library's wait
// loops install this as their pump.)
bool pumpOneMessage();

// Where names and broadcast sockets live: "$XDG_RUNTIME_DIR/qz-messages", else
// "/tmp/qz-messages-<uid>". Setting it (tests) moves this process's receiver
// and forgets cached names; an empty string restores the default.
void setMessagesRuntimeDir(const std::string& dir);
std::string messagesRuntimeDir();

namespace detail {
// Between the portable queues (Messages.cpp) and the Linux backend; not for
// callers of the layer.
int wakeFdCreate() noexcept;
void wakeFdSet(int fd) noexcept;
void wakeFdClear(int fd) noexcept;
void wakeFdClose(int fd) noexcept;
// Starts (or restarts after a fork or a directory change) this process's
// broadcast receiver; the receiver calls postToAllWindows.
void ensureBroadcastReceiver();
void stopBroadcastReceiver();
void postToAllWindows(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
}  // namespace detail

}  // namespace nork::port
