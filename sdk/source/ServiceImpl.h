// Base of every service implementation of a drive: the service id and
// version, and the two descriptor queries every service inherits.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Status.h"
#include "UFDImpl.h"
#include "VersionFactory.h"

namespace nork {

class CDeviceHandle;

inline constexpr std::uint32_t SERVICE_DESCRIPTOR_MAX_LENGTH = 1024;

class CServiceImpl : public CZykAPI {
  public:
    CServiceImpl(std::uint16_t serviceId, std::int16_t version);
    std::unique_ptr<CZykAPI> clone() const override;

    std::uint16_t serviceId() const { return m_serviceId; }
    std::int16_t version() const { return m_version; }

    // Copies min(size, L) bytes of the descriptor of `serviceId` (L its full
    // length, written to `length`). longForm reads the 32-bit total length.
    STATUS getServiceDescriptor(CDeviceHandle& handle, std::uint16_t serviceId,
                                std::uint8_t* buffer, std::uint32_t size, std::uint32_t& length,
                                bool longForm);
    STATUS getServiceDescriptor(std::uint16_t serviceId, std::uint8_t* buffer, std::uint32_t size,
                                std::uint32_t& length, bool longForm);

    // Copies min(size, R) bytes of the root-specific fields (R written to
    // `length`; 0 when the descriptor has none).
    STATUS getServiceRootSpecificFields(CDeviceHandle& handle, std::uint16_t serviceId,
                                        std::uint8_t* buffer, std::uint32_t size,
                                        std::uint32_t& length);
    STATUS getServiceRootSpecificFields(std::uint16_t serviceId, std::uint8_t* buffer,
                                        std::uint32_t size, std::uint32_t& length);

  protected:
    CServiceImpl(const CServiceImpl&) = default;

  private:
    std::uint16_t m_serviceId;
    std::int16_t m_version;
};

void logOperationFailure(const char* where) noexcept;

// Runs one service operation so that nothing it throws (memory exhausted)
// reaches the caller: that becomes STATUS_SDK_INTERNAL_ERROR and a log line.
template <class Operation>
STATUS guarded(const char* where, Operation&& operation) noexcept {
    try {
        return operation();
    } catch (...) {
        logOperationFailure(where);
        return STATUS_SDK_INTERNAL_ERROR;
    }
}

}  // namespace nork
