#include "port/DeviceNotifier.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "port/Utf.h"
#include "port/emu/EmuChangeSource.h"
#include "port/linux/Wakeups.h"

namespace nork::port {
namespace {

using namespace std::chrono_literals;

constexpr auto LOOK_AT_LEAST_EVERY = 1000ms;
constexpr auto SEND_TIMEOUT = 10s;
constexpr auto SLEEP_THRESHOLD = 2000ms;

// One interface of a snapshot: its path, and where its device sits (what a
// change source names when it leaves).
struct Entry {
    std::u16string path;
    std::string location;
};

// The interfaces of one snapshot, per class, in snapshot order.
struct Paths {
    std::vector<Entry> volumes;
    std::vector<Entry> usbDevices;
    std::vector<Entry> hids;
};

bool holds(const std::vector<Entry>& list, const std::u16string& path) {
    return std::any_of(list.begin(), list.end(), [&](const Entry& e) { return e.path == path; });
}

void addUnique(std::vector<Entry>& list, std::u16string path, std::string location) {
    if (!path.empty() && !holds(list, path))
        list.push_back(Entry{std::move(path), std::move(location)});
}

Paths pathsOf(const InventorySnapshot& snap, const DeviceNotifier::Filter& filter) {
    Paths p;
    for (const StorageUnit& unit : snap.units) {
        if (filter.volumes)
            addUnique(p.volumes, unit.volumePath, unit.facts.location);
        if (filter.usbDevices)
            addUnique(p.usbDevices, unit.usbDevicePath, unit.facts.usbLocation);
    }
    if (filter.hid) {
        for (const HidInterfaceInfo& h : snap.hids)
            addUnique(p.hids, utf::toUtf16(h.path), h.location);
    }
    return p;
}

struct Note {
    std::uintptr_t event;
    InterfaceClass cls;
    std::u16string path;
};

// Paths of `from` missing in `to`, as notes.
void missing(const std::vector<Entry>& from, const std::vector<Entry>& to, std::uintptr_t event,
             InterfaceClass cls, std::vector<Note>& out) {
    for (const Entry& entry : from) {
        if (!holds(to, entry.path))
            out.push_back(Note{event, cls, entry.path});
    }
}

// Removals inside out (a volume goes before its device), then arrivals
// outside in.
std::vector<Note> changes(const Paths& before, const Paths& now) {
    std::vector<Note> notes;
    missing(before.volumes, now.volumes, DBT_DEVICEREMOVECOMPLETE, InterfaceClass::Volume, notes);
    missing(before.hids, now.hids, DBT_DEVICEREMOVECOMPLETE, InterfaceClass::Hid, notes);
    missing(before.usbDevices, now.usbDevices, DBT_DEVICEREMOVECOMPLETE, InterfaceClass::UsbDevice,
            notes);
    missing(now.usbDevices, before.usbDevices, DBT_DEVICEARRIVAL, InterfaceClass::UsbDevice, notes);
    missing(now.hids, before.hids, DBT_DEVICEARRIVAL, InterfaceClass::Hid, notes);
    missing(now.volumes, before.volumes, DBT_DEVICEARRIVAL, InterfaceClass::Volume, notes);
    return notes;
}

bool atOrBelow(const std::string& location, const std::string& gone) {
    return !location.empty() && location.compare(0, gone.size(), gone) == 0 &&
           (location.size() == gone.size() || location[gone.size()] == '/');
}

// Takes what sits at or below `gone` out of `last`, as removal notes in the
// order of a snapshot difference.
std::vector<Note> departure(Paths& last, const std::string& gone) {
    std::vector<Note> notes;
    const auto take = [&](std::vector<Entry>& list, InterfaceClass cls) {
        std::erase_if(list, [&](const Entry& e) {
            if (!atOrBelow(e.location, gone))
                return false;
            notes.push_back(Note{DBT_DEVICEREMOVECOMPLETE, cls, e.path});
            return true;
        });
    };
    if (gone.empty())
        return notes;
    take(last.volumes, InterfaceClass::Volume);
    take(last.hids, InterfaceClass::Hid);
    take(last.usbDevices, InterfaceClass::UsbDevice);
    return notes;
}

// What a notifier and its thread share; the thread keeps it alive when it
// outlives stop().
struct Shared {
    std::mutex mutex;
    bool stop = false;
    bool sending = false;
    bool done = false;
    std::function<InventorySnapshot()> source;
    std::function<std::chrono::milliseconds()> clock;
    WakeFd wake;
};

// Threads that were in a send when their notifier stopped: joined once they
// end, at the latest at process exit. Created on first use, after the
// message layer's own objects, so it is destroyed before them. A notifier
// that stops later still (a singleton destroyed after it) detaches instead.
class Reaper {
  public:
    ~Reaper() {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& [shared, thread] : m_threads)
            thread.join();
        s_gone = true;
    }
    static Reaper* instance() {
        static Reaper r;
        return s_gone ? nullptr : &r;
    }
    void adopt(std::shared_ptr<Shared> shared, std::thread thread) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::erase_if(m_threads, [](auto& entry) {
            bool done = false;
            {
                std::lock_guard<std::mutex> l(entry.first->mutex);
                done = entry.first->done;
            }
            if (done)
                entry.second.join();
            return done;
        });
        m_threads.emplace_back(std::move(shared), std::move(thread));
    }

