// The portable part of the message layer: windows, per-thread queues, sent
// messages and timers. The wake-up descriptor, the names file and the
// broadcast sockets are in linux/MessagesLinux.cpp.
#include "port/Messages.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "port/System.h"

namespace nork::port {

namespace {

struct Queue;

// One sent message in flight. Its completion is guarded by the sender's
// queue mutex, so the sender waits on its own queue and keeps delivering
// messages sent to it while it waits (two threads sending to each other do
// not deadlock).
struct Sent {
    Msg msg;
    std::shared_ptr<Queue> sender;
    bool done = false;
    bool answered = false;
    std::intptr_t result = 0;
};

struct Queue {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Msg> posted;
    std::deque<std::shared_ptr<Sent>> sent;
    std::vector<std::pair<HWND, std::uintptr_t>> dueTimers;
    bool quit = false;
    int exitCode = 0;
    bool dead = false;
    int fd = -1;
    bool fdSet = false;

    bool hasWork() const { return !posted.empty() || !sent.empty() || quit || !dueTimers.empty(); }
    // Mutex held: keeps the descriptor readable exactly while there is work.
    void updateWake() {
        const bool work = hasWork();
        if (fd >= 0 && work != fdSet) {
            fdSet = work;
            if (work)
                detail::wakeFdSet(fd);
            else
                detail::wakeFdClear(fd);
        }
        if (work)
            cv.notify_all();
    }
    bool post(const Msg& msg) {
        std::lock_guard<std::mutex> lock(mutex);
        if (dead)
            return false;
        posted.push_back(msg);
        updateWake();
        return true;
    }
};

struct Window {
    HWND id = HWND_NONE;
    std::u16string title;
    std::shared_ptr<const WindowProc> proc;
    std::weak_ptr<Queue> owner;
};

struct WindowTable {
    std::mutex mutex;
    // Keyed by handle, handed out in increasing order, so iteration is
    // creation order.
    std::map<HWND, std::shared_ptr<Window>> windows;
    HWND next = 0x10000;  // above HWND_BROADCAST
};

WindowTable& windowTable() {
    static WindowTable* table = new WindowTable;  // outlives every thread's queue
    return *table;
}

std::shared_ptr<Window> findWindow(HWND hwnd) {
    WindowTable& t = windowTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    const auto it = t.windows.find(hwnd);
    return it == t.windows.end() ? nullptr : it->second;
}

void endThreadQueue(const std::shared_ptr<Queue>& q);

struct QueueHolder {
    std::shared_ptr<Queue> queue;
    ~QueueHolder() {
        if (queue)
            endThreadQueue(queue);
    }
};

thread_local QueueHolder t_queue;

const std::shared_ptr<Queue>& ownQueue() {
    if (!t_queue.queue) {
        auto q = std::make_shared<Queue>();
        q->fd = detail::wakeFdCreate();
        t_queue.queue = std::move(q);
    }
    return t_queue.queue;
}

void complete(const std::shared_ptr<Sent>& s, bool answered, std::intptr_t result) {
    std::lock_guard<std::mutex> lock(s->sender->mutex);
    s->done = true;
    s->answered = answered;
    s->result = result;
    s->sender->cv.notify_all();
}

// Delivers every message sent to the thread owning `q` (the calling thread).
bool deliverSent(Queue& q) {
    bool any = false;
    for (;;) {
        std::shared_ptr<Sent> s;
        {
            std::lock_guard<std::mutex> lock(q.mutex);
            if (q.sent.empty())
                return any;
            s = std::move(q.sent.front());
            q.sent.pop_front();
            q.updateWake();
        }
        any = true;
        const auto w = findWindow(s->msg.hwnd);
        if (!w) {
            complete(s, false, 0);
            continue;
        }
        const std::intptr_t r =
            (*w->proc)(s->msg.hwnd, s->msg.message, s->msg.wParam, s->msg.lParam);
        complete(s, true, r);
    }
}

// -------------------------------------------------------------------- timers

class TimerService {
  public:
    ~TimerService() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
            m_cv.notify_all();
        }
        // A thread started by the process we were forked from is not ours.
        if (m_thread && m_threadPid == currentProcessId()) {
            m_thread->join();
            delete m_thread;
        }
    }

