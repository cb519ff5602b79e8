// The secure-session service of a Qz drive (service id 10): opens a session
// of a type (2 CD owners, 3 private area) for a domain's LUN, terminates it,
// and reports the drive's session type. It owns the device's session object.
//
// Threads: operations serialise on the service's mutex; the session's named
// mutex keeps one session system-wide. No operation throws.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "Domain.h"
#include "ServiceImpl.h"
#include "qz/SecureSession.h"

namespace nork {
class CDeviceHandle;
}

namespace nork::qz {

class CSecureSessionServiceImpl : public CServiceImpl {
  public:
    static constexpr std::uint16_t SERVICE_ID = 10;
    static constexpr std::uint16_t SERVICE_ID_CONFIG = 4;
    static constexpr std::uint32_t SESSION_NONE = 0;
    static constexpr std::uint32_t SESSION_CD_OWNERS = 2;
    static constexpr std::uint32_t SESSION_PRIVATE_AREA = 3;
    static constexpr std::uint8_t NO_LUN = 255;

    explicit CSecureSessionServiceImpl(std::int16_t version);
    ~CSecureSessionServiceImpl() override;
    std::unique_ptr<CZykAPI> clone() const override;

    // A session of `sessionType` for the domain's LUN, with fresh host keys.
    virtual STATUS open(std::uint32_t sessionType, CDomainAddress& mountPoint);
    // The same with the caller's host keys (64-byte modulus and exponent,
    // the private exponent of privateKeySize bytes).
    virtual STATUS openWithKeys(std::uint32_t sessionType, CDomainAddress& mountPoint,
                                const std::uint8_t* hostModulus, const std::uint8_t* hostPrivateKey,
                                std::uint32_t privateKeySize, const std::uint8_t* hostExponent);
    virtual STATUS terminate();
    virtual STATUS getSecureSessionType(std::uint32_t& type);
    virtual STATUS initializeSession();

    // The session of the device (created on first use); never null.
    CSecureSession& session();
    bool isOpen() const;
    std::uint32_t sessionType() const;
    std::uint8_t sessionLun() const;
    // The handle the open session runs on (null when closed): the drive
    // keeps a session per connection, so every in-session command goes
    // through it.
    CDeviceHandle* sessionHandle() const { return m_handle.get(); }
    // Held while an in-session execution runs.
    std::recursive_mutex& mutex() const { return m_mutex; }

    // Tests and other families put their own session object in.
    void setSession(std::unique_ptr<CSecureSession> session);

  protected:
    CSecureSessionServiceImpl(const CSecureSessionServiceImpl& other);

  private:
    STATUS openSession(std::uint32_t sessionType, CDomainAddress& mountPoint,
                       const std::uint8_t* modulus, const std::uint8_t* privateKey,
                       std::uint32_t privateKeySize, const std::uint8_t* exponent);

    mutable std::recursive_mutex m_mutex;
    std::unique_ptr<CSecureSession> m_session;
    std::unique_ptr<CDeviceHandle> m_handle;
    std::uint32_t m_type = SESSION_NONE;
    std::uint8_t m_lun = NO_LUN;
};

}  // namespace nork::qz
