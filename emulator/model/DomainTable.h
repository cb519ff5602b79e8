// The drive's domain table: consecutive areas of the flash, each with a type,
// flags and a size in 512-byte sectors. Types 2 (public) and 3 (CD) carry a
// LUN; LUNs are numbered 0, 1, ... in table order, and LBA 0 of a LUN is the
// first sector of its domain.
//
// Layout text (creation and inspection): entries separated by commas, each
//   type[:size[:flags]]
//   type  = public | cd | type1 | type4 | a number 1..4
//   size  = sectors, or a byte count with suffix K, M or G (a multiple of 512),
//           or "rest" / "all" = what the other entries leave (at most one entry)
//   flags = wp | locked | a number (0x.. hex), joined with '+'
// A missing size means "rest". Example: "cd:65536,public:rest".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qzemu {

struct Domain {
    std::uint8_t type = 2;
    std::uint16_t flags = 0;
    std::uint32_t sizeSectors = 0;
    // Derived from the table order:
    std::uint32_t firstSector = 0;
    std::uint8_t lun = 255;  // 255 = no LUN
};

bool isLunBearing(std::uint8_t type);

class DomainTable {
  public:
    static constexpr std::size_t MAX_DOMAINS = 255;  // count travels in one byte

    DomainTable() = default;
    // Checks and places the entries: sizes >= 1, sum within the flash, types 1..4.
    // Throws std::invalid_argument with the reason.
    DomainTable(std::vector<Domain> domains, std::uint32_t flashSectors);

    static DomainTable parse(const std::string& layout, std::uint32_t flashSectors);
    std::string toLayout() const;

    const std::vector<Domain>& domains() const { return m_domains; }
    std::uint32_t usedSectors() const;
    std::uint8_t lunCount() const;
    // The domain behind a LUN, or none.
    const Domain* domainOfLun(std::uint8_t lun) const;

  private:
    std::vector<Domain> m_domains;
};

}  // namespace qzemu
