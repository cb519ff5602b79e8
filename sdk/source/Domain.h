// A drive's layout as the library carries it: domains (value type with a
// shared copy-on-write body), lists of them, a designator of one domain, and
// the 8-byte entry in which the drive reports and accepts a domain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Status.h"

namespace nork {

class CDeviceParams;

inline constexpr std::int32_t DOMAIN_TYPE_PUBLIC = 2;
inline constexpr std::int32_t DOMAIN_TYPE_CD = 3;
inline constexpr std::int32_t DOMAIN_TYPE_ANY = 5;  // filter only, never stored

inline constexpr std::uint16_t DOMAIN_FLAG_WRITE_PROTECTED = 0x0001;
inline constexpr std::uint16_t DOMAIN_FLAG_DEVICE_STATE = 0x0002;
inline constexpr std::uint16_t DOMAIN_FLAG_CD_LOCKED = 0x0008;
// What the host may send in the flag words of Change Type and Set Flags.
inline constexpr std::uint16_t DOMAIN_HOST_FLAG_MASK = 0xFFF5;

inline constexpr std::uint8_t DOMAIN_NO_LUN = 255;
inline constexpr std::uint8_t DOMAIN_NO_INDEX = 255;
// A size of all bits set: the rest of the device.
inline constexpr std::uint64_t DOMAIN_SIZE_REST = ~std::uint64_t{0};
inline constexpr std::size_t DOMAIN_MOUNT_POINT_CHARS = 256;  // terminator included

// Types that get a LUN of their own when a layout is written.
constexpr bool isLunBearingType(std::int32_t type) {
    return type == DOMAIN_TYPE_PUBLIC || type == DOMAIN_TYPE_CD;
}

class CDomain {
  public:
    CDomain();
    // The restore program asks for its CD domain as (3, free bytes, 0).
    CDomain(std::int32_t type, std::uint64_t size, std::uint16_t flags);

    std::int32_t type() const { return m_body->type; }
    std::uint8_t lun() const { return m_body->lun; }
    std::uint16_t flags() const { return m_body->flags; }
    std::uint64_t size() const { return m_body->size; }
    std::uint8_t index() const { return m_body->index; }
    STATUS status() const { return m_body->status; }
    const std::u16string& mountPoint() const { return m_body->mountPoint; }

    // Each setter first gives this copy a body of its own.
    void setType(std::int32_t type);
    void setSize(std::uint64_t size);
    void setLun(std::uint8_t lun);
    void setIndex(std::uint8_t index);
    void setStatus(STATUS status);
    // Kept to 255 characters (256 with the terminator).
    void setMountPoint(std::u16string_view mountPoint);
    // on: OR the mask in; off: clear the mask's bits.
    void setFlags(std::uint16_t mask, bool on);

    // Whether two values share one body (copies never changed do).
    bool sharesBodyWith(const CDomain& other) const { return m_body == other.m_body; }

  private:
    struct Body {
        std::int32_t type = 0;
        std::uint8_t lun = DOMAIN_NO_LUN;
        std::uint16_t flags = 0;
        std::uint64_t size = 0;
        std::uint8_t index = DOMAIN_NO_INDEX;
        STATUS status = STATUS_OK;
        std::u16string mountPoint;
    };
    Body& own();

    std::shared_ptr<Body> m_body;
};

class CDomainList {
  public:
    std::size_t count() const { return m_domains.size(); }
    // A copy of the domain at `position`; at or beyond the count, a copy of
    // the process-wide invalid domain, whose status is
    // STATUS_ILLEGAL_DOMAIN_ADDRESS. The list is never changed by access.
    CDomain at(std::size_t position) const;
    void append(const CDomain& domain) { m_domains.push_back(domain); }
    // False when there is no domain at `position`.
    bool removeAt(std::size_t position);
    void clear() { m_domains.clear(); }

    // The invalid domain (default fields; status STATUS_ILLEGAL_DOMAIN_ADDRESS).
    static const CDomain& invalidDomain();

  private:
    std::vector<CDomain> m_domains;
};

// One domain of a device, by index or by mount point.
class CDomainAddress {
  public:
    CDomainAddress() = default;
    explicit CDomainAddress(const CDomain& domain);
    CDomainAddress(std::uint8_t index, std::u16string_view path);

    std::uint8_t index() const { return m_index; }
    const std::u16string& path() const { return m_path; }

    // The domain index: the known index, else the path's drive letter (which
    // must be one of the device's, bit letter - 'A' of driveMask) through the
    // device's mount-point map (letter code -> index). 255 when it cannot be
    // resolved. A resolved index is kept for later calls.
    std::uint8_t resolve(std::uint32_t driveMask,
                         const std::map<std::uint16_t, std::uint8_t>& mountPoints);
    // The same against a device object: its drive-letter mask and its
    // mount-point map.
    std::uint8_t resolve(const CDeviceParams& device);

  private:
    std::uint8_t m_index = DOMAIN_NO_INDEX;
    std::u16string m_path;
};

// The 8-byte entry of a domain on the wire: type, LUN, flags (LE), size in
// 512-byte sectors (LE).
struct DomainWireEntry {
    static constexpr std::size_t SIZE = 8;

    std::uint8_t type = 0;
    std::uint8_t lun = DOMAIN_NO_LUN;
    std::uint16_t flags = 0;
    std::uint32_t sectors = 0;

    static DomainWireEntry decode(const std::uint8_t* bytes);
    void encode(std::uint8_t* bytes) const;

    // Sizes: bytes = sectors x 512 in 64 bits; sectors = bytes / 512.
    CDomain toDomain(std::uint8_t index) const;
    static DomainWireEntry fromDomain(const CDomain& domain);
};

}  // namespace nork
