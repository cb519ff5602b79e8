#include "model/DomainTable.h"

#include <charconv>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "qz/DriveProtocol.h"

namespace qzemu {

namespace proto = nork::proto;

bool isLunBearing(std::uint8_t type) {
    return type == proto::DOMAIN_WIRE_TYPE_PUBLIC || type == proto::DOMAIN_WIRE_TYPE_CD;
}

DomainTable::DomainTable(std::vector<Domain> domains, std::uint32_t flashSectors)
    : m_domains(std::move(domains)) {
    if (m_domains.size() > MAX_DOMAINS) {
        throw std::invalid_argument("more than 255 domains");
    }
    std::uint64_t next = 0;
    std::uint8_t lun = 0;
    for (auto& d : m_domains) {
        if (d.type < 1 || d.type > 4) {
            throw std::invalid_argument("domain type " + std::to_string(d.type) + " is not 1..4");
        }
        if (d.sizeSectors == 0) {
            throw std::invalid_argument("a domain of 0 sectors");
        }
        d.firstSector = static_cast<std::uint32_t>(next);
        next += d.sizeSectors;
        if (next > flashSectors) {
            throw std::invalid_argument("domains need " + std::to_string(next) +
                                        " sectors, the flash has " + std::to_string(flashSectors));
        }
        d.lun = isLunBearing(d.type) ? lun++ : proto::DOMAIN_WIRE_NO_LUN;
    }
}

namespace {

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (true) {
        auto pos = text.find(sep, start);
        parts.push_back(text.substr(start, pos - start));
        if (pos == std::string::npos)
            break;
        start = pos + 1;
    }
    return parts;
}

std::optional<std::uint64_t> parseNumber(const std::string& text) {
    std::uint64_t value = 0;
    int base = 10;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        first += 2;
    }
    auto [ptr, ec] = std::from_chars(first, last, value, base);
    if (ec != std::errc() || ptr != last || first == last)
        return std::nullopt;
    return value;
}

std::uint8_t parseType(const std::string& text) {
    if (text == "public")
        return proto::DOMAIN_WIRE_TYPE_PUBLIC;
    if (text == "cd")
        return proto::DOMAIN_WIRE_TYPE_CD;
    if (text == "type1")
        return 1;
    if (text == "type4")
        return 4;
    auto n = parseNumber(text);
    if (n && *n >= 1 && *n <= 4)
        return static_cast<std::uint8_t>(*n);
    throw std::invalid_argument("unknown domain type \"" + text + "\"");
}

std::string typeName(std::uint8_t type) {
    switch (type) {
        case proto::DOMAIN_WIRE_TYPE_PUBLIC:
            return "public";
        case proto::DOMAIN_WIRE_TYPE_CD:
            return "cd";
        default:
            return "type" + std::to_string(type);
    }
}

// Sectors of a size token; none for rest/all.
std::optional<std::uint32_t> parseSize(const std::string& text) {
    if (text.empty() || text == "rest" || text == "all")
        return std::nullopt;
    std::uint64_t unit = 0;
    std::string digits = text;
    switch (text.back()) {
        case 'K':
            unit = 1024;
            break;
        case 'M':
            unit = 1024 * 1024;
            break;
        case 'G':
            unit = 1024ull * 1024 * 1024;
            break;
        default:
            break;
    }
    if (unit != 0)
        digits.pop_back();
    auto n = parseNumber(digits);
    if (!n)
        throw std::invalid_argument("bad domain size \"" + text + "\"");
    std::uint64_t sectors = *n;
    if (unit != 0) {
        if (*n > std::numeric_limits<std::uint64_t>::max() / unit ||
            (*n * unit) % proto::SECTOR_SIZE != 0) {
            throw std::invalid_argument("bad domain size \"" + text + "\"");
        }
        sectors = *n * unit / proto::SECTOR_SIZE;
    }
    if (sectors == 0 || sectors > std::numeric_limits<std::uint32_t>::max()) {
        throw std::invalid_argument("domain size \"" + text + "\" out of range");
    }
    return static_cast<std::uint32_t>(sectors);
}

std::uint16_t parseFlags(const std::string& text) {
    std::uint32_t flags = 0;
    for (const auto& f : split(text, '+')) {
        if (f == "wp") {
            flags |= proto::DOMAIN_WIRE_FLAG_WRITE_PROTECTED;
        } else if (f == "locked") {
            flags |= proto::DOMAIN_WIRE_FLAG_CD_LOCKED;
        } else if (auto n = parseNumber(f); n && *n <= 0xFFFF) {
            flags |= static_cast<std::uint32_t>(*n);
        } else {
            throw std::invalid_argument("bad domain flags \"" + text + "\"");
        }
    }
    return static_cast<std::uint16_t>(flags);
}

}  // namespace

DomainTable DomainTable::parse(const std::string& layout, std::uint32_t flashSectors) {
    std::vector<Domain> domains;
    std::optional<std::size_t> restIndex;
    std::uint64_t fixed = 0;
    if (!layout.empty()) {
        for (const auto& entry : split(layout, ',')) {
            auto fields = split(entry, ':');
            if (fields.size() > 3 || fields[0].empty()) {
                throw std::invalid_argument("bad layout entry \"" + entry + "\"");
            }
            Domain d;
            d.type = parseType(fields[0]);
            auto size = parseSize(fields.size() > 1 ? fields[1] : std::string());
            if (size) {
                d.sizeSectors = *size;
                fixed += *size;
            } else {
                if (restIndex)
                    throw std::invalid_argument("more than one \"rest\" domain");
                restIndex = domains.size();
            }
            if (fields.size() > 2)
                d.flags = parseFlags(fields[2]);
            domains.push_back(d);
        }
    }
    if (restIndex) {
        if (fixed >= flashSectors) {
            throw std::invalid_argument("no space left for the \"rest\" domain");
        }
        domains[*restIndex].sizeSectors = static_cast<std::uint32_t>(flashSectors - fixed);
    }
    return DomainTable(std::move(domains), flashSectors);
}

std::string DomainTable::toLayout() const {
    std::ostringstream out;
    bool first = true;
    for (const auto& d : m_domains) {
        if (!first)
            out << ',';
        first = false;
        out << typeName(d.type) << ':' << d.sizeSectors;
        if (d.flags != 0)
            out << ":0x" << std::hex << d.flags << std::dec;
    }
    return out.str();
}

std::uint32_t DomainTable::usedSectors() const {
    if (m_domains.empty())
        return 0;
    return m_domains.back().firstSector + m_domains.back().sizeSectors;
}

std::uint8_t DomainTable::lunCount() const {
    std::uint8_t n = 0;
    for (const auto& d : m_domains) {
        if (d.lun != proto::DOMAIN_WIRE_NO_LUN)
            ++n;
    }
    return n;
}

const Domain* DomainTable::domainOfLun(std::uint8_t lun) const {
    if (lun == proto::DOMAIN_WIRE_NO_LUN)
        return nullptr;
    for (const auto& d : m_domains) {
        if (d.lun == lun)
            return &d;
    }
    return nullptr;
}

}  // namespace qzemu
