#include "WMListeningMgr.h"

#include <mutex>

#include "DevicePoll.h"
#include "Log.h"

namespace nork {

CHWNDListener::CHWNDListener(port::HWND hwnd, const CDeviceFilter* filter)
    : CDeviceListener(nullptr),
      m_hwnd(hwnd),
      m_ownFilter(filter != nullptr ? filter->clone() : nullptr) {}

CHWNDListener::~CHWNDListener() {
    detach();
}

bool CHWNDListener::accepts(const CUFD& device) const {
    return m_ownFilter == nullptr || m_ownFilter->accept(device);
}

void CHWNDListener::post(std::uint32_t message, const CUFD& device, std::intptr_t lParam) {
    const std::uint32_t id = CWMListeningMgr::instance().getCUFDId(device);
    if (port::isWindow(m_hwnd))
        port::postMessage(m_hwnd, message, id, lParam);
}

void CHWNDListener::onConnect(CUFD device) {
    if (accepts(device))
        post(WM_SDK_DEVICE_CONNECTED, device, 0);
}

void CHWNDListener::onDisconnect(CUFD device) {
    if (accepts(device))
        post(WM_SDK_DEVICE_DISCONNECTED, device, 0);
}

void CHWNDListener::onUpdate(CUFD device, std::uint32_t code) {
    if (accepts(device))
        post(WM_SDK_DEVICE_UPDATED, device, static_cast<std::intptr_t>(code));
}

void CHWNDListener::onEvent4(CUFD device) {
    if (accepts(device))
        post(WM_SDK_DEVICE_EVENT_4, device, 0);
}

CWMListeningMgr::~CWMListeningMgr() {
    std::vector<std::unique_ptr<CHWNDListener>> listeners;
    {
        std::lock_guard<CThreadMutex> guard(m_mutex);
        listeners.swap(m_listeners);
    }
}

void CWMListeningMgr::addHWNDListener(port::HWND hwnd, const CDeviceFilter* filter) {
    NORK_LOG(LOG_DEBUG, "CWMListeningMgr::addHWNDListener - enter");
    {
        // The polling thread may call a listener as soon as its base is
        // built: hold it off until the window listener is complete. Taken
        // before this manager's lock, in the polling thread's order.
        CDevicePoll::ListenerQueueGuard hold;
        std::lock_guard<CThreadMutex> guard(m_mutex);
        bool known = false;
        for (const auto& listener : m_listeners)
            known = known || listener->hwnd() == hwnd;
        if (!known)
            m_listeners.push_back(std::make_unique<CHWNDListener>(hwnd, filter));
    }
    NORK_LOG(LOG_DEBUG, "CWMListeningMgr::addHWNDListener - leave");
}

bool CWMListeningMgr::removeHWNDListener(port::HWND hwnd) {
    std::unique_ptr<CHWNDListener> removed;
    {
        std::lock_guard<CThreadMutex> guard(m_mutex);
        for (auto it = m_listeners.begin(); it != m_listeners.end(); ++it) {
            if ((*it)->hwnd() == hwnd) {
                removed = std::move(*it);
                m_listeners.erase(it);
                break;
            }
        }
    }
    // Destroyed outside the lock: detaching waits for a notification in
    // progress, which itself asks this manager for ids.
    return removed != nullptr;
}

std::size_t CWMListeningMgr::listenerCount() const {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    return m_listeners.size();
}

CUFD CWMListeningMgr::getCUFD(std::uint32_t id) const {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    auto it = m_devices.find(id);
    return it == m_devices.end() ? CUFD() : it->second;
}

std::uint32_t CWMListeningMgr::getCUFDId(const CUFD& device) {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    for (const auto& [id, known] : m_devices) {
        if (known == device)
            return id;
    }
    const auto id = static_cast<std::uint32_t>(m_devices.size() + 1);
    m_devices[id] = device;
    return id;
}

}  // namespace nork
