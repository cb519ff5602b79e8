#include "model/ServiceList.h"

#include <set>
#include <sstream>
#include <stdexcept>

namespace qzemu {

namespace {

constexpr std::size_t MAX_SERVICES = 64;

std::uint16_t parseWord(const std::string& text, const std::string& entry) {
    try {
        std::size_t used = 0;
        const unsigned long v = std::stoul(text, &used, 0);
        if (used == text.size() && v <= 0xFFFF)
            return static_cast<std::uint16_t>(v);
    } catch (const std::exception&) {
    }
    throw std::invalid_argument("service entry \"" + entry + "\" is not id:version");
}

}  // namespace

const std::vector<ServiceEntry>& defaultServiceList() {
    static const std::vector<ServiceEntry> list = {{3, 1},  {4, 1},  {6, 1},  {8, 2}, {10, 1},
                                                   {12, 1}, {14, 1}, {19, 2}, {20, 1}};
    return list;
}

std::vector<ServiceEntry> parseServiceList(const std::string& text) {
    if (text.empty())
        return defaultServiceList();
    std::vector<ServiceEntry> out;
    std::set<std::uint16_t> ids;
    std::stringstream in(text);
    std::string entry;
    while (std::getline(in, entry, ',')) {
        const std::size_t colon = entry.find(':');
        if (colon == std::string::npos)
            throw std::invalid_argument("service entry \"" + entry + "\" is not id:version");
        ServiceEntry s{parseWord(entry.substr(0, colon), entry),
                       parseWord(entry.substr(colon + 1), entry)};
        if (s.id == 0)
            throw std::invalid_argument("service id 0 ends the list and cannot be offered");
        if (!ids.insert(s.id).second)
            throw std::invalid_argument("service " + std::to_string(s.id) + " listed twice");
        out.push_back(s);
    }
    if (out.size() > MAX_SERVICES)
        throw std::invalid_argument("more than 64 services");
    return out;
}

std::string serviceListText(const std::vector<ServiceEntry>& services) {
    std::string out;
    for (const ServiceEntry& s : services) {
        if (!out.empty())
            out += ',';
        out += std::to_string(s.id) + ':' + std::to_string(s.version);
    }
    return out;
}

}  // namespace qzemu
