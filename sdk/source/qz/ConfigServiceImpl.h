// The configuration service of a Qz drive (service id 4): reads the domain
// layout with drive roots, reports capacity and limits, and adds domains.
// Every change is a configuration command followed by a wait for the drive
// to leave the bus and come back (a transparent reconnection turned into a
// blocking call by a synchronizer).
//
// Threads: operations run on the caller's thread; a change blocks it for up
// to the reconnection's time-out (60 s) while the polling thread counts the
// drive's departure and return. The mount-point map update of getDomains is
// serialised by the object's own critical section. No operation throws.
#pragma once

#include <cstdint>
#include <memory>

#include "Domain.h"
#include "ServiceImpl.h"
#include "Singleton.h"

namespace nork {
class CDeviceHandle;
class CPrivateCommand;
class CProgressCallback;
}  // namespace nork

namespace nork::qz {

class CConfigServiceImpl : public CServiceImpl {
  public:
    static constexpr std::uint16_t SERVICE_ID = 4;
    static constexpr std::int32_t MAX_DOMAINS_UNKNOWN = -1;
    static constexpr std::uint32_t TOTAL_SECTORS_UNKNOWN = 0xFFFF;
    static constexpr int RECONNECT_TIMEOUT_SECONDS = 60;
    static constexpr std::uint16_t SERVICE_ID_PRIVATE_AREA = 12;
    static constexpr std::uint16_t SERVICE_ID_UTILITIES = 20;

    // What a change makes the drive do, and so which reconnection waits for
    // it.
    enum class Change {
        DomainCount,      // the number of domains changes (argument: the new number)
        WriteProtection,  // write protection switches (argument: 1 now on, 0 now off)
        Other,
    };

    explicit CConfigServiceImpl(std::int16_t version);
    ~CConfigServiceImpl() override = default;
    std::unique_ptr<CZykAPI> clone() const override;

    // Whole-layout rewrite, single-domain updates and removals: not
    // supported by this service yet (STATUS_COMMAND_NOT_SUPPORTED).
    virtual STATUS setDomains(CDomainList& domains, bool lock, bool format, bool force,
                              CProgressCallback* progress, CDomainList* blockers);
    virtual STATUS updateDomain(CDomain& domain, bool lock, bool format, bool force,
                                CProgressCallback* progress);
    // The 8-byte entry of the domain at `index`; STATUS_ILLEGAL_DOMAIN_ADDRESS
    // beyond the reported count.
    virtual STATUS getDomainCfg(CDeviceHandle& handle, std::uint8_t index, DomainWireEntry& entry);
    virtual STATUS getDomainCfg(std::uint8_t index, DomainWireEntry& entry);
    // The first domain mounted at the letter (either case);
    // STATUS_DOMAIN_NOT_FOUND when none.
    virtual STATUS getDomainByMountPoint(char16_t letter, CDomain& domain);
    // The domains of one type (1..4) or every type (5), with their mount
    // points; entries are mapped to drive letters as a side effect.
    virtual STATUS getDomains(CDeviceHandle& handle, CDomainList& list, std::int32_t filter);
    // The most domains the drive holds (read once per object).
    virtual STATUS getMaxDomainsNum(CDeviceHandle& handle, std::int32_t& count);
    virtual STATUS getConfiguredDomainsNum(CDeviceHandle& handle, std::uint32_t& count);
    // Appends a domain and waits for the drive to come back (see
    // CConfigService::addDomain). With lock and privilege D the device's
    // volumes are to be dismounted first.
    virtual STATUS addDomain(CDomain& domain, bool lock, bool format, CProgressCallback* progress);
    virtual STATUS removeLastDomain(bool lock, bool force);
    virtual STATUS removeAll(bool lock, bool format, bool force, CProgressCallback* progress,
                             CDomainList* blockers);
    virtual STATUS getDomainType(CDomainAddress& address, std::int32_t& type);
    virtual STATUS getDomainFlags(CDeviceHandle& handle, CDomainAddress& address,
                                  std::uint16_t& flags);
    virtual STATUS getDomainLUN(CDomainAddress& address, std::uint8_t& lun);
    // The size the drive would give a domain of `type` asked for `size`
    // bytes, in bytes.
    virtual STATUS calculateValidDomainSize(std::int32_t type, std::uint64_t size,
                                            std::uint64_t& valid, bool fillsRest);
    // Device sectors no domain occupies.
    virtual STATUS getUnallocatedSectors(CDeviceHandle& handle, std::uint32_t& sectors);
    virtual STATUS getFreeCapacity(std::uint64_t& bytes);
    virtual STATUS getDomains(CDomainList& list, std::int32_t filter);
    // The domain types the drive supports, other than type 1.
    virtual STATUS getSupportedDomainTypes(std::int32_t* types, std::uint32_t capacity,
                                           std::uint32_t& count);
    // The device's size in sectors (read once per object).
    virtual STATUS getTotalSectors(CDeviceHandle& handle, std::uint32_t& sectors);
    // Switches the bits of `mask` in the domain's flags and waits for the
    // drive to come back (told whether write protection went on or off);
    // the reconnection's own status.
    virtual STATUS setDomainFlags(CDeviceHandle& handle, CDomainAddress& address,
                                  std::uint16_t mask, bool on);
    // The same on a handle that passes to the reconnection.
    STATUS setDomainFlags(std::unique_ptr<CDeviceHandle> handle, CDomainAddress& address,
                          std::uint16_t mask, bool on);

    // Every domain, on a handle of its own.
    STATUS getDomains(CDomainList& list);
    // Whether the domain may be changed: not when a private area lies on a
    // public domain or a CD domain is locked (then `status` is
    // STATUS_CONFIGURATION_NOT_ALLOWED and the domain's status says why).
    bool isConfigurable(CDeviceHandle& handle, CDomain& domain, STATUS& status);
    // Whether every domain may be changed; the domains that may not are
    // appended to `blockers` when given.
    bool isConfigurable(CDeviceHandle& handle, STATUS& status, CDomainList* blockers);

    std::int32_t cachedMaxDomains() const { return m_maxDomains; }
    std::uint32_t cachedTotalSectors() const { return m_totalSectors; }

  protected:
    CConfigServiceImpl(const CConfigServiceImpl& other);

    // The platform's user privilege (CPlatformFactory::PRIV_*).
    virtual bool privilege(int which) const;

    // Executes `command` on the handle, which then passes to the
    // reconnection that waits for the drive; the reconnection's status (0
    // when the drive came back as expected).
    STATUS executeAndWait(std::unique_ptr<CDeviceHandle> handle, CPrivateCommand& command,
                          Change change, std::uint8_t argument);

  private:
    // Formats a public domain just added, through the utilities service.
    STATUS formatNewDomain(CDomain& domain, CProgressCallback* progress);

    std::int32_t m_maxDomains = MAX_DOMAINS_UNKNOWN;
    std::uint32_t m_totalSectors = TOTAL_SECTORS_UNKNOWN;
    CThreadMutex m_mapSection;
};

}  // namespace nork::qz
