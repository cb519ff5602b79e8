#include "DeviceManager.h"

#include <mutex>

#include "DeviceParams.h"
#include "Log.h"
#include "PlatformFactory.h"
#include "UFDImpl.h"
#include "VendorTraits.h"

namespace nork {
namespace {

bool rawAccess() {
    return CPlatformFactory::instance().privilege(CPlatformFactory::PRIV_O);
}

int lowestLetter(std::uint32_t mask) {
    for (int bit = 0; bit < 26; ++bit) {
        if ((mask >> bit) & 1u)
            return bit;
    }
    return -1;
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

int CDeviceManager::deviceDisconnected(const CDeviceParams& params) {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    auto it = m_connected.end();
    if (*params.serialNumber() != u'\0') {
        it = m_connected.find(params.serialNumber());
    } else {
        // Without a serial the removed device is known by its path.
        const std::u16string path = params.storedPath(CDeviceParams::PATH_DISK);
        for (auto c = m_connected.begin(); c != m_connected.end() && !path.empty(); ++c) {
            if (c->second->storedPath(CDeviceParams::PATH_DISK) == path) {
                it = c;
                break;
            }
        }
    }
    if (it == m_connected.end())
        return DISCONNECT_UNKNOWN;

    CUFDImpl& device = *it->second;
    const int platformType = CPlatformFactory::instance().platformType();
    if (platformType >= 6 && platformType <= 12 && !rawAccess()) {
        const int first = lowestLetter(device.driveMask());
        const bool fewerLetters = params.driveLetterCount() < device.driveLetterCount();
        const bool firstCovered = first >= 0 && ((params.driveMask() >> first) & 1u) != 0;
        if (fewerLetters && !firstCovered)
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

}  // namespace nork
