#include "Domain.h"

#include "DeviceParams.h"
#include "qz/DriveProtocol.h"

namespace nork {

CDomain::CDomain() : m_body(std::make_shared<Body>()) {}

CDomain::CDomain(std::int32_t type, std::uint64_t size, std::uint16_t flags) : CDomain() {
    m_body->type = type;
    m_body->size = size;
    m_body->flags |= flags;
}

CDomain::Body& CDomain::own() {
    if (m_body.use_count() > 1)
        m_body = std::make_shared<Body>(*m_body);
    return *m_body;
}

void CDomain::setType(std::int32_t type) {
    own().type = type;
}
void CDomain::setSize(std::uint64_t size) {
    own().size = size;
}
void CDomain::setLun(std::uint8_t lun) {
    own().lun = lun;
}
void CDomain::setIndex(std::uint8_t index) {
    own().index = index;
}
void CDomain::setStatus(STATUS status) {
    own().status = status;
}

void CDomain::setMountPoint(std::u16string_view mountPoint) {
    own().mountPoint = std::u16string(mountPoint.substr(0, DOMAIN_MOUNT_POINT_CHARS - 1));
}

void CDomain::setFlags(std::uint16_t mask, bool on) {
    Body& body = own();
    body.flags = on ? static_cast<std::uint16_t>(body.flags | mask)
                    : static_cast<std::uint16_t>(body.flags & ~mask);
}

const CDomain& CDomainList::invalidDomain() {
    static const CDomain invalid = [] {
        CDomain d;
        d.setStatus(STATUS_ILLEGAL_DOMAIN_ADDRESS);
        return d;
    }();
    return invalid;
}

CDomain CDomainList::at(std::size_t position) const {
    if (position < m_domains.size())
        return m_domains[position];
    return invalidDomain();
}

bool CDomainList::removeAt(std::size_t position) {
    if (position >= m_domains.size())
        return false;
    m_domains.erase(m_domains.begin() + static_cast<std::ptrdiff_t>(position));
    return true;
}

CDomainAddress::CDomainAddress(const CDomain& domain)
    : m_index(domain.index()), m_path(domain.mountPoint()) {}

CDomainAddress::CDomainAddress(std::uint8_t index, std::u16string_view path)
    : m_index(index), m_path(path.substr(0, DOMAIN_MOUNT_POINT_CHARS - 1)) {}

std::uint8_t CDomainAddress::resolve(std::uint32_t driveMask,
                                     const std::map<std::uint16_t, std::uint8_t>& mountPoints) {
    if (m_index != DOMAIN_NO_INDEX)
        return m_index;
    if (m_path.empty())
        return DOMAIN_NO_INDEX;
    char16_t letter = m_path[0];
    if (letter >= u'a' && letter <= u'z')
        letter = static_cast<char16_t>(letter - u'a' + u'A');
    if (letter < u'A' || letter > u'Z')
        return DOMAIN_NO_INDEX;
    if ((driveMask & (1u << (letter - u'A'))) == 0)
        return DOMAIN_NO_INDEX;
    auto it = mountPoints.find(static_cast<std::uint16_t>(letter));
    m_index = it != mountPoints.end() ? it->second : DOMAIN_NO_INDEX;
    return m_index;
}

std::uint8_t CDomainAddress::resolve(const CDeviceParams& device) {
    if (m_index != DOMAIN_NO_INDEX)
        return m_index;
    return resolve(device.driveMask(), device.mountPoints());
}

DomainWireEntry DomainWireEntry::decode(const std::uint8_t* bytes) {
    DomainWireEntry e;
    e.type = bytes[0];
    e.lun = bytes[1];
    e.flags = proto::getLE16(bytes + 2);
    e.sectors = proto::getLE32(bytes + 4);
    return e;
}

void DomainWireEntry::encode(std::uint8_t* bytes) const {
    bytes[0] = type;
    bytes[1] = lun;
    proto::putLE16(bytes + 2, flags);
    proto::putLE32(bytes + 4, sectors);
}

CDomain DomainWireEntry::toDomain(std::uint8_t index) const {
    CDomain d(type, static_cast<std::uint64_t>(sectors) * proto::SECTOR_SIZE, flags);
    d.setLun(lun);
    d.setIndex(index);
    return d;
}

DomainWireEntry DomainWireEntry::fromDomain(const CDomain& domain) {
    DomainWireEntry e;
    e.type = static_cast<std::uint8_t>(domain.type());
    e.lun = domain.lun();
    e.flags = domain.flags();
    e.sectors = static_cast<std::uint32_t>(domain.size() / proto::SECTOR_SIZE);
    return e;
}

}  // namespace nork
