// The public handle of one service of a drive: the service id and the
// implementation the drive's device object holds for it (none when the
// drive lacks the service). Handles are light and copied freely; the device
// object owns the implementation for the life of the SDK.
//
// Building a handle from a drive waits, without limit, for the drive's
// composite-switch mutex ("QZ_SDK_COMPOSITE_SWITCH_MUTEX_" + serial), so the
// look-up never meets a drive being switched to its composite configuration
// by another thread or process. Nothing here throws.
#pragma once

#include <cstdint>
#include <memory>

#include "Status.h"

namespace nork {

class CUFD;
class CZykAPI;

class CService {
  public:
    // A handle without an implementation.
    explicit CService(std::uint16_t serviceId = 0) : m_serviceId(serviceId) {}
    // The implementation of `serviceId` on the drive (none for an invalid
    // CUFD).
    CService(const CUFD& device, std::uint16_t serviceId);
    virtual ~CService() = default;
    CService(const CService&) = default;
    CService& operator=(const CService&) = default;

    std::uint16_t serviceId() const { return m_serviceId; }
    const std::shared_ptr<CZykAPI>& impl() const { return m_impl; }

  private:
    std::uint16_t m_serviceId;
    std::shared_ptr<CZykAPI> m_impl;
};

}  // namespace nork
