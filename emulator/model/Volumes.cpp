#include "model/Volumes.h"

#include <string>
#include <system_error>
#include <vector>

namespace qzemu {

namespace fs = std::filesystem;

namespace {
fs::path onlineRoot(const fs::path& stateDir) {
    return stateDir / "volumes";
}
fs::path offlineRoot(const fs::path& stateDir) {
    return stateDir / "volumes.offline";
}
std::string lunName(std::uint8_t lun) {
    return "lun" + std::to_string(lun);
}
}  // namespace

fs::path volumeDir(const fs::path& stateDir, std::uint8_t lun) {
    return onlineRoot(stateDir) / lunName(lun);
}

void mountVolume(const fs::path& stateDir, std::uint8_t lun) {
    fs::create_directories(onlineRoot(stateDir));
    const fs::path online = volumeDir(stateDir, lun);
    const fs::path kept = offlineRoot(stateDir) / lunName(lun);
    if (fs::exists(online))
        return;
    if (fs::exists(kept)) {
        fs::rename(kept, online);
    } else {
        fs::create_directory(online);
    }
}

void mountVolumes(const fs::path& stateDir, std::uint8_t lunCount) {
    for (std::uint8_t lun = 0; lun < lunCount; ++lun)
        mountVolume(stateDir, lun);
}

void unmountVolume(const fs::path& stateDir, std::uint8_t lun) noexcept {
    std::error_code ec;
    const fs::path online = volumeDir(stateDir, lun);
    if (!fs::exists(online, ec))
        return;
    fs::create_directories(offlineRoot(stateDir), ec);
    const fs::path kept = offlineRoot(stateDir) / lunName(lun);
    fs::remove_all(kept, ec);
    fs::rename(online, kept, ec);
}

void unmountVolumes(const fs::path& stateDir) noexcept {
    std::error_code ec;
    const fs::path online = onlineRoot(stateDir);
    if (!fs::exists(online, ec))
        return;
    fs::create_directories(offlineRoot(stateDir), ec);
    std::vector<fs::path> present;
    for (const auto& entry : fs::directory_iterator(online, ec))
        present.push_back(entry.path());
    for (const auto& path : present) {
        const fs::path kept = offlineRoot(stateDir) / path.filename();
        fs::remove_all(kept, ec);
        fs::rename(path, kept, ec);
    }
    fs::remove_all(online, ec);
}

void emptyVolume(const fs::path& stateDir, std::uint8_t lun) noexcept {
    // A volume taken down for the write (a locked format) is emptied where
    // it waits, so that it comes back without the old files.
    for (const fs::path& volume :
         {volumeDir(stateDir, lun), offlineRoot(stateDir) / lunName(lun)}) {
        std::error_code ec;
        if (!fs::is_directory(volume, ec))
            continue;
        std::vector<fs::path> present;
        for (const auto& entry : fs::directory_iterator(volume, ec))
            present.push_back(entry.path());
        for (const auto& path : present)
            fs::remove_all(path, ec);
    }
}

}  // namespace qzemu
