// The flash image: a sparse file of 512-byte sectors. Unwritten sectors read
// as zeros and take no disk space. Not thread-safe; the drive serialises use.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>

namespace qzemu {

class ImageFile {
  public:
    // Creates the file with the given size (sparse) or opens an existing one,
    // which must have exactly that size. Throws std::runtime_error.
    static ImageFile create(const std::filesystem::path& path, std::uint32_t sectors);
    static ImageFile open(const std::filesystem::path& path, std::uint32_t sectors);

    ImageFile(ImageFile&&) = default;
    ImageFile& operator=(ImageFile&&) = default;

    std::uint32_t sectors() const { return m_sectors; }
    // Sector-granular access; false on an I/O error or a range beyond the end.
    bool read(std::uint32_t firstSector, std::uint32_t count, std::uint8_t* out);
    bool write(std::uint32_t firstSector, std::uint32_t count, const std::uint8_t* data);

  private:
    ImageFile(std::fstream file, std::uint32_t sectors);
    bool inRange(std::uint32_t firstSector, std::uint32_t count) const;

    std::fstream m_file;
    std::uint32_t m_sectors = 0;
};

}  // namespace qzemu
