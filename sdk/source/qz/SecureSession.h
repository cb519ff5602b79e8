// Secure sessions with a drive: an RSA exchange in which host and drive
// prove their private keys with random challenges and then swap secret
// numbers whose XOR is the 64-byte session key. Inside the session the data
// phase of the drive's session-class commands is AES-128 ECB under the first
// 16 bytes of that key (SecureSessionExec.h).
//
// One session per family is open system-wide: a named mutex is taken by
// open and held until terminateSession. Numbers on the wire are 64 bytes,
// little-endian.
//
// Threads: one thread at a time per session object (the service serialises
// its callers). Nothing throws; failures are false results and log lines.
// Key material never reaches the log.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "qz/CryptoPrimitives.h"

namespace nork {
class CDeviceHandle;
class CPrivateCommand;
class CUFDImpl;
namespace port {
class NamedMutex;
}
}  // namespace nork

namespace nork::qz {

using crypto::Number;

class CSecureSession {
  public:
    CSecureSession(CUFDImpl* device, const char* mutexName);
    virtual ~CSecureSession();
    CSecureSession(const CSecureSession&) = delete;
    CSecureSession& operator=(const CSecureSession&) = delete;

    // open, then the start command (none: the exchange only). A failing
    // start command closes the session again.
    virtual bool openWith(CDeviceHandle& handle, CPrivateCommand* startCommand);
    virtual bool open(CDeviceHandle& handle);
    virtual bool start(CDeviceHandle& handle) = 0;
    virtual bool verifyDeviceKeys(CDeviceHandle& handle) = 0;
    virtual bool verifyHostKeys(CDeviceHandle& handle) = 0;
    virtual bool exchangeSecrets(CDeviceHandle& handle) = 0;
    virtual bool terminateSession(CDeviceHandle& handle) = 0;
    virtual Number deviceExponent() const { return m_deviceExponent; }
    virtual Number hostExponent() const { return m_hostExponent; }

    // Sends one command to the drive (the executor of the device's
    // transport).
    virtual bool execute(CDeviceHandle& handle, CPrivateCommand& command);

    bool isOpen() const { return m_open; }
    // The 64-byte session key while open, else null.
    const std::uint8_t* sessionKey() const { return m_open ? m_sessionKey.data() : nullptr; }
    CUFDImpl* device() const { return m_device; }
    const Number& deviceModulus() const { return m_deviceModulus; }

    // The host's side of the keys: modulus, public exponent, private key
    // (the private exponent, 64 bytes). False for a missing part.
    bool setHostKeys(const std::uint8_t* modulus, const std::uint8_t* privateKey,
                     std::uint32_t privateKeySize, const std::uint8_t* exponent);

  protected:
    // 64 random bytes for a challenge or a secret, bit 7 of byte 63 cleared.
    virtual bool randomNumber(std::uint8_t* out) = 0;

    // Proof of the drive: answer ^ device exponent mod device modulus equals
    // the challenge in bytes 0..62 (byte 63 is not compared).
    bool deviceProofHolds(const std::uint8_t* answer, const std::uint8_t* challenge) const;
    // in ^ host private exponent mod host modulus.
    bool hostPrivateOperation(const std::uint8_t* in, std::uint8_t* out) const;
    // Sends the host secret encrypted for the drive, takes the drive's secret
    // and forms the session key. The two commands are the family's.
    bool exchange(CDeviceHandle& handle, CPrivateCommand& sendSecret, CPrivateCommand& getSecret);
    // A closed state: key and device modulus zeroed, mutex released.
    void closeState();
    void markOpen() { m_open = true; }
    void setDeviceKey(const std::uint8_t* modulus, const Number& exponent);

    const Number& hostModulus() const { return m_hostModulus; }
    void setHostExponentOnly(const Number& exponent) { m_hostExponent = exponent; }

  private:
    bool takeMutex();

    CUFDImpl* m_device;
    bool m_open = false;
    std::unique_ptr<port::NamedMutex> m_mutex;
    bool m_mutexHeld = false;
    Number m_deviceModulus{};
    Number m_deviceExponent{};
    Number m_hostModulus{};
    Number m_hostExponent{};
    std::vector<std::uint8_t> m_hostPrivateKey;
    Number m_sessionKey{};
    // 0: the private key is the plain private exponent.
    std::uint8_t m_privateKeyForm = 0;
};

class CQzSecureSession : public CSecureSession {
  public:
    static constexpr const char* MUTEX_NAME = "__QZ_SDK_SECURE_SESSION_LOCK__";

    explicit CQzSecureSession(CUFDImpl* device);
    ~CQzSecureSession() override;

    // With a fresh 512-bit host key pair.
    bool openGenerated(CDeviceHandle& handle, CPrivateCommand* startCommand);
    // With the caller's keys.
    bool open(CDeviceHandle& handle, const std::uint8_t* hostModulus,
              const std::uint8_t* hostPrivateKey, std::uint32_t privateKeySize,
              const std::uint8_t* hostExponent, CPrivateCommand* startCommand);
    using CSecureSession::open;

    bool start(CDeviceHandle& handle) override;
    bool verifyDeviceKeys(CDeviceHandle& handle) override;
    bool verifyHostKeys(CDeviceHandle& handle) override;
    bool exchangeSecrets(CDeviceHandle& handle) override;
    bool terminateSession(CDeviceHandle& handle) override;

  protected:
    // From the device's crypto service.
    bool randomNumber(std::uint8_t* out) override;
};

class CZykSecureSession : public CSecureSession {
  public:
    static constexpr const char* MUTEX_NAME = "__ZYK_SDK_SECURE_SESSION_LOCK__";
    static constexpr std::uint32_t EXPONENT_FROM_4_3 = 3;

    // newFirmware: firmware 4.3 or later (public exponent 3, else 65537).
    CZykSecureSession(CUFDImpl* device, bool newFirmware);
    ~CZykSecureSession() override;

    bool openGenerated(CDeviceHandle& handle);

    bool start(CDeviceHandle& handle) override;
    bool verifyDeviceKeys(CDeviceHandle& handle) override;
    bool verifyHostKeys(CDeviceHandle& handle) override;
    bool exchangeSecrets(CDeviceHandle& handle) override;
    bool terminateSession(CDeviceHandle& handle) override;

  protected:
    // The runtime's generator, seeded once per thread.
    bool randomNumber(std::uint8_t* out) override;

  private:
    std::uint32_t m_exponent;
};

}  // namespace nork::qz
