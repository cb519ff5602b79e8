#include "model/PrivateArea.h"

#include <string>
#include <system_error>

#include "model/Volumes.h"

namespace qzemu {

namespace fs = std::filesystem;

namespace {

std::string lunName(std::uint8_t lun) {
    return "lun" + std::to_string(lun);
}
fs::path privateStore(const fs::path& stateDir, std::uint8_t lun) {
    return stateDir / "volumes.private" / lunName(lun);
}
fs::path publicStore(const fs::path& stateDir, std::uint8_t lun) {
    return stateDir / "volumes.public" / lunName(lun);
}
// Where the LUN's volume is now: up, or moved aside while the drive is away
// or the volume dismounted.
fs::path shownVolume(const fs::path& stateDir, std::uint8_t lun) {
    std::error_code ec;
    const fs::path online = volumeDir(stateDir, lun);
    const fs::path offline = stateDir / "volumes.offline" / lunName(lun);
    if (!fs::exists(online, ec) && fs::exists(offline, ec))
        return offline;
    return online;
}

// Moves `from` to `to` (an empty directory when `from` is missing) and
// keeps the shown one at `to` first in `aside`.
void swapIn(const fs::path& from, const fs::path& shown, const fs::path& aside) {
    std::error_code ec;
    fs::create_directories(aside.parent_path(), ec);
    fs::remove_all(aside, ec);
    if (fs::exists(shown, ec))
        fs::rename(shown, aside, ec);
    fs::create_directories(shown.parent_path(), ec);
    if (fs::exists(from, ec))
        fs::rename(from, shown, ec);
    else
        fs::create_directory(shown, ec);
}

}  // namespace

std::uint32_t closestValidPrivateSize(std::uint32_t requested, std::uint32_t domainSectors) {
    if (requested >= domainSectors)
        return domainSectors;
    std::uint64_t rounded = (static_cast<std::uint64_t>(requested) + PA_GRANULE_SECTORS / 2) /
                            PA_GRANULE_SECTORS * PA_GRANULE_SECTORS;
    if (rounded < PA_GRANULE_SECTORS)
        rounded = PA_GRANULE_SECTORS;
    return rounded >= domainSectors ? domainSectors : static_cast<std::uint32_t>(rounded);
}

bool isValidPrivateSize(std::uint32_t sectors, std::uint32_t domainSectors) {
    return sectors == domainSectors ||
           (sectors != 0 && sectors < domainSectors && sectors % PA_GRANULE_SECTORS == 0);
}

void showPrivateVolume(const fs::path& stateDir, std::uint8_t lun) noexcept {
    try {
        swapIn(privateStore(stateDir, lun), shownVolume(stateDir, lun), publicStore(stateDir, lun));
    } catch (...) {
        // The drive works without its volume directories.
    }
}

void showPublicVolume(const fs::path& stateDir, std::uint8_t lun) noexcept {
    try {
        swapIn(publicStore(stateDir, lun), shownVolume(stateDir, lun), privateStore(stateDir, lun));
    } catch (...) {
    }
}

void resetPrivateVolume(const fs::path& stateDir, std::uint8_t lun) noexcept {
    std::error_code ec;
    const fs::path store = privateStore(stateDir, lun);
    fs::remove_all(store, ec);
    fs::create_directories(store, ec);
}

void removePrivateVolume(const fs::path& stateDir, std::uint8_t lun) noexcept {
    std::error_code ec;
    fs::remove_all(privateStore(stateDir, lun), ec);
    fs::remove_all(publicStore(stateDir, lun), ec);
}

void publishPrivateVolume(const fs::path& stateDir, std::uint8_t lun) noexcept {
    try {
        swapIn(privateStore(stateDir, lun), shownVolume(stateDir, lun), publicStore(stateDir, lun));
        std::error_code ec;
        fs::remove_all(publicStore(stateDir, lun), ec);
    } catch (...) {
    }
}

}  // namespace qzemu
