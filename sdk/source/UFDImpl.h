// The device object of one drive: its parameters plus the services it
// offers, each registered under "Service ID = 0x<id>". The device manager
// owns device objects for the life of the SDK; CUFD (UFD.h) is the light
// public handle onto one.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DeviceParams.h"
#include "Singleton.h"
#include "Status.h"

namespace nork {

class CUFDImpl;

// Base of every service implementation: the registry key it lives under and
// the device object that owns it.
class CZykAPI {
  public:
    explicit CZykAPI(std::string key) : m_key(std::move(key)) {}
    virtual ~CZykAPI() = default;
    // A copy of this prototype, not yet attached.
    virtual std::unique_ptr<CZykAPI> clone() const = 0;
    // Stores the owning device object.
    virtual void attach(CUFDImpl* device) { m_device = device; }

    const std::string& key() const { return m_key; }
    CUFDImpl* device() const { return m_device; }

  protected:
    CZykAPI(const CZykAPI&) = default;
    CZykAPI& operator=(const CZykAPI&) = default;

  private:
    std::string m_key;
    CUFDImpl* m_device = nullptr;
};

class CUFDImpl : public CDeviceParams {
  public:
    // The cached FIPS status value after construction and each reconnection
    // registration (FIPS_POST).
    static constexpr std::int32_t FIPS_POST = 4;

    CUFDImpl() = default;
    explicit CUFDImpl(const CDeviceParams& params) : CDeviceParams(params) {}
    ~CUFDImpl() override = default;
    CUFDImpl(const CUFDImpl&) = delete;
    CUFDImpl& operator=(const CUFDImpl&) = delete;

    // The parameters part, replacing the identity (services stay as they are).
    void assignParams(const CDeviceParams& params) { CDeviceParams::operator=(params); }

    // "Service ID = 0x%x".
    static std::string serviceKey(std::uint16_t serviceId);

    // Stores a copy of the prototype under its key (replacing one already
    // there) and attaches it to this device object.
    void addService(const CZykAPI& prototype);
    // The service under a key, or null. Without raw device access the drive's
    // HID private commands are enabled first where the drive needs them
    // (see the source for the rule).
    std::shared_ptr<CZykAPI> getService(const std::string& key);
    std::shared_ptr<CZykAPI> getService(std::uint16_t serviceId) {
        return getService(serviceKey(serviceId));
    }
    // Empties the registry (before the traits register again).
    void clearServices();
    std::vector<std::string> serviceKeys() const;

    std::int32_t fipsStatus() const { return m_fipsStatus; }
    void setFipsStatus(std::int32_t status) { m_fipsStatus = status; }

    // Refreshes the firmware version through the traits' setFwVersion when
    // it is unknown (or, without raw access on a composite drive, when it
    // looks like a disk-side reading).
    STATUS refreshVersion();

  private:
    std::shared_ptr<CZykAPI> lookup(const std::string& key) const;

    mutable CThreadMutex m_servicesMutex;
    std::map<std::string, std::shared_ptr<CZykAPI>> m_services;
    std::int32_t m_fipsStatus = FIPS_POST;
};

// Enables the HID private commands of a drive reached without raw device
// access (switching it to its composite configuration where needed) and sets
// flags bit 2 on success. Blocks until the drive came back (bounded).
bool enableHidPrivateCommands(CUFDImpl& device);

}  // namespace nork
