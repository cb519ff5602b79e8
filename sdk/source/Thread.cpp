#include "Thread.h"

#include <chrono>
#include <exception>
#include <system_error>

#include "Log.h"

namespace nork {

// ---------------------------------------------------------------- CSyncEvent

CSyncEvent::CSyncEvent(bool manualReset, bool initialState)
    : m_manualReset(manualReset), m_signalled(initialState) {}

void CSyncEvent::set() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_signalled = true;
    }
    if (m_manualReset)
        m_cv.notify_all();
    else
        m_cv.notify_one();
}

void CSyncEvent::reset() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_signalled = false;
}

bool CSyncEvent::wait(std::uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (milliseconds == INFINITE_WAIT) {
        m_cv.wait(lock, [this] { return m_signalled; });
    } else if (!m_cv.wait_for(lock, std::chrono::milliseconds(milliseconds),
                              [this] { return m_signalled; })) {
        return false;
    }
    if (!m_manualReset)
        m_signalled = false;
    return true;
}

void CSyncEvent::wait() {
    wait(INFINITE_WAIT);
}

// ------------------------------------------------------------------- CThread

CThread::CThread() = default;

CThread::~CThread() {
    // The derived part is gone by now; a thread still cycling would call
    // into it. Derived classes stop first; this only reaps the thread.
    zyk_assert(!m_active.load(), "!isRunning()");
    stop();
    std::lock_guard<std::mutex> guard(m_threadMutex);
    if (m_thread.joinable())
        m_thread.join();
}

bool CThread::start() {
    if (m_workerId.load() == std::this_thread::get_id())
        return false;  // the worker cannot restart itself
    std::lock_guard<std::mutex> guard(m_threadMutex);
    if (m_active.load())
        return false;
    // A thread that ended by requestStop is finishing or done: reap it.
    if (m_thread.joinable())
        m_thread.join();
    m_stopped.reset();
    m_keepRunning = true;
    try {
        m_thread = std::thread([this] { body(); });
    } catch (const std::system_error& e) {
        m_keepRunning = false;
        NORK_LOG(LOG_ERROR, "CThread::start - failed to create thread: %S", e.what());
        return false;
    }
    m_started.wait();
    m_started.reset();
    return true;
}

void CThread::body() {
    m_workerId = std::this_thread::get_id();
    bool announced = false;
    try {
        onStart();
        m_active = true;
        m_started.set();
        announced = true;
        while (m_keepRunning.load()) {
            run();
            m_wake.wait();
        }
        onStop();
    } catch (const std::exception& e) {
        NORK_LOG(LOG_ERROR, "CThread::body - exception ends the thread: %S", e.what());
    } catch (...) {
        NORK_LOG(LOG_ERROR, "CThread::body - exception ends the thread");
    }
    m_active = false;
    m_keepRunning = false;
    m_workerId = std::thread::id();
    if (!announced)
        m_started.set();  // start() is waiting for it
    m_stopped.set();
}

void CThread::stop() {
    if (!m_active.load())
        return;
    if (m_workerId.load() == std::this_thread::get_id()) {
        requestStop();
        return;
    }
    std::lock_guard<std::mutex> guard(m_threadMutex);
    if (!m_thread.joinable())
        return;  // another stop() got here first
    m_keepRunning = false;
    m_wake.set();
    onWake();
    m_stopped.wait();
    m_stopped.reset();
    if (m_thread.joinable())
        m_thread.join();
}

void CThread::requestStop() {
    m_keepRunning = false;
    m_wake.set();
    onWake();
}

void CThread::pause() {
    m_wake.reset();
}

void CThread::resume() {
    m_wake.set();
    onWake();
}

// ------------------------------------------------------------ runOnNewThread

CThreadHandle runOnNewThread(std::unique_ptr<CFunctionCallWrapper> functor) {
    if (!functor)
        return 0;
    static std::atomic<CThreadHandle> lastHandle{0};
    const CThreadHandle handle = ++lastHandle;
    // The thread takes the functor only once it exists; until then a failed
    // start leaves it with us to destroy.
    CFunctionCallWrapper* raw = functor.get();
    try {
        std::thread([raw, handle] {
            std::unique_ptr<CFunctionCallWrapper> owned(raw);
            try {
                owned->call();
            } catch (const std::exception& e) {
                NORK_LOG(LOG_ERROR, "runOnNewThread - call on thread %llu threw: %S",
                         static_cast<unsigned long long>(handle), e.what());
            } catch (...) {
                NORK_LOG(LOG_ERROR, "runOnNewThread - call on thread %llu threw",
                         static_cast<unsigned long long>(handle));
            }
        }).detach();
    } catch (const std::system_error& e) {
        NORK_LOG(LOG_ERROR, "runOnNewThread - failed to create thread: %S", e.what());
        return 0;
    }
    functor.release();
    return handle;
}

}  // namespace nork
