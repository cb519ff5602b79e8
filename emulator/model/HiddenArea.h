// The drive's hidden area: a fixed number of 512-byte pages outside every
// domain, reached only through the six hidden-area page commands
// (HiddenAreaCommands.cpp). The pages live in "hidden.img" in the state
// directory (one 512-byte block per page, written through per command); the
// page count and the page passwords live in drive.state.
//
// The drive gives the bytes no meaning: the header word a host writes at the
// start of a page, and the page mode it sends with a plain read, are the
// host's business. What the drive enforces is page numbers and passwords:
//   - a page without passwords accepts the plain and the protected commands
//     alike (a protected command's password is then not looked at);
//   - a write password makes the plain write fail and the protected write
//     require that password; a read password does the same for reads;
//   - a password is set once: setting another one while one is set fails,
//     setting the same one again is accepted; a read password of seven zero
//     bytes means "none".
// Not thread-safe; the drive serialises use.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>

#include "model/ImageFile.h"

namespace qzemu {

inline constexpr std::uint32_t HIDDEN_PAGE_SIZE = 512;
inline constexpr std::uint32_t DEFAULT_HIDDEN_PAGES = 250;
// Two pages at least (the host's index page and one data page); the
// discovery descriptor carries the count plus one in 16 bits.
inline constexpr std::uint32_t MIN_HIDDEN_PAGES = 2;
inline constexpr std::uint32_t MAX_HIDDEN_PAGES = 65534;
inline constexpr const char* HIDDEN_FILE_NAME = "hidden.img";

inline constexpr std::size_t PAGE_PASSWORD_SIZE = 7;
using PagePassword = std::array<std::uint8_t, PAGE_PASSWORD_SIZE>;

struct PagePasswords {
    std::optional<PagePassword> write;
    std::optional<PagePassword> read;
};

// Throws std::invalid_argument unless MIN_HIDDEN_PAGES <= pages <= MAX_HIDDEN_PAGES.
void checkHiddenPages(std::uint32_t pages);

class HiddenArea {
  public:
    // Opens the pages in dir, creating a blank (all-zero) file when there is
    // none (a drive made before the hidden area existed); an existing file
    // must hold exactly `pages` pages. Throws std::runtime_error.
    static HiddenArea open(const std::filesystem::path& dir, std::uint32_t pages);

    std::uint32_t pages() const { return m_image.sectors(); }
    bool read(std::uint32_t page, std::uint8_t* out512);
    bool write(std::uint32_t page, const std::uint8_t* data512);
    // A torn write: the first `keep` bytes are the new ones, the rest stays.
    bool writeTorn(std::uint32_t page, const std::uint8_t* data512, std::uint32_t keep);

  private:
    explicit HiddenArea(ImageFile image) : m_image(std::move(image)) {}
    ImageFile m_image;
};

}  // namespace qzemu
