#include "DeviceListener.h"

#include "DeviceManager.h"
#include "DevicePoll.h"

namespace nork {

void CDeviceListenerImpl::update(CZykSDK& subject, CUFD device, CZykEvent::event_t event) {
    (void)subject;
    const int n = static_cast<int>(event);
    zyk_assert(n >= CZykEvent::FIRST_EVENT && n <= CZykEvent::LAST_EVENT,
               "event >= 1 && event <= 17");
    if (n < CZykEvent::FIRST_EVENT || n > CZykEvent::LAST_EVENT)
        return;
    const CDeviceFilter* filter = m_listener.filter();
    if (filter != nullptr && !filter->accept(device))
        return;
    switch (n) {
        case CZykEvent::DEVICE_CONNECTED:
            m_listener.onConnect(device);
            break;
        case CZykEvent::DEVICE_DISCONNECTED:
            m_listener.onDisconnect(device);
            break;
        case CZykEvent::DEVICE_EVENT_4:
            m_listener.onEvent4(device);
            break;
        default:
            m_listener.onUpdate(device, CZykEvent::updateCode(n));
            break;
    }
}

CDeviceListener::CDeviceListener(const CDeviceFilter* filter)
    : m_impl(std::make_unique<CDeviceListenerImpl>(*this)),
      m_filter(filter != nullptr ? filter->clone() : nullptr) {
    CDevicePoll& poll = CDevicePoll::instance();
    poll.start();
    poll.queueListener(this);
}

CDeviceListener::~CDeviceListener() {
    if (!m_detached.load()) {
        // Too late for a call in progress (the derived part is gone), but
        // nothing is called after this.
        NORK_LOG(LOG_WARNING, "CDeviceListener - listener destroyed without detach()");
    }
    detach();
}

void CDeviceListener::detach() {
    m_detached.store(true);
    // Off the queue first: once unqueued, the listener is either never
    // attached or attached already, and the subject's detach then waits
    // for its calls.
    CDevicePoll::instance().unqueueListener(this);
    CZykSDK::instance().detach(m_impl.get());
}

}  // namespace nork
