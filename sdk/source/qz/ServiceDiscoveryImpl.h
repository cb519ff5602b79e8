// Service discovery of a Qz drive: the list of (service id, version) pairs
// that the descriptor of service 3 carries, the discovery version, the
// device information record and the device identifier built from it.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "ServiceImpl.h"

namespace nork {
class CUFDImpl;
}

namespace nork::qz {

inline constexpr std::uint16_t SERVICE_ID_DISCOVERY = 3;
inline constexpr std::uint32_t DEVICE_INFO_RECORD_LENGTH = 39;

struct DiscoveredService {
    std::uint16_t id = 0;
    std::uint16_t version = 0;
    friend bool operator==(const DiscoveredService&, const DiscoveredService&) = default;
};

// Service 3's device information.
struct DeviceInfo {
    bool flag0 = false, flag1 = false, flag2 = false;  // byte 10, bits 0..2
    std::uint16_t word11 = 0;
    std::uint16_t word13 = 0;
    std::array<std::uint8_t, 20> deviceId{};  // see CUniqueIDRetriever
    std::uint32_t capacitySectors = 0;        // byte 35
};

class CServiceDiscoveryImpl : public CServiceImpl {
  public:
    explicit CServiceDiscoveryImpl(std::int16_t version = 0);
    std::unique_ptr<CZykAPI> clone() const override;

    virtual STATUS getDeviceInfo(DeviceInfo& out);
    // Reads the list again; it stays empty after a failure.
    virtual STATUS performServiceDiscovery();
    // These run the discovery first while the list is empty.
    virtual STATUS getServicesCount(std::size_t& count);
    virtual STATUS getServices(std::vector<DiscoveredService>& out);
    virtual STATUS copyServices(std::vector<DiscoveredService>& out);

    // The version word of service 3's descriptor.
    static STATUS getServiceDiscoveryVersion(CUFDImpl& device, std::uint16_t& version);
    static STATUS getServiceDiscoveryVersion(CDeviceHandle& handle, std::uint16_t& version);

    // The records of a discovery answer of total length `total`: each starts
    // with (id, version, length); the walk stops at an id of 0, a record
    // that does not fit, or the end.
    static std::vector<DiscoveredService> walkRecords(const std::uint8_t* data,
                                                      std::uint32_t total);

  private:
    CServiceDiscoveryImpl(const CServiceDiscoveryImpl& other);

    std::mutex m_listMutex;
    std::vector<DiscoveredService> m_services;
};

// The 20-byte device identifier: copied from the drive's bytes, or built from
// the serial number and the USB identifiers for the vendors that need it.
class CUniqueIDRetriever {
  public:
    // USB vendor ids that choose the built form.
    static constexpr std::int32_t CORVANE_VENDOR_ID = 0x3C2A;
    static constexpr std::int32_t TRIVANTA_VENDOR_ID = 0x2B1D;

    static std::array<std::uint8_t, 20> GetUniqueID(const std::uint8_t* source,
                                                    const CUFDImpl& device);
    static std::array<std::uint8_t, 20> BuildUniqueDeviceID(const CUFDImpl& device);
};

// Registers the discovery service on the device and reads its list; false
// (nothing registered but the discovery service) when the discovery version
// query fails.
bool discoverQzServices(CUFDImpl& device, std::vector<DiscoveredService>& out);

}  // namespace nork::qz