  private:
    static inline bool s_gone = false;
    std::mutex m_mutex;
    std::vector<std::pair<std::shared_ptr<Shared>, std::thread>> m_threads;
};

// A notification whose send timed out may still be handled when its owner
// pumps again, so its lParam must stay valid: kept until process exit (a
// rare event; a dead owner ends its windows, which answers at once).
void keepForLateDelivery(std::unique_ptr<DeviceBroadcastInterface> payload) {
    static std::mutex mutex;
    static std::vector<std::unique_ptr<DeviceBroadcastInterface>> kept;
    std::lock_guard<std::mutex> lock(mutex);
    kept.push_back(std::move(payload));
}

// A source the notifier shares with whoever set it (tests).
class SharedSource final : public IChangeSource {
  public:
    explicit SharedSource(std::shared_ptr<IChangeSource> source) : m_source(std::move(source)) {}
    int waitFd() const override { return m_source->waitFd(); }
    std::vector<DeviceChange> drain() override { return m_source->drain(); }

  private:
    std::shared_ptr<IChangeSource> m_source;
};

std::vector<std::unique_ptr<IChangeSource>> makeSources(std::shared_ptr<IChangeSource> extra) {
    std::vector<std::unique_ptr<IChangeSource>> sources;
    sources.push_back(makeUdevChangeSource());
    sources.push_back(emu::makeEmulatorChangeSourceIfPresent());
    if (extra)
        sources.push_back(std::make_unique<SharedSource>(std::move(extra)));
    std::erase_if(sources, [](const auto& s) { return s == nullptr; });
    return sources;
}

class Worker {
  public:
    Worker(std::shared_ptr<Shared> shared, HWND target, DeviceNotifier::Filter filter,
           Paths baseline, std::vector<std::unique_ptr<IChangeSource>> sources)
        : m_shared(std::move(shared)),
          m_target(target),
          m_filter(filter),
          m_last(std::move(baseline)),
          m_sources(std::move(sources)) {}

    void run() {
        try {
            loop();
        } catch (...) {
            // Nothing may leave the thread; the window just hears no more.
        }
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->done = true;
    }

  private:
    bool stopping() {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        return m_shared->stop;
    }

    void loop() {
        std::chrono::milliseconds slept = sleptSoFar();
        std::vector<int> fds{m_shared->wake.fd()};
        for (const auto& s : m_sources)
            fds.push_back(s->waitFd());
        std::vector<bool> ready;
        while (!stopping()) {
            const bool woken = waitReadable(fds, LOOK_AT_LEAST_EVERY, ready);
            if (stopping())
                return;
            m_shared->wake.clear();

            const std::chrono::milliseconds now = sleptSoFar();
            if (now - slept > SLEEP_THRESHOLD && !send(WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0))
                return;
            slept = now;

            // Departures first, as they come: the drive may be back by the
            // time of the look, and its departure must not get lost.
            // Something seen arriving before a departure is looked at before
            // that departure is applied, so a quick return and a second
            // departure both show.
            // The look after the batch also catches what a departure took
            // beyond its location.
            bool arrivalPending = false;
            for (std::size_t i = 0; woken && i < m_sources.size(); ++i) {
                if (!ready[i + 1])
                    continue;
                for (const DeviceChange& change : m_sources[i]->drain()) {
                    if (change.kind != DeviceChange::Kind::Removed) {
                        arrivalPending = true;
                        continue;
                    }
                    if (arrivalPending && !look())
                        return;
                    arrivalPending = false;
                    if (!deliver(departure(m_last, change.location)))
                        return;
                }
            }
            if (!look())
                return;
        }
    }

    // A new snapshot and its difference to the last one. False when the
    // notifier is stopping.
    bool look() {
        std::function<InventorySnapshot()> source;
        {
            std::lock_guard<std::mutex> lock(m_shared->mutex);
            source = m_shared->source;
        }
        Paths next = pathsOf(source(), m_filter);
        const std::vector<Note> notes = changes(m_last, next);
        m_last = std::move(next);
        return deliver(notes);
    }

