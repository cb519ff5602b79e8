#include "model/ImageFile.h"

#include <stdexcept>
#include <system_error>

#include "qz/DriveProtocol.h"

namespace qzemu {

namespace fs = std::filesystem;
using nork::proto::SECTOR_SIZE;

ImageFile::ImageFile(std::fstream file, std::uint32_t sectors)
    : m_file(std::move(file)), m_sectors(sectors) {}

ImageFile ImageFile::create(const fs::path& path, std::uint32_t sectors) {
    {
        std::ofstream make(path, std::ios::binary | std::ios::trunc);
        if (!make)
            throw std::runtime_error("cannot create image " + path.string());
    }
    std::error_code ec;
    // Growing with resize_file leaves a hole, so a large drive costs nothing.
    fs::resize_file(path, static_cast<std::uintmax_t>(sectors) * SECTOR_SIZE, ec);
    if (ec)
        throw std::runtime_error("cannot size image " + path.string() + ": " + ec.message());
    return open(path, sectors);
}

ImageFile ImageFile::open(const fs::path& path, std::uint32_t sectors) {
    std::error_code ec;
    auto size = fs::file_size(path, ec);
    if (ec)
        throw std::runtime_error("cannot stat image " + path.string() + ": " + ec.message());
    if (size != static_cast<std::uintmax_t>(sectors) * SECTOR_SIZE) {
        throw std::runtime_error("image " + path.string() + " has " + std::to_string(size) +
                                 " bytes, expected " + std::to_string(sectors) + " sectors");
    }
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    if (!file)
        throw std::runtime_error("cannot open image " + path.string());
    return ImageFile(std::move(file), sectors);
}

bool ImageFile::inRange(std::uint32_t firstSector, std::uint32_t count) const {
    return static_cast<std::uint64_t>(firstSector) + count <= m_sectors;
}

bool ImageFile::read(std::uint32_t firstSector, std::uint32_t count, std::uint8_t* out) {
    if (!inRange(firstSector, count))
        return false;
    if (count == 0)
        return true;
    m_file.clear();
    m_file.seekg(static_cast<std::streamoff>(firstSector) * SECTOR_SIZE);
    m_file.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count) * SECTOR_SIZE);
    bool ok = static_cast<bool>(m_file);
    m_file.clear();
    return ok;
}

bool ImageFile::write(std::uint32_t firstSector, std::uint32_t count, const std::uint8_t* data) {
    if (!inRange(firstSector, count))
        return false;
    if (count == 0)
        return true;
    m_file.clear();
    m_file.seekp(static_cast<std::streamoff>(firstSector) * SECTOR_SIZE);
    m_file.write(reinterpret_cast<const char*>(data),
                 static_cast<std::streamsize>(count) * SECTOR_SIZE);
    // Flushed per command so an answered write survives the process.
    m_file.flush();
    bool ok = static_cast<bool>(m_file);
    m_file.clear();
    return ok;
}

}  // namespace qzemu
