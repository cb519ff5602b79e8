#include "DeviceNumber.h"

#include <array>
#include <cstddef>

namespace nork {
namespace {

constexpr std::uint32_t POLYNOMIAL = 0x04C11DB7u;

constexpr std::array<std::uint32_t, 256> makeTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ POLYNOMIAL : crc << 1;
        table[i] = crc;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> TABLE = makeTable();

constexpr std::uint32_t update(std::uint32_t crc, std::uint8_t byte) {
    return (crc << 8) ^ TABLE[((crc >> 24) ^ byte) & 0xFFu];
}

// The length goes in after the data, low byte first, as long as bytes of
// it remain non-zero; then the register is complemented.
std::uint32_t finish(std::uint32_t crc, std::size_t length) {
    for (std::uint64_t n = length; n != 0; n >>= 8)
        crc = update(crc, static_cast<std::uint8_t>(n & 0xFFu));
    return ~crc;
}

}  // namespace

std::uint32_t posixCksum(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < size; ++i)
        crc = update(crc, data[i]);
    return finish(crc, size);
}

std::uint32_t deviceNumberOf(std::u16string_view serial) {
    std::uint32_t crc = 0;
    for (char16_t c : serial)
        crc = update(crc, static_cast<std::uint8_t>(c & 0xFFu));
    return finish(crc, serial.size());
}

}  // namespace nork
