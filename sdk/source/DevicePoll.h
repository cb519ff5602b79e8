// Device polling: the background thread that owns the library's hidden
// window. Device notifications (port/DeviceNotifier.h) reach the window
// procedure while the thread pumps; each becomes a queued device event that
// waits until the drive is usable, then goes to the device manager (CZykSDK)
// and, when it yields an event type, to the attached observers. The same
// window carries the broadcast requests of reconnections and relays the
// event notifications of the library's other processes.
//
// The thread sleeps until a message reaches its window: a notification is
// handled and its event tested at once. Only events that are not ready yet
// bring the thread back every polling interval (250 ms) to test them again.
//
// Threads: the polling thread runs the window procedure, event processing,
// observer notification and listener attachment. Application threads queue
// listeners (which wakes the thread) and send broadcast requests to the
// window (answered at once).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "DeviceEvent.h"
#include "Singleton.h"
#include "Thread.h"
#include "port/DeviceInventory.h"
#include "port/DeviceNotifier.h"
#include "port/Messages.h"

namespace nork {

class CDeviceListener;

// The library's hidden window (target of WM_SDK_BROADCAST_REQUEST);
// HWND_NONE while device polling is not running.
port::HWND sdkWindow();
// Set by the polling thread when it creates or destroys its window (tests
// install their own window).
void setSdkWindow(port::HWND hwnd);

// The queue of device events and what a ready event does.
class CDevicePollImpl : public CDeviceEventSink {
  public:
    CDevicePollImpl() = default;
    ~CDevicePollImpl() override = default;
    CDevicePollImpl(const CDevicePollImpl&) = delete;
    CDevicePollImpl& operator=(const CDevicePollImpl&) = delete;

    // On the polling thread: announce what is connected, start listening.
    virtual bool start() { return true; }
    virtual void close() {}
    void clearEvents() { m_events.clear(); }
    // Delivers what the thread's queue holds; true when something was there.
    virtual bool pumpOneMessage();

    // Called by the notification handlers; the caller keeps its event.
    void RegisterEvent(const CDeviceEvent& event) { m_events.RegisterEvent(event); }
    // Tests queued events; fires the ready ones.
    void Process() { m_events.Process(*this); }
    std::size_t queuedEvents() const { return m_events.size(); }
    // An event came in since the last Process: it is tested at once.
    bool hasFreshEvents() const { return m_events.hasFreshEvents(); }
    // The window whose queue the thread waits on (none: the thread looks
    // every polling interval).
    virtual port::HWND window() const { return port::HWND_NONE; }

    // A ready event: asks the device manager and notifies observers.
    void DeviceConnected(CDeviceParams& params, std::uint32_t tick) override;
    void DeviceDisconnected(CDeviceParams& params) override;

  private:
    CDeviceEventList m_events;
};

// The window-based implementation: the hidden window, the notifier feeding
// it, the arrival and removal handlers.
class CDevicePollWinHID : public CDevicePollImpl {
  public:
    CDevicePollWinHID() = default;
    ~CDevicePollWinHID() override;

    // Subscribes first and scans after: a drive that arrives in between is
    // both notified and scanned, and the two reports merge into one event.
    bool start() override;
    void close() override;

    port::HWND window() const override { return m_hWnd; }

    // Runs on the polling thread between the subscription and the start-up
    // scan of every start (tests: what arrives there must be reported).
    // Empty removes it.
    static void setStartupGapHook(std::function<void()> hook);

    // The handlers, public for tests that feed them without a system.
    void deviceArrivel(std::uint32_t mask, const std::u16string* path);
    void deviceRemoval(const std::u16string& path);
    void usbRemoval(const std::u16string& path);
    void hidArrival(const std::u16string& path);
    void hidRemoval(const std::u16string& path);
    void handleConnectedDevices();
    std::intptr_t broadcastRequest(std::uintptr_t wParam, std::intptr_t lParam);
    void relayedNotification(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

    std::intptr_t WndProc(port::HWND hwnd, std::uint32_t message, std::uintptr_t wParam,
                          std::intptr_t lParam);

  private:
    bool createWindow();
    // After a volume left: volumes that were reported without a drive
    // letter and have one now (a freed one) are reported with it, which
    // their drives hear as an update.
    void reportFreedLetters(const std::u16string& gone);

    port::HWND m_hWnd = port::HWND_NONE;
    bool m_volumeNotify = false;
    bool m_hidNotify = false;
    bool m_usbNotify = false;
    port::DeviceNotifier m_notifier;
    std::set<std::u16string> m_letterless;  // volumes reported without a letter
};

class CDevicePoll : public CThread {
  public:
    static constexpr std::uint32_t POLLING_INTERVAL_MS = 250;

    static CDevicePoll& instance() { return TSingleton<CDevicePoll>::instance(); }

    CDevicePoll() = default;
    ~CDevicePoll() override;

    // "Starting Device Polling" / "Stop Device Polling".
    bool start();
    void stop();
    // Library start-up: the implementation the platform asks for; the thread
    // restarts with it when it was running.
    void setImplementation(std::unique_ptr<CDevicePollImpl> impl);
    // The running implementation (null while stopped); for tests.
    CDevicePollImpl* implementation() const { return m_impl.get(); }
    // The running implementation has subscribed to device notifications and
    // made its start-up scan: from now on no arrival goes unreported. Any
    // thread.
    bool listening() const { return m_listening.load(); }

    // Listeners wait here until the polling thread attaches them.
    void queueListener(CDeviceListener* listener);
    void unqueueListener(CDeviceListener* listener);

    // Holds the polling thread off attaching listeners (and thus calling
    // them) for its lifetime.
    class ListenerQueueGuard {
      public:
        ListenerQueueGuard() : m_lock(CDevicePoll::instance().m_queueMutex) {}

      private:
        std::lock_guard<CThreadMutex> m_lock;
    };

  protected:
    void run() override;
    void onStart() override;
    void onStop() override;
    void onWake() override;

  private:
    void attachQueuedListeners();

    std::unique_ptr<CDevicePollImpl> m_impl;
    std::unique_ptr<CDevicePollImpl> m_nextImpl;
    std::uint32_t m_interval = POLLING_INTERVAL_MS;
    std::vector<CDeviceListener*> m_queue;
    CThreadMutex m_queueMutex;
    std::uint32_t m_nextProcess = 0;
    // The running implementation's window: a message posted to it ends the
    // thread's wait (stop, a queued listener).
    std::atomic<port::HWND> m_wakeWindow{port::HWND_NONE};
    std::atomic<bool> m_listening{false};
};

// The implementation the platform asks for (every type gets the window form;
// unfamiliar types are logged first).
std::unique_ptr<CDevicePollImpl> CreateHIDPollImpl(int platformType);

}  // namespace nork
