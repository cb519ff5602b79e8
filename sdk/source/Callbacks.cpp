#include "Callbacks.h"

#include <chrono>
#include <new>
#include <thread>

#include "Log.h"
#include "MessagePump.h"

namespace nork {

// ------------------------------------------------------------ safe proxies

void CStatusCallbackSafeProxy::onDone(STATUS status) {
    if (m_target == nullptr)
        return;
    try {
        m_target->onDone(status);
    } catch (...) {
    }
}

void CStatusCallbackSafeProxy::onError(STATUS status, const std::u16string& message) {
    if (m_target == nullptr)
        return;
    try {
        m_target->onError(status, message);
    } catch (...) {
    }
}

void CProgressCallbackSafeProxy::onProgress(std::uint32_t percent) {
    if (m_target == nullptr)
        return;
    try {
        m_target->onProgress(percent);
    } catch (...) {
    }
}

// ------------------------------------------------------------- scope proxy

void CProgressCallbackScopeProxy::onProgress(std::uint32_t percent) {
    if (m_target == nullptr)
        return;
    // The range width as unsigned 32 bits and the factor in single
    // precision, so the mapping rounds exactly as it always has.
    const std::uint32_t width =
        static_cast<std::uint32_t>(m_end) - static_cast<std::uint32_t>(m_start);
    const float scaled = static_cast<float>(width * percent) * 0.01f;
    const std::uint32_t offset =
        scaled >= 4294967296.0f ? 0xFFFFFFFFu : static_cast<std::uint32_t>(scaled);
    const std::uint32_t current = static_cast<std::uint32_t>(m_start) + offset;
    m_current = static_cast<std::int32_t>(current);
    m_target->onProgress(current > 100u ? 100u : current);
    if (percent == 100)
        m_current = 0;
}

// ------------------------------------------------------------ synchronizer

CStatusCallbackSynchronizer::CStatusCallbackSynchronizer() : m_pImpl(new (std::nothrow) Impl) {
    zyk_assert(m_pImpl, "m_pImpl");
}

CStatusCallbackSynchronizer::~CStatusCallbackSynchronizer() = default;

void CStatusCallbackSynchronizer::signal(STATUS status) {
    Impl& impl = *m_pImpl;
    impl.status.store(status);
    // One step sets the signal and clears the loop bit, and it is the last
    // touch of this object: the waiter usually destroys the synchronizer as
    // soon as its wait returns.
    std::int32_t flags = impl.flags.load();
    port::ThreadQueueHandle waiter;
    for (;;) {
        // A waiter in its loop is woken; its queue was recorded before the
        // loop bit was set, and is copied before the signal is given.
        waiter = {};
        if ((flags & MODALLOOP) != 0) {
            std::lock_guard<std::mutex> lock(impl.waiterMutex);
            waiter = impl.waiter;
        }
        if (impl.flags.compare_exchange_weak(flags, (flags | SIGNALLED) & ~KEEP_LOOPING))
            break;
    }
    port::postThreadMessage(waiter, port::WM_NULL, 0, 0);
}

void CStatusCallbackSynchronizer::onDone(STATUS status) {
    if (!m_pImpl) {
        NORK_LOG(LOG_ERROR, "CStatusCallbackSynchronizer::onDone --- no implementation");
        return;
    }
    NORK_LOG(LOG_INFO, "CStatusCallbackSynchronizer::onDone --- signal");
    signal(status);
}

void CStatusCallbackSynchronizer::onError(STATUS status, const std::u16string& /*message*/) {
    if (!m_pImpl) {
        NORK_LOG(LOG_ERROR, "CStatusCallbackSynchronizer::onError --- no implementation");
        return;
    }
    NORK_LOG(LOG_INFO, "CStatusCallbackSynchronizer::onError --- signal, status: %s",
             statusToString(status));
    signal(status);
}

STATUS CStatusCallbackSynchronizer::wait() {
    if (!m_pImpl)
        return STATUS_ERROR;
    Impl& impl = *m_pImpl;
    // A signal that came before the wait is consumed here too, so the next
    // operation's wait does not return this one's status.
    if ((impl.flags.fetch_and(~SIGNALLED) & SIGNALLED) != 0)
        return impl.status.load();

    zyk_assert(!(impl.flags.load() & MODALLOOP), "!(m_nFlags & MODALLOOP)");
    {
        std::lock_guard<std::mutex> lock(impl.waiterMutex);
        impl.waiter = port::currentThreadQueue();
    }
    impl.flags.fetch_or(MODALLOOP | KEEP_LOOPING);
    // The signal may land between the check above and setting the bits (it
    // then cleared a loop bit not yet set), so the signal ends the loop too.
    while ((impl.flags.load() & (KEEP_LOOPING | SIGNALLED)) == KEEP_LOOPING) {
        // The signal posts to this queue; the bound only covers a waiter
        // whose queue could not be recorded.
        if (!pumpThreadMessagesOnce())
            port::waitThreadQueue(std::chrono::milliseconds(100));
    }
    impl.flags.fetch_and(~(MODALLOOP | KEEP_LOOPING | SIGNALLED));
    return impl.status.load();
}

// ---------------------------------------------------------- callOnDoneAsync

CThreadHandle callOnDoneAsync(CStatusCallback* callback, STATUS status) {
    using Functor = MethodFunctor1<CStatusCallback, void (CStatusCallback::*)(STATUS), STATUS>;
    std::unique_ptr<CFunctionCallWrapper> functor;
    try {
        functor = std::make_unique<Functor>(callback, &CStatusCallback::onDone, status);
    } catch (const std::bad_alloc&) {
        NORK_LOG(LOG_ERROR, "callOnDoneAsync - out of memory");
        return 0;
    }
    return runOnNewThread(std::move(functor));
}

}  // namespace nork
