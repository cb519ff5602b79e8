// The private-area and trusted-host commands (PrivateArea.h describes what
// the LUN shows). Parameter byte 0 is the domain index; payloads, LE:
//   0xA0 PRA__Get_Area_Parameters           16 in: domain sectors, private
//        sectors, logged in, 0
//   0xA1 PRA__Get_Configuration_Boundaries   4 in: the granule in sectors
//   0xA2 PRA__Configure_Private_Area        20 out: sectors (0 = remove), password
//   0xA3 PRA__Calculate_Closest_Valid_Size   4 in; params 1-4 the sectors asked
//   0xA4 PRA__Open                          16 out: password
//   0xA5 PRA__Close
//   0xA6 PRA__Change_Password               32 out: old, new
//   0xA7 PRA__Make_SecureDisk_Public        16 out: password
//   0xC0 TH__Create_Trusted_Host_ID         32 out: PC id, password
//   0xC1 TH__Get_Trusted_Host_ID            64 in: the id the last 0xC0 made
//   0xC2 TH__Open_Private_Area              80 out: PC id, host id
// A domain index that names no public domain is a bad request.
#include <algorithm>
#include <cstring>
#include <random>

#include "model/PrivateCommands.h"
#include "model/Volumes.h"
#include "qz/DriveProtocol.h"

