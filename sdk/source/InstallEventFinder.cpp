#include "InstallEventFinder.h"

#include <memory>

#include "Log.h"

namespace nork {
namespace {
constexpr std::uint32_t WAIT_OBJECT_0 = 0;
constexpr std::uint32_t WAIT_TIMEOUT = 258;
}  // namespace

CInstallEventWaiter::CInstallEventWaiter() {
    if (m_library.load("cfgmgr32.dll"))
        return;
    m_function = m_library.symbol("CMP_WaitNoPendingInstallEvents");
}

int CInstallEventWaiter::Wait(std::uint32_t milliseconds) {
    // Without the configuration manager nobody can say what is being
    // installed.
    if (m_function == nullptr)
        return CANNOT_TELL;
    using WaitFunction = std::uint32_t (*)(std::uint32_t);
    const std::uint32_t result = reinterpret_cast<WaitFunction>(m_function)(milliseconds);
    if (result == WAIT_OBJECT_0)
        return NONE_PENDING;
    if (result == WAIT_TIMEOUT)
        return PENDING;
    NORK_LOG(LOG_ERROR, "CInstallEventWaiter::Wait Failed with error %d", static_cast<int>(result));
    return CANNOT_TELL;
}

CInstallEventFinder::CInstallEventFinder()
    : CInstallEventFinder([waiter = std::make_shared<CInstallEventWaiter>()](std::uint32_t ms) {
          return waiter->Wait(ms);
      }) {}

CInstallEventFinder::CInstallEventFinder(WaitFn wait) : m_wait(std::move(wait)) {
    NORK_LOG(LOG_INFO, "CInstallEventFinder::CInstallEventFinder Init");
}

CInstallEventFinder::~CInstallEventFinder() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_thread.joinable())
            m_thread.join();
    }
    NORK_LOG(LOG_INFO, "CInstallEventFinder::CInstallEventFinder Release");
}

bool CInstallEventFinder::query() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_running.load())
        return m_pending.load();
    if (m_wait(1) != CInstallEventWaiter::PENDING)
        return false;
    if (m_thread.joinable())
        m_thread.join();  // the previous watcher has ended
    m_pending = true;
    m_running = true;
    try {
        m_thread = std::thread(&CInstallEventFinder::watch, this);
    } catch (...) {
        m_running = false;
    }
    return true;
}

void CInstallEventFinder::watch() {
    int answer = CInstallEventWaiter::PENDING;
    while (answer == CInstallEventWaiter::PENDING)
        answer = m_wait(500);
    if (answer == CInstallEventWaiter::NONE_PENDING)
        m_pending = false;
    else
        NORK_LOG(LOG_ERROR, "FindAnyPendingInstallEvent WaitFailed");
    m_running = false;
}

}  // namespace nork
