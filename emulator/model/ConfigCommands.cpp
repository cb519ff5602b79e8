// The configuration commands: the drive's side of reading and changing its
// domain table. Every accepted change of the layout (and every change of a
// domain's write protection) makes the drive leave the bus and come back with
// its new LUNs and volumes. The host follows a change with AUX__Detach_Attach
// and waits for that cycle, so the drive stays on the bus long enough for the
// command to arrive; a host that never sends it still sees the drive leave
// after LAYOUT_CHANGE_LEAVE_DELAY.
//
// Closest valid size: a domain occupies whole allocation units, 2048 sectors
// (1 MiB) for disk domains and 64 sectors (32 KiB, sixteen 2048-byte CD
// sectors) for CD domains. A request that leaves free space behind it
// (fillsRest = 1) is rounded up to the unit; one that takes the rest
// (fillsRest = 0) gets the free space rounded down to the unit; neither
// answer exceeds the free space rounded down.
#include <algorithm>
#include <stdexcept>

#include "model/PrivateCommands.h"
#include "qz/DriveProtocol.h"

namespace qzemu {

namespace proto = nork::proto;
namespace op = nork::proto::qzop;

namespace {

constexpr std::chrono::milliseconds LAYOUT_CHANGE_LEAVE_DELAY{2000};

// Reasons of the configuration commands, by operation (low 16 bits of the
// device error code).
namespace reason {
// CFG__Set_Device_Configuration
inline constexpr std::uint16_t SET_AREA_SIZE_NOT_LEGAL = 0x0002;
inline constexpr std::uint16_t SET_CD_LOCKED_BY_VENDOR = 0x0004;
inline constexpr std::uint16_t SET_TYPE_NOT_SUPPORTED = 0x0010;
inline constexpr std::uint16_t SET_INVALID_DOMAIN_INDEX = 0x0020;
// CFG__Domain_Add
inline constexpr std::uint16_t ADD_AREA_SIZE_NOT_LEGAL = 0x0001;
inline constexpr std::uint16_t ADD_NEW_CNFG_NOT_SET = 0x0002;
inline constexpr std::uint16_t ADD_TYPE_NOT_SUPPORTED = 0x0004;
inline constexpr std::uint16_t ADD_INVALID_DOMAIN_INDEX = 0x0008;
// CFG__Domain_Remove
inline constexpr std::uint16_t REMOVE_NEW_CNFG_NOT_SET = 0x0001;
inline constexpr std::uint16_t REMOVE_INVALID_DOMAIN_INDEX = 0x0002;
// CFG__Domain_Change_Type
inline constexpr std::uint16_t RETYPE_INDEX_NOT_EXIST = 0x0001;
inline constexpr std::uint16_t RETYPE_CD_LOCKED_BY_VENDOR = 0x0004;
inline constexpr std::uint16_t RETYPE_TYPE_NOT_SUPPORTED = 0x0010;
// CFG__Domain_Set_Flags
inline constexpr std::uint16_t FLAGS_INDEX_NOT_EXIST = 0x0001;
}  // namespace reason

constexpr std::uint32_t DISK_UNIT_SECTORS = 2048;
constexpr std::uint32_t CD_UNIT_SECTORS = 64;
// Flag bits the drive keeps as its own state: the host's copies are ignored.
constexpr std::uint16_t DRIVE_OWNED_FLAGS = 0x000A;

bool supportedType(std::uint8_t type) {
    return type >= 1 && type <= 4;
}

std::uint32_t unitOf(std::uint8_t type) {
    return type == proto::DOMAIN_WIRE_TYPE_CD ? CD_UNIT_SECTORS : DISK_UNIT_SECTORS;
}

std::uint32_t freeSectors(const DriveCore& drive) {
    return drive.flashSectors() - drive.table().usedSectors();
}

bool anyLockedCd(const DomainTable& table) {
    return std::any_of(table.domains().begin(), table.domains().end(), [](const Domain& d) {
        return d.type == proto::DOMAIN_WIRE_TYPE_CD &&
               (d.flags & proto::DOMAIN_WIRE_FLAG_CD_LOCKED) != 0;
    });
}

// Installs a new table and makes the host see it; false when the table does
// not fit the flash.
bool applyLayout(DriveCore& drive, std::vector<Domain> domains) {
    try {
        drive.setDomains(DomainTable(std::move(domains), drive.flashSectors()));
    } catch (const std::invalid_argument&) {
        return false;
    }
    drive.leaveBusAndReturn(LAYOUT_CHANGE_LEAVE_DELAY, std::chrono::milliseconds(0));
    return true;
}

Domain fromWire(const std::uint8_t* e) {
    Domain d;
    d.type = e[0];
    d.flags = static_cast<std::uint16_t>(proto::getLE16(e + 2) & ~DRIVE_OWNED_FLAGS);
    d.sizeSectors = proto::getLE32(e + 4);
    return d;
}

bool hasData(const PrivateRequest& r, std::size_t size) {
    return r.dir == ScsiRequest::Out && r.dataOut->size() >= size;
}

PrivateAnswer calcClosestValidSize(DriveCore& drive, const PrivateRequest& r) {
    const std::uint8_t type = r.params[0];
    if (!supportedType(type))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    const std::uint32_t requested = proto::getLE32(r.params.data() + 1);
    const bool fillsRest = r.params[5] != 0;
    const std::uint32_t unit = unitOf(type);
    const std::uint32_t room = freeSectors(drive) / unit * unit;
    std::uint32_t answer = room;
    if (fillsRest) {
        const std::uint64_t up = (static_cast<std::uint64_t>(requested) + unit - 1) / unit * unit;
        answer = static_cast<std::uint32_t>(std::min<std::uint64_t>(up, room));
    }
    std::vector<std::uint8_t> data(4);
    proto::putLE32(data.data(), answer);
    return PrivateAnswer::ok(std::move(data));
}

// Byte 0: number of domains; then as many 8-byte entries as the host asked
// room for.
PrivateAnswer getConfiguration(DriveCore& drive, const PrivateRequest& r) {
    if (r.dir != ScsiRequest::In || r.transferLength < 1) {
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    }
    const auto& domains = drive.table().domains();
    std::vector<std::uint8_t> data(r.transferLength, 0);
    data[0] = static_cast<std::uint8_t>(domains.size());
    const std::size_t room = (r.transferLength - 1) / 8;
    for (std::size_t i = 0; i < domains.size() && i < room; ++i) {
        std::uint8_t* e = data.data() + 1 + 8 * i;
        e[0] = domains[i].type;
        e[1] = domains[i].lun;
        proto::putLE16(e + 2, domains[i].flags);
        proto::putLE32(e + 4, domains[i].sizeSectors);
    }
    return PrivateAnswer::ok(std::move(data));
}

PrivateAnswer setConfiguration(DriveCore& drive, const PrivateRequest& r) {
    if (!hasData(r, 1))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    const std::uint8_t n = (*r.dataOut)[0];
    if (n == 0 || n > MAX_CONFIGURED_DOMAINS) {
        return PrivateAnswer::fail(reason::SET_INVALID_DOMAIN_INDEX);
    }
    if (!hasData(r, 1 + 8u * n))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    if (anyLockedCd(drive.table()))
        return PrivateAnswer::fail(reason::SET_CD_LOCKED_BY_VENDOR);
    std::vector<Domain> domains;
    for (std::uint8_t i = 0; i < n; ++i) {
        Domain d = fromWire(r.dataOut->data() + 1 + 8 * i);
        if (!supportedType(d.type))
            return PrivateAnswer::fail(reason::SET_TYPE_NOT_SUPPORTED);
        domains.push_back(d);
    }
    if (!applyLayout(drive, std::move(domains))) {
        return PrivateAnswer::fail(reason::SET_AREA_SIZE_NOT_LEGAL);
    }
    return PrivateAnswer::ok();
}

PrivateAnswer addDomain(DriveCore& drive, const PrivateRequest& r) {
    if (!hasData(r, 8))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    const Domain d = fromWire(r.dataOut->data());
    std::vector<Domain> domains = drive.table().domains();
    if (domains.size() >= MAX_CONFIGURED_DOMAINS) {
        return PrivateAnswer::fail(reason::ADD_INVALID_DOMAIN_INDEX);
    }
    if (!supportedType(d.type))
        return PrivateAnswer::fail(reason::ADD_TYPE_NOT_SUPPORTED);
    if (anyLockedCd(drive.table()))
        return PrivateAnswer::fail(reason::ADD_NEW_CNFG_NOT_SET);
    if (d.sizeSectors == 0 || d.sizeSectors > freeSectors(drive)) {
        return PrivateAnswer::fail(reason::ADD_AREA_SIZE_NOT_LEGAL);
    }
    domains.push_back(d);
    if (!applyLayout(drive, std::move(domains))) {
        return PrivateAnswer::fail(reason::ADD_AREA_SIZE_NOT_LEGAL);
    }
    return PrivateAnswer::ok();
}

// The data names the LUN of every domain that stays, then 0: the drive
// checks it against its own table before it drops the last domain.
PrivateAnswer removeLastDomain(DriveCore& drive, const PrivateRequest& r) {
    std::vector<Domain> domains = drive.table().domains();
    if (!hasData(r, domains.size()) || r.dataOut->size() != domains.size()) {
        return PrivateAnswer::fail(reason::REMOVE_INVALID_DOMAIN_INDEX);
    }
    if (domains.size() < 2)
        return PrivateAnswer::fail(reason::REMOVE_INVALID_DOMAIN_INDEX);
    for (std::size_t i = 0; i + 1 < domains.size(); ++i) {
        if ((*r.dataOut)[i] != domains[i].lun) {
            return PrivateAnswer::fail(reason::REMOVE_NEW_CNFG_NOT_SET);
        }
    }
    if (r.dataOut->back() != 0)
        return PrivateAnswer::fail(reason::REMOVE_NEW_CNFG_NOT_SET);
    domains.pop_back();
    if (!applyLayout(drive, std::move(domains))) {
        return PrivateAnswer::fail(reason::REMOVE_NEW_CNFG_NOT_SET);
    }
    return PrivateAnswer::ok();
}

PrivateAnswer changeType(DriveCore& drive, const PrivateRequest& r) {
    if (!hasData(r, 5))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    const std::uint8_t* d = r.dataOut->data();
    std::vector<Domain> domains = drive.table().domains();
    if (d[0] >= domains.size())
        return PrivateAnswer::fail(reason::RETYPE_INDEX_NOT_EXIST);
    Domain& target = domains[d[0]];
    if (target.type == proto::DOMAIN_WIRE_TYPE_CD &&
        (target.flags & proto::DOMAIN_WIRE_FLAG_CD_LOCKED) != 0) {
        return PrivateAnswer::fail(reason::RETYPE_CD_LOCKED_BY_VENDOR);
    }
    if (!supportedType(d[1]))
        return PrivateAnswer::fail(reason::RETYPE_TYPE_NOT_SUPPORTED);
    target.type = d[1];
    target.flags = static_cast<std::uint16_t>((proto::getLE16(d + 2) & ~DRIVE_OWNED_FLAGS) |
                                              (target.flags & DRIVE_OWNED_FLAGS));
    if (!applyLayout(drive, std::move(domains))) {
        return PrivateAnswer::fail(reason::RETYPE_TYPE_NOT_SUPPORTED);
    }
    return PrivateAnswer::ok();
}

PrivateAnswer setFlags(DriveCore& drive, const PrivateRequest& r) {
    if (!hasData(r, 3))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    const std::uint8_t* d = r.dataOut->data();
    std::vector<Domain> domains = drive.table().domains();
    if (d[0] >= domains.size())
        return PrivateAnswer::fail(reason::FLAGS_INDEX_NOT_EXIST);
    Domain& target = domains[d[0]];
    const std::uint16_t old = target.flags;
    target.flags = static_cast<std::uint16_t>((proto::getLE16(d + 1) & ~DRIVE_OWNED_FLAGS) |
                                              (old & DRIVE_OWNED_FLAGS));
    const bool protectionChanged =
        ((old ^ target.flags) & proto::DOMAIN_WIRE_FLAG_WRITE_PROTECTED) != 0;
    if (protectionChanged) {
        applyLayout(drive, std::move(domains));
    } else {
        drive.setDomains(DomainTable(std::move(domains), drive.flashSectors()));
    }
    return PrivateAnswer::ok();
}

}  // namespace

void registerConfigCommands(PrivateCommandTable& table) {
    table.add(op::CFG_CALC_CLOSEST_VALID_DOMAIN_SIZE, calcClosestValidSize);
    table.add(op::CFG_GET_DEVICE_CONFIGURATION, getConfiguration);
    table.add(op::CFG_SET_DEVICE_CONFIGURATION, setConfiguration);
    table.add(op::CFG_DOMAIN_ADD, addDomain);
    table.add(op::CFG_DOMAIN_REMOVE, removeLastDomain);
    table.add(op::CFG_DOMAIN_CHANGE_TYPE, changeType);
    table.add(op::CFG_DOMAIN_SET_FLAGS, setFlags);
}

}  // namespace qzemu
