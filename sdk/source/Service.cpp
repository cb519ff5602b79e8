#include "Service.h"

#include "HIDHandleMgr.h"
#include "Log.h"
#include "UFD.h"
#include "UFDImpl.h"

namespace nork {

CService::CService(const CUFD& device, std::uint16_t serviceId) : m_serviceId(serviceId) {
    CUFDImpl* impl = device.impl();
    if (impl == nullptr)
        return;
    try {
        port::NamedMutex* mutex =
            CHIDHandleMgr::instance().getCompositeSwitchMutex(impl->serialNumber());
        const bool locked = mutex != nullptr && !mutex->lock();
        try {
            m_impl = impl->getService(CUFDImpl::serviceKey(serviceId));
        } catch (...) {
            m_impl.reset();
        }
        if (locked)
            mutex->unlock();
    } catch (...) {
        NORK_LOG(LOG_ERROR, "CService::CService - internal error");
        m_impl.reset();
    }
}

}  // namespace nork
