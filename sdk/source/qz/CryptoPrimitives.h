// The cipher pieces of the secure session and the device crypto, on top of
// Crypto++: 64-byte little-endian numbers and RSA arithmetic on them, the
// host key pair, AES-128 ECB in place and 3DES (EDE, three keys) ECB.
//
// Threads: every function is reentrant; a CAes128Ecb object is used by one
// thread at a time. Nothing here throws past its own boundary: failures are
// false results.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace nork::qz::crypto {

inline constexpr std::size_t NUMBER_SIZE = 64;  // 512-bit numbers, byte 0 least significant
inline constexpr std::size_t AES_KEY_SIZE = 16;
inline constexpr std::size_t AES_BLOCK_SIZE = 16;
inline constexpr std::size_t TDES_KEY_SIZE = 24;
inline constexpr std::size_t TDES_BLOCK_SIZE = 8;
inline constexpr unsigned HOST_KEY_BITS = 512;
inline constexpr std::uint32_t DEFAULT_PUBLIC_EXPONENT = 65537;

using Number = std::array<std::uint8_t, NUMBER_SIZE>;

// Fills `out` from the operating system's random pool.
bool randomBytes(std::uint8_t* out, std::size_t size);
// Keeps a challenge or secret below any 512-bit modulus.
inline void clearTopBit(std::uint8_t* number) {
    number[NUMBER_SIZE - 1] &= 0x7F;
}
Number numberFromU32(std::uint32_t value);

// out = base ^ exponent mod modulus; false for a zero modulus.
bool modPow(const std::uint8_t* base, const std::uint8_t* exponent, const std::uint8_t* modulus,
            std::uint8_t* out);

// A host RSA key pair. The private key is kept as the plain private exponent
// (64 bytes, little-endian); the modulus is shared with the public half.
struct HostKeyPair {
    Number modulus{};
    Number publicExponent{};
    std::vector<std::uint8_t> privateKey;
};
bool generateHostKeyPair(HostKeyPair& out, unsigned bits = HOST_KEY_BITS,
                         std::uint32_t publicExponent = DEFAULT_PUBLIC_EXPONENT);

// AES-128 in ECB mode, in place, over whole 16-byte blocks.
class CAes128Ecb {
  public:
    explicit CAes128Ecb(const std::uint8_t* key);
    ~CAes128Ecb();
    CAes128Ecb(const CAes128Ecb&) = delete;
    CAes128Ecb& operator=(const CAes128Ecb&) = delete;

    // False (nothing changed) unless size is a multiple of 16.
    bool encrypt(std::uint8_t* data, std::size_t size) const;
    bool decrypt(std::uint8_t* data, std::size_t size) const;

  private:
    std::array<std::uint8_t, AES_KEY_SIZE> m_key;
};

// 3DES (EDE, keys K1 K2 K3 of 8 bytes each) in ECB mode; `size` a multiple
// of 8. Input and output may be the same buffer.
bool tripleDes(const std::uint8_t* key, const std::uint8_t* in, std::uint8_t* out, std::size_t size,
               bool encrypt);

}  // namespace nork::qz::crypto