    bool deliver(const std::vector<Note>& notes) {
        for (const Note& note : notes) {
            auto payload = std::make_unique<DeviceBroadcastInterface>();
            payload->interfaceClass = note.cls;
            payload->name = note.path;
            const auto lParam = reinterpret_cast<std::intptr_t>(payload.get());
            if (!send(WM_DEVICECHANGE, note.event, lParam, &payload))
                return false;
        }
        return true;
    }

    std::chrono::milliseconds sleptSoFar() {
        std::function<std::chrono::milliseconds()> clock;
        {
            std::lock_guard<std::mutex> lock(m_shared->mutex);
            clock = m_shared->clock;
        }
        return clock ? clock() : suspendedSinceBoot();
    }

    // False when the notifier is stopping (nothing sent then).
    bool send(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam,
              std::unique_ptr<DeviceBroadcastInterface>* payload = nullptr) {
        {
            std::lock_guard<std::mutex> lock(m_shared->mutex);
            if (m_shared->stop)
                return false;
            m_shared->sending = true;
        }
        std::intptr_t result = 0;
        const bool answered =
            sendMessageTimeout(m_target, message, wParam, lParam, SEND_TIMEOUT, &result);
        if (!answered && payload && isWindow(m_target))
            keepForLateDelivery(std::move(*payload));
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->sending = false;
        return !m_shared->stop;
    }

    std::shared_ptr<Shared> m_shared;
    HWND m_target;
    DeviceNotifier::Filter m_filter;
    Paths m_last;
    std::vector<std::unique_ptr<IChangeSource>> m_sources;
};

}  // namespace

struct DeviceNotifier::Impl {
    std::mutex mutex;  // start and stop, one at a time
    std::function<InventorySnapshot()> source;
    std::function<std::chrono::milliseconds()> clock;
    std::shared_ptr<IChangeSource> extraSource;
    std::shared_ptr<Shared> shared;  // of the running thread
    std::thread thread;
};

DeviceNotifier::DeviceNotifier() : m_impl(std::make_unique<Impl>()) {}

DeviceNotifier::~DeviceNotifier() {
    stop();
}

bool DeviceNotifier::start(HWND target, Filter filter) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (m_impl->thread.joinable())
        return false;
    try {
        auto shared = std::make_shared<Shared>();
        shared->source = m_impl->source ? m_impl->source : [] { return snapshot(); };
        shared->clock = m_impl->clock;
        Paths baseline = pathsOf(shared->source(), filter);
        auto worker = std::make_shared<Worker>(shared, target, filter, std::move(baseline),
                                               makeSources(m_impl->extraSource));
        m_impl->thread = std::thread([worker] { worker->run(); });
        m_impl->shared = std::move(shared);
        return true;
    } catch (...) {
        return false;
    }
}

void DeviceNotifier::stop() {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (!m_impl->thread.joinable())
        return;
    std::shared_ptr<Shared> shared = std::move(m_impl->shared);
    bool sending = false;
    {
        std::lock_guard<std::mutex> l(shared->mutex);
        shared->stop = true;
        sending = shared->sending;
    }
    shared->wake.set();
    // The thread sends nothing more; only a send already under way could
    // keep it, and that one waits for the window's owner, perhaps this very
    // thread.
    if (!sending)
        m_impl->thread.join();
    else if (Reaper* reaper = Reaper::instance())
        reaper->adopt(std::move(shared), std::move(m_impl->thread));
    else
        m_impl->thread.detach();
}

bool DeviceNotifier::running() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->thread.joinable();
}

void DeviceNotifier::poke() {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (m_impl->shared)
        m_impl->shared->wake.set();
}

void DeviceNotifier::setSnapshotSource(std::function<InventorySnapshot()> source) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->source = std::move(source);
    if (m_impl->shared) {
        std::lock_guard<std::mutex> l(m_impl->shared->mutex);
        m_impl->shared->source = m_impl->source ? m_impl->source : [] { return snapshot(); };
    }
}

void DeviceNotifier::setSuspendClock(std::function<std::chrono::milliseconds()> clock) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->clock = std::move(clock);
    if (m_impl->shared) {
        std::lock_guard<std::mutex> l(m_impl->shared->mutex);
        m_impl->shared->clock = m_impl->clock;
    }
}

void DeviceNotifier::setExtraChangeSource(std::shared_ptr<IChangeSource> source) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->extraSource = std::move(source);
}

}  // namespace nork::port