    void set(HWND hwnd, std::uintptr_t id, std::uint32_t ms, const std::shared_ptr<Queue>& q) {
        std::lock_guard<std::mutex> lock(m_mutex);
        eraseLocked(hwnd, id, false);
        const auto interval = std::chrono::milliseconds(std::max<std::uint32_t>(ms, 10));
        m_entries.push_back(Entry{hwnd, id, q, interval, Clock::now() + interval});
        if (!m_thread || m_threadPid != currentProcessId()) {
            m_threadPid = currentProcessId();
            m_thread = new std::thread([this] { run(); });  // one left by a fork stays unjoined
        }
        m_cv.notify_all();
    }

    bool kill(HWND hwnd, std::uintptr_t id, bool anyId) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return eraseLocked(hwnd, id, anyId);
    }

  private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        HWND hwnd;
        std::uintptr_t id;
        std::weak_ptr<Queue> queue;
        std::chrono::milliseconds interval;
        Clock::time_point due;
    };

    // Mutex held. Also takes a pending WM_TIMER of the entry off its queue
    // (timer mutex before queue mutex, the one lock order of the layer).
    bool eraseLocked(HWND hwnd, std::uintptr_t id, bool anyId) {
        bool found = false;
        for (auto it = m_entries.begin(); it != m_entries.end();) {
            if (it->hwnd == hwnd && (anyId || it->id == id)) {
                if (auto q = it->queue.lock()) {
                    std::lock_guard<std::mutex> ql(q->mutex);
                    auto& due = q->dueTimers;
                    due.erase(std::remove(due.begin(), due.end(), std::make_pair(it->hwnd, it->id)),
                              due.end());
                    q->updateWake();
                }
                it = m_entries.erase(it);
                found = true;
            } else {
                ++it;
            }
        }
        return found;
    }

    void run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stop) {
            if (m_entries.empty()) {
                m_cv.wait(lock);
                continue;
            }
            auto next = m_entries.front().due;
            for (const auto& e : m_entries)
                next = std::min(next, e.due);
            const auto now = Clock::now();
            if (now < next) {
                m_cv.wait_until(lock, next);
                continue;
            }
            for (auto it = m_entries.begin(); it != m_entries.end();) {
                auto q = it->queue.lock();
                if (!q) {
                    it = m_entries.erase(it);
                    continue;
                }
                if (it->due <= now) {
                    std::lock_guard<std::mutex> ql(q->mutex);
                    const auto key = std::make_pair(it->hwnd, it->id);
                    if (std::find(q->dueTimers.begin(), q->dueTimers.end(), key) ==
                        q->dueTimers.end())
                        q->dueTimers.push_back(key);
                    q->updateWake();
                    it->due += it->interval;
                    if (it->due <= now)
                        it->due = now + it->interval;
                }
                ++it;
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Entry> m_entries;
    std::thread* m_thread = nullptr;
    std::uint32_t m_threadPid = 0;
    bool m_stop = false;
};

TimerService& timers() {
    static TimerService service;
    return service;
}

// ---------------------------------------------------------------- threads

bool removeWindow(HWND hwnd) {
    std::shared_ptr<Window> w;
    {
        WindowTable& t = windowTable();
        std::lock_guard<std::mutex> lock(t.mutex);
        const auto it = t.windows.find(hwnd);
        if (it == t.windows.end())
            return false;
        w = std::move(it->second);
        t.windows.erase(it);
    }
    timers().kill(hwnd, 0, true);
    if (auto q = w->owner.lock()) {
        std::lock_guard<std::mutex> lock(q->mutex);
        auto& p = q->posted;
        p.erase(std::remove_if(p.begin(), p.end(), [&](const Msg& m) { return m.hwnd == hwnd; }),
                p.end());
        q->updateWake();
    }
    return true;
}

// A thread that ends takes its windows with it and answers the messages
// still sent to them, so no sender waits for a thread that is gone.
void endThreadQueue(const std::shared_ptr<Queue>& q) {
    std::vector<HWND> owned;
    {
        WindowTable& t = windowTable();
        std::lock_guard<std::mutex> lock(t.mutex);
        for (const auto& [id, w] : t.windows)
            if (w->owner.lock() == q)
                owned.push_back(id);
    }
    for (HWND h : owned)
        removeWindow(h);
    std::deque<std::shared_ptr<Sent>> pending;
    {
        std::lock_guard<std::mutex> lock(q->mutex);
        q->dead = true;
        pending.swap(q->sent);
        q->posted.clear();
        q->dueTimers.clear();
    }
    for (const auto& s : pending)
        complete(s, false, 0);
    detail::wakeFdClose(q->fd);
    q->fd = -1;
}

bool peekOwn(Msg& out, bool remove, bool takeQuit) {
    const auto& qp = ownQueue();
    Queue& q = *qp;
    deliverSent(q);
    std::lock_guard<std::mutex> lock(q.mutex);
    if (!q.posted.empty()) {
        out = q.posted.front();
        if (remove) {
            q.posted.pop_front();
            q.updateWake();
        }
        return true;
    }
    if (q.quit && takeQuit) {
        out = Msg{HWND_NONE, WM_QUIT, static_cast<std::uintptr_t>(q.exitCode), 0};
        if (remove) {
            q.quit = false;
            q.updateWake();
        }
        return true;
    }
    if (!q.dueTimers.empty()) {
        out = Msg{q.dueTimers.front().first, WM_TIMER, q.dueTimers.front().second, 0};
        if (remove) {
            q.dueTimers.erase(q.dueTimers.begin());
            q.updateWake();
        }
        return true;
    }
    return false;
}

// Sends to a window of another thread; nullopt-like false on a missing
// owner or a timeout.
bool sendAcross(const std::shared_ptr<Queue>& owner, const Msg& msg,
                const std::chrono::milliseconds* timeout, std::intptr_t& result) {
    const std::shared_ptr<Queue>& self = ownQueue();
    auto s = std::make_shared<Sent>();
    s->msg = msg;
    s->sender = self;
    {
        std::lock_guard<std::mutex> lock(owner->mutex);
        if (owner->dead)
            return false;
        owner->sent.push_back(s);
        owner->updateWake();
    }
    const auto deadline = timeout ? std::chrono::steady_clock::now() + *timeout
                                  : std::chrono::steady_clock::time_point{};
    for (;;) {
        deliverSent(*self);
        std::unique_lock<std::mutex> lock(self->mutex);
        const auto ready = [&] { return s->done || !self->sent.empty(); };
        if (timeout) {
            if (!self->cv.wait_until(lock, deadline, ready))
                return false;  // the owner may still handle it; nobody reads the answer
        } else {
            self->cv.wait(lock, ready);
        }
        if (s->done) {
            result = s->result;
            const bool answered = s->answered;
            lock.unlock();
            // A thread that answered us may itself be waiting on us: what it
            // sent before answering is delivered before we return, so it is
            // never left waiting on a thread that stopped pumping.
            deliverSent(*self);
            return answered;
        }
    }
}

bool sendImpl(HWND hwnd, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam,
              const std::chrono::milliseconds* timeout, std::intptr_t& result) {
    result = 0;
    const auto w = findWindow(hwnd);
    if (!w)
        return false;
    const auto owner = w->owner.lock();
    if (!owner)
        return false;
    if (owner == ownQueue()) {
        result = (*w->proc)(hwnd, message, wParam, lParam);
        return true;
    }
    return sendAcross(owner, Msg{hwnd, message, wParam, lParam}, timeout, result);
}

}  // namespace

