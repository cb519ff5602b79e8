#include "qz/CryptoPrimitives.h"

#include <cryptopp/aes.h>
#include <cryptopp/des.h>
#include <cryptopp/integer.h>
#include <cryptopp/modes.h>
#include <cryptopp/nbtheory.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>

#include <algorithm>

namespace nork::qz::crypto {

namespace {

CryptoPP::Integer toInteger(const std::uint8_t* number) {
    return CryptoPP::Integer(number, NUMBER_SIZE, CryptoPP::Integer::UNSIGNED,
                             CryptoPP::LITTLE_ENDIAN_ORDER);
}

// False when the value needs more than 64 bytes.
bool fromInteger(const CryptoPP::Integer& value, std::uint8_t* out) {
    if (value.MinEncodedSize() > NUMBER_SIZE)
        return false;
    value.Encode(out, NUMBER_SIZE, CryptoPP::Integer::UNSIGNED);
    std::reverse(out, out + NUMBER_SIZE);  // Encode writes big-endian
    return true;
}

template <class Mode>
bool runEcb(Mode& mode, const std::uint8_t* in, std::uint8_t* out, std::size_t size,
            std::size_t block) {
    if (size % block != 0)
        return false;
    if (size > 0)
        mode.ProcessData(out, in, size);
    return true;
}

}  // namespace

bool randomBytes(std::uint8_t* out, std::size_t size) {
    try {
        CryptoPP::AutoSeededRandomPool pool;
        pool.GenerateBlock(out, size);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

Number numberFromU32(std::uint32_t value) {
    Number n{};
    for (std::size_t i = 0; i < 4; ++i)
        n[i] = static_cast<std::uint8_t>(value >> (8 * i));
    return n;
}

bool modPow(const std::uint8_t* base, const std::uint8_t* exponent, const std::uint8_t* modulus,
            std::uint8_t* out) {
    try {
        const CryptoPP::Integer m = toInteger(modulus);
        if (m.IsZero())
            return false;
        return fromInteger(a_exp_b_mod_c(toInteger(base), toInteger(exponent), m), out);
    } catch (const std::exception&) {
        return false;
    }
}

bool generateHostKeyPair(HostKeyPair& out, unsigned bits, std::uint32_t publicExponent) {
    try {
        CryptoPP::AutoSeededRandomPool pool;
        CryptoPP::InvertibleRSAFunction key;
        key.Initialize(pool, static_cast<unsigned>(bits),
                       CryptoPP::Integer(static_cast<long>(publicExponent)));
        out.privateKey.assign(NUMBER_SIZE, 0);
        return fromInteger(key.GetModulus(), out.modulus.data()) &&
               fromInteger(key.GetPublicExponent(), out.publicExponent.data()) &&
               fromInteger(key.GetPrivateExponent(), out.privateKey.data());
    } catch (const std::exception&) {
        return false;
    }
}

CAes128Ecb::CAes128Ecb(const std::uint8_t* key) {
    std::copy_n(key, AES_KEY_SIZE, m_key.begin());
}

CAes128Ecb::~CAes128Ecb() {
    // The schedule's source is session key material.
    std::fill(m_key.begin(), m_key.end(), std::uint8_t{0});
}

bool CAes128Ecb::encrypt(std::uint8_t* data, std::size_t size) const {
    CryptoPP::ECB_Mode<CryptoPP::AES>::Encryption mode(m_key.data(), m_key.size());
    return runEcb(mode, data, data, size, AES_BLOCK_SIZE);
}

bool CAes128Ecb::decrypt(std::uint8_t* data, std::size_t size) const {
    CryptoPP::ECB_Mode<CryptoPP::AES>::Decryption mode(m_key.data(), m_key.size());
    return runEcb(mode, data, data, size, AES_BLOCK_SIZE);
}

bool tripleDes(const std::uint8_t* key, const std::uint8_t* in, std::uint8_t* out, std::size_t size,
               bool encrypt) {
    try {
        if (encrypt) {
            CryptoPP::ECB_Mode<CryptoPP::DES_EDE3>::Encryption mode(key, TDES_KEY_SIZE);
            return runEcb(mode, in, out, size, TDES_BLOCK_SIZE);
        }
        CryptoPP::ECB_Mode<CryptoPP::DES_EDE3>::Decryption mode(key, TDES_KEY_SIZE);
        return runEcb(mode, in, out, size, TDES_BLOCK_SIZE);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace nork::qz::crypto
