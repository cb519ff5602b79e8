// The public handle of a Qz drive's configuration service (service id 4):
// its domains, its free capacity, and adding a domain. An operation on a
// handle whose drive lacks the service answers STATUS_COMMAND_NOT_SUPPORTED
// and does nothing.
//
// Threads: operations run on the caller's thread. addDomain blocks until the
// drive has left the bus and come back with its new layout (at most about a
// minute); the caller's thread keeps its message queue moving meanwhile, and
// the device must be known through device polling for its return to be seen.
#pragma once

#include <cstdint>

#include "Service.h"
#include "Status.h"

namespace nork {
class CDomain;
class CDomainList;
class CProgressCallback;
}  // namespace nork

namespace nork::qz {

class CConfigServiceImpl;

class CConfigService : public CService {
  public:
    static constexpr std::uint16_t SERVICE_ID = 4;
    // Bits of addDomain's options word; other bits are ignored.
    static constexpr std::uint32_t OPTION_NO_LOCK = 0x1;
    static constexpr std::uint32_t OPTION_NO_FORMAT = 0x2;

    CConfigService() : CService(SERVICE_ID) {}
    explicit CConfigService(const CUFD& device) : CService(device, SERVICE_ID) {}

    // Every domain, in index order, with its drive root when it has one.
    STATUS getDomains(CDomainList& list) const;
    // The space no domain occupies, in bytes.
    STATUS getFreeCapacity(std::uint64_t& bytes) const;
    // Appends `domain` (type, size in bytes or DOMAIN_SIZE_REST, flags) and
    // waits for the drive to come back. In administrator mode `domain` then
    // holds the new domain as the drive reports it (index, LUN, valid size,
    // drive root). `progress` may be null.
    STATUS addDomain(CDomain& domain, std::uint32_t options, CProgressCallback* progress) const;

  private:
    CConfigServiceImpl* implementation() const;
};

}  // namespace nork::qz
