// The services a drive offers, as its discovery service lists them: pairs of
// service id and version. Text form (creation, state file): "id:version"
// entries separated by commas, e.g. "3:1,4:1,8:2"; ids and versions decimal
// or 0x-hexadecimal. The empty text is the default list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qzemu {

struct ServiceEntry {
    std::uint16_t id = 0;
    std::uint16_t version = 0;
};

// Discovery, configuration, CD, hidden area and cookies, secure session,
// private area, trusted host, crypto, utilities.
const std::vector<ServiceEntry>& defaultServiceList();

// Throws std::invalid_argument naming the bad entry (malformed, id 0, an id
// listed twice, or more than 64 services).
std::vector<ServiceEntry> parseServiceList(const std::string& text);
std::string serviceListText(const std::vector<ServiceEntry>& services);

}  // namespace qzemu
