// Observers and device listeners against the threads that call them: a
// detach waits for a call in progress on another thread and no call starts
// after it, so a listener that detaches first thing in its destructor is
// never called once its destruction began.
#include "DeviceListener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DeviceManager.h"
#include "DeviceParams.h"
#include "DevicePoll.h"
#include "Thread.h"
#include "VendorTraits.h"
#include "WMListeningMgr.h"
#include "port/Messages.h"

namespace nork {
namespace {

using namespace std::chrono_literals;

// ---- the subject template ----

struct Numbers : TSubject<Numbers, int, int, CThreadMutex> {};
using NumberObserver = TObserver<Numbers, int, int, CThreadMutex>;

class Hook : public NumberObserver {
  public:
    explicit Hook(std::function<void()> body = [] {}) : m_body(std::move(body)) {}
    void update(Numbers&, int, int) override {
        ++calls;
        m_body();
    }
    std::function<void()> m_body;
    std::atomic<int> calls{0};
};

TEST(DeviceListenerSubject, DetachWaitsForTheCallInProgressOnAnotherThreadAndNoCallFollows) {
    Numbers subject;
    CSyncEvent entered(true, false);
    CSyncEvent release(true, false);
    std::atomic<bool> detached{false};
    std::atomic<int> callsAfterDetach{0};
    Hook hook([&] {
        if (detached)
            ++callsAfterDetach;
        entered.set();
        release.wait(5000);
    });
    subject.attach(&hook, 1);
    std::atomic<bool> notifying{true};
    std::thread notifier([&] {
        while (notifying)
            subject.notify(subject, 0, 1);
    });
    ASSERT_TRUE(entered.wait(5000));
    std::thread detacher([&] {
        subject.detach(&hook);
        detached = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(detached) << "detach returned while the observer was running";
    release.set();
    detacher.join();
    const int calls = hook.calls;
    std::this_thread::sleep_for(20ms);
    notifying = false;
    notifier.join();
    EXPECT_EQ(hook.calls, calls);
    EXPECT_EQ(callsAfterDetach, 0);
}

// What the first observer of a round does to the round; the second observer
// is attached after it. A detach that waited for a call of its own thread,
// or for a call that ended by an exception, would never return.
TEST(DeviceListenerSubject, AnObserverDetachingOrThrowingInItsCallEndsOnlyWhatItShould) {
    struct Case {
        const char* name;
        bool detachSelf;
        bool detachSecond;
        bool throws;
        int secondCalls;
    };
    const Case cases[] = {
        {"detaches itself", true, false, false, 1},
        {"detaches the second", false, true, false, 0},
        {"throws", false, false, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Numbers subject;
        Hook second;
        Hook first([&] {
            if (c.detachSelf)
                subject.detach(&first);
            if (c.detachSecond)
                subject.detach(&second);
            if (c.throws)
                throw std::runtime_error("observer fault");
        });
        subject.attach(&first, 1);
        subject.attach(&second, 1);
        subject.notify(subject, 0, 1);
        EXPECT_EQ(first.calls, 1);
        EXPECT_EQ(second.calls, c.secondCalls);
        // From another thread: must not wait for anything.
        auto detach = std::async(std::launch::async, [&] {
            subject.detach(&first);
            subject.detach(&second);
        });
        ASSERT_EQ(detach.wait_for(5s), std::future_status::ready);
        subject.notify(subject, 0, 1);
        EXPECT_EQ(first.calls, 1);
    }
}

// An observer may take a lock of the application while a thread of the
// application holding that lock changes its subscriptions: the subject's
// lock is not held during the call.
TEST(DeviceListenerSubject, AnObserverMayWaitForALockHeldByAThreadThatDetaches) {
    Numbers subject;
    std::mutex application;
    CSyncEvent locked(true, false);
    CSyncEvent entered(true, false);
    std::atomic<bool> gaveUp{false};
    Hook waiting([&] {
        entered.set();
        // Gives up after a while instead of deadlocking forever.
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (!application.try_lock()) {
            if (std::chrono::steady_clock::now() > end) {
                gaveUp = true;
                return;
            }
            std::this_thread::sleep_for(1ms);
        }
        application.unlock();
    });
    Hook other;
    subject.attach(&waiting, 1);
    subject.attach(&other, 2);
    std::thread app([&] {
        std::lock_guard<std::mutex> hold(application);
        locked.set();
        entered.wait(5000);
        subject.detach(&other);
    });
    ASSERT_TRUE(locked.wait(5000));
    std::thread notifier([&] { subject.notify(subject, 0, 1); });
    app.join();
    notifier.join();
    EXPECT_FALSE(gaveUp) << "the observer ran under the subject's lock";
    EXPECT_FALSE(subject.isAttached(&other, 2));
}

// ---- listeners and the polling thread ----

const CVendorDeviceTraitsANY kAny;

CDeviceParams drive(int n) {
    CDeviceParams p;
    const std::string serial = "QZLISTEN" + std::to_string(1000 + n);
    p.setSerialNumber(std::u16string(serial.begin(), serial.end()));
    p.setDriveMask(1u << (3 + n));
    const std::string path = "/dev/listen" + std::to_string(n);
    p.setPath(CDeviceParams::PATH_DISK, std::u16string(path.begin(), path.end()));
    p.setDeviceState(STATUS_OK);
    p.setTraits(const_cast<CVendorDeviceTraitsANY*>(&kAny));
    return p;
}

// What a window listener's filter sees. The listener owns a copy of the
// filter, destroyed with the listener's own part: a call reaching the copy
// after that is a call into a listener whose destruction began.
struct FilterProbe {
    std::atomic<int> calls{0};
    std::atomic<int> callsIntoAGoneListener{0};
    std::atomic<bool> copyGone{false};
    bool holdFirstCall = false;
    CSyncEvent firstCall{true, false};
    CSyncEvent removing{true, false};
};

class ProbeFilter : public CDeviceFilter {
  public:
    ProbeFilter(std::shared_ptr<FilterProbe> probe, bool copy)
        : m_probe(std::move(probe)), m_copy(copy) {}
    ~ProbeFilter() override {
        if (m_copy)
            m_probe->copyGone = true;
    }
    std::unique_ptr<CDeviceFilter> clone() const override {
        return std::make_unique<ProbeFilter>(m_probe, true);
    }
    bool accept(const CUFD&) const override {
        const std::shared_ptr<FilterProbe> probe = m_probe;
        if (probe->copyGone)
            ++probe->callsIntoAGoneListener;
        if (probe->calls++ == 0) {
            probe->firstCall.set();
            if (probe->holdFirstCall) {
                // Long enough for the remover to get into the destruction.
                probe->removing.wait(5000);
                std::this_thread::sleep_for(50ms);
            }
        }
        // A call takes a while, as a real one does: a destruction that
        // began meanwhile shows when it ends.
        std::this_thread::sleep_for(100us);
        if (probe->copyGone)
            ++probe->callsIntoAGoneListener;
        return true;
    }

  private:
    std::shared_ptr<FilterProbe> m_probe;
    bool m_copy;
};

// An application's listener: detaches first in its destructor, then marks
// itself gone.
class AppListener : public CDeviceListener {
  public:
    explicit AppListener(std::shared_ptr<FilterProbe> probe) : m_probe(std::move(probe)) {}
    ~AppListener() override {
        detach();
        m_probe->copyGone = true;
    }
    void onConnect(CUFD) override { heard(); }
    void onDisconnect(CUFD) override { heard(); }
    void onUpdate(CUFD, std::uint32_t) override { heard(); }

  private:
    void heard() {
        if (m_probe->copyGone)
            ++m_probe->callsIntoAGoneListener;
        if (m_probe->calls++ == 0)
            m_probe->firstCall.set();
        std::this_thread::sleep_for(100us);
        if (m_probe->copyGone)
            ++m_probe->callsIntoAGoneListener;
    }
    std::shared_ptr<FilterProbe> m_probe;
};

// Device polling without a system: the bare event queue (no window, no
// notifier) and DRIVES drives in the device manager, replayed to every
// listener the polling thread attaches.
class DeviceListenerTest : public ::testing::Test {
  protected:
    static constexpr int DRIVES = 12;

    void SetUp() override {
        poll().stop();
        poll().setImplementation(std::make_unique<CDevicePollImpl>());
        for (int n = 0; n < DRIVES; ++n)
            ASSERT_EQ(manager().deviceConnected(drive(n)), CDeviceManager::CONNECT_NEW_OR_CHANGED);
        window = port::createWindow(u"listener test",
                                    [](port::HWND, std::uint32_t, std::uintptr_t,
                                       std::intptr_t) -> std::intptr_t { return 0; });
        ASSERT_NE(window, port::HWND_NONE);
    }

    void TearDown() override {
        CWMListeningMgr::instance().removeHWNDListener(window);
        poll().stop();
        drain();
        port::destroyWindow(window);
        for (int n = 0; n < DRIVES; ++n)
            manager().deviceDisconnected(drive(n));
    }

    static CDevicePoll& poll() { return CDevicePoll::instance(); }
    static CDeviceManager& manager() { return CZykSDK::instance().deviceManager(); }

    // The listener's posts to the window.
    static void drain() {
        port::Msg msg;
        while (port::peekMessage(msg, true))
            port::dispatchMessage(msg);
    }

    port::HWND window = port::HWND_NONE;
};

TEST_F(DeviceListenerTest, AWindowListenerRemovedWhileItsReplayRunsIsNotCalledAgain) {
    auto probe = std::make_shared<FilterProbe>();
    probe->holdFirstCall = true;
    const ProbeFilter filter(probe, false);
    CWMListeningMgr::instance().addHWNDListener(window, &filter);
    // The polling thread is in the replay, at the first of the drives.
    ASSERT_TRUE(probe->firstCall.wait(5000));
    probe->removing.set();
    EXPECT_TRUE(CWMListeningMgr::instance().removeHWNDListener(window));
    EXPECT_TRUE(probe->copyGone);
    const int calls = probe->calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(CDevicePoll::POLLING_INTERVAL_MS + 50));
    EXPECT_EQ(probe->calls, calls);
    EXPECT_EQ(probe->callsIntoAGoneListener, 0);
}

// Listeners of both kinds come and go while the polling thread replays the
// drives to new ones and another thread notifies every drive in a loop.
TEST_F(DeviceListenerTest, ListenersComingAndGoingUnderReplaysAndNotificationsAreNeverCalledGone) {
    std::atomic<bool> running{true};
    std::thread notifier([&] {
        CZykSDK& sdk = CZykSDK::instance();
        const std::vector<CUFD> devices = manager().connectedDevices();
        while (running) {
            for (const CUFD& device : devices)
                sdk.notify(sdk, device, CZykEvent::DEVICE_UPDATED);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::vector<std::shared_ptr<FilterProbe>> probes;
    std::thread apps([&] {
        std::mt19937 random(11);
        for (int round = 0; round < 30; ++round) {
            auto probe = std::make_shared<FilterProbe>();
            {
                std::unique_ptr<AppListener> listener;
                {
                    CDevicePoll::ListenerQueueGuard hold;
                    listener = std::make_unique<AppListener>(probe);
                }
                if (round % 3 == 0)
                    probe->firstCall.wait(CDevicePoll::POLLING_INTERVAL_MS * 2);
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
            }
            EXPECT_EQ(probe->callsIntoAGoneListener, 0) << "round " << round;
        }
    });
    std::mt19937 random(5);
    for (int round = 0; round < 30; ++round) {
        auto probe = std::make_shared<FilterProbe>();
        probes.push_back(probe);
        const ProbeFilter filter(probe, false);
        CWMListeningMgr::instance().addHWNDListener(window, &filter);
        // Every third waits for its replay to start, the others may go
        // before or while they are attached.
        if (round % 3 == 0)
            probe->firstCall.wait(CDevicePoll::POLLING_INTERVAL_MS * 2);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        ASSERT_TRUE(CWMListeningMgr::instance().removeHWNDListener(window));
        drain();
    }
    apps.join();
    running = false;
    notifier.join();
    for (std::size_t n = 0; n < probes.size(); ++n) {
        EXPECT_TRUE(probes[n]->copyGone);
        EXPECT_EQ(probes[n]->callsIntoAGoneListener, 0) << "window listener " << n;
    }
}

}  // namespace
}  // namespace nork
