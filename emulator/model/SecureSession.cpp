#include "model/SecureSession.h"

#include <cryptopp/aes.h>
#include <cryptopp/integer.h>
#include <cryptopp/modes.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>

#include <algorithm>
#include <map>
#include <utility>

#include "qz/DriveProtocol.h"

namespace qzemu {

namespace proto = nork::proto;

namespace {

constexpr long PUBLIC_EXPONENT = 65537;

SessionNumber toNumber(const CryptoPP::Integer& value) {
    SessionNumber out{};
    value.Encode(out.data(), out.size(), CryptoPP::Integer::UNSIGNED);
    std::reverse(out.begin(), out.end());
    return out;
}

// The session commands of each type; a type 3 command addresses a LUN.
const std::map<std::uint16_t, std::uint32_t>& sessionCommandTypes() {
    using namespace proto::qzop;
    static const std::map<std::uint16_t, std::uint32_t> table = {
        {CD_LOCK, SESSION_TYPE_CD_OWNERS},
        {CD_UNLOCK, SESSION_TYPE_CD_OWNERS},
        {CD_WRITE_BUFFER, SESSION_TYPE_CD_OWNERS},
        {PRA_GET_AREA_PARAMETERS, SESSION_TYPE_PRIVATE_AREA},
        {PRA_GET_CONFIGURATION_BOUNDARIES, SESSION_TYPE_PRIVATE_AREA},
        {PRA_CONFIGURE_PRIVATE_AREA, SESSION_TYPE_PRIVATE_AREA},
        {PRA_CALC_CLOSEST_VALID_SIZE, SESSION_TYPE_PRIVATE_AREA},
        {PRA_OPEN, SESSION_TYPE_PRIVATE_AREA},
        {PRA_CLOSE, SESSION_TYPE_PRIVATE_AREA},
        {PRA_CHANGE_PASSWORD, SESSION_TYPE_PRIVATE_AREA},
        {PRA_MAKE_SECUREDISK_PUBLIC, SESSION_TYPE_PRIVATE_AREA},
        {TH_CREATE_TRUSTED_HOST_ID, SESSION_TYPE_PRIVATE_AREA},
        {TH_GET_TRUSTED_HOST_ID, SESSION_TYPE_PRIVATE_AREA},
        {TH_OPEN_PRIVATE_AREA, SESSION_TYPE_PRIVATE_AREA},
    };
    return table;
}

template <class Mode>
void runBlocks(const ConnectionSession& session, std::vector<std::uint8_t>& data) {
    Mode mode(session.key.data(), CryptoPP::AES::DEFAULT_KEYLENGTH);
    const std::size_t whole = data.size() - data.size() % CryptoPP::AES::BLOCKSIZE;
    if (whole > 0)
        mode.ProcessData(data.data(), data.data(), whole);
}

}  // namespace

bool DriveRsaKey::empty() const {
    return std::all_of(modulus.begin(), modulus.end(), [](std::uint8_t b) { return b == 0; });
}

DriveRsaKey generateDriveRsaKey() {
    CryptoPP::AutoSeededRandomPool pool;
    CryptoPP::InvertibleRSAFunction key;
    key.Initialize(pool, 512, CryptoPP::Integer(PUBLIC_EXPONENT));
    return {toNumber(key.GetModulus()), toNumber(key.GetPrivateExponent())};
}

SessionNumber drivePublicExponent() {
    return toNumber(CryptoPP::Integer(PUBLIC_EXPONENT));
}

bool sessionDataIsEncrypted(const ConnectionSession* session, std::uint16_t op, std::uint8_t lun) {
    if (session == nullptr || session->type == SESSION_TYPE_NONE)
        return false;
    auto it = sessionCommandTypes().find(op);
    if (it == sessionCommandTypes().end() || it->second != session->type)
        return false;
    return session->type != SESSION_TYPE_PRIVATE_AREA || lun == session->lun;
}

void sessionEncrypt(const ConnectionSession& session, std::vector<std::uint8_t>& data) {
    runBlocks<CryptoPP::ECB_Mode<CryptoPP::AES>::Encryption>(session, data);
}

void sessionDecrypt(const ConnectionSession& session, std::vector<std::uint8_t>& data) {
    runBlocks<CryptoPP::ECB_Mode<CryptoPP::AES>::Decryption>(session, data);
}

}  // namespace qzemu
