// The trusted-host service of a Qz drive (service id 14): a computer the
// drive was told to trust opens the private area with its 64-byte host id
// instead of the password. The computer is named by a 15-byte source the
// caller supplies (its machine identifier); the drive sees a 16-byte PC id
// made from it.
#pragma once

#include "qz/PrivateAreaImpl.h"

namespace nork::qz {

class CTrustedImpl : public CPrivateAreaImpl {
  public:
    static constexpr std::uint16_t SERVICE_ID = 14;
    static constexpr std::size_t PC_ID_SOURCE_SIZE = 15;
    static constexpr std::size_t PC_ID_SIZE = 16;
    static constexpr std::size_t HOST_ID_SIZE = 64;

    explicit CTrustedImpl(std::int16_t version);
    std::unique_ptr<CZykAPI> clone() const override;

    // Makes the drive trust this computer (identified by its 15-byte source)
    // and hands out the 64-byte host id that opens the area from now on.
    virtual STATUS createDeviceId(CDomainAddress& address, const char16_t* password,
                                  const std::uint8_t* pcIdSource, std::uint8_t* hostId);
    virtual STATUS trustedLogin(CDomainAddress& address, const std::uint8_t* pcIdSource,
                                const std::uint8_t* hostId, bool lock);
    // 16 bytes of 7 source bits each, in their upper bits.
    virtual STATUS getPcId(const std::uint8_t* source, std::uint8_t* pcId);

  protected:
    CTrustedImpl(const CTrustedImpl& other) = default;
};

}  // namespace nork::qz
