// CD__Lock and CD__Unlock: a CD domain is locked with its owner's public key
// (modulus, then exponent, 64 bytes each) and unlocked again inside a
// CD-owner secure session. The lock shows as the domain's CD-locked flag.
#include <algorithm>

#include "model/PrivateCommands.h"
#include "model/SecureSession.h"
#include "qz/DriveProtocol.h"

namespace qzemu {

namespace proto = nork::proto;

namespace {

constexpr std::uint16_t REASON_LUN_NOT_EXIST = 0x0001;
constexpr std::uint16_t REASON_ALREADY_LOCKED = 0x0002;
constexpr std::uint16_t REASON_OWNER_SESSION_NOT_OPEN = 0x0001;
constexpr std::size_t KEY_PART = SESSION_NUMBER_SIZE;

// A 512-bit odd modulus and an odd exponent above 1 that fits 32 bits: what
// an owner key looks like. Anything else (a data phase decrypted with the
// wrong key, say) is refused.
bool wellFormedOwnerKey(const std::uint8_t* key) {
    const std::uint8_t* modulus = key;
    const std::uint8_t* exponent = key + KEY_PART;
    const bool modulusOk = (modulus[0] & 1) != 0 && (modulus[KEY_PART - 1] & 0x80) != 0;
    const bool exponentSmall =
        std::all_of(exponent + 4, exponent + KEY_PART, [](std::uint8_t b) { return b == 0; });
    const std::uint32_t e = proto::getLE32(exponent);
    return modulusOk && exponentSmall && (e & 1) != 0 && e > 1;
}

PrivateAnswer setLocked(DriveCore& drive, std::uint8_t index, bool locked) {
    std::vector<Domain> domains = drive.table().domains();
    if (index >= domains.size() || domains[index].type != proto::DOMAIN_WIRE_TYPE_CD)
        return PrivateAnswer::fail(REASON_LUN_NOT_EXIST);
    Domain& d = domains[index];
    if (locked && (d.flags & proto::DOMAIN_WIRE_FLAG_CD_LOCKED) != 0)
        return PrivateAnswer::fail(REASON_ALREADY_LOCKED);
    d.flags = static_cast<std::uint16_t>(locked ? d.flags | proto::DOMAIN_WIRE_FLAG_CD_LOCKED
                                                : d.flags & ~proto::DOMAIN_WIRE_FLAG_CD_LOCKED);
    drive.setDomains(DomainTable(std::move(domains), drive.flashSectors()));
    return PrivateAnswer::ok();
}

PrivateAnswer cdLock(DriveCore& drive, const PrivateRequest& r) {
    if (r.dir != ScsiRequest::Out || r.dataOut->size() < 2 * KEY_PART ||
        !wellFormedOwnerKey(r.dataOut->data())) {
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    }
    return setLocked(drive, r.params[0], true);
}

PrivateAnswer cdUnlock(DriveCore& drive, const PrivateRequest& r) {
    auto it = drive.sessions().find(r.connection);
    if (it == drive.sessions().end() || it->second.type != SESSION_TYPE_CD_OWNERS)
        return PrivateAnswer::fail(REASON_OWNER_SESSION_NOT_OPEN);
    return setLocked(drive, r.params[0], false);
}

}  // namespace

void registerCdLockCommands(PrivateCommandTable& table) {
    table.add(proto::qzop::CD_LOCK, cdLock);
    table.add(proto::qzop::CD_UNLOCK, cdUnlock);
}

}  // namespace qzemu
