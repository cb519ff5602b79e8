// The drive's side of secure sessions: its RSA key kept across reopening,
// the exchange refused out of order, and which data phases are encrypted.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "emu/EmuTestSupport.h"
#include "model/SecureSession.h"
#include "model/StateFile.h"
#include "model/VirtualDrive.h"
#include "qz/DriveProtocol.h"

namespace qzemu::test {
namespace {

namespace op = proto::qzop;

class SecureSessionCommands : public ::testing::Test {
  protected:
    std::unique_ptr<VirtualDrive> make() {
        auto drive = VirtualDrive::create(dir.path() / "drive", smallConfig());
        consumeAttention(*drive);
        return drive;
    }
    ScsiRequest on(std::uint64_t connection, ScsiRequest r) {
        r.connection = connection;
        return r;
    }

    ScratchDir dir;
};

TEST_F(SecureSessionCommands, TheDriveKeepsItsKeyAcrossReopening) {
    std::vector<std::uint8_t> first;
    {
        auto drive = make();
        auto reply =
            drive->execute(qzCommand(op::SS_RSA_GET_DEVICE_PUBLIC_KEY, ScsiRequest::In, 128));
        ASSERT_TRUE(reply.good());
        first = reply.dataIn;
    }
    const PersistedState state = readStateFile(dir.path() / "drive");
    EXPECT_FALSE(state.rsaKey.empty());
    EXPECT_NE(state.rsaKey.modulus[63] & 0x80, 0);  // a full 512-bit modulus

    auto drive = VirtualDrive::open(dir.path() / "drive");
    consumeAttention(*drive);
    auto reply = drive->execute(qzCommand(op::SS_RSA_GET_DEVICE_PUBLIC_KEY, ScsiRequest::In, 128));
    ASSERT_TRUE(reply.good());
    EXPECT_EQ(reply.dataIn, first);
    EXPECT_EQ(proto::getLE32(&reply.dataIn[64]), 65537u);
}

TEST_F(SecureSessionCommands, StepsOutOfOrderAreRefusedWithTheirErrorCodes) {
    auto drive = make();
    const std::vector<std::uint8_t> number(64, 0x11);
    struct Case {
        const char* name;
        ScsiRequest request;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"challenge before the keys",
         qzCommand(op::SS_RSA_SET_HOST_RANDOM_CHALLENGE, ScsiRequest::Out, 0, number), 0x00830001},
        {"proof before a challenge",
         qzCommand(op::SS_RSA_VERIFY_DEVICE_PUBLIC_KEY, ScsiRequest::In, 64), 0x00840001},
        {"host proof before the drive's challenge",
         qzCommand(op::SS_RSA_VERIFY_HOST_PUBLIC_KEY, ScsiRequest::Out, 0, number), 0x00860001},
        {"secret before the proofs",
         qzCommand(op::SS_RSA_SET_HOST_SECRET_NUMBER, ScsiRequest::Out, 0, number), 0x00870001},
        {"drive secret first", qzCommand(op::SS_RSA_GET_DEVICE_SECRET_NUMBER, ScsiRequest::In, 64),
         0x00880001},
        {"start without a channel", qzCommand(op::SS_START_SECURE_ACCESS, ScsiRequest::None),
         0x008B0001},
        {"terminate without a session",
         qzCommand(op::SS_TERMINATE_SECURE_SESSION, ScsiRequest::None), 0x00890001},
        {"3DES result without an operation",
         qzCommand(op::CE_3DES_GET_ENCRYPT_DECRYPT_DATA, ScsiRequest::In, 8), 0x00E10001},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(drive->execute(c.request).good());
        EXPECT_EQ(readErrorRegister(*drive), c.error);
    }
}

TEST_F(SecureSessionCommands, AWrongHostProofEndsTheExchange) {
    auto drive = make();
    const std::vector<std::uint8_t> number(64, 0x11);
    std::vector<std::uint8_t> hostKey(128, 0);
    hostKey[0] = 0x0F;   // modulus 15
    hostKey[64] = 0x03;  // exponent 3
    ASSERT_TRUE(
        drive->execute(qzCommand(op::SS_RSA_GET_DEVICE_PUBLIC_KEY, ScsiRequest::In, 128)).good());
    ASSERT_TRUE(
        drive->execute(qzCommand(op::SS_RSA_SET_HOST_PUBLIC_KEY, ScsiRequest::Out, 0, hostKey))
            .good());
    ASSERT_TRUE(
        drive->execute(qzCommand(op::SS_RSA_SET_HOST_RANDOM_CHALLENGE, ScsiRequest::Out, 0, number))
            .good());
    ASSERT_TRUE(
        drive->execute(qzCommand(op::SS_RSA_VERIFY_DEVICE_PUBLIC_KEY, ScsiRequest::In, 64)).good());
    ASSERT_TRUE(
        drive->execute(qzCommand(op::SS_RSA_GET_DEVICE_RANDOM_CHALLENGE, ScsiRequest::In, 64))
            .good());
    EXPECT_FALSE(
        drive->execute(qzCommand(op::SS_RSA_VERIFY_HOST_PUBLIC_KEY, ScsiRequest::Out, 0, number))
            .good());
    EXPECT_EQ(readErrorRegister(*drive), 0x00860002u);
    EXPECT_FALSE(
        drive->execute(qzCommand(op::SS_RSA_SET_HOST_SECRET_NUMBER, ScsiRequest::Out, 0, number))
            .good());
    EXPECT_EQ(readErrorRegister(*drive), 0x00870001u);
}

TEST_F(SecureSessionCommands, AnExchangeBelongsToItsConnection) {
    auto drive = make();
    ASSERT_TRUE(
        drive->execute(on(7, qzCommand(op::SS_RSA_GET_DEVICE_PUBLIC_KEY, ScsiRequest::In, 128)))
            .good());
    std::vector<std::uint8_t> hostKey(128, 0);
    hostKey[0] = 0x0F;
    hostKey[64] = 0x03;
    EXPECT_FALSE(drive
                     ->execute(on(8, qzCommand(op::SS_RSA_SET_HOST_PUBLIC_KEY, ScsiRequest::Out, 0,
                                               hostKey)))
                     .good());
    EXPECT_TRUE(drive
                    ->execute(on(
                        7, qzCommand(op::SS_RSA_SET_HOST_PUBLIC_KEY, ScsiRequest::Out, 0, hostKey)))
                    .good());
    // The connection closing ends it.
    drive->endSecureSession(7);
    EXPECT_FALSE(
        drive->execute(on(7, qzCommand(op::SS_TERMINATE_SECURE_SESSION, ScsiRequest::None)))
            .good());
}

TEST(SessionDataRule, OnlyTheSessionsOwnCommandsAreEncrypted) {
    ConnectionSession cdOwners;
    cdOwners.step = 8;
    cdOwners.type = SESSION_TYPE_CD_OWNERS;
    ConnectionSession privateArea = cdOwners;
    privateArea.type = SESSION_TYPE_PRIVATE_AREA;
    privateArea.lun = 1;
    ConnectionSession exchangedOnly = cdOwners;
    exchangedOnly.type = SESSION_TYPE_NONE;

    struct Case {
        const char* name;
        const ConnectionSession* session;
        std::uint16_t op;
        std::uint8_t lun;
        bool encrypted;
    };
    const Case cases[] = {
        {"no session", nullptr, op::CD_LOCK, 0, false},
        {"exchange without start", &exchangedOnly, op::CD_LOCK, 0, false},
        {"CD lock, CD owners", &cdOwners, op::CD_LOCK, 0, true},
        {"CD write, CD owners", &cdOwners, op::CD_WRITE_BUFFER, 0, true},
        {"PRA open, CD owners", &cdOwners, op::PRA_OPEN, 1, false},
        {"PRA open, its LUN", &privateArea, op::PRA_OPEN, 1, true},
        {"PRA open, another LUN", &privateArea, op::PRA_OPEN, 2, false},
        {"TH open, its LUN", &privateArea, op::TH_OPEN_PRIVATE_AREA, 1, true},
        {"TH get id, its LUN", &privateArea, op::TH_GET_TRUSTED_HOST_ID, 1, true},
        {"CD lock, private area", &privateArea, op::CD_LOCK, 1, false},
        {"hidden page write", &cdOwners, op::HA_WRITE_PAGE, 0, false},
        {"3DES", &privateArea, op::CE_3DES_ENCRYPT_DECRYPT_DATA, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(sessionDataIsEncrypted(c.session, c.op, c.lun), c.encrypted);
    }
}

}  // namespace
}  // namespace qzemu::test
