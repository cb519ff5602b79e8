// Secure sessions against a drive of a real qzemud: the RSA exchange with
// fresh host keys, a CD-owner command whose data phase goes encrypted, and
// terminate; the session lives on the connection that opened it.
#include <gtest/gtest.h>

#include <cryptopp/des.h>
#include <cryptopp/modes.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "DeviceHandle.h"
#include "DeviceSupport.h"
#include "Domain.h"
#include "LogCapture.h"
#include "qz/CryptoImpl.h"
#include "qz/CryptoPrimitives.h"
#include "qz/DriveProtocol.h"
#include "qz/QzCommands.h"
#include "qz/SecureSessionExec.h"
#include "qz/SecureSessionServiceImpl.h"

namespace qzemu::e2e {
namespace {

namespace qz = nork::qz;
using qz::CSecureSessionServiceImpl;

constexpr std::uint8_t CD_INDEX = 0;  // smallDrive: the CD domain first

// A CD__Lock of the CD domain carrying a well-formed owner key.
std::unique_ptr<nork::qz::CQzCDLockCmd> lockCommand() {
    auto command = std::make_unique<nork::qz::CQzCDLockCmd>();
    qz::crypto::HostKeyPair owner;
    EXPECT_TRUE(qz::crypto::generateHostKeyPair(owner));
    std::copy(owner.modulus.begin(), owner.modulus.end(), command->dataBuffer());
    std::copy(owner.publicExponent.begin(), owner.publicExponent.end(),
              command->dataBuffer() + qz::crypto::NUMBER_SIZE);
    command->setParams(&CD_INDEX, 1);
    return command;
}

class SecureSessionE2e : public DaemonDriveTest {
  protected:
    bool cdLocked(const std::string& serial) {
        return (rig->inspect(serial).domains.at(CD_INDEX).flags &
                nork::proto::DOMAIN_WIRE_FLAG_CD_LOCKED) != 0;
    }
    std::shared_ptr<CSecureSessionServiceImpl> service(nork::CUFDImpl* device) {
        return std::dynamic_pointer_cast<CSecureSessionServiceImpl>(
            device->getService(CSecureSessionServiceImpl::SERVICE_ID));
    }
};

TEST_F(SecureSessionE2e, CdOwnerSessionCarriesEncryptedCommandsUntilTerminated) {
    nork::CUFDImpl* device = connect("SS0000000001");
    ASSERT_NE(device, nullptr);
    auto ss = service(device);
    ASSERT_NE(ss, nullptr);
    nork::CDomainAddress cd(CD_INDEX, u"");

    ASSERT_EQ(ss->open(CSecureSessionServiceImpl::SESSION_CD_OWNERS, cd), nork::STATUS_OK);
    EXPECT_TRUE(ss->isOpen());
    std::uint32_t type = 0;
    EXPECT_EQ(ss->getSecureSessionType(type), nork::STATUS_OK);
    EXPECT_EQ(type, CSecureSessionServiceImpl::SESSION_CD_OWNERS);

    nork::CDeviceHandle handle(device);
    ASSERT_NE(handle.open(), nork::port::INVALID_OS_HANDLE);
    qz::TQzSecureSessionExec<nork::qz::CQzCDLockCmd> lockExec(
        device, CSecureSessionServiceImpl::SESSION_CD_OWNERS);

    // Encrypted for a connection without the session, the key arrives as
    // noise and the drive refuses it.
    auto stray = lockCommand();
    EXPECT_EQ(
        qz::TSecureSessionExec<nork::qz::CQzCDLockCmd>::execute(ss->session(), *stray, handle),
        nork::STATUS_COMMUNICATION_FAILURE);
    EXPECT_FALSE(cdLocked("SS0000000001"));

    auto lock = lockCommand();
    EXPECT_EQ(lockExec(handle, *lock, cd), nork::STATUS_OK);
    EXPECT_TRUE(cdLocked("SS0000000001"));

    nork::qz::CQzCDUnlockCmd unlock;
    unlock.setParams(&CD_INDEX, 1);
    qz::TQzSecureSessionExec<nork::qz::CQzCDUnlockCmd> unlockExec(
        device, CSecureSessionServiceImpl::SESSION_CD_OWNERS);
    EXPECT_EQ(unlockExec(handle, unlock, cd), nork::STATUS_OK);
    EXPECT_FALSE(cdLocked("SS0000000001"));

    EXPECT_EQ(ss->terminate(), nork::STATUS_OK);
    EXPECT_FALSE(ss->isOpen());
    EXPECT_EQ(ss->sessionLun(), CSecureSessionServiceImpl::NO_LUN);
    // A closed session terminates quietly.
    EXPECT_EQ(ss->terminate(), nork::STATUS_OK);
    // Without the session a CD-owner command is not sent.
    EXPECT_EQ(unlockExec(handle, unlock, cd), nork::STATUS_SS_CD_OWNER_NEEDED);
}

TEST_F(SecureSessionE2e, ADriveWhoseProofDoesNotVerifyIsRefused) {
    nork::CUFDImpl* device = connect("SS0000000002");
    ASSERT_NE(device, nullptr);
    auto ss = service(device);
    nork::CDomainAddress cd(CD_INDEX, u"");
    emu::FaultRequest fault;
    fault.serial = "SS0000000002";
    fault.kind = emu::FaultKind::WrongSessionProof;
    fault.flag = true;
    rig->fault(fault);
    EXPECT_EQ(ss->open(CSecureSessionServiceImpl::SESSION_CD_OWNERS, cd),
              nork::STATUS_SECURE_SESSION_FAILED);
    EXPECT_FALSE(ss->isOpen());

    // The named mutex was released: the next open (honest drive) succeeds.
    fault.flag = false;
    rig->fault(fault);
    EXPECT_EQ(ss->open(CSecureSessionServiceImpl::SESSION_CD_OWNERS, cd), nork::STATUS_OK);
    EXPECT_EQ(ss->terminate(), nork::STATUS_OK);
}

TEST_F(SecureSessionE2e, PrivateAreaSessionAnswersCdOwnerNeededForCdCommands) {
    nork::CUFDImpl* device = connect("SS0000000003");
    ASSERT_NE(device, nullptr);
    auto ss = service(device);
    nork::CDomainAddress pub(1, u"");
    nork::CDomainAddress cd(CD_INDEX, u"");
    ASSERT_EQ(ss->open(CSecureSessionServiceImpl::SESSION_PRIVATE_AREA, pub), nork::STATUS_OK);
    std::uint32_t type = 0;
    EXPECT_EQ(ss->getSecureSessionType(type), nork::STATUS_OK);
    EXPECT_EQ(type, CSecureSessionServiceImpl::SESSION_PRIVATE_AREA);

    nork::CDeviceHandle handle(device);
    ASSERT_NE(handle.open(), nork::port::INVALID_OS_HANDLE);
    nork::qz::CQzCDUnlockCmd unlock;
    unlock.setParams(&CD_INDEX, 1);
    qz::TQzSecureSessionExec<nork::qz::CQzCDUnlockCmd> exec(
        device, CSecureSessionServiceImpl::SESSION_CD_OWNERS);
    EXPECT_EQ(exec(handle, unlock, cd), nork::STATUS_SS_CD_OWNER_NEEDED);

    // A second session of the family cannot open while this one is.
    EXPECT_EQ(ss->open(CSecureSessionServiceImpl::SESSION_CD_OWNERS, cd),
              nork::STATUS_SECURE_SESSION_FAILED);
    EXPECT_EQ(ss->terminate(), nork::STATUS_OK);
}

TEST_F(SecureSessionE2e, CallerKeysOpenASessionThatCanBeStartedAgain) {
    nork::CUFDImpl* device = connect("SS0000000006");
    ASSERT_NE(device, nullptr);
    auto ss = service(device);
    nork::CDomainAddress cd(CD_INDEX, u"");
    qz::crypto::HostKeyPair keys;
    ASSERT_TRUE(qz::crypto::generateHostKeyPair(keys));

    EXPECT_EQ(ss->openWithKeys(CSecureSessionServiceImpl::SESSION_CD_OWNERS, cd,
                               keys.modulus.data(), nullptr, 64, keys.publicExponent.data()),
              nork::STATUS_WRONG_PARAMETERS);
    EXPECT_EQ(ss->initializeSession(), nork::STATUS_SS_NOT_INITIALIZED);
    ASSERT_EQ(
        ss->openWithKeys(CSecureSessionServiceImpl::SESSION_CD_OWNERS, cd, keys.modulus.data(),
                         keys.privateKey.data(), 64, keys.publicExponent.data()),
        nork::STATUS_OK);
    EXPECT_EQ(ss->initializeSession(), nork::STATUS_OK);

    // The simple executor uses whatever session is open.
    nork::CDeviceHandle handle(device);
    ASSERT_NE(handle.open(), nork::port::INVALID_OS_HANDLE);
    auto lock = lockCommand();
    EXPECT_EQ(qz::TQzSimpleSecureSessionExec<nork::qz::CQzCDLockCmd>(device)(handle, *lock),
              nork::STATUS_OK);
    EXPECT_TRUE(cdLocked("SS0000000006"));
    EXPECT_EQ(ss->terminate(), nork::STATUS_OK);
}

TEST_F(SecureSessionE2e, DeviceTripleDesRoundTripsAndMatchesTheCipher) {
    nork::CUFDImpl* device = connect("SS0000000004");
    ASSERT_NE(device, nullptr);
    auto crypto =
        std::dynamic_pointer_cast<qz::CCryptoImpl>(device->getService(qz::CCryptoImpl::SERVICE_ID));
    ASSERT_NE(crypto, nullptr);

    std::vector<std::uint8_t> key(24), plain(64), sealed(64), back(64), expected(64);
    for (std::size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<std::uint8_t>(0x11 * (i + 1));
    for (std::size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<std::uint8_t>(i * 7);
    ASSERT_EQ(crypto->processData(key.data(), plain.data(), sealed.data(), 64,
                                  qz::CCryptoImpl::ALGORITHM_3DES, true),
              nork::STATUS_OK);
    CryptoPP::ECB_Mode<CryptoPP::DES_EDE3>::Encryption reference(key.data(), key.size());
    reference.ProcessData(expected.data(), plain.data(), plain.size());
    EXPECT_EQ(sealed, expected);
    ASSERT_EQ(crypto->processData(key.data(), sealed.data(), back.data(), 64,
                                  qz::CCryptoImpl::ALGORITHM_3DES, false),
              nork::STATUS_OK);
    EXPECT_EQ(back, plain);

    std::uint8_t first[64] = {}, second[64] = {};
    EXPECT_EQ(crypto->generateRandomNumber(first), nork::STATUS_OK);
    EXPECT_EQ(crypto->generateRandomNumber(second), nork::STATUS_OK);
    EXPECT_NE(std::vector<std::uint8_t>(first, first + 64),
              std::vector<std::uint8_t>(second, second + 64));

    std::uint8_t modulus[64] = {}, exponent[64] = {};
    EXPECT_EQ(crypto->getPublicKey(modulus, exponent), nork::STATUS_OK);
    EXPECT_EQ(exponent[0] | exponent[1] << 8 | exponent[2] << 16, 65537);
    EXPECT_NE(modulus[63] & 0x80, 0);
}

// Records the random numbers it hands out (challenge and host secret).
class RecordingSession : public qz::CQzSecureSession {
  public:
    using CQzSecureSession::CQzSecureSession;
    std::vector<qz::Number> handedOut;

  protected:
    bool randomNumber(std::uint8_t* out) override {
        if (!CQzSecureSession::randomNumber(out))
            return false;
        qz::Number n{};
        std::copy_n(out, n.size(), n.begin());
        n[63] &= 0x7F;
        handedOut.push_back(n);
        return true;
    }
};

std::string hexOf(const std::uint8_t* bytes, std::size_t size, bool upper) {
    std::string out;
    char two[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(two, sizeof two, upper ? "%02X" : "%02x", bytes[i]);
        out += two;
    }
    return out;
}

TEST_F(SecureSessionE2e, NoKeyOrSecretReachesTheLog) {
    nork::CUFDImpl* device = connect("SS0000000005");
    ASSERT_NE(device, nullptr);
    auto ss = service(device);
    auto owned = std::make_unique<RecordingSession>(device);
    RecordingSession* session = owned.get();
    ss->setSession(std::move(owned));
    auto capture = nork::testing::LogCapture::onProcessLog("secure session secrets");
    nork::CDomainAddress cd(CD_INDEX, u"");

    ASSERT_EQ(ss->open(CSecureSessionServiceImpl::SESSION_CD_OWNERS, cd), nork::STATUS_OK);
    const std::vector<std::uint8_t> key(session->sessionKey(), session->sessionKey() + 64);
    nork::CDeviceHandle handle(device);
    ASSERT_NE(handle.open(), nork::port::INVALID_OS_HANDLE);
    auto lock = lockCommand();
    EXPECT_EQ(qz::TQzSecureSessionExec<nork::qz::CQzCDLockCmd>(
                  device, CSecureSessionServiceImpl::SESSION_CD_OWNERS)(handle, *lock, cd),
              nork::STATUS_OK);
    EXPECT_EQ(ss->terminate(), nork::STATUS_OK);
    ASSERT_EQ(session->handedOut.size(), 2u);  // the challenge, then the secret

    std::u16string all;
    for (const auto& line : capture->take())
        all += line + u"\n";
    ASSERT_NE(all.find(u"success to open secure session"), std::u16string::npos);
    std::vector<std::string> needles;
    for (bool upper : {false, true}) {
        needles.push_back(hexOf(key.data(), 16, upper));
        needles.push_back(hexOf(key.data() + 16, 16, upper));
        needles.push_back(hexOf(session->handedOut[1].data(), 16, upper));
    }
    for (const auto& needle : needles) {
        EXPECT_EQ(all.find(std::u16string(needle.begin(), needle.end())), std::u16string::npos)
            << needle;
    }
    const std::u16string raw(key.begin(), key.begin() + 16);
    EXPECT_EQ(all.find(raw), std::u16string::npos);
    const std::u16string rawSecret(session->handedOut[1].begin(),
                                   session->handedOut[1].begin() + 16);
    EXPECT_EQ(all.find(rawSecret), std::u16string::npos);
}

}  // namespace
}  // namespace qzemu::e2e
