// The crypto service of a Qz drive (service id 19): the drive's own 3DES
// engine and random numbers (CE__ commands), its public key, and the random
// challenges of the secure session. CCryptoImplS1 is the form of service
// version 1.
//
// Threads: operations run on the caller's thread; each opens and closes its
// own handle. No operation throws.
#pragma once

#include <cstdint>
#include <memory>

#include "ServiceImpl.h"

namespace nork::qz {

class CCryptoImpl : public CServiceImpl {
  public:
    static constexpr std::uint16_t SERVICE_ID = 19;
    // Algorithms of processData: 1 3DES (the drive's engine), 2 DES (not
    // offered by these drives). Both work on 8-byte blocks.
    static constexpr int ALGORITHM_3DES = 1;
    static constexpr int ALGORITHM_DES = 2;
    static constexpr std::uint32_t NUMBER_SIZE = 64;

    explicit CCryptoImpl(std::int16_t version);
    std::unique_ptr<CZykAPI> clone() const override;

    // size bytes of input through the drive's 3DES with the 24-byte key.
    virtual STATUS processData(const std::uint8_t* key, const std::uint8_t* input,
                               std::uint8_t* output, std::uint32_t size, int algorithm,
                               bool encrypt);
    // 64 bytes from the drive's generator.
    virtual STATUS generateRandomNumber(std::uint8_t* out);
    // The drive's RSA public key: modulus and exponent, 64 bytes each.
    virtual STATUS getPublicKey(std::uint8_t* modulus, std::uint8_t* exponent);
    // 64 bytes from the host's random pool with bit 7 of byte 63 cleared.
    virtual STATUS generateRandomChallenge(std::uint8_t* out);
    virtual STATUS checkEncryptDecryptLegal(const std::uint8_t* key, const std::uint8_t* input,
                                            const std::uint8_t* output, std::uint32_t size,
                                            int algorithm) const;

  protected:
    CCryptoImpl(const CCryptoImpl&) = default;
};

class CCryptoImplS1 : public CCryptoImpl {
  public:
    CCryptoImplS1();
    std::unique_ptr<CZykAPI> clone() const override;

  protected:
    CCryptoImplS1(const CCryptoImplS1&) = default;
};

}  // namespace nork::qz
