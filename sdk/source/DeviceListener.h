// The observer side of device events: the subject that keeps observers per
// event type, the listener applications derive from, and listener filters.
//
// Observers are called on the device-polling thread while it holds the
// event list and the subject's lock: an observer must not wait for that
// thread (post, do not send). Exceptions thrown by an observer are dropped;
// the observer only loses its own notification.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
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
    // From every event type.
    void detach(Observer* observer) {
        std::lock_guard<Mutex> guard(m_observersMutex);
        for (auto& [event, list] : m_observers)
            list.erase(std::remove(list.begin(), list.end(), observer), list.end());
    }
    bool isAttached(Observer* observer, Event event) const {
        std::lock_guard<Mutex> guard(m_observersMutex);
        auto it = m_observers.find(event);
        return it != m_observers.end() &&
               std::find(it->second.begin(), it->second.end(), observer) != it->second.end();
    }

    // Calls every observer of the event type. An observer detached by an
    // earlier one during the round is not called.
    void notify(Subject& subject, Device device, Event event) {
        std::lock_guard<Mutex> guard(m_observersMutex);
        auto it = m_observers.find(event);
        if (it == m_observers.end())
            return;
        const std::vector<Observer*> round = it->second;
        for (Observer* observer : round) {
            if (!isAttached(observer, event))
                continue;
            try {
                observer->update(subject, device, event);
            } catch (...) {
                NORK_LOG(LOG_ERROR, "TSubject::notify - observer failed on event %d",
                         static_cast<int>(event));
            }
        }
    }

  protected:
    // Observers run under it (recursive, so they may attach and detach).
    mutable Mutex m_observersMutex;

  private:
    std::map<Event, std::vector<Observer*>> m_observers;
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
// Destruction detaches it (waiting for a notification in progress).
//
// A derived listener can be called from the polling thread as soon as the
// base constructor returned: create it while holding
// CDevicePoll::ListenerQueueGuard when its own constructor must finish first.
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

    const CDeviceFilter* filter() const { return m_filter.get(); }
    CDeviceListenerImpl* observer() const { return m_impl.get(); }

  private:
    std::unique_ptr<CDeviceListenerImpl> m_impl;
    std::unique_ptr<CDeviceFilter> m_filter;
};

}  // namespace nork
