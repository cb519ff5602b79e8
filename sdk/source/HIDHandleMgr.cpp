#include "HIDHandleMgr.h"

#include "HidReset.h"
#include "Log.h"
#include "port/HidDevice.h"
#include "port/NamedMutex.h"
#include "port/Utf.h"

namespace nork {

CHIDHandleMgr::~CHIDHandleMgr() {
    closeAll();
}

CDeviceHandle& CHIDHandleMgr::getHandle(CDeviceHandle& handle) {
    port::ensureHidBackends();
    const CDeviceParams* params = handle.params();
    const std::u16string serial = params != nullptr ? params->serialNumber() : u"";
    bool isNew = false;
    CDeviceHandle* hid = nullptr;
    {
        std::lock_guard guard(m_mutex);
        Entry& entry = m_handles[serial];
        if (!entry.handle) {
            entry.params =
                std::make_unique<CDeviceParams>(params != nullptr ? *params : CDeviceParams());
            entry.handle = std::make_unique<CDeviceHandle>(entry.params.get(), true);
            isNew = true;
        } else if (params != nullptr && !entry.handle->isOpen()) {
            // The drive may have come back with other paths.
            *entry.params = *params;
        }
        if (!entry.handle->isOpen())
            entry.handle->open(CDeviceParams::PATH_HID);
        hid = entry.handle.get();
    }
    if (isNew && params != nullptr) {
        // Under the drive's HID mutex: the reset drops queued reports and a
        // half-sent command, which may be another process's command under way.
        port::NamedMutex* mutex = getHidMutex(params->serialNumber());
        const bool locked = mutex != nullptr && !mutex->lock();
        qzHidReset(params->serialNumber(), hidResetPathOf(*params));
        if (locked)
            mutex->unlock();
    }
    return *hid;
}

port::NamedMutex* CHIDHandleMgr::getMutexOf(const char16_t* name) {
    const std::u16string key = name != nullptr ? std::u16string(name) : DEFAULT_MUTEX_NAME;
    std::lock_guard guard(m_mutex);
    auto it = m_mutexes.find(key);
    if (it != m_mutexes.end())
        return it->second.get();
    std::unique_ptr<port::NamedMutex> mutex;
    if (port::NamedMutex::create(port::utf::toUtf8(key), mutex, m_lockDir)) {
        NORK_LOG(LOG_ERROR, "CHIDHandleMgr::getMutexOf - mutex allocation failed");
        zyk_assert(false, "mutex allocation");
        return nullptr;
    }
    NORK_LOG(LOG_DEBUG, "CHIDHandleMgr::getMutexOf - mutex allocation ok [%s]", key);
    return (m_mutexes[key] = std::move(mutex)).get();
}

port::NamedMutex* CHIDHandleMgr::getHidMutex(const char16_t* serialNumber) {
    zyk_assert(serialNumber != nullptr, "szSerialNumber");
    if (serialNumber == nullptr)
        return getMutexOf(nullptr);
    return getMutexOf((std::u16string(HID_MUTEX_PREFIX) + serialNumber).c_str());
}

port::NamedMutex* CHIDHandleMgr::getCompositeSwitchMutex(const char16_t* serialNumber) {
    zyk_assert(serialNumber != nullptr, "szSerialNumber");
    if (serialNumber == nullptr)
        return getMutexOf(nullptr);
    return getMutexOf((std::u16string(COMPOSITE_SWITCH_MUTEX_PREFIX) + serialNumber).c_str());
}

void CHIDHandleMgr::closeHandle(const std::u16string& serialNumber) {
    std::lock_guard guard(m_mutex);
    auto it = m_handles.find(serialNumber);
    if (it != m_handles.end())
        it->second.handle->close();
}

void CHIDHandleMgr::closeAll() {
    std::map<std::u16string, Entry> handles;
    std::map<std::u16string, std::unique_ptr<port::NamedMutex>> mutexes;
    {
        std::lock_guard guard(m_mutex);
        handles.swap(m_handles);
        mutexes.swap(m_mutexes);
    }
    for (auto& [serial, entry] : handles)
        entry.handle->close();
}

void CHIDHandleMgr::setLockDirectory(std::string dir) {
    std::lock_guard guard(m_mutex);
    m_lockDir = std::move(dir);
}

}  // namespace nork
