#include "DeviceManager.h"

#include <mutex>

#include "DeviceParams.h"
#include "HIDHandleMgr.h"
#include "Log.h"
#include "PlatformFactory.h"
#include "TransparentReconnect.h"
#include "UFDImpl.h"
#include "VendorTraits.h"

namespace nork {
namespace {

bool rawAccess() {
    return CPlatformFactory::instance().privilege(CPlatformFactory::PRIV_O);
}

}  // namespace

CDeviceManager::CDeviceManager(CThreadMutex* mutex)
    : m_ownMutex(mutex == nullptr ? std::make_unique<CThreadMutex>() : nullptr),
      m_mutex(mutex != nullptr ? *mutex : *m_ownMutex) {}

CDeviceManager::~CDeviceManager() = default;

void CDeviceManager::registerServices(CUFDImpl& device) {
    if (device.traits() == nullptr)
        return;
    if (!device.traits()->registerServices(device)) {
        NORK_LOG(LOG_ERROR, "CDeviceManager - service registration failed for %s",
                 device.serialNumber());
    }
}

bool CDeviceManager::merge(CUFDImpl& device, const CDeviceParams& params) {
    if (device.storedPath(CDeviceParams::PATH_DISK) !=
        params.storedPath(CDeviceParams::PATH_DISK)) {
        // Another device path: the drive came back as another device.
        device.assignParams(params);
        device.clearServices();
        registerServices(device);
        return true;
    }
    device.setDriveMask(device.driveMask() | params.driveMask());
    device.setDeviceState(params.deviceState());
    for (int kind : {CDeviceParams::PATH_DISK, CDeviceParams::PATH_HID}) {
        const std::u16string path = params.storedPath(kind);
        if (!path.empty())
            device.setPath(kind, path);
    }
    device.setFlags(static_cast<std::uint8_t>(device.flags() | params.flags()));
    // Over HID the version read now is the one to trust unless the drive
    // already showed its composite side.
    if (!rawAccess() && !device.composite())
        device.setVersion(params.version());
    return false;
}

int CDeviceManager::deviceConnected(const CDeviceParams& params) {
    zyk_assert(params.serialNumber() && *(params.serialNumber()) != '\0',
               "params.serialNumber() && *(params.serialNumber()) != '\\0'");
    if (*params.serialNumber() == u'\0')
        return CONNECT_IGNORED;
    const std::u16string serial = params.serialNumber();

    std::lock_guard<CThreadMutex> guard(m_mutex);
    auto connected = m_connected.find(serial);
    if (connected != m_connected.end()) {
        CUFDImpl& device = *connected->second;
        if (device.deviceState() == STATUS_DEVICE_NOT_CONNECTED)
            return CONNECT_IGNORED;
        return merge(device, params) ? CONNECT_NEW_OR_CHANGED : CONNECT_KNOWN;
    }

    std::unique_ptr<CUFDImpl> device;
    auto pooled = m_pool.find(serial);
    if (pooled != m_pool.end()) {
        device = std::move(pooled->second);
        m_pool.erase(pooled);
        merge(*device, params);
    } else {
        device = std::make_unique<CUFDImpl>(params);
        registerServices(*device);
    }
    m_connected[serial] = std::move(device);
    return CONNECT_NEW_OR_CHANGED;
}

int CDeviceManager::deviceDisconnected(const CDeviceParams& params, std::u16string* serialOut) {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    auto it = m_connected.end();
    if (*params.serialNumber() != u'\0') {
        it = m_connected.find(params.serialNumber());
    } else {
        // Without a serial the removed device is known by one of its paths.
        for (int kind : {CDeviceParams::PATH_DISK, CDeviceParams::PATH_HID}) {
            const std::u16string path = params.storedPath(kind);
            for (auto c = m_connected.begin(); c != m_connected.end() && !path.empty(); ++c) {
                if (c->second->storedPath(kind) == path) {
                    it = c;
                    break;
                }
            }
            if (it != m_connected.end())
                break;
        }
    }
    if (it == m_connected.end())
        return DISCONNECT_UNKNOWN;

    CUFDImpl& device = *it->second;
    if (serialOut != nullptr)
        *serialOut = device.serialNumber();
    const int platformType = CPlatformFactory::instance().platformType();
    if (platformType >= 6 && platformType <= 12 && !rawAccess()) {
        // Part of the drive's letters went away: only an update, unless the
        // event covers the drive's first letter (then the mask is not below
        // twice the event's). An event without letters removes the drive.
        const bool fewerLetters = params.driveLetterCount() < device.driveLetterCount();
        const std::uint32_t twice = (params.driveMask() & 0x1FFFFFFu) << 1;
        if (fewerLetters && device.driveMask() < twice)
            return DISCONNECT_IGNORED;
    }

    std::unique_ptr<CUFDImpl> owned = std::move(it->second);
    m_connected.erase(it);
    owned->setDeviceState(STATUS_DEVICE_NOT_CONNECTED);
    owned->reset();
    const std::u16string serial = owned->serialNumber();
    m_pool[serial] = std::move(owned);
    return DISCONNECT_REMOVED;
}

CUFD CDeviceManager::findDevice(const std::u16string& serial) const {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    auto it = m_connected.find(serial);
    if (it != m_connected.end())
        return CUFD(it->second.get());
    auto pooled = m_pool.find(serial);
    return pooled == m_pool.end() ? CUFD() : CUFD(pooled->second.get());
}

CUFD CDeviceManager::getCUFD(const std::u16string& serial) const {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    auto it = m_connected.find(serial);
    return it == m_connected.end() ? CUFD() : CUFD(it->second.get());
}

std::vector<CUFD> CDeviceManager::connectedDevices() const {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    std::vector<CUFD> out;
    for (const auto& [serial, device] : m_connected)
        out.emplace_back(device.get());
    return out;
}

std::size_t CDeviceManager::connectedCount() const {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    return m_connected.size();
}

std::size_t CDeviceManager::pooledCount() const {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    return m_pool.size();
}

void CDeviceManager::releasePool() {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    m_connected.clear();
    m_pool.clear();
}

CZykSDK::CZykSDK() : m_manager(&m_mutex) {}

CZykEvent::event_t CZykSDK::DeviceConnected(CDeviceParams& params, std::uint32_t tick,
                                            CUFD* device) {
    if (*params.serialNumber() == u'\0') {
        NORK_LOG(LOG_DEBUG, "CZykSDK::DeviceConnected - device with no serial number");
        return CZykEvent::NO_EVENT;
    }
    const std::u16string serial = params.serialNumber();
    CZykEvent::event_t event = CZykEvent::NO_EVENT;
    int reconnected = CZykEvent::NO_EVENT;
    if (CTransparentReconnectionsManager::instance().DeviceConnected(params, reconnected, tick)) {
        if (device != nullptr)
            *device = m_manager.getCUFD(serial);
        return static_cast<CZykEvent::event_t>(reconnected);
    }
    switch (m_manager.deviceConnected(params)) {
        case CDeviceManager::CONNECT_NEW_OR_CHANGED:
            event = CZykEvent::DEVICE_CONNECTED;
            break;
        case CDeviceManager::CONNECT_KNOWN:
            event = CZykEvent::DEVICE_UPDATED;
            break;
        default:
            event = CZykEvent::NO_EVENT;
            break;
    }
    if (device != nullptr)
        *device = m_manager.getCUFD(serial);
    return event;
}

CZykEvent::event_t CZykSDK::DeviceDisconnected(CDeviceParams& params, CUFD* device) {
    const std::u16string serial = params.serialNumber();
    if (!serial.empty()) {
        // A drive that left takes its HID handle with it.
        CHIDHandleMgr::instance().closeHandle(serial);
        if (CTransparentReconnectionsManager::instance().DeviceDisconnected(serial, params))
            return CZykEvent::NO_EVENT;
    }
    std::u16string removed;
    const int result = m_manager.deviceDisconnected(params, &removed);
    if (device != nullptr && !removed.empty())
        *device = m_manager.findDevice(removed);
    switch (result) {
        case CDeviceManager::DISCONNECT_REMOVED:
            return CZykEvent::DEVICE_DISCONNECTED;
        case CDeviceManager::DISCONNECT_IGNORED:
            return CZykEvent::DEVICE_UPDATED;
        default:
            return CZykEvent::NO_EVENT;
    }
}

}  // namespace nork
