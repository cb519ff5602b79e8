#include "qz/ServiceDiscoveryImpl.h"

#include <algorithm>
#include <cstdio>

#include "DeviceHandle.h"
#include "Log.h"
#include "PlatformFactory.h"
#include "Registry.h"
#include "StringConvertor.h"
#include "UFDImpl.h"
#include "qz/DriveProtocol.h"
#include "qz/QzCommands.h"

namespace nork::qz {

namespace {

constexpr std::uint32_t DISCOVERY_HEAD_LENGTH = 10;
constexpr std::uint32_t RECORD_HEADER_LENGTH = 6;
// Firmware 6.6.x offers the FIPS service without listing it.
constexpr DiscoveredService FIPS_SERVICE{26, 1};

}  // namespace

CServiceDiscoveryImpl::CServiceDiscoveryImpl(std::int16_t version)
    : CServiceImpl(SERVICE_ID_DISCOVERY, version) {}

CServiceDiscoveryImpl::CServiceDiscoveryImpl(const CServiceDiscoveryImpl& other)
    : CServiceImpl(other) {
    std::lock_guard<std::mutex> guard(const_cast<std::mutex&>(other.m_listMutex));
    m_services = other.m_services;
}

std::unique_ptr<CZykAPI> CServiceDiscoveryImpl::clone() const {
    return std::unique_ptr<CZykAPI>(new CServiceDiscoveryImpl(*this));
}

std::vector<DiscoveredService> CServiceDiscoveryImpl::walkRecords(const std::uint8_t* data,
                                                                  std::uint32_t total) {
    std::vector<DiscoveredService> out;
    std::uint32_t at = 0;
    while (at + RECORD_HEADER_LENGTH <= total) {
        const std::uint16_t id = proto::getLE16(data + at);
        if (id == 0)
            break;
        out.push_back({id, proto::getLE16(data + at + 2)});
        const std::uint16_t length = proto::getLE16(data + at + 4);
        // A record shorter than its own header would never move the walk on.
        if (length < RECORD_HEADER_LENGTH)
            break;
        at += length;
    }
    return out;
}

STATUS CServiceDiscoveryImpl::performServiceDiscovery() {
    return guarded("CServiceDiscoveryImpl::performServiceDiscovery", [&]() -> STATUS {
        CDeviceHandle handle(device());
        if (device() == nullptr || handle.open() == port::INVALID_OS_HANDLE) {
            NORK_LOG(
                LOG_ERROR,
                "CServiceDiscoveryImpl::performServiceDiscovery(): Cannot open handle to device");
            return STATUS_COMMUNICATION_FAILURE;
        }
        CQz_SD_QueryService_Cmd head(SERVICE_ID_DISCOVERY, DISCOVERY_HEAD_LENGTH, true);
        if (!executePrivate(handle, head)) {
            NORK_LOG(LOG_ERROR,
                     "CServiceDiscoveryImpl::performServiceDiscovery(): Execution of query command "
                     "failure");
            return STATUS_COMMUNICATION_FAILURE;
        }
        const std::uint32_t total = head.length();
        if (total == 0 || total > SERVICE_DESCRIPTOR_MAX_LENGTH) {
            NORK_LOG(LOG_ERROR,
                     "CServiceDiscoveryImpl::performServiceDiscovery(): got illegal length: %d",
                     total);
            return STATUS_WRONG_DATA_LENGTH;
        }
        CQz_SD_QueryService_Cmd all(SERVICE_ID_DISCOVERY, total, true);
        if (!executePrivate(handle, all)) {
            NORK_LOG(LOG_ERROR,
                     "CServiceDiscoveryImpl::performServiceDiscovery(): Execution of query command "
                     "failure");
            return STATUS_COMMUNICATION_FAILURE;
        }
        std::vector<DiscoveredService> found = walkRecords(all.dataBuffer(), total);

        const STATUS versionStatus = device()->refreshVersion();
        if (versionStatus != STATUS_OK)
            return versionStatus;
        const CVersion& version = device()->version();
        if (!(version < CVersion(6.6)) && version < CVersion(6.7))
            found.push_back(FIPS_SERVICE);

        std::size_t count = 0;
        {
            std::lock_guard<std::mutex> guard(m_listMutex);
            m_services = std::move(found);
            count = m_services.size();
        }
        NORK_LOG(LOG_INFO,
                 "CServiceDiscoveryImpl::performServiceDiscovery(): %d services were discovered",
                 static_cast<int>(count));
        return STATUS_OK;
    });
}

STATUS CServiceDiscoveryImpl::getServicesCount(std::size_t& count) {
    std::vector<DiscoveredService> list;
    const STATUS status = copyServices(list);
    count = list.size();
    return status;
}

STATUS CServiceDiscoveryImpl::getServices(std::vector<DiscoveredService>& out) {
    return copyServices(out);
}

STATUS CServiceDiscoveryImpl::copyServices(std::vector<DiscoveredService>& out) {
    return guarded("CServiceDiscoveryImpl::copyServices", [&]() -> STATUS {
        {
            std::lock_guard<std::mutex> guard(m_listMutex);
            if (!m_services.empty()) {
                out = m_services;
                return STATUS_OK;
            }
        }
        const STATUS status = performServiceDiscovery();
        std::lock_guard<std::mutex> guard(m_listMutex);
        out = m_services;
        return status;
    });
}

STATUS CServiceDiscoveryImpl::getServiceDiscoveryVersion(CDeviceHandle& handle,
                                                         std::uint16_t& version) {
    return guarded("CServiceDiscoveryImpl::getServiceDiscoveryVersion", [&]() -> STATUS {
        if (CPlatformFactory::instance().platformType() == CPlatformType::WIN2K_SP4) {
            // This platform's first query is sent without a status phase; its
            // answer is not looked at.
            CQz_SD_QueryService_Cmd first(SERVICE_ID_DISCOVERY, 6, false, true);
            if (!executePrivate(handle, first))
                return STATUS_COMMUNICATION_FAILURE;
        }
        CQz_SD_QueryService_Cmd query(SERVICE_ID_DISCOVERY, 6, false);
        if (!executePrivate(handle, query))
            return STATUS_COMMUNICATION_FAILURE;
        version = query.version();
        return STATUS_OK;
    });
}

STATUS CServiceDiscoveryImpl::getServiceDiscoveryVersion(CUFDImpl& device, std::uint16_t& version) {
    return guarded("CServiceDiscoveryImpl::getServiceDiscoveryVersion", [&]() -> STATUS {
        CDeviceHandle handle(&device);
        if (handle.open() == port::INVALID_OS_HANDLE) {
            NORK_LOG(LOG_ERROR,
                     "CServiceDiscoveryImpl::getServiceDiscoveryVersion(): Cannot open handle to "
                     "device");
            return STATUS_COMMUNICATION_FAILURE;
        }
        return getServiceDiscoveryVersion(handle, version);
    });
}

STATUS CServiceDiscoveryImpl::getDeviceInfo(DeviceInfo& out) {
    return guarded("CServiceDiscoveryImpl::getDeviceInfo", [&]() -> STATUS {
        std::uint8_t record[DEVICE_INFO_RECORD_LENGTH] = {};
        std::uint32_t length = 0;
        const STATUS status =
            getServiceDescriptor(SERVICE_ID_DISCOVERY, record, sizeof record, length, false);
        if (status != STATUS_OK)
            return status;
        if (length != DEVICE_INFO_RECORD_LENGTH)
            return STATUS_WRONG_DATA_LENGTH;
        out.flag0 = (record[10] & 0x01) != 0;
        out.flag1 = (record[10] & 0x02) != 0;
        out.flag2 = (record[10] & 0x04) != 0;
        out.word11 = proto::getLE16(record + 11);
        out.word13 = proto::getLE16(record + 13);
        out.deviceId = CUniqueIDRetriever::GetUniqueID(record + 15, *device());
        out.capacitySectors = proto::getLE32(record + 35);
        return STATUS_OK;
    });
}

std::array<std::uint8_t, 20> CUniqueIDRetriever::GetUniqueID(const std::uint8_t* source,
                                                             const CUFDImpl& device) {
    std::array<std::uint8_t, 20> copy{};
    std::copy_n(source, copy.size(), copy.begin());
    if ((source[0] & 0x80) != 0) {
        NORK_LOG(LOG_ALERT,
                 "Alert UniqueIDRetriever::GetUniqueID New MSB is 1 is it new firmaware ??");
        return copy;
    }
    const std::int32_t vid = device.usbVendorId();
    if (vid == CORVANE_VENDOR_ID) {
        NORK_LOG(LOG_DEBUG, "UniqueIDRetriever::GetUniqueID Corvane device");
        return BuildUniqueDeviceID(device);
    }
    if (vid == TRIVANTA_VENDOR_ID) {
        NORK_LOG(LOG_DEBUG, "UniqueIDRetriever::GetUniqueID Trivanta device, composite %d",
                 device.composite() ? 1 : 0);
        if (device.composite())
            return BuildUniqueDeviceID(device);
    }
    NORK_LOG(LOG_DEBUG, "UniqueIDRetriever::GetUniqueID we just copy the original");
    return copy;
}

std::array<std::uint8_t, 20> CUniqueIDRetriever::BuildUniqueDeviceID(const CUFDImpl& device) {
    CPlatformFactory& platform = CPlatformFactory::instance();
    NORK_LOG(
        LOG_DEBUG, "CUniqueIDRetriever::BuildUniqueDeviceID Building UniqueDeviceID %s",
        platform.privilege(CPlatformFactory::PRIV_W) ? "CanRegistryWrite" : "CanNOTRegistryWrite");
    const bool scsiPassThrough = platform.privilege(CPlatformFactory::PRIV_S);
    if (device.composite() && scsiPassThrough) {
        NORK_LOG(LOG_ALERT,
                 "ALERT Error >>: The device is in Composite but SCSI_PATHTHROUGH is true ");
    }
    std::uint32_t pid = static_cast<std::uint16_t>(device.usbProductId());
    if (!scsiPassThrough) {
        // Without pass-through the drive may show its composite identity;
        // the product id it has as a plain disk is kept per device in the
        // user's settings, when known.
        char key[96];
        std::snprintf(key, sizeof key, "Software\\Qz\\Devices\\VID_%04X&PID_%04X\\",
                      static_cast<unsigned>(device.usbVendorId() & 0xFFFF), pid);
        std::u16string path = multiToWideString(key, 0) + device.serialNumber();
        CRegistry registry;
        std::uint32_t genuine = 0;
        if (registry.open(CRegistry::ROOT_CURRENT_USER, CRegistry::omRead, path)) {
            if (registry.readDword(u"GenuinePID", genuine))
                pid = genuine & 0xFFFF;
            registry.close();
        }
    }
    NORK_LOG(LOG_DEBUG, "CUniqueIDRetriever::BuildUniqueDeviceID GenuinePID %X", pid);

    std::array<std::uint8_t, 20> id{};
    const std::string serial = wideToMultiString(device.serialNumber(), 0);
    std::copy_n(serial.begin(), std::min<std::size_t>(serial.size(), 16), id.begin());
    proto::putLE16(id.data() + 16, static_cast<std::uint16_t>(device.usbVendorId()));
    proto::putLE16(id.data() + 18, static_cast<std::uint16_t>(pid));
    return id;
}

bool discoverQzServices(CUFDImpl& device, std::vector<DiscoveredService>& out) {
    out.clear();
    std::uint16_t version = 0;
    if (CServiceDiscoveryImpl::getServiceDiscoveryVersion(device, version) != STATUS_OK)
        return false;
    device.addService(CServiceDiscoveryImpl(static_cast<std::int16_t>(version)));
    auto discovery =
        std::dynamic_pointer_cast<CServiceDiscoveryImpl>(device.getService(SERVICE_ID_DISCOVERY));
    if (!discovery)
        return false;
    discovery->copyServices(out);
    return true;
}

}  // namespace nork::qz
