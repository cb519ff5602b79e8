// The observer side of device events: the subject that keeps observers per
// event type, the listener applications derive from, and listener filters.
//
// Observers are called on the device-polling thread without the subject's
// lock, but inside the event queue's: an observer must not wait for the
// polling thread (post, do not send). Exceptions thrown by an observer are
// dropped; the observer only loses its own notification.
//
// Detaching waits for a call of the observer in progress on another thread
// and no call starts after it: an observer is detached before the part of
// it that its calls use is destroyed, i.e. first thing in the destructor of
// its most derived class. A detach from the base destructor comes too late
// (the derived part is gone while a call may still be running).
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Log.h"
#include "Singleton.h"
#include "UFD.h"
#include "ZykEvent.h"

namespace nork {

template <class Subject, class Device, class Event, class Mutex>
class TObserver {
  public:
    virtual ~TObserver() = default;
    virtual void update(Subject& subject, Device device, Event event) = 0;
};

template <class Subject, class Device, class Event, class Mutex>
class TSubject {
  public:
    using Observer = TObserver<Subject, Device, Event, Mutex>;

    virtual ~TSubject() = default;

    void attach(Observer* observer, Event event) {
        std::lock_guard<Mutex> guard(m_observersMutex);
        auto& list = m_observers[event];
        if (std::find(list.begin(), list.end(), observer) == list.end())
            list.push_back(observer);
    }
    // From every event type; returns once no call of the observer runs on
    // another thread (a call on this thread, the observer detaching itself,
    // goes on). No call starts afterwards.
    void detach(Observer* observer) {
        std::unique_lock<Mutex> lock(m_observersMutex);
        for (auto& [event, list] : m_observers)
            list.erase(std::remove(list.begin(), list.end(), observer), list.end());
        const std::thread::id self = std::this_thread::get_id();
        m_callEnded.wait(lock, [&] {
            return std::none_of(m_calls.begin(), m_calls.end(), [&](const Call& call) {
                return call.observer == observer && call.thread != self;
            });
        });
    }
    bool isAttached(Observer* observer, Event event) const {
        std::lock_guard<Mutex> guard(m_observersMutex);
        return attached(observer, event);
    }

    // Calls every observer of the event type. An observer detached during
    // the round (by an earlier one or by another thread) is not called.
    void notify(Subject& subject, Device device, Event event) {
        std::vector<Observer*> round;
        {
            std::lock_guard<Mutex> guard(m_observersMutex);
            auto it = m_observers.find(event);
            if (it == m_observers.end())
                return;
            round = it->second;
        }
        for (Observer* observer : round)
            notifyOne(observer, subject, device, event);
    }
    // Calls one observer when it is attached to the event type (a replay to
    // a newly attached observer); false when it is not.
    bool notifyOne(Observer* observer, Subject& subject, Device device, Event event) {
        {
            std::lock_guard<Mutex> guard(m_observersMutex);
            if (!attached(observer, event))
                return false;
            m_calls.push_back({observer, std::this_thread::get_id()});
        }
        try {
            observer->update(subject, device, event);
        } catch (...) {
            NORK_LOG(LOG_ERROR, "TSubject::notify - observer failed on event %d",
                     static_cast<int>(event));
        }
        {
            std::lock_guard<Mutex> guard(m_observersMutex);
            const std::thread::id self = std::this_thread::get_id();
            auto it = std::find_if(m_calls.begin(), m_calls.end(), [&](const Call& call) {
                return call.observer == observer && call.thread == self;
            });
            if (it != m_calls.end())
                m_calls.erase(it);
            m_callEnded.notify_all();
        }
        return true;
    }

  protected:
    // Guards the observer lists and the calls in progress; never held while
    // an observer runs, nor around detach() (its wait releases one level).
    mutable Mutex m_observersMutex;

  private:
    struct Call {
        Observer* observer;
        std::thread::id thread;
    };

    bool attached(Observer* observer, Event event) const {
        auto it = m_observers.find(event);
        return it != m_observers.end() &&
               std::find(it->second.begin(), it->second.end(), observer) != it->second.end();
    }

    std::map<Event, std::vector<Observer*>> m_observers;
    std::vector<Call> m_calls;
    std::condition_variable_any m_callEnded;
};

class CZykSDK;
class CDeviceListener;

using CDeviceObserver = TObserver<CZykSDK, CUFD, CZykEvent::event_t, CThreadMutex>;

// Decides which devices a listener hears about.
class CDeviceFilter {
  public:
    virtual ~CDeviceFilter() = default;
    virtual std::unique_ptr<CDeviceFilter> clone() const = 0;
    virtual bool accept(const CUFD& device) const = 0;
};

// The observer that forwards to a listener.
class CDeviceListenerImpl : public CDeviceObserver {
  public:
    explicit CDeviceListenerImpl(CDeviceListener& listener) : m_listener(listener) {}
    void update(CZykSDK& subject, CUFD device, CZykEvent::event_t event) override;

  private:
    CDeviceListener& m_listener;
};

// Base of application listeners. Construction starts device polling when it
// is not running and queues the listener; the polling thread attaches it to
// every event type and replays one connect per drive already connected.
//
// A derived listener can be called from the polling thread as soon as the
// base constructor returned: create it while holding
// CDevicePoll::ListenerQueueGuard when its own constructor must finish first.
// Symmetrically, every listener class calls detach() first thing in its
// destructor, before any of its own members go.
class CDeviceListener {
  public:
    explicit CDeviceListener(const CDeviceFilter* filter = nullptr);
    virtual ~CDeviceListener();
    CDeviceListener(const CDeviceListener&) = delete;
    CDeviceListener& operator=(const CDeviceListener&) = delete;

    virtual void onConnect(CUFD device) = 0;
    virtual void onDisconnect(CUFD device) = 0;
    virtual void onUpdate(CUFD device, std::uint32_t code) = 0;
    virtual void onEvent4(CUFD device) { (void)device; }

    // Ends the listener's calls: takes it off the polling queue and off
    // every event type, and returns once a call in progress on another
    // thread finished. No call starts afterwards. Safe to repeat; called
    // from its own callback it does not wait for that call.
    void detach();

    const CDeviceFilter* filter() const { return m_filter.get(); }
    CDeviceListenerImpl* observer() const { return m_impl.get(); }

  private:
    std::unique_ptr<CDeviceListenerImpl> m_impl;
    std::unique_ptr<CDeviceFilter> m_filter;
    std::atomic<bool> m_detached{false};
};

}  // namespace nork
