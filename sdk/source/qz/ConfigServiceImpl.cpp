#include "qz/ConfigServiceImpl.h"

#include <algorithm>
#include <mutex>
#include <string>

#include "Callbacks.h"
#include "DeviceHandle.h"
#include "DomainCommands.h"
#include "Log.h"
#include "PlatformFactory.h"
#include "PrivateCommand.h"
#include "SDKUtils.h"
#include "TransparentReconnect.h"
#include "UFDImpl.h"
#include "VendorTraits.h"
#include "VersionFactory.h"
#include "fat/FatFormat.h"
#include "qz/DriveProtocol.h"
#include "qz/PrivateAreaImpl.h"
#include "qz/UtilsImpl.h"
#include "utils/DiskUtils.h"

namespace nork::qz {

namespace {

constexpr std::uint64_t SECTOR = proto::SECTOR_SIZE;
// Bytes of the descriptor that getSupportedDomainTypes reads: the header,
// the most domains, the type count at 7 and three type bytes.
constexpr std::uint32_t SUPPORTED_TYPES_DESCRIPTOR = 11;
constexpr std::size_t SUPPORTED_TYPES_COUNT_OFFSET = 7;
constexpr std::int32_t DOMAIN_TYPE_NONE = 0;
constexpr std::int32_t DOMAIN_TYPE_LAST = 4;

// A plain handle (read/write, shared) on the device; null when it does not
// open.
std::unique_ptr<CDeviceHandle> openPlain(CUFDImpl* device) {
    if (device == nullptr)
        return nullptr;
    auto handle = std::make_unique<CDeviceHandle>(device);
    if (handle->open() == port::INVALID_OS_HANDLE)
        return nullptr;
    return handle;
}

std::u16string rootOfLetter(char16_t letter) {
    return std::u16string{letter, u':', u'\\'};
}

}  // namespace

CConfigServiceImpl::CConfigServiceImpl(std::int16_t version) : CServiceImpl(SERVICE_ID, version) {}

// The copy has its own critical section; the caches come along.
CConfigServiceImpl::CConfigServiceImpl(const CConfigServiceImpl& other)
    : CServiceImpl(other), m_maxDomains(other.m_maxDomains), m_totalSectors(other.m_totalSectors) {}

std::unique_ptr<CZykAPI> CConfigServiceImpl::clone() const {
    return std::unique_ptr<CZykAPI>(new CConfigServiceImpl(*this));
}

bool CConfigServiceImpl::privilege(int which) const {
    return CPlatformFactory::instance().privilege(which);
}

// ---- Layout rewrites and removals ----

STATUS CConfigServiceImpl::setDomains(CDomainList&, bool, bool, bool, CProgressCallback*,
                                      CDomainList*) {
    NORK_LOG(LOG_ERROR, "CConfigServiceImpl::setDomains --- not supported");
    return STATUS_COMMAND_NOT_SUPPORTED;
}

STATUS CConfigServiceImpl::updateDomain(CDomain&, bool, bool, bool, CProgressCallback*) {
    NORK_LOG(LOG_ERROR, "CConfigServiceImpl::updateDomain --- not supported");
    return STATUS_COMMAND_NOT_SUPPORTED;
}

STATUS CConfigServiceImpl::removeLastDomain(bool, bool) {
    NORK_LOG(LOG_ERROR, "CConfigServiceImpl::removeLastDomain --- not supported");
    return STATUS_COMMAND_NOT_SUPPORTED;
}

STATUS CConfigServiceImpl::removeAll(bool, bool, bool, CProgressCallback*, CDomainList*) {
    NORK_LOG(LOG_ERROR, "CConfigServiceImpl::removeAll --- not supported");
    return STATUS_COMMAND_NOT_SUPPORTED;
}

STATUS CConfigServiceImpl::setDomainFlags(CDeviceHandle& handle, CDomainAddress& address,
                                          std::uint16_t mask, bool on) {
    return guarded("CConfigServiceImpl::setDomainFlags", [&]() -> STATUS {
        return setDomainFlags(std::make_unique<CDeviceHandle>(handle), address, mask, on);
    });
}

STATUS CConfigServiceImpl::setDomainFlags(std::unique_ptr<CDeviceHandle> handle,
                                          CDomainAddress& address, std::uint16_t mask, bool on) {
    return guarded("CConfigServiceImpl::setDomainFlags", [&]() -> STATUS {
        if (!handle || device() == nullptr)
            return STATUS_COMMUNICATION_FAILURE;
        const std::uint8_t index = address.resolve(*device());
        if (index == DOMAIN_NO_INDEX)
            return STATUS_ILLEGAL_DOMAIN_ADDRESS;
        std::uint32_t count = 0;
        STATUS status = getConfiguredDomainsNum(*handle, count);
        if (status != STATUS_OK)
            return status;
        if (index >= count)
            return STATUS_ILLEGAL_DOMAIN_ADDRESS;
        DomainWireEntry entry;
        status = getDomainCfg(*handle, index, entry);
        if (status != STATUS_OK)
            return status;
        // Bits 1 and 3 (device state, CD lock) are the drive's own.
        const auto flags = static_cast<std::uint16_t>(
            (on ? entry.flags | mask : entry.flags & ~mask) & DOMAIN_HOST_FLAG_MASK);
        const bool wasProtected = (entry.flags & DOMAIN_FLAG_WRITE_PROTECTED) != 0;
        const bool nowProtected = (flags & DOMAIN_FLAG_WRITE_PROTECTED) != 0;
        NORK_LOG(LOG_INFO,
                 "CConfigServiceImpl::setDomainFlags --- domain %d flags 0x%04X -> 0x%04X", index,
                 entry.flags, flags);
        CQzCfgDomainSetFlagsCmd command(index, flags);
        if (wasProtected != nowProtected)
            return executeAndWait(std::move(handle), command, Change::WriteProtection,
                                  nowProtected ? 1 : 0);
        return executeAndWait(std::move(handle), command, Change::Other, 0);
    });
}

// ---- Counts, limits and capacity ----

STATUS CConfigServiceImpl::getConfiguredDomainsNum(CDeviceHandle& handle, std::uint32_t& count) {
    return guarded("CConfigServiceImpl::getConfiguredDomainsNum", [&]() -> STATUS {
        NORK_LOG(LOG_DEBUG, "CConfigServiceImpl::getConfiguredDomainsNum --- enter");
        CQzCfgGetDeviceCfgCmd command(1);
        if (!executePrivate(handle, command)) {
            NORK_LOG(LOG_ERROR,
                     "CConfigServiceImpl::getConfiguredDomainsNum --- failed to get number of "
                     "domains");
            return STATUS_COMMUNICATION_FAILURE;
        }
        count = command.GetDomainsNum();
        NORK_LOG(LOG_DEBUG,
                 "CConfigServiceImpl::getConfiguredDomainsNum --- Exit. %d domains returned",
                 count);
        return STATUS_OK;
    });
}

STATUS CConfigServiceImpl::getMaxDomainsNum(CDeviceHandle& handle, std::int32_t& count) {
    return guarded("CConfigServiceImpl::getMaxDomainsNum", [&]() -> STATUS {
        if (m_maxDomains == MAX_DOMAINS_UNKNOWN) {
            std::uint8_t field = 0;
            std::uint32_t length = 0;
            STATUS status = getServiceRootSpecificFields(handle, SERVICE_ID, &field, 1, length);
            // A descriptor without the field tells nothing.
            if (status == STATUS_OK && length == 0)
                status = STATUS_WRONG_DATA_LENGTH;
            if (status != STATUS_OK) {
                NORK_LOG(LOG_ERROR,
                         "CConfigServiceImpl::getMaxDomainsNum --- failed to get max number of "
                         "domains");
                return status;
            }
            m_maxDomains = static_cast<std::int32_t>(field) - 1;
        }
        count = m_maxDomains;
        return STATUS_OK;
    });
}

STATUS CConfigServiceImpl::getTotalSectors(CDeviceHandle&, std::uint32_t& sectors) {
    return guarded("CConfigServiceImpl::getTotalSectors", [&]() -> STATUS {
        if (m_totalSectors == TOTAL_SECTORS_UNKNOWN) {
            std::uint64_t bytes = 0;
            CUFDImpl* dev = device();
            if (dev == nullptr || dev->traits() == nullptr ||
                !dev->traits()->getCapacity(*dev, bytes)) {
                NORK_LOG(LOG_ERROR,
                         "CConfigServiceImpl::getTotalSectors --- failed to get the device "
                         "capacity");
                return STATUS_COMMUNICATION_FAILURE;
            }
            m_totalSectors = static_cast<std::uint32_t>(bytes / SECTOR);
        }
        sectors = m_totalSectors;
        return STATUS_OK;
    });
}

STATUS CConfigServiceImpl::getUnallocatedSectors(CDeviceHandle& handle, std::uint32_t& sectors) {
    return guarded("CConfigServiceImpl::getUnallocatedSectors", [&]() -> STATUS {
        std::int32_t max = 0;
        STATUS status = getMaxDomainsNum(handle, max);
        if (status != STATUS_OK)
            return status;
        std::uint32_t total = 0;
        status = getTotalSectors(handle, total);
        if (status != STATUS_OK)
            return status;
        CQzCfgGetDeviceCfgCmd command(static_cast<std::uint32_t>(std::clamp(max, 1, 255)));
        if (!executePrivate(handle, command)) {
            NORK_LOG(LOG_ERROR,
                     "CConfigServiceImpl::getUnallocatedSectors --- failed to get the domains");
            return STATUS_COMMUNICATION_FAILURE;
        }
        std::uint64_t used = 0;
        for (std::uint32_t i = 0;; ++i) {
            const auto entry = command.GetDomainCfg(i);
            if (!entry)
                break;
            used += entry->sectors;
        }
        // A layout larger than the device leaves nothing, not a wrapped count.
        sectors = used >= total ? 0 : static_cast<std::uint32_t>(total - used);
        NORK_LOG(LOG_DEBUG, "CConfigServiceImpl::getUnallocatedSectors --- %d of %d sectors free",
                 sectors, total);
        return STATUS_OK;
    });
}

STATUS CConfigServiceImpl::getFreeCapacity(std::uint64_t& bytes) {
    return guarded("CConfigServiceImpl::getFreeCapacity", [&]() -> STATUS {
        NORK_LOG(LOG_DEBUG, "CConfigServiceImpl::getFreeCapacity --- enter");
        auto handle = openPlain(device());
        if (!handle) {
            NORK_LOG(LOG_ERROR, "CConfigServiceImpl::getFreeCapacity --- invalid device handle");
            return STATUS_COMMUNICATION_FAILURE;
        }
        std::uint32_t sectors = 0;
        const STATUS status = getUnallocatedSectors(*handle, sectors);
        if (status != STATUS_OK)
            return status;
        bytes = static_cast<std::uint64_t>(sectors) * SECTOR;
        NORK_LOG(LOG_DEBUG, "CConfigServiceImpl::getFreeCapacity --- exit");
        return STATUS_OK;
    });
}

STATUS CConfigServiceImpl::calculateValidDomainSize(std::int32_t type, std::uint64_t size,
                                                    std::uint64_t& valid, bool fillsRest) {
    return guarded("CConfigServiceImpl::calculateValidDomainSize", [&]() -> STATUS {
        if (type == DOMAIN_TYPE_NONE || type > DOMAIN_TYPE_LAST) {
            NORK_LOG(LOG_ERROR,
                     "CConfigServiceImpl::calculateValidDomainSize --- domain type %d not "
                     "supported",
                     type);
            return STATUS_DOMAIN_TYPE_NOT_SUPPORTED;
        }
        auto handle = openPlain(device());
        if (!handle) {
            NORK_LOG(LOG_ERROR,
                     "CConfigServiceImpl::calculateValidDomainSize --- invalid device handle");
            return STATUS_COMMUNICATION_FAILURE;
        }
        const std::uint64_t slack = type == DOMAIN_TYPE_CD ? 2048 : 512;
        const auto sectors = static_cast<std::uint32_t>((size + slack) / SECTOR);
        CQzCfgCalcValidDomainSizeCmd command(type, sectors, fillsRest);
        if (!executePrivate(*handle, command)) {
            NORK_LOG(LOG_ERROR,
                     "CConfigServiceImpl::calculateValidDomainSize --- failed to calculate the "
                     "size");
            return STATUS_COMMUNICATION_FAILURE;
        }
        valid = static_cast<std::uint64_t>(command.closestValidSize()) * SECTOR;
        return STATUS_OK;
    });
}

STATUS CConfigServiceImpl::getSupportedDomainTypes(std::int32_t* types, std::uint32_t capacity,
                                                   std::uint32_t& count) {
    return guarded("CConfigServiceImpl::getSupportedDomainTypes", [&]() -> STATUS {
        if (types == nullptr)
            return STATUS_WRONG_PARAMETERS;
        std::uint8_t descriptor[SUPPORTED_TYPES_DESCRIPTOR] = {};
        std::uint32_t length = 0;
        if (getServiceDescriptor(SERVICE_ID, descriptor, sizeof descriptor, length, false) !=
            STATUS_OK) {
            NORK_LOG(LOG_ERROR,
                     "CConfigServiceImpl::getSupportedDomainTypes --- failed to read the service "
                     "descriptor");
            return STATUS_COMMUNICATION_FAILURE;
        }
        const std::uint32_t listed = descriptor[SUPPORTED_TYPES_COUNT_OFFSET];
        count = listed > 0 ? listed - 1 : 0;
        if (capacity < count || length < SUPPORTED_TYPES_DESCRIPTOR)
            return STATUS_BUFFER_TOO_SMALL;
        std::uint32_t out = 0;
        for (std::size_t i = SUPPORTED_TYPES_COUNT_OFFSET + 1;
             i < SUPPORTED_TYPES_DESCRIPTOR && i < SUPPORTED_TYPES_COUNT_OFFSET + 1 + listed; ++i) {
            if (descriptor[i] != 1 && out < capacity)
                types[out++] = descriptor[i];
        }
        return STATUS_OK;
    });
}

// ---- Reading the layout ----

STATUS CConfigServiceImpl::getDomainCfg(CDeviceHandle& handle, std::uint8_t index,
                                        DomainWireEntry& entry) {
    return guarded("CConfigServiceImpl::getDomainCfg", [&]() -> STATUS {
        std::int32_t max = 0;
        const STATUS status = getMaxDomainsNum(handle, max);
        if (status != STATUS_OK)
            return status;
        CQzCfgGetDeviceCfgCmd command(static_cast<std::uint32_t>(std::clamp(max, 1, 255)));
        if (!executePrivate(handle, command)) {
            NORK_LOG(LOG_ERROR, "CConfigServiceImpl::getDomainCfg --- failed to get the domains");
            return STATUS_COMMUNICATION_FAILURE;
        }
        const auto found = command.GetDomainCfg(index);
        if (index >= command.GetDomainsNum() || !found)
            return STATUS_ILLEGAL_DOMAIN_ADDRESS;
        entry = *found;
        return STATUS_OK;
    });
}

STATUS CConfigServiceImpl::getDomainCfg(std::uint8_t index, DomainWireEntry& entry) {
    return guarded("CConfigServiceImpl::getDomainCfg", [&]() -> STATUS {
        auto handle = openPlain(device());
        if (!handle)
            return STATUS_COMMUNICATION_FAILURE;
        return getDomainCfg(*handle, index, entry);
    });
}

STATUS CConfigServiceImpl::getDomains(CDeviceHandle& handle, CDomainList& list,
                                      std::int32_t filter) {
    return guarded("CConfigServiceImpl::getDomains", [&]() -> STATUS {
        NORK_LOG(LOG_DEBUG, "CConfigServiceImpl::getDomains --- enter");
        list.clear();
        if (device() == nullptr)
            return STATUS_COMMUNICATION_FAILURE;
        std::uint32_t count = 0;
        STATUS status = getConfiguredDomainsNum(handle, count);
        if (status != STATUS_OK)
            return status;
        CQzCfgGetDeviceCfgCmd command(std::max<std::uint32_t>(count, 1));
        if (!executePrivate(handle, command)) {
            NORK_LOG(LOG_ERROR, "CConfigServiceImpl::getDomains --- failed to get the domains");
            return STATUS_COMMUNICATION_FAILURE;
        }
        NORK_LOG(LOG_DEBUG, "CConfigServiceImpl::getDomains --- returned %d domains", count);
        for (std::uint32_t i = 0; i < count; ++i) {
            NORK_LOG(LOG_DEBUG, "CConfigServiceImpl::getDomains --- GetDomainCfg");
            const auto entry = command.GetDomainCfg(i);
            if (!entry || (filter != DOMAIN_TYPE_ANY && filter != entry->type))
                continue;
            CDomain domain = entry->toDomain(static_cast<std::uint8_t>(i));
            NORK_LOG(LOG_DEBUG,
                     "CConfigServiceImpl::getDomains --- UpdateDomainIndexByMountPointMap: Lun %d, "
                     "index %d",
                     entry->lun, i);
            char16_t letter = 0;
            {
                std::lock_guard<CThreadMutex> guard(m_mapSection);
                status = CSDKUtils::UpdateDomainIndexByMountPointMap(
                    *device(), entry->lun, static_cast<std::uint8_t>(i), letter);
            }
            const std::u16string path = letter != 0 ? rootOfLetter(letter) : std::u16string();
            NORK_LOG(LOG_DEBUG, "CConfigServiceImpl::getDomains --- Path is %s", path);
            if (status != STATUS_OK) {
                NORK_LOG(LOG_ERROR,
                         "CConfigServiceImpl::getDomains --- failed to get domain mount point");
                return STATUS_SDK_INTERNAL_ERROR;
            }
            domain.setMountPoint(path);
            NORK_LOG(LOG_DEBUG, "CConfigServiceImpl::getDomains --- addDomain");
            list.append(domain);
        }
        NORK_LOG(LOG_DEBUG, "CConfigServiceImpl::getDomains --- exit");
        return STATUS_OK;
    });
}

STATUS CConfigServiceImpl::getDomains(CDomainList& list, std::int32_t filter) {
    return guarded("CConfigServiceImpl::getDomains", [&]() -> STATUS {
        if (filter > DOMAIN_TYPE_ANY)
            return STATUS_DOMAIN_TYPE_NOT_SUPPORTED;
        auto handle = openPlain(device());
        if (!handle) {
            NORK_LOG(LOG_ERROR, "CConfigServiceImpl::getDomains --- invalid device handle");
            return STATUS_COMMUNICATION_FAILURE;
        }
        return getDomains(*handle, list, filter);
    });
}

STATUS CConfigServiceImpl::getDomains(CDomainList& list) {
    return getDomains(list, DOMAIN_TYPE_ANY);
}

STATUS CConfigServiceImpl::getDomainByMountPoint(char16_t letter, CDomain& domain) {
    return guarded("CConfigServiceImpl::getDomainByMountPoint", [&]() -> STATUS {
        const char16_t upper =
            letter >= u'a' && letter <= u'z' ? static_cast<char16_t>(letter - 32) : letter;
        const std::u16string root = rootOfLetter(upper);
        CDomainList list;
        if (getDomains(list, DOMAIN_TYPE_ANY) != STATUS_OK)
            return STATUS_COMMUNICATION_FAILURE;
        for (std::size_t i = 0; i < list.count(); ++i) {
            const CDomain candidate = list.at(i);
            if (candidate.mountPoint() == root) {
                domain = candidate;
                return STATUS_OK;
            }
        }
        return STATUS_DOMAIN_NOT_FOUND;
    });
}

STATUS CConfigServiceImpl::getDomainType(CDomainAddress& address, std::int32_t& type) {
    return guarded("CConfigServiceImpl::getDomainType", [&]() -> STATUS {
        if (device() == nullptr || address.resolve(*device()) == DOMAIN_NO_INDEX)
            return STATUS_ILLEGAL_DOMAIN_ADDRESS;
        DomainWireEntry entry;
        const STATUS status = getDomainCfg(address.index(), entry);
        if (status == STATUS_OK)
            type = entry.type;
        return status;
    });
}

STATUS CConfigServiceImpl::getDomainFlags(CDeviceHandle& handle, CDomainAddress& address,
                                          std::uint16_t& flags) {
    return guarded("CConfigServiceImpl::getDomainFlags", [&]() -> STATUS {
        if (device() == nullptr || address.resolve(*device()) == DOMAIN_NO_INDEX)
            return STATUS_ILLEGAL_DOMAIN_ADDRESS;
        DomainWireEntry entry;
        const STATUS status = getDomainCfg(handle, address.index(), entry);
        if (status == STATUS_OK)
            flags = entry.flags;
        return status;
    });
}

STATUS CConfigServiceImpl::getDomainLUN(CDomainAddress& address, std::uint8_t& lun) {
    return guarded("CConfigServiceImpl::getDomainLUN", [&]() -> STATUS {
        if (device() == nullptr || address.resolve(*device()) == DOMAIN_NO_INDEX)
            return STATUS_ILLEGAL_DOMAIN_ADDRESS;
        DomainWireEntry entry;
        const STATUS status = getDomainCfg(address.index(), entry);
        if (status == STATUS_OK)
            lun = entry.lun;
        return status;
    });
}

// ---- Whether a change is allowed ----

bool CConfigServiceImpl::isConfigurable(CDeviceHandle& handle, CDomain& domain, STATUS& status) {
    try {
        domain.setStatus(STATUS_OK);
        status = STATUS_OK;
        if (domain.type() == DOMAIN_TYPE_PUBLIC) {
            auto area = device() != nullptr ? std::dynamic_pointer_cast<CPrivateAreaImpl>(
                                                  device()->getService(SERVICE_ID_PRIVATE_AREA))
                                            : nullptr;
            if (!area)
                return true;
            CDomainAddress address(domain);
            bool configured = false;
            if (area->isConfigured(handle, address, configured) != STATUS_OK) {
                NORK_LOG(LOG_ERROR,
                         "CConfigServiceImpl::isConfigurable --- failed to test if configured in");
                status = STATUS_COMMUNICATION_FAILURE;
                return false;
            }
            if (configured) {
                NORK_LOG(LOG_INFO,
                         "CConfigServiceImpl::isConfigurable --- private area is configured on "
                         "domain %d",
                         domain.index());
                status = STATUS_CONFIGURATION_NOT_ALLOWED;
                domain.setStatus(STATUS_PRIVATE_AREA_EXISTS);
                return false;
            }
            return true;
        }
        if (domain.type() == DOMAIN_TYPE_CD) {
            CDomainAddress address(domain);
            std::uint16_t flags = 0;
            if (getDomainFlags(handle, address, flags) != STATUS_OK) {
                NORK_LOG(LOG_ERROR,
                         "CConfigServiceImpl::isConfigurable --- failed to test if cd "
                         "locked");
                status = STATUS_COMMUNICATION_FAILURE;
                return false;
            }
            if ((flags & DOMAIN_FLAG_CD_LOCKED) != 0) {
                NORK_LOG(LOG_INFO,
                         "CConfigServiceImpl::isConfigurable --- CD is locked in domain %d",
                         domain.index());
                status = STATUS_CONFIGURATION_NOT_ALLOWED;
                domain.setStatus(STATUS_CD_DOMAIN_LOCKED);
                return false;
            }
            return true;
        }
        zyk_assert(false, "false");
        return true;
    } catch (...) {
        logOperationFailure("CConfigServiceImpl::isConfigurable");
        status = STATUS_SDK_INTERNAL_ERROR;
        return false;
    }
}

bool CConfigServiceImpl::isConfigurable(CDeviceHandle& handle, STATUS& status,
                                        CDomainList* blockers) {
    try {
        if (blockers != nullptr)
            blockers->clear();
        CDomainList domains;
        if (getDomains(handle, domains, DOMAIN_TYPE_ANY) != STATUS_OK) {
            status = STATUS_COMMUNICATION_FAILURE;
            return false;
        }
        bool configurable = true;
        STATUS last = STATUS_OK;
        for (std::size_t i = 0; i < domains.count(); ++i) {
            CDomain domain = domains.at(i);
            STATUS one = STATUS_OK;
            if (isConfigurable(handle, domain, one))
                continue;
            configurable = false;
            last = one;
            if (blockers == nullptr || one == STATUS_COMMUNICATION_FAILURE)
                break;
            blockers->append(domain);
        }
        status = configurable                           ? STATUS_OK
                 : last == STATUS_COMMUNICATION_FAILURE ? STATUS_COMMUNICATION_FAILURE
                                                        : STATUS_WRONG_DEVICE_STATE;
        return configurable;
    } catch (...) {
        logOperationFailure("CConfigServiceImpl::isConfigurable");
        status = STATUS_SDK_INTERNAL_ERROR;
        return false;
    }
}

// ---- Changes ----

STATUS CConfigServiceImpl::executeAndWait(std::unique_ptr<CDeviceHandle> handle,
                                          CPrivateCommand& command, Change change,
                                          std::uint8_t argument) {
    if (!handle || device() == nullptr || !executePrivate(*handle, command)) {
        NORK_LOG(LOG_ERROR, "CConfigServiceImpl::executeAndWait --- failed to execute the command");
        return STATUS_COMMUNICATION_FAILURE;
    }
    CUFDImpl& dev = *device();
    CStatusCallbackSynchronizer done;
    ReconnectArgs args;
    args.handle = std::move(handle);
    args.timeoutSeconds = RECONNECT_TIMEOUT_SECONDS;
    args.commandFlag = true;
    args.disconnectOnFailure = true;
    args.callback = &done;
    std::unique_ptr<CTransparentReconnect> reconnection;
    switch (change) {
        case Change::DomainCount:
            args.options = static_cast<std::uint32_t>(argument) << 8;
            reconnection = std::make_unique<CQzTransparentReconnect>(dev, std::move(args));
            break;
        case Change::WriteProtection:
            args.options = static_cast<std::uint32_t>(argument != 0 ? 1 : 0) << 16;
            reconnection =
                std::make_unique<CQzTransparentReconnectWriteProtection>(dev, std::move(args));
            break;
        case Change::Other:
            reconnection =
                std::make_unique<CQzTransparentReconnectDetachAttach>(dev, std::move(args));
            break;
    }
    // A refused registration (the drive is being reconnected already) never
    // calls back: there is nothing to wait for.
    if (!CTransparentReconnectionsManager::instance().Register(std::move(reconnection),
                                                               dev.serialNumber(), false)) {
        NORK_LOG(LOG_ERROR,
                 "CConfigServiceImpl::executeAndWait --- the reconnection was not registered");
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    const STATUS status = done.wait();
    NORK_LOG(LOG_DEBUG, "CConfigServiceImpl::executeAndWait --- reconnection ended with %s",
             statusToString(status));
    return status;
}

STATUS CConfigServiceImpl::formatNewDomain(CDomain& domain, CProgressCallback* progress) {
    auto utils =
        device() != nullptr
            ? std::dynamic_pointer_cast<CUtilsImpl>(device()->getService(SERVICE_ID_UTILITIES))
            : nullptr;
    if (!utils) {
        NORK_LOG(LOG_ERROR,
                 "CConfigServiceImpl::addDomain --- no utilities service to format domain %d",
                 domain.index());
        return STATUS_ERROR;
    }
    // No label asked for: the volume is left unlabelled the way Linux tools
    // expect it.
    CFormatConfigFat config;
    CUtilsImpl::setNoLabel(config);
    CDomainAddress address(domain);
    CProgressCallbackSafeProxy proxy(progress);
    return utils->format(address, config, progress != nullptr ? &proxy : nullptr, false, false);
}

STATUS CConfigServiceImpl::addDomain(CDomain& domain, bool lock, bool format,
                                     CProgressCallback* progress) {
    return guarded("CConfigServiceImpl::addDomain", [&]() -> STATUS {
        NORK_LOG(LOG_DEBUG, "CConfigServiceImpl::addDomain --- enter");
        // With the lock every volume of the drive is dismounted while the
        // layout changes (the drive leaves the bus and comes back with its
        // volumes up); the locks end with `volumes` or when the drive leaves.
        CDiskUtils volumes(false);
        std::unique_ptr<CDeviceHandle> handle;
        if (lock && privilege(CPlatformFactory::PRIV_D)) {
            if (device() == nullptr || !volumes.umountDisk(*device(), false, false)) {
                NORK_LOG(LOG_ERROR, "CConfigServiceImpl::addDomain --- failed to lock the device");
                return STATUS_DEVICE_LOCK_FAILURE;
            }
            handle = volumes.lockedHandle(CDiskUtilsImpl::KIND_ANY);
        }
        // A drive without volumes has nothing to lock: a plain handle serves.
        if (!handle || !handle->isOpen())
            handle = openPlain(device());
        std::uint32_t count = 0;
        std::int32_t max = 0;
        std::uint32_t unallocated = 0;
        if (!handle || getConfiguredDomainsNum(*handle, count) != STATUS_OK ||
            getMaxDomainsNum(*handle, max) != STATUS_OK ||
            getUnallocatedSectors(*handle, unallocated) != STATUS_OK) {
            NORK_LOG(LOG_ERROR, "CConfigServiceImpl::addDomain --- failed to read the layout");
            return STATUS_COMMUNICATION_FAILURE;
        }
        if (static_cast<std::int64_t>(count) == max) {
            NORK_LOG(LOG_ERROR, "CConfigServiceImpl::addDomain --- the device holds %d domains",
                     max);
            return STATUS_TOO_MANY_DOMAINS;
        }
        const std::uint64_t free = static_cast<std::uint64_t>(unallocated) * SECTOR;
        const bool rest = domain.size() == DOMAIN_SIZE_REST;
        const bool fillsRest = !(rest || domain.size() >= free);
        const std::uint32_t sectors =
            rest ? unallocated : static_cast<std::uint32_t>(domain.size() / SECTOR);
        CQzCfgCalcValidDomainSizeCmd calc(domain.type(), sectors, fillsRest);
        if (!executePrivate(*handle, calc)) {
            NORK_LOG(LOG_ERROR, "CConfigServiceImpl::addDomain --- failed to calculate the size");
            return STATUS_COMMUNICATION_FAILURE;
        }
        DomainWireEntry entry;
        entry.type = static_cast<std::uint8_t>(domain.type());
        entry.lun =
            isLunBearingType(domain.type()) ? static_cast<std::uint8_t>(count) : DOMAIN_NO_LUN;
        entry.flags = domain.flags();
        entry.sectors = calc.closestValidSize();
        CQzCfgDomainAddCmd add(entry);
        NORK_LOG(LOG_INFO,
                 "CConfigServiceImpl::addDomain --- type %d, LUN %d, %d sectors, fillsRest %d",
                 entry.type, entry.lun, entry.sectors, fillsRest ? 1 : 0);
        if (executeAndWait(std::move(handle), add, Change::DomainCount,
                           static_cast<std::uint8_t>(count + 1)) != STATUS_OK) {
            NORK_LOG(LOG_ERROR, "CConfigServiceImpl::addDomain --- the device did not come back");
            return STATUS_COMMUNICATION_FAILURE;
        }
        STATUS result = STATUS_OK;
        if (privilege(CPlatformFactory::PRIV_F)) {
            CDomainList domains;
            if (getDomains(domains, DOMAIN_TYPE_ANY) != STATUS_OK || domains.count() == 0) {
                NORK_LOG(LOG_ERROR, "CConfigServiceImpl::addDomain --- failed to read the domains");
                return STATUS_COMMUNICATION_FAILURE;
            }
            domain = domains.at(domains.count() - 1);
            if (format && domain.type() == DOMAIN_TYPE_PUBLIC)
                result = formatNewDomain(domain, progress);
        }
        if (result == STATUS_OK && progress != nullptr)
            CProgressCallbackSafeProxy(progress).onProgress(100);
        NORK_LOG(LOG_DEBUG, "CConfigServiceImpl::addDomain --- exit, %s", statusToString(result));
        return result;
    });
}

}  // namespace nork::qz
