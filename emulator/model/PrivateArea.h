// The private area a public domain may carry at its end, and the computers
// the drive trusts to open it.
//
// What the domain's LUN shows: logged out, the public part only (READ
// CAPACITY and every sector access end where the private area begins; a
// domain that is all private area answers them "medium not present", while
// the unit itself stays ready so the host keeps the drive). Logged in, the LUN is
// switched to the private area: LBA 0 is the private area's first sector and
// the capacity is its size, as a real drive switches its unit. The volume
// directory follows: volumes/lun<N> holds the private part's files while
// logged in; the part not shown waits in volumes.private/ or volumes.public/.
//
// Passwords are kept as the host sends them, the 16-byte MD5 form; the drive
// never sees the user's text. A login lasts until logout, a change of the
// area, or the drive leaving the bus. Wrong passwords fail with the drive's
// error reasons; the drive does not count them.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace qzemu {

inline constexpr std::size_t PA_PASSWORD_SIZE = 16;
inline constexpr std::size_t PA_PC_ID_SIZE = 16;
inline constexpr std::size_t PA_HOST_ID_SIZE = 64;
// Private areas are whole multiples of this (1 MiB), or the whole domain;
// the configuration boundary the drive reports.
inline constexpr std::uint32_t PA_GRANULE_SECTORS = 2048;

using PaPassword = std::array<std::uint8_t, PA_PASSWORD_SIZE>;

struct TrustedHost {
    std::array<std::uint8_t, PA_PC_ID_SIZE> pcId{};
    std::array<std::uint8_t, PA_HOST_ID_SIZE> hostId{};
};

// Persisted per domain index.
struct PrivateAreaRecord {
    std::uint32_t sizeSectors = 0;
    PaPassword password{};
    std::vector<TrustedHost> trustedHosts;
};

// The sectors a LUN shows: [first, first + count) of the flash.
struct LunWindow {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
};

// The size the drive gives a private area asked for `requested` sectors in a
// domain of `domainSectors`: the nearest multiple of the granule, at least
// one granule, the whole domain at or above its size.
std::uint32_t closestValidPrivateSize(std::uint32_t requested, std::uint32_t domainSectors);
bool isValidPrivateSize(std::uint32_t sectors, std::uint32_t domainSectors);

// Volume directories of the part a LUN does not show.
void showPrivateVolume(const std::filesystem::path& stateDir, std::uint8_t lun) noexcept;
void showPublicVolume(const std::filesystem::path& stateDir, std::uint8_t lun) noexcept;
// A new private area starts empty; a removed one leaves nothing behind.
void resetPrivateVolume(const std::filesystem::path& stateDir, std::uint8_t lun) noexcept;
void removePrivateVolume(const std::filesystem::path& stateDir, std::uint8_t lun) noexcept;
// The private files become the domain's public ones (logged out).
void publishPrivateVolume(const std::filesystem::path& stateDir, std::uint8_t lun) noexcept;

}  // namespace qzemu
