// Secure sessions against a drive of a real qzemud: the RSA exchange with
// fresh host keys, a CD-owner command whose data phase goes encrypted, and
// terminate; the session lives on the connection that opened it.
#include <gtest/gtest.h>

#include <memory>

#include "DeviceHandle.h"
#include "DeviceSupport.h"
#include "Domain.h"
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

}  // namespace
}  // namespace qzemu::e2e
