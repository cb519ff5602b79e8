// The drive's side of secure sessions: its RSA key pair (made when the drive
// is created, kept in its state file), the state of the exchange and of the
// open session of each host connection, and the rule that says whether a
// command's data phase is encrypted.
//
// A session belongs to the connection that opened it (the daemon serves each
// host connection on its own); it ends with SS__Terminate_Secure_Session, a
// new exchange on that connection, the connection closing or the drive
// leaving the bus.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace qzemu {

inline constexpr std::size_t SESSION_NUMBER_SIZE = 64;
using SessionNumber = std::array<std::uint8_t, SESSION_NUMBER_SIZE>;

inline constexpr std::uint32_t SESSION_TYPE_NONE = 0;
inline constexpr std::uint32_t SESSION_TYPE_CD_OWNERS = 2;
inline constexpr std::uint32_t SESSION_TYPE_PRIVATE_AREA = 3;

// The drive's key: modulus and private exponent, little-endian; the public
// exponent is 65537.
struct DriveRsaKey {
    SessionNumber modulus{};
    SessionNumber privateExponent{};
    bool empty() const;
};
DriveRsaKey generateDriveRsaKey();
SessionNumber drivePublicExponent();

// Where one connection stands.
struct ConnectionSession {
    // Steps of the exchange done: 0 none .. 8 secrets exchanged.
    int step = 0;
    SessionNumber hostModulus{};
    SessionNumber hostExponent{};
    SessionNumber hostChallenge{};
    SessionNumber deviceChallenge{};
    SessionNumber hostSecret{};
    SessionNumber key{};
    std::uint32_t type = SESSION_TYPE_NONE;  // set by SS__Start_Secure_Access
    std::uint8_t lun = 0;
    // The result of the last CE__ 3DES operation.
    std::optional<std::vector<std::uint8_t>> tdesResult;
};

// Whether a command's data phase travels encrypted on a connection: only in
// an open session (started with its type) and only for the commands of that
// type: CD-owner commands in a type 2 session; private-area and trusted-host
// commands addressing the session's LUN (the LUN of the domain their parameter
// byte 0 names) in a type 3 session. Everything else is plain.
bool sessionDataIsEncrypted(const ConnectionSession* session, std::uint16_t op, std::uint8_t lun);

// AES-128 ECB under the first 16 key bytes, in place, over the whole 16-byte
// blocks of `data` (a tail shorter than a block stays as it is).
void sessionEncrypt(const ConnectionSession& session, std::vector<std::uint8_t>& data);
void sessionDecrypt(const ConnectionSession& session, std::vector<std::uint8_t>& data);

}  // namespace qzemu
