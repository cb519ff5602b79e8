// Each LUN's volume stands for its mounted file system: a directory
// volumes/lun<N> in the state directory, present only while the drive is
// ready. Taking the volumes down moves them to volumes.offline/ so their
// content is back on the next attach.
#pragma once

#include <cstdint>
#include <filesystem>

namespace qzemu {

std::filesystem::path volumeDir(const std::filesystem::path& stateDir, std::uint8_t lun);
// Brings up volumes for LUNs 0..lunCount-1. Throws std::filesystem::filesystem_error.
void mountVolumes(const std::filesystem::path& stateDir, std::uint8_t lunCount);
// Moves every present volume aside and removes volumes/. Never throws.
void unmountVolumes(const std::filesystem::path& stateDir) noexcept;
// Removes everything in the LUN's volume (a new file system was written to
// it), up or dismounted. Never throws.
void emptyVolume(const std::filesystem::path& stateDir, std::uint8_t lun) noexcept;
// One LUN's volume: moved aside (never throws) or brought back (throws
// std::filesystem::filesystem_error).
void unmountVolume(const std::filesystem::path& stateDir, std::uint8_t lun) noexcept;
void mountVolume(const std::filesystem::path& stateDir, std::uint8_t lun);

}  // namespace qzemu
