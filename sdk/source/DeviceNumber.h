// The device number of a drive: a 32-bit value derived from its serial
// number that processes exchange in broadcast messages to name a drive
// without passing text. It is the checksum the POSIX `cksum` utility prints
// for the serial's bytes, so any tool can compute it the same way.
#pragma once

#include <cstdint>
#include <string_view>

namespace nork {

// The POSIX cksum CRC of the low 8 bits of each character of the serial
// (CRC-32 polynomial 0x04C11DB7, most significant bit first, initial value
// 0, the length appended from its low byte while non-zero, result
// complemented). An empty serial gives 0xFFFFFFFF.
std::uint32_t deviceNumberOf(std::u16string_view serial);

// The same checksum over raw bytes (what `cksum` prints for a file).
std::uint32_t posixCksum(const std::uint8_t* data, std::size_t size);

}  // namespace nork
