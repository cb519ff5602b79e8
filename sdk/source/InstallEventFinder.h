// Whether the system is still installing drivers for new devices: a drive
// whose marker key is missing is reported only once no installation is
// pending. The query never blocks longer than 1 ms; a watcher thread does
// the long waits while installations go on.
//
// The configuration manager's wait function is looked up by name; this
// platform has none, so the waiter cannot tell (2) and the query answers
// "nothing pending".
//
// Threads: query() from the polling thread; the watcher thread is the
// finder's own and is joined by the destructor.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "Singleton.h"
#include "port/Module.h"

namespace nork {

class CInstallEventWaiter {
  public:
    static constexpr int NONE_PENDING = 0;
    static constexpr int PENDING = 1;
    static constexpr int CANNOT_TELL = 2;

    CInstallEventWaiter();
    // NONE_PENDING, PENDING (the wait timed out), or CANNOT_TELL (the wait
    // failed, or the function is missing).
    int Wait(std::uint32_t milliseconds);

  private:
    port::Module m_library;
    void* m_function = nullptr;
};

class CInstallEventFinder {
  public:
    using WaitFn = std::function<int(std::uint32_t milliseconds)>;

    // Over the system's waiter, or over a given one (tests).
    CInstallEventFinder();
    explicit CInstallEventFinder(WaitFn wait);
    ~CInstallEventFinder();
    CInstallEventFinder(const CInstallEventFinder&) = delete;
    CInstallEventFinder& operator=(const CInstallEventFinder&) = delete;

    static CInstallEventFinder& instance() { return TSingleton<CInstallEventFinder>::instance(); }

    // True while installations are pending. When the watcher is not running
    // a 1 ms wait decides; a pending answer starts the watcher.
    bool query();
    bool watcherRunning() const { return m_running.load(); }

  private:
    void watch();

    WaitFn m_wait;
    std::mutex m_mutex;
    std::thread m_thread;
    std::atomic<bool> m_pending{false};
    std::atomic<bool> m_running{false};
};

}  // namespace nork
