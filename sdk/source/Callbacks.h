// Completion and progress callbacks of the library's long operations (a
// reconnection, a format, a CD burn), the proxies that make calling them
// safe, and the synchronizer that turns an asynchronous operation back into
// a blocking call.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Status.h"
#include "Thread.h"
#include "port/Messages.h"

namespace nork {

// Implemented by callers. Called on the operation's thread.
class CStatusCallback {
  public:
    virtual ~CStatusCallback() = default;
    virtual void onDone(STATUS status) = 0;
    virtual void onError(STATUS status, const std::u16string& message) = 0;
};

// Implemented by callers; percent runs 0..100.
class CProgressCallback {
  public:
    virtual ~CProgressCallback() = default;
    virtual void onProgress(std::uint32_t percent) = 0;
};

// Forwards to a target (not owned, may be absent) and swallows whatever the
// target throws, so a caller's fault never unwinds through the library.
class CStatusCallbackSafeProxy : public CStatusCallback {
  public:
    explicit CStatusCallbackSafeProxy(CStatusCallback* target) : m_target(target) {}
    void onDone(STATUS status) override;
    void onError(STATUS status, const std::u16string& message) override;

  private:
    CStatusCallback* m_target;
};

class CProgressCallbackSafeProxy : public CProgressCallback {
  public:
    explicit CProgressCallbackSafeProxy(CProgressCallback* target) : m_target(target) {}
    void onProgress(std::uint32_t percent) override;

  private:
    CProgressCallback* m_target;
};

// Maps the 0..100 of a sub-operation onto start..end of the caller's range;
// the target (not owned, may be absent) never sees more than 100.
class CProgressCallbackScopeProxy : public CProgressCallback {
  public:
    CProgressCallbackScopeProxy(CProgressCallback* target, std::int32_t start, std::int32_t end)
        : m_target(target), m_start(start), m_end(end) {}
    void onProgress(std::uint32_t percent) override;
    std::int32_t current() const { return m_current; }

  private:
    CProgressCallback* m_target;
    std::int32_t m_current = 0;
    std::int32_t m_start;
    std::int32_t m_end;
};

// Pass it as the callback of an asynchronous operation, then wait(): the
// calling thread blocks (keeping its message queue moving) until onDone or
// onError arrives from any thread, and gets the status reported. Reusable
// once a wait has returned. One waiting thread at a time.
class CStatusCallbackSynchronizer : public CStatusCallback {
  public:
    // Flag bits: a completion arrived (the signalled flag, kept in the same
    // word so one atomic step publishes it and ends the loop); a wait is
    // running; the wait is to keep looping.
    static constexpr std::int32_t SIGNALLED = 0x01;
    static constexpr std::int32_t MODALLOOP = 0x08;
    static constexpr std::int32_t KEEP_LOOPING = 0x10;

    CStatusCallbackSynchronizer();
    ~CStatusCallbackSynchronizer() override;
    CStatusCallbackSynchronizer(const CStatusCallbackSynchronizer&) = delete;
    CStatusCallbackSynchronizer& operator=(const CStatusCallbackSynchronizer&) = delete;

    void onDone(STATUS status) override;
    // The message is not kept.
    void onError(STATUS status, const std::u16string& message) override;
    // The status reported (STATUS_ERROR until something was reported).
    STATUS wait();

  private:
    struct Impl {
        std::atomic<std::int32_t> flags{0};
        std::atomic<STATUS> status{STATUS_ERROR};
        // The waiting thread's queue, set before the loop bit: the signal
        // posts to it so the wait ends at once.
        std::mutex waiterMutex;
        port::ThreadQueueHandle waiter;
    };
    void signal(STATUS status);

    std::unique_ptr<Impl> m_pImpl;
};

// Calls callback->onDone(status) on a new thread (nothing when callback is
// null) and returns that thread's handle (0 when none could be started).
CThreadHandle callOnDoneAsync(CStatusCallback* callback, STATUS status);

}  // namespace nork
