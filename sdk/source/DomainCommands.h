// The seven configuration commands of the current product line, built with
// their payloads. All multi-byte values are little-endian; parameter bytes a
// command does not name stay 0.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "Domain.h"
#include "PrivateCommand.h"

namespace nork {

// 0x20: the closest size the drive accepts for a domain of `type`.
class CQzCfgCalcValidDomainSizeCmd : public CQzPrivateCommand {
  public:
    // fillsRest: 1 when the request is an explicit size that leaves free
    // space behind it, 0 when it takes all that remains.
    CQzCfgCalcValidDomainSizeCmd(std::int32_t type, std::uint32_t sectors, bool fillsRest);
    // The answer in sectors; 0 without a data buffer.
    std::uint32_t closestValidSize() const;
};

// 0x21: the layout, for up to `domains` entries (1..255).
class CQzCfgGetDeviceCfgCmd : public CQzPrivateCommand {
  public:
    explicit CQzCfgGetDeviceCfgCmd(std::uint32_t domains);
    // Number of domains the drive reported; 0 without a data buffer.
    std::uint32_t GetDomainsNum() const;
    // Entry i, when i is below both the reported number and the number the
    // command was built for.
    std::optional<DomainWireEntry> GetDomainCfg(std::uint32_t i) const;
    // The first entry's bytes, when the answer holds every reported entry.
    const std::uint8_t* entries() const;

  private:
    std::uint32_t m_asked;
};

// 0x22: replaces the whole layout (index 0 first).
class CQzCfgSetDeviceCfgCmd : public CQzPrivateCommand {
  public:
    explicit CQzCfgSetDeviceCfgCmd(const std::vector<DomainWireEntry>& layout);
};

// 0x23: appends a domain after the last one.
class CQzCfgDomainAddCmd : public CQzPrivateCommand {
  public:
    explicit CQzCfgDomainAddCmd(const DomainWireEntry& domain);
};

// 0x24: removes the last domain. `luns` are the LUNs of the current layout
// in order; the data carries those of the domains that stay, then 0.
class CQzCfgDomainRemoveCmd : public CQzPrivateCommand {
  public:
    explicit CQzCfgDomainRemoveCmd(const std::vector<std::uint8_t>& luns);
};

// 0x25: retypes the domain at `index`.
class CQzCfgDomainChangeTypeCmd : public CQzPrivateCommand {
  public:
    CQzCfgDomainChangeTypeCmd(std::uint8_t index, std::uint8_t type, std::uint16_t flags);
};

// 0x26: sets the flags of the domain at `index`.
class CQzCfgDomainSetFlagsCmd : public CQzPrivateCommand {
  public:
    CQzCfgDomainSetFlagsCmd(std::uint8_t index, std::uint16_t flags);
};

}  // namespace nork
