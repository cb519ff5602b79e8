#include "model/HiddenArea.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace qzemu {

namespace fs = std::filesystem;

void checkHiddenPages(std::uint32_t pages) {
    if (pages < MIN_HIDDEN_PAGES || pages > MAX_HIDDEN_PAGES) {
        throw std::invalid_argument("hidden area of " + std::to_string(pages) + " pages (" +
                                    std::to_string(MIN_HIDDEN_PAGES) + ".." +
                                    std::to_string(MAX_HIDDEN_PAGES) + ")");
    }
}

HiddenArea HiddenArea::open(const fs::path& dir, std::uint32_t pages) {
    const fs::path path = dir / HIDDEN_FILE_NAME;
    if (!fs::exists(path))
        return HiddenArea(ImageFile::create(path, pages));
    return HiddenArea(ImageFile::open(path, pages));
}

bool HiddenArea::read(std::uint32_t page, std::uint8_t* out) {
    return m_image.read(page, 1, out);
}

bool HiddenArea::write(std::uint32_t page, const std::uint8_t* data) {
    return m_image.write(page, 1, data);
}

bool HiddenArea::writeTorn(std::uint32_t page, const std::uint8_t* data, std::uint32_t keep) {
    std::array<std::uint8_t, HIDDEN_PAGE_SIZE> mixed{};
    if (!m_image.read(page, 1, mixed.data()))
        return false;
    std::copy_n(data, std::min(keep, HIDDEN_PAGE_SIZE), mixed.begin());
    return m_image.write(page, 1, mixed.data());
}

}  // namespace qzemu
