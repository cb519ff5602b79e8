// The host side of secure sessions against a drive simulated in the test
// (its RSA key made here), the cipher vectors, and the crypto service's
// argument checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "DeviceHandle.h"
#include "LogCapture.h"
#include "PrivateCommand.h"
#include "SCSICommand.h"
#include "qz/CryptoImpl.h"
#include "qz/CryptoPrimitives.h"
#include "qz/DriveProtocol.h"
#include "qz/SecureSession.h"
#include "qz/SecureSessionExec.h"

namespace nork::qz {
namespace {

namespace op = proto::qzop;

std::vector<std::uint8_t> fromHex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

bool logged(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

// ---- Cipher vectors ----

struct CipherVector {
    const char* name;
    const char* key;
    const char* plain;
    const char* sealed;
};

TEST(SessionCiphers, AesMatchesFips197) {
    const CipherVector vectors[] = {
        {"FIPS-197 appendix B", "2b7e151628aed2a6abf7158809cf4f3c",
         "3243f6a8885a308d313198a2e0370734", "3925841d02dc09fbdc118597196a0b32"},
        {"FIPS-197 appendix C.1", "000102030405060708090a0b0c0d0e0f",
         "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.name);
        const auto key = fromHex(v.key);
        auto data = fromHex(v.plain);
        crypto::CAes128Ecb aes(key.data());
        ASSERT_TRUE(aes.encrypt(data.data(), data.size()));
        EXPECT_EQ(data, fromHex(v.sealed));
        ASSERT_TRUE(aes.decrypt(data.data(), data.size()));
        EXPECT_EQ(data, fromHex(v.plain));
    }
    std::uint8_t odd[20] = {};
    EXPECT_FALSE(crypto::CAes128Ecb(odd).encrypt(odd, sizeof odd));
}

TEST(SessionCiphers, TripleDesMatchesNist) {
    const CipherVector vectors[] = {
        // SP 800-67 example: three keys, three blocks.
        {"SP 800-67", "0123456789abcdef23456789abcdef01456789abcdef0123",
         "5468652071756663 6b2062726f776e20 666f78206a756d70",
         "a826fd8ce53b855f cce21c8112256fe6 68d5c05dd9b6b900"},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.name);
        auto strip = [](std::string s) {
            s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
            return fromHex(s);
        };
        const auto key = fromHex(v.key);
        const auto plain = strip(v.plain);
        std::vector<std::uint8_t> out(plain.size());
        ASSERT_TRUE(crypto::tripleDes(key.data(), plain.data(), out.data(), out.size(), true));
        EXPECT_EQ(out, strip(v.sealed));
        ASSERT_TRUE(crypto::tripleDes(key.data(), out.data(), out.data(), out.size(), false));
        EXPECT_EQ(out, plain);
    }
}

// ---- A session against a simulated drive ----

// The drive: answers the SS__ steps with its own key; `tamper` changes the
// value it signs as its proof.
struct SimulatedDrive {
    crypto::HostKeyPair key;
    crypto::Number hostModulus{}, hostExponent{}, challenge{}, deviceChallenge{}, hostSecret{};
    crypto::Number sessionKey{};
    std::function<void(crypto::Number&)> tamper;
    std::vector<std::uint16_t> seen;
    std::vector<std::vector<std::uint8_t>> dataSeen;

    SimulatedDrive() { EXPECT_TRUE(crypto::generateHostKeyPair(key)); }

    bool run(CPrivateCommand& c) {
        seen.push_back(c.opCode());
        std::uint8_t* d = c.dataBuffer();
        dataSeen.emplace_back(d, d + c.dataLength());
        const std::size_t n = crypto::NUMBER_SIZE;
        switch (c.opCode()) {
            case op::SS_RSA_GET_DEVICE_PUBLIC_KEY:
                std::copy(key.modulus.begin(), key.modulus.end(), d);
                std::copy(key.publicExponent.begin(), key.publicExponent.end(), d + n);
                return true;
            case op::SS_RSA_SET_HOST_PUBLIC_KEY:
                std::copy_n(d, n, hostModulus.begin());
                std::copy_n(d + n, n, hostExponent.begin());
                return true;
            case op::SS_RSA_SET_HOST_RANDOM_CHALLENGE:
                std::copy_n(d, n, challenge.begin());
                return true;
            case op::SS_RSA_VERIFY_DEVICE_PUBLIC_KEY: {
                crypto::Number signedValue = challenge;
                if (tamper)
                    tamper(signedValue);
                return crypto::modPow(signedValue.data(), key.privateKey.data(), key.modulus.data(),
                                      d);
            }
            case op::SS_RSA_GET_DEVICE_RANDOM_CHALLENGE:
                deviceChallenge.fill(0x42);
                std::copy(deviceChallenge.begin(), deviceChallenge.end(), d);
                return true;
            case op::SS_RSA_VERIFY_HOST_PUBLIC_KEY: {
                crypto::Number back{};
                crypto::modPow(d, hostExponent.data(), hostModulus.data(), back.data());
                return back == deviceChallenge;
            }
            case op::SS_RSA_SET_HOST_SECRET_NUMBER:
                return crypto::modPow(d, key.privateKey.data(), key.modulus.data(),
                                      hostSecret.data());
            case op::SS_RSA_GET_DEVICE_SECRET_NUMBER: {
                crypto::Number secret{};
                secret.fill(0x24);
                for (std::size_t i = 0; i < n; ++i)
                    sessionKey[i] = static_cast<std::uint8_t>(secret[i] ^ hostSecret[i]);
                return crypto::modPow(secret.data(), hostExponent.data(), hostModulus.data(), d);
            }
            default:
                return true;
        }
    }
};

class SimulatedSession : public CQzSecureSession {
  public:
    explicit SimulatedSession(SimulatedDrive& drive) : CQzSecureSession(nullptr), m_drive(drive) {}
    std::deque<crypto::Number> randoms;

    bool execute(CDeviceHandle&, CPrivateCommand& command) override { return m_drive.run(command); }

  protected:
    bool randomNumber(std::uint8_t* out) override {
        crypto::Number n{};
        n.fill(0x5A);
        if (!randoms.empty()) {
            n = randoms.front();
            randoms.pop_front();
        }
        std::copy(n.begin(), n.end(), out);
        return true;
    }

  private:
    SimulatedDrive& m_drive;
};

class SecureSessionHost : public ::testing::Test {
  protected:
    SimulatedDrive drive;
    CDeviceHandle handle{nullptr};
};

TEST_F(SecureSessionHost, BothSidesAgreeOnTheSessionKey) {
    SimulatedSession session(drive);
    ASSERT_TRUE(session.openGenerated(handle, nullptr));
    ASSERT_NE(session.sessionKey(), nullptr);
    EXPECT_TRUE(std::equal(drive.sessionKey.begin(), drive.sessionKey.end(), session.sessionKey()));
    EXPECT_TRUE(session.terminateSession(handle));
    EXPECT_EQ(session.sessionKey(), nullptr);
    EXPECT_EQ(session.deviceModulus(), crypto::Number{});
}

TEST_F(SecureSessionHost, ChallengeByteSixtyThreeLosesItsTopBit) {
    SimulatedSession session(drive);
    crypto::Number all{};
    all.fill(0xFF);
    session.randoms = {all};
    ASSERT_TRUE(session.openGenerated(handle, nullptr));
    EXPECT_EQ(drive.challenge[63], 0x7F);
    EXPECT_EQ(drive.challenge[0], 0xFF);
    session.terminateSession(handle);
}

TEST_F(SecureSessionHost, DeviceProofIsComparedInBytesZeroToSixtyTwo) {
    struct Case {
        const char* name;
        std::size_t byte;
        bool opens;
    };
    for (const Case& c : {Case{"byte 63 differs", 63, true}, Case{"byte 0 differs", 0, false},
                          Case{"byte 62 differs", 62, false}}) {
        SCOPED_TRACE(c.name);
        SimulatedDrive local;
        local.tamper = [&](crypto::Number& n) { n[c.byte] ^= 0x01; };
        SimulatedSession session(local);
        EXPECT_EQ(session.openGenerated(handle, nullptr), c.opens);
        EXPECT_EQ(session.isOpen(), c.opens);
        if (c.opens)
            session.terminateSession(handle);
    }
}

TEST_F(SecureSessionHost, OneSessionOfAFamilyAtATime) {
    SimulatedSession first(drive);
    SimulatedDrive otherDrive;
    SimulatedSession second(otherDrive);
    ASSERT_TRUE(first.openGenerated(handle, nullptr));
    EXPECT_FALSE(second.openGenerated(handle, nullptr));
    EXPECT_TRUE(otherDrive.seen.empty());
    first.terminateSession(handle);
    EXPECT_TRUE(second.openGenerated(handle, nullptr));
    second.terminateSession(handle);
}

TEST_F(SecureSessionHost, CallerKeysMustBeComplete) {
    auto capture = testing::LogCapture::onProcessLog("caller keys");
    SimulatedSession session(drive);
    std::uint8_t part[64] = {1};
    EXPECT_FALSE(session.open(handle, part, nullptr, 64, part, nullptr));
    EXPECT_FALSE(session.open(handle, part, part, 0, part, nullptr));
    const auto lines = capture->takeNarrow();
    EXPECT_TRUE(logged(lines, "CQzSecureSession::open - empty secure session keys"));
    EXPECT_TRUE(logged(lines, "CQzSecureSession::open - host private key not allocated"));
    EXPECT_TRUE(drive.seen.empty());

    crypto::HostKeyPair keys;
    ASSERT_TRUE(crypto::generateHostKeyPair(keys));
    EXPECT_TRUE(session.open(handle, keys.modulus.data(), keys.privateKey.data(), 64,
                             keys.publicExponent.data(), nullptr));
    EXPECT_EQ(drive.hostModulus, keys.modulus);
    session.terminateSession(handle);
}

TEST_F(SecureSessionHost, InSessionDataPhasesAreWholeAesBlocks) {
    SimulatedSession session(drive);
    ASSERT_TRUE(session.openGenerated(handle, nullptr));
    crypto::CAes128Ecb cipher(drive.sessionKey.data());

    // 32 bytes out: the drive gets them encrypted under its key.
    CQzPrivateCommand write(32, op::CD_LOCK, SCSI_DIR_OUT);
    std::fill_n(write.dataBuffer(), 32, std::uint8_t{0x33});
    ASSERT_EQ(executeInSecureSession(session, write, handle), STATUS_OK);
    std::vector<std::uint8_t> atDrive = drive.dataSeen.back();
    ASSERT_TRUE(cipher.decrypt(atDrive.data(), atDrive.size()));
    EXPECT_EQ(atDrive, std::vector<std::uint8_t>(32, 0x33));

    // 20 bytes break the block rule: reported, and not sent.
    auto capture = testing::LogCapture::onProcessLog("block rule");
    const std::size_t sent = drive.seen.size();
    CQzPrivateCommand odd(20, op::CD_LOCK, SCSI_DIR_OUT);
    EXPECT_EQ(executeInSecureSession(session, odd, handle), STATUS_WRONG_PARAMETERS);
    EXPECT_EQ(drive.seen.size(), sent);
    EXPECT_TRUE(logged(capture->takeNarrow(), "size%16 == 0"));

    session.terminateSession(handle);
    CQzPrivateCommand after(16, op::CD_LOCK, SCSI_DIR_OUT);
    EXPECT_EQ(executeInSecureSession(session, after, handle), STATUS_SECURE_SESSION_FAILED);
}

TEST(CryptoService, EncryptDecryptArgumentsAreChecked) {
    auto capture = testing::LogCapture::onProcessLog("crypto arguments");
    CCryptoImpl crypto(2);
    std::uint8_t buffer[16] = {};
    struct Case {
        const char* name;
        const std::uint8_t* key;
        std::uint32_t size;
        int algorithm;
        STATUS expected;
        const char* line;
    };
    const Case cases[] = {
        {"null key", nullptr, 16, 1, STATUS_WRONG_PARAMETERS, "Null pointer parameter"},
        {"zero size", buffer, 0, 1, STATUS_WRONG_PARAMETERS, "Null pointer parameter"},
        {"3DES not aligned", buffer, 12, 1, STATUS_WRONG_PARAMETERS, "Buffer not aligned to 8"},
        {"DES not aligned", buffer, 12, 2, STATUS_WRONG_PARAMETERS, "Buffer not aligned to 8"},
        {"DES", buffer, 16, 2, STATUS_COMMAND_NOT_SUPPORTED,
         "Encryption algorithm (2) not supported"},
        {"unknown, any size", buffer, 12, 7, STATUS_COMMAND_NOT_SUPPORTED,
         "Encryption algorithm (7) not supported"},
        {"3DES", buffer, 16, 1, STATUS_OK, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(crypto.checkEncryptDecryptLegal(c.key, buffer, buffer, c.size, c.algorithm),
                  c.expected);
        const auto lines = capture->takeNarrow();
        if (c.line != nullptr) {
            EXPECT_TRUE(logged(
                lines, std::string("Qz: CCryptoImpl::checkEncryptDecryptLegal(): ") + c.line));
        }
    }
    std::uint8_t challenge[64];
    ASSERT_EQ(crypto.generateRandomChallenge(challenge), STATUS_OK);
    EXPECT_EQ(challenge[63] & 0x80, 0);
}

}  // namespace
}  // namespace nork::qz