// ------------------------------------------------------------------- public

HWND createWindow(const std::u16string& title, WindowProc proc) {
    if (!proc)
        return HWND_NONE;
    auto w = std::make_shared<Window>();
    w->title = title;
    w->proc = std::make_shared<const WindowProc>(std::move(proc));
    w->owner = ownQueue();
    {
        WindowTable& t = windowTable();
        std::lock_guard<std::mutex> lock(t.mutex);
        w->id = t.next++;
        t.windows.emplace(w->id, w);
    }
    detail::ensureBroadcastReceiver();
    return w->id;
}

bool destroyWindow(HWND hwnd) {
    return removeWindow(hwnd);
}

bool isWindow(HWND hwnd) {
    return findWindow(hwnd) != nullptr;
}

HWND findWindowByTitle(const std::u16string& title) {
    WindowTable& t = windowTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (const auto& [id, w] : t.windows)
        if (w->title == title)
            return id;
    return HWND_NONE;
}

ThreadQueueHandle currentThreadQueue() {
    return ThreadQueueHandle{std::static_pointer_cast<void>(ownQueue())};
}

bool postThreadMessage(const ThreadQueueHandle& thread, std::uint32_t message,
                       std::uintptr_t wParam, std::intptr_t lParam) {
    const std::shared_ptr<void> queue = thread.queue.lock();
    return queue != nullptr &&
           std::static_pointer_cast<Queue>(queue)->post(Msg{HWND_NONE, message, wParam, lParam});
}

