// Secure-session (SS__) and device crypto (CE__) commands. The exchange is
// checked step by step; a step out of order is refused with NOT_IN_SEQUENCE
// (reason 1) and a host proof that does not verify with VERIFICATION_FAILED
// (reason 2), which also drops the exchange.
#include <cryptopp/des.h>
#include <cryptopp/integer.h>
#include <cryptopp/modes.h>
#include <cryptopp/osrng.h>

#include <algorithm>

#include "model/PrivateCommands.h"
#include "model/SecureSession.h"
#include "qz/DriveProtocol.h"

namespace qzemu {

namespace proto = nork::proto;

namespace {

constexpr std::size_t N = SESSION_NUMBER_SIZE;
constexpr std::uint16_t REASON_NOT_IN_SEQUENCE = 0x0001;
constexpr std::uint16_t REASON_VERIFICATION_FAILED = 0x0002;
constexpr std::uint16_t REASON_NO_ACTIVE_SESSION = 0x0001;
constexpr std::uint16_t REASON_NO_SECURE_CHANNEL = 0x0001;
constexpr std::uint16_t REASON_TDES_OUT_OF_SEQUENCE = 0x0001;
constexpr std::size_t TDES_KEY_SIZE = 24;
constexpr std::size_t TDES_BLOCK = 8;

CryptoPP::Integer toInteger(const std::uint8_t* n) {
    return CryptoPP::Integer(n, N, CryptoPP::Integer::UNSIGNED, CryptoPP::LITTLE_ENDIAN_ORDER);
}

// base ^ exponent mod modulus as a 64-byte number (zero for a zero modulus).
SessionNumber power(const std::uint8_t* base, const std::uint8_t* exponent,
                    const std::uint8_t* modulus) {
    SessionNumber out{};
    const CryptoPP::Integer m = toInteger(modulus);
    if (m.IsZero())
        return out;
    const CryptoPP::Integer r = a_exp_b_mod_c(toInteger(base), toInteger(exponent), m);
    r.Encode(out.data(), N, CryptoPP::Integer::UNSIGNED);
    std::reverse(out.begin(), out.end());
    return out;
}

SessionNumber randomNumber() {
    SessionNumber n{};
    CryptoPP::AutoSeededRandomPool pool;
    pool.GenerateBlock(n.data(), n.size());
    n[N - 1] &= 0x7F;
    return n;
}

bool dataOut(const PrivateRequest& r, std::size_t size) {
    return r.dir == ScsiRequest::Out && r.dataOut->size() >= size;
}

ConnectionSession& session(DriveCore& drive, const PrivateRequest& r) {
    return drive.sessions()[r.connection];
}

// Step `from` done on this connection, else refused.
bool atStep(DriveCore& drive, const PrivateRequest& r, int from) {
    auto it = drive.sessions().find(r.connection);
    return it != drive.sessions().end() && it->second.step == from;
}

PrivateAnswer getDevicePublicKey(DriveCore& drive, const PrivateRequest& r) {
    // A new exchange: whatever this connection had ends here.
    ConnectionSession& s = session(drive, r);
    s = ConnectionSession{};
    s.step = 1;
    std::vector<std::uint8_t> data(2 * N);
    std::copy(drive.rsaKey().modulus.begin(), drive.rsaKey().modulus.end(), data.begin());
    const SessionNumber e = drivePublicExponent();
    std::copy(e.begin(), e.end(), data.begin() + N);
    return PrivateAnswer::ok(std::move(data));
}

PrivateAnswer setHostPublicKey(DriveCore& drive, const PrivateRequest& r) {
    if (!dataOut(r, 2 * N))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    if (!atStep(drive, r, 1))
        return PrivateAnswer::fail(REASON_NOT_IN_SEQUENCE);
    ConnectionSession& s = session(drive, r);
    std::copy_n(r.dataOut->begin(), N, s.hostModulus.begin());
    std::copy_n(r.dataOut->begin() + N, N, s.hostExponent.begin());
    s.step = 2;
    return PrivateAnswer::ok();
}

PrivateAnswer setHostRandomChallenge(DriveCore& drive, const PrivateRequest& r) {
    if (!dataOut(r, N))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    if (!atStep(drive, r, 2))
        return PrivateAnswer::fail(REASON_NOT_IN_SEQUENCE);
    ConnectionSession& s = session(drive, r);
    std::copy_n(r.dataOut->begin(), N, s.hostChallenge.begin());
    s.step = 3;
    return PrivateAnswer::ok();
}

// The drive's proof: the host's challenge under its private key.
PrivateAnswer verifyDevicePublicKey(DriveCore& drive, const PrivateRequest& r) {
    if (!atStep(drive, r, 3))
        return PrivateAnswer::fail(REASON_NOT_IN_SEQUENCE);
    ConnectionSession& s = session(drive, r);
    SessionNumber challenge = s.hostChallenge;
    if (drive.faults().wrongSessionProof)
        challenge[0] ^= 0x01;
    const SessionNumber proof = power(challenge.data(), drive.rsaKey().privateExponent.data(),
                                      drive.rsaKey().modulus.data());
    s.step = 4;
    return PrivateAnswer::ok(std::vector<std::uint8_t>(proof.begin(), proof.end()));
}

PrivateAnswer getDeviceRandomChallenge(DriveCore& drive, const PrivateRequest& r) {
    if (!atStep(drive, r, 4))
        return PrivateAnswer::fail(REASON_NOT_IN_SEQUENCE);
    ConnectionSession& s = session(drive, r);
    s.deviceChallenge = randomNumber();
    s.step = 5;
    return PrivateAnswer::ok(
        std::vector<std::uint8_t>(s.deviceChallenge.begin(), s.deviceChallenge.end()));
}

// The host's proof must give the drive's challenge back under the host's
// public key; a wrong one ends the exchange.
PrivateAnswer verifyHostPublicKey(DriveCore& drive, const PrivateRequest& r) {
    if (!dataOut(r, N))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    if (!atStep(drive, r, 5))
        return PrivateAnswer::fail(REASON_NOT_IN_SEQUENCE);
    ConnectionSession& s = session(drive, r);
    const SessionNumber back =
        power(r.dataOut->data(), s.hostExponent.data(), s.hostModulus.data());
    if (back != s.deviceChallenge) {
        drive.sessions().erase(r.connection);
        return PrivateAnswer::fail(REASON_VERIFICATION_FAILED);
    }
    s.step = 6;
    return PrivateAnswer::ok();
}

PrivateAnswer setHostSecretNumber(DriveCore& drive, const PrivateRequest& r) {
    if (!dataOut(r, N))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    if (!atStep(drive, r, 6))
        return PrivateAnswer::fail(REASON_NOT_IN_SEQUENCE);
    ConnectionSession& s = session(drive, r);
    s.hostSecret = power(r.dataOut->data(), drive.rsaKey().privateExponent.data(),
                         drive.rsaKey().modulus.data());
    s.step = 7;
    return PrivateAnswer::ok();
}

PrivateAnswer getDeviceSecretNumber(DriveCore& drive, const PrivateRequest& r) {
    if (!atStep(drive, r, 7))
        return PrivateAnswer::fail(REASON_NOT_IN_SEQUENCE);
    ConnectionSession& s = session(drive, r);
    const SessionNumber secret = randomNumber();
    for (std::size_t i = 0; i < N; ++i)
        s.key[i] = static_cast<std::uint8_t>(secret[i] ^ s.hostSecret[i]);
    s.hostSecret.fill(0);
    s.step = 8;
    const SessionNumber sealed = power(secret.data(), s.hostExponent.data(), s.hostModulus.data());
    return PrivateAnswer::ok(std::vector<std::uint8_t>(sealed.begin(), sealed.end()));
}

// Parameters: the LUN, then the session type (u32 LE).
PrivateAnswer startSecureAccess(DriveCore& drive, const PrivateRequest& r) {
    if (!atStep(drive, r, 8))
        return PrivateAnswer::fail(REASON_NO_SECURE_CHANNEL);
    const std::uint32_t type = proto::getLE32(&r.params[1]);
    if (type != SESSION_TYPE_CD_OWNERS && type != SESSION_TYPE_PRIVATE_AREA)
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    ConnectionSession& s = session(drive, r);
    s.type = type;
    s.lun = r.params[0];
    return PrivateAnswer::ok();
}

PrivateAnswer terminateSecureSession(DriveCore& drive, const PrivateRequest& r) {
    auto it = drive.sessions().find(r.connection);
    if (it == drive.sessions().end() || it->second.step == 0)
        return PrivateAnswer::fail(REASON_NO_ACTIVE_SESSION);
    drive.sessions().erase(it);
    return PrivateAnswer::ok();
}

PrivateAnswer getSecureSessionType(DriveCore& drive, const PrivateRequest& r) {
    std::vector<std::uint8_t> data(4, 0);
    auto it = drive.sessions().find(r.connection);
    proto::putLE32(data.data(), it == drive.sessions().end() ? 0 : it->second.type);
    return PrivateAnswer::ok(std::move(data));
}

// ---- Device crypto ----

// Data: the 24-byte key, then whole 8-byte blocks; parameter u16 = the data
// length. The result waits for CE__3DES_Get_Encrypt_Decrypt_Data.
PrivateAnswer tripleDes(DriveCore& drive, const PrivateRequest& r, bool encrypt) {
    const std::uint16_t length = proto::getLE16(&r.params[0]);
    if (r.dir != ScsiRequest::Out || r.dataOut->size() < length || length <= TDES_KEY_SIZE ||
        (length - TDES_KEY_SIZE) % TDES_BLOCK != 0) {
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    }
    const std::uint8_t* key = r.dataOut->data();
    std::vector<std::uint8_t> out(length - TDES_KEY_SIZE);
    if (encrypt) {
        CryptoPP::ECB_Mode<CryptoPP::DES_EDE3>::Encryption mode(key, TDES_KEY_SIZE);
        mode.ProcessData(out.data(), key + TDES_KEY_SIZE, out.size());
    } else {
        CryptoPP::ECB_Mode<CryptoPP::DES_EDE3>::Decryption mode(key, TDES_KEY_SIZE);
        mode.ProcessData(out.data(), key + TDES_KEY_SIZE, out.size());
    }
    session(drive, r).tdesResult = std::move(out);
    return PrivateAnswer::ok();
}

PrivateAnswer tdesEncrypt(DriveCore& drive, const PrivateRequest& r) {
    return tripleDes(drive, r, true);
}

PrivateAnswer tdesDecrypt(DriveCore& drive, const PrivateRequest& r) {
    return tripleDes(drive, r, false);
}

// Parameter u16: the length wanted (at most the result's).
PrivateAnswer tdesGetData(DriveCore& drive, const PrivateRequest& r) {
    auto it = drive.sessions().find(r.connection);
    if (it == drive.sessions().end() || !it->second.tdesResult)
        return PrivateAnswer::fail(REASON_TDES_OUT_OF_SEQUENCE);
    std::vector<std::uint8_t> result = std::move(*it->second.tdesResult);
    it->second.tdesResult.reset();
    const std::uint16_t length = proto::getLE16(&r.params[0]);
    if (length > result.size())
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    result.resize(length);
    return PrivateAnswer::ok(std::move(result));
}

PrivateAnswer generateRandomNumber(DriveCore&, const PrivateRequest&) {
    std::vector<std::uint8_t> data(N);
    CryptoPP::AutoSeededRandomPool pool;
    pool.GenerateBlock(data.data(), data.size());
    return PrivateAnswer::ok(std::move(data));
}

}  // namespace

void registerSecureSessionCommands(PrivateCommandTable& table) {
    using namespace proto::qzop;
    table.add(SS_RSA_GET_DEVICE_PUBLIC_KEY, getDevicePublicKey);
    table.add(SS_RSA_SET_HOST_PUBLIC_KEY, setHostPublicKey);
    table.add(SS_RSA_SET_HOST_RANDOM_CHALLENGE, setHostRandomChallenge);
    table.add(SS_RSA_VERIFY_DEVICE_PUBLIC_KEY, verifyDevicePublicKey);
    table.add(SS_RSA_GET_DEVICE_RANDOM_CHALLENGE, getDeviceRandomChallenge);
    table.add(SS_RSA_VERIFY_HOST_PUBLIC_KEY, verifyHostPublicKey);
    table.add(SS_RSA_SET_HOST_SECRET_NUMBER, setHostSecretNumber);
    table.add(SS_RSA_GET_DEVICE_SECRET_NUMBER, getDeviceSecretNumber);
    table.add(SS_TERMINATE_SECURE_SESSION, terminateSecureSession);
    table.add(SS_GET_SECURE_SESSION_TYPE, getSecureSessionType);
    table.add(SS_START_SECURE_ACCESS, startSecureAccess);
    table.add(CE_3DES_ENCRYPT_DECRYPT_DATA, tdesEncrypt);
    table.add(CE_3DES_DECRYPT_DATA, tdesDecrypt);
    table.add(CE_3DES_GET_ENCRYPT_DECRYPT_DATA, tdesGetData);
    table.add(CE_3DES_GENERATE_RANDOM_NUMBER, generateRandomNumber);
}

}  // namespace qzemu
