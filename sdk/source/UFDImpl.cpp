#include "UFDImpl.h"

#include <cstdio>
#include <mutex>

#include "Log.h"
#include "PlatformFactory.h"
#include "SDKUtils.h"
#include "VendorTraits.h"

namespace nork {

std::string CUFDImpl::serviceKey(std::uint16_t serviceId) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "Service ID = 0x%x", static_cast<unsigned>(serviceId));
    return buffer;
}

void CUFDImpl::addService(const CZykAPI& prototype) {
    std::shared_ptr<CZykAPI> copy(prototype.clone());
    if (!copy)
        return;
    copy->attach(this);
    std::lock_guard<CThreadMutex> guard(m_servicesMutex);
    m_services[prototype.key()] = std::move(copy);
}

std::shared_ptr<CZykAPI> CUFDImpl::lookup(const std::string& key) const {
    std::lock_guard<CThreadMutex> guard(m_servicesMutex);
    auto it = m_services.find(key);
    return it == m_services.end() ? nullptr : it->second;
}

std::shared_ptr<CZykAPI> CUFDImpl::getService(const std::string& key) {
    const bool rawAccess = CPlatformFactory::instance().privilege(CPlatformFactory::PRIV_O);
    std::shared_ptr<CZykAPI> service = lookup(key);
    if (service) {
        if (rawAccess || hidPrivateCommandsEnabled() || composite())
            return service;
        // A service of a drive reached over HID works only once the drive's
        // HID private commands are on.
        enableHidPrivateCommands(*this);
        return lookup(key);
    }
    if (rawAccess || composite())
        return nullptr;
    // Enabling HID may re-identify the drive and register its services.
    if (!enableHidPrivateCommands(*this))
        return nullptr;
    return lookup(key);
}

void CUFDImpl::clearServices() {
    std::lock_guard<CThreadMutex> guard(m_servicesMutex);
    m_services.clear();
}

std::vector<std::string> CUFDImpl::serviceKeys() const {
    std::lock_guard<CThreadMutex> guard(m_servicesMutex);
    std::vector<std::string> keys;
    for (const auto& [key, service] : m_services)
        keys.push_back(key);
    return keys;
}

STATUS CUFDImpl::refreshVersion() {
    const bool rawAccess = CPlatformFactory::instance().privilege(CPlatformFactory::PRIV_O);
    const std::u16string text = version().toString();
    const bool diskSideReading = !rawAccess && composite() && text.size() > 4 && text[4] == u'0';
    if (!version().isZero() && !diskSideReading)
        return STATUS_OK;
    if (traits() == nullptr)
        return STATUS_OK;
    const STATUS status = traits()->setFwVersion(*this);
    if (status != STATUS_OK)
        return status;
    NORK_LOG(LOG_INFO, "CUFDImpl::getVersion - taken device version %s by private command",
             version().toString());
    return STATUS_OK;
}

bool enableHidPrivateCommands(CUFDImpl& device) {
    if (!CSDKUtils::enablePrivateCommands(device))
        return false;
    device.setFlags(
        static_cast<std::uint8_t>(device.flags() | CDeviceParams::FLAG_HID_PRIVATE_COMMANDS));
    return true;
}

}  // namespace nork