namespace qzemu {

namespace proto = nork::proto;

// ---- DriveCore's private-area state ----

const PrivateAreaRecord* DriveCore::privateArea(std::uint8_t domain) const {
    auto it = m_state.privateAreas.find(domain);
    if (it == m_state.privateAreas.end())
        return nullptr;
    // An area whose domain was changed under it is gone with it.
    const auto& domains = m_table.domains();
    if (domain >= domains.size() || domains[domain].type != proto::DOMAIN_WIRE_TYPE_PUBLIC ||
        it->second.sizeSectors > domains[domain].sizeSectors)
        return nullptr;
    return &it->second;
}

void DriveCore::setPrivateArea(std::uint8_t domain, const PrivateAreaRecord& record) {
    if (loggedIn(domain))
        setLoggedIn(domain, false);
    m_createdHostIds.erase(domain);
    if (record.sizeSectors == 0)
        m_state.privateAreas.erase(domain);
    else
        m_state.privateAreas[domain] = record;
    persist();
}

void DriveCore::setLoggedIn(std::uint8_t domain, bool in) {
    if (loggedIn(domain) == in)
        return;
    if (in)
        m_loggedIn.insert(domain);
    else
        m_loggedIn.erase(domain);
    const auto& domains = m_table.domains();
    if (domain >= domains.size())
        return;
    const std::uint8_t lun = domains[domain].lun;
    if (in)
        showPrivateVolume(m_dir, lun);
    else
        showPublicVolume(m_dir, lun);
    // The host sees a medium change on the unit.
    representMedium(lun);
}

void DriveCore::logOutAll() {
    const std::set<std::uint8_t> in = m_loggedIn;
    for (std::uint8_t domain : in)
        setLoggedIn(domain, false);
    m_createdHostIds.clear();
}

bool DriveCore::showsPrivateArea(const Domain& domain) const {
    const auto& domains = m_table.domains();
    if (domains.empty() || &domain < domains.data() || &domain >= domains.data() + domains.size())
        return false;
    const auto index = static_cast<std::uint8_t>(&domain - domains.data());
    return privateArea(index) != nullptr && loggedIn(index);
}

LunWindow DriveCore::lunWindow(const Domain& domain) const {
    const auto& domains = m_table.domains();
    LunWindow window{domain.firstSector, domain.sizeSectors};
    if (domains.empty() || &domain < domains.data() || &domain >= domains.data() + domains.size())
        return window;
    const auto index = static_cast<std::uint8_t>(&domain - domains.data());
    const PrivateAreaRecord* area = privateArea(index);
    if (area == nullptr)
        return window;
    const std::uint32_t publicSectors = domain.sizeSectors - area->sizeSectors;
    if (loggedIn(index))
        return {domain.firstSector + publicSectors, area->sizeSectors};
    return {domain.firstSector, publicSectors};
}

namespace {

// Reasons, by command (the low 16 bits of the device error code).
constexpr std::uint16_t ILLEGAL_PRIVATE_AREA_SIZE = 0x0001;    // 0xA2
constexpr std::uint16_t PRIVATE_AREA_NOT_CONFIGURED = 0x0001;  // 0xA4..0xA7
constexpr std::uint16_t WRONG_PASSWORD = 0x0002;               // 0xA4, 0xA6, 0xA7
constexpr std::uint16_t LESS_THAN_DOMAIN_SIZE = 0x0008;        // 0xA7
constexpr std::uint16_t PASSWORD_INCORRECT = 0x0001;           // 0xC0
constexpr std::uint16_t HOST_ID_NOT_CREATED = 0x0001;          // 0xC1
constexpr std::uint16_t INCORRECT_HOST_OR_PC_ID = 0x0001;      // 0xC2

std::uint8_t domainOf(const PrivateRequest& r) {
    return r.params[0];
}

bool isPublicDomain(DriveCore& drive, std::uint8_t index) {
    const auto& domains = drive.table().domains();
    return index < domains.size() && domains[index].type == proto::DOMAIN_WIRE_TYPE_PUBLIC;
}

const Domain& domainAt(DriveCore& drive, std::uint8_t index) {
    return drive.table().domains()[index];
}

// The data phase of a data-out command, `size` bytes at least; null without.
const std::uint8_t* payload(const PrivateRequest& r, std::size_t size) {
    if (r.dir != ScsiRequest::Out || r.dataOut->size() < size)
        return nullptr;
    return r.dataOut->data();
}

bool samePassword(const PaPassword& stored, const std::uint8_t* given) {
    return std::equal(stored.begin(), stored.end(), given);
}

// A command on a public domain's private area whose data (at least `size`
// bytes) starts with the area's password: the area and the data once the
// request passes, else the refusal (reason) to answer with.
struct PasswordChecked {
    const PrivateAreaRecord* area = nullptr;
    const std::uint8_t* data = nullptr;
    std::uint16_t refusal = 0;
};

PasswordChecked checkPassword(DriveCore& drive, const PrivateRequest& r, std::size_t size) {
    const std::uint8_t index = domainOf(r);
    PasswordChecked out;
    out.data = payload(r, size);
    if (!out.data || !isPublicDomain(drive, index))
        out.refusal = REASON_BAD_REQUEST;
    else if ((out.area = drive.privateArea(index)) == nullptr)
        out.refusal = PRIVATE_AREA_NOT_CONFIGURED;
    else if (!samePassword(out.area->password, out.data))
        out.refusal = WRONG_PASSWORD;
    return out;
}

std::vector<std::uint8_t> le32(std::uint32_t value) {
    std::vector<std::uint8_t> data(4);
    proto::putLE32(data.data(), value);
    return data;
}

PrivateAnswer getAreaParameters(DriveCore& drive, const PrivateRequest& r) {
    const std::uint8_t index = domainOf(r);
    if (!isPublicDomain(drive, index))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    const PrivateAreaRecord* area = drive.privateArea(index);
    std::vector<std::uint8_t> data(16, 0);
    proto::putLE32(&data[0], domainAt(drive, index).sizeSectors);
    proto::putLE32(&data[4], area ? area->sizeSectors : 0);
    proto::putLE32(&data[8], drive.loggedIn(index) ? 1 : 0);
    return PrivateAnswer::ok(std::move(data));
}

PrivateAnswer getConfigurationBoundaries(DriveCore&, const PrivateRequest&) {
    return PrivateAnswer::ok(le32(PA_GRANULE_SECTORS));
}

PrivateAnswer calculateClosestValidSize(DriveCore& drive, const PrivateRequest& r) {
    const std::uint8_t index = domainOf(r);
    if (!isPublicDomain(drive, index))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    const std::uint32_t requested = proto::getLE32(&r.params[1]);
    return PrivateAnswer::ok(
        le32(closestValidPrivateSize(requested, domainAt(drive, index).sizeSectors)));
}

PrivateAnswer configure(DriveCore& drive, const PrivateRequest& r) {
    const std::uint8_t index = domainOf(r);
    const std::uint8_t* data = payload(r, 20);
    if (!data || !isPublicDomain(drive, index))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    const std::uint32_t sectors = proto::getLE32(data);
    const Domain& domain = domainAt(drive, index);
    PrivateAreaRecord record;
    if (sectors != 0) {
        if (!isValidPrivateSize(sectors, domain.sizeSectors))
            return PrivateAnswer::fail(ILLEGAL_PRIVATE_AREA_SIZE);
        record.sizeSectors = sectors;
        std::copy_n(data + 4, PA_PASSWORD_SIZE, record.password.begin());
    }
    // Removing needs no password: it destroys what the area held.
    drive.setPrivateArea(index, record);
    if (sectors == 0)
        removePrivateVolume(drive.dir(), domain.lun);
    else
        resetPrivateVolume(drive.dir(), domain.lun);
    drive.representMedium(domain.lun);
    return PrivateAnswer::ok();
}

PrivateAnswer open(DriveCore& drive, const PrivateRequest& r) {
    const PasswordChecked checked = checkPassword(drive, r, PA_PASSWORD_SIZE);
    if (checked.refusal != 0)
        return PrivateAnswer::fail(checked.refusal);
    drive.setLoggedIn(domainOf(r), true);
    return PrivateAnswer::ok();
}

PrivateAnswer close(DriveCore& drive, const PrivateRequest& r) {
    const std::uint8_t index = domainOf(r);
    if (!isPublicDomain(drive, index))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    if (!drive.privateArea(index))
        return PrivateAnswer::fail(PRIVATE_AREA_NOT_CONFIGURED);
    drive.setLoggedIn(index, false);
    return PrivateAnswer::ok();
}

PrivateAnswer changePassword(DriveCore& drive, const PrivateRequest& r) {
    const std::uint8_t index = domainOf(r);
    const PasswordChecked checked = checkPassword(drive, r, 2 * PA_PASSWORD_SIZE);
    if (checked.refusal != 0)
        return PrivateAnswer::fail(checked.refusal);
    PrivateAreaRecord changed = *checked.area;
    std::copy_n(checked.data + PA_PASSWORD_SIZE, PA_PASSWORD_SIZE, changed.password.begin());
    const bool wasIn = drive.loggedIn(index);
    drive.setPrivateArea(index, changed);
    // A password change is no reason to leave the area.
    drive.setLoggedIn(index, wasIn);
    return PrivateAnswer::ok();
}

PrivateAnswer makePublic(DriveCore& drive, const PrivateRequest& r) {
    const std::uint8_t index = domainOf(r);
    const PasswordChecked checked = checkPassword(drive, r, PA_PASSWORD_SIZE);
    if (checked.refusal != 0)
        return PrivateAnswer::fail(checked.refusal);
    const Domain& domain = domainAt(drive, index);
    if (checked.area->sizeSectors < domain.sizeSectors)
        return PrivateAnswer::fail(LESS_THAN_DOMAIN_SIZE);
    drive.setPrivateArea(index, PrivateAreaRecord{});
    // The area's sectors are the whole domain: its files stay, now public.
    publishPrivateVolume(drive.dir(), domain.lun);
    drive.representMedium(domain.lun);
    return PrivateAnswer::ok();
}

PrivateAnswer createTrustedHostId(DriveCore& drive, const PrivateRequest& r) {
    const std::uint8_t index = domainOf(r);
    const std::uint8_t* data = payload(r, PA_PC_ID_SIZE + PA_PASSWORD_SIZE);
    if (!data || !isPublicDomain(drive, index))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    const PrivateAreaRecord* area = drive.privateArea(index);
    if (!area || !samePassword(area->password, data + PA_PC_ID_SIZE))
        return PrivateAnswer::fail(PASSWORD_INCORRECT);
    TrustedHost host;
    std::copy_n(data, PA_PC_ID_SIZE, host.pcId.begin());
    std::random_device random;
    for (auto& byte : host.hostId)
        byte = static_cast<std::uint8_t>(random());
    PrivateAreaRecord changed = *area;
    // One id per computer: a new one replaces the old.
    auto& hosts = changed.trustedHosts;
    hosts.erase(std::remove_if(hosts.begin(), hosts.end(),
                               [&](const TrustedHost& h) { return h.pcId == host.pcId; }),
                hosts.end());
    hosts.push_back(host);
    const bool wasIn = drive.loggedIn(index);
    drive.setPrivateArea(index, changed);
    drive.setLoggedIn(index, wasIn);
    drive.createdHostIds()[index] = host.hostId;
    return PrivateAnswer::ok();
}

PrivateAnswer getTrustedHostId(DriveCore& drive, const PrivateRequest& r) {
    auto it = drive.createdHostIds().find(domainOf(r));
    if (it == drive.createdHostIds().end())
        return PrivateAnswer::fail(HOST_ID_NOT_CREATED);
    return PrivateAnswer::ok(std::vector<std::uint8_t>(it->second.begin(), it->second.end()));
}

PrivateAnswer openTrusted(DriveCore& drive, const PrivateRequest& r) {
    const std::uint8_t index = domainOf(r);
    const std::uint8_t* data = payload(r, PA_PC_ID_SIZE + PA_HOST_ID_SIZE);
    if (!data || !isPublicDomain(drive, index))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    const PrivateAreaRecord* area = drive.privateArea(index);
    if (!area)
        return PrivateAnswer::fail(INCORRECT_HOST_OR_PC_ID);
    const bool trusted =
        std::any_of(area->trustedHosts.begin(), area->trustedHosts.end(), [&](const auto& h) {
            return std::equal(h.pcId.begin(), h.pcId.end(), data) &&
                   std::equal(h.hostId.begin(), h.hostId.end(), data + PA_PC_ID_SIZE);
        });
    if (!trusted)
        return PrivateAnswer::fail(INCORRECT_HOST_OR_PC_ID);
    drive.setLoggedIn(index, true);
    return PrivateAnswer::ok();
}

}  // namespace

void registerPrivateAreaCommands(PrivateCommandTable& table) {
    namespace op = proto::qzop;
    table.add(op::PRA_GET_AREA_PARAMETERS, getAreaParameters);
    table.add(op::PRA_GET_CONFIGURATION_BOUNDARIES, getConfigurationBoundaries);
    table.add(op::PRA_CONFIGURE_PRIVATE_AREA, configure);
    table.add(op::PRA_CALC_CLOSEST_VALID_SIZE, calculateClosestValidSize);
    table.add(op::PRA_OPEN, open);
    table.add(op::PRA_CLOSE, close);
    table.add(op::PRA_CHANGE_PASSWORD, changePassword);
    table.add(op::PRA_MAKE_SECUREDISK_PUBLIC, makePublic);
    table.add(op::TH_CREATE_TRUSTED_HOST_ID, createTrustedHostId);
    table.add(op::TH_GET_TRUSTED_HOST_ID, getTrustedHostId);
    table.add(op::TH_OPEN_PRIVATE_AREA, openTrusted);
}

}  // namespace qzemu