namespace {
// -1: the platform's answer; 0 or 1: a test's.
std::atomic<int> g_deviceDialogs{-1};
}  // namespace

bool systemShowsDeviceDialogs() {
    const int set = g_deviceDialogs.load();
    return set < 0 ? false : set != 0;
}

void setSystemShowsDeviceDialogs(std::optional<bool> shows) {
    g_deviceDialogs = shows ? (*shows ? 1 : 0) : -1;
}

bool postMessage(HWND hwnd, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    if (hwnd == HWND_NONE)
        return ownQueue()->post(Msg{HWND_NONE, message, wParam, lParam});
    if (hwnd == HWND_BROADCAST)
        return !broadcastMessage(message, wParam, lParam);
    const auto w = findWindow(hwnd);
    if (!w)
        return false;
    const auto owner = w->owner.lock();
    return owner && owner->post(Msg{hwnd, message, wParam, lParam});
}

std::intptr_t sendMessage(HWND hwnd, std::uint32_t message, std::uintptr_t wParam,
                          std::intptr_t lParam) {
    std::intptr_t result = 0;
    sendImpl(hwnd, message, wParam, lParam, nullptr, result);
    return result;
}

bool sendMessageTimeout(HWND hwnd, std::uint32_t message, std::uintptr_t wParam,
                        std::intptr_t lParam, std::chrono::milliseconds timeout,
                        std::intptr_t* result) {
    std::intptr_t r = 0;
    const bool ok = sendImpl(hwnd, message, wParam, lParam, &timeout, r);
    if (ok && result)
        *result = r;
    return ok;
}

bool peekMessage(Msg& out, bool remove) {
    return peekOwn(out, remove, true);
}

bool getMessage(Msg& out) {
    const std::shared_ptr<Queue>& q = ownQueue();
    for (;;) {
        if (peekOwn(out, true, true))
            return out.message != WM_QUIT;
        std::unique_lock<std::mutex> lock(q->mutex);
        q->cv.wait(lock, [&] { return q->hasWork(); });
    }
}

std::intptr_t dispatchMessage(const Msg& msg) {
    const auto w = findWindow(msg.hwnd);
    return w ? (*w->proc)(msg.hwnd, msg.message, msg.wParam, msg.lParam) : 0;
}

void postQuitMessage(int exitCode) {
    Queue& q = *ownQueue();
    std::lock_guard<std::mutex> lock(q.mutex);
    q.quit = true;
    q.exitCode = exitCode;
    q.updateWake();
}

bool setTimer(HWND hwnd, std::uintptr_t id, std::uint32_t ms) {
    const auto w = findWindow(hwnd);
    const auto owner = w ? w->owner.lock() : nullptr;
    if (!owner)
        return false;
    timers().set(hwnd, id, ms, owner);
    return true;
}

bool killTimer(HWND hwnd, std::uintptr_t id) {
    return timers().kill(hwnd, id, false);
}

int threadQueueFd() {
    return ownQueue()->fd;
}

// The quit request stays for the loop that owns the thread: a wait that
// took it would end that loop's life silently.
bool pumpOneMessage() {
    Msg m;
    return peekOwn(m, true, false);
}

namespace detail {

void postToAllWindows(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    std::vector<std::shared_ptr<Window>> all;
    {
        WindowTable& t = windowTable();
        std::lock_guard<std::mutex> lock(t.mutex);
        for (const auto& [id, w] : t.windows)
            all.push_back(w);
    }
    for (const auto& w : all)
        if (auto q = w->owner.lock())
            q->post(Msg{w->id, message, wParam, lParam});
}

}  // namespace detail

}  // namespace nork::port
