// Qz private frames, the device error register and the drive's modes.
#include "emu/EmuTestSupport.h"

namespace qzemu::test {
namespace {

class PrivateCommands : public ::testing::Test {
  protected:
    std::unique_ptr<VirtualDrive> make(DriveMode mode) {
        DriveConfig config = smallConfig();
        config.mode = mode;
        auto drive = VirtualDrive::create(dir.path() / modeName(mode), config);
        consumeAttention(*drive);
        return drive;
    }

    ScratchDir dir;
};

TEST_F(PrivateCommands, UnsupportedOperationLeavesOpAndReasonUntilRead) {
    auto drive = make(DriveMode::Qz);
    // Unknown, not yet served and catalogued-but-unnamed codes alike.
    for (std::uint16_t op : {std::uint16_t{0x7777}, proto::qzop::HA_CLEAR_PAGE_PASSWORDS,
                             proto::qzop::WRITE_SECTOR_HID}) {
        SCOPED_TRACE(op);
        auto reply = drive->execute(qzCommand(op, ScsiRequest::In, 64));
        EXPECT_EQ(reply.scsiStatus, proto::SCSI_STATUS_CHECK_CONDITION);
        EXPECT_TRUE(reply.dataIn.empty());

        // A successful command in between clears nothing.
        auto fw = drive->execute(qzCommand(proto::qzop::AUX_GET_FW_VERSION, ScsiRequest::In,
                                           proto::FW_VERSION_ANSWER_SIZE));
        ASSERT_TRUE(fw.good());

        auto error = drive->execute(getErrorCode());
        ASSERT_TRUE(error.good());
        ASSERT_EQ(error.dataIn.size(), proto::ERROR_CODE_ANSWER_SIZE);
        EXPECT_EQ(proto::getLE32(error.dataIn.data()), (std::uint32_t{op} << 16) | 0x0001);
        EXPECT_EQ(std::count(error.dataIn.begin() + 4, error.dataIn.end(), 0),
                  static_cast<std::ptrdiff_t>(proto::ERROR_CODE_EXTENDED_SIZE));
        // Reading the register cleared it.
        EXPECT_EQ(readErrorRegister(*drive), 0u);
    }
}

TEST_F(PrivateCommands, FirmwareVersionAnswerIsZeroPaddedText) {
    auto drive = make(DriveMode::Qz);
    auto reply = drive->execute(
        qzCommand(proto::qzop::AUX_GET_FW_VERSION, ScsiRequest::In, proto::FW_VERSION_ANSWER_SIZE));
    ASSERT_TRUE(reply.good());
    ASSERT_EQ(reply.dataIn.size(), proto::FW_VERSION_ANSWER_SIZE);
    std::vector<std::uint8_t> expected(proto::FW_VERSION_ANSWER_SIZE, 0);
    std::string fw = "6.520";
    std::copy(fw.begin(), fw.end(), expected.begin());
    EXPECT_EQ(reply.dataIn, expected);
}

TEST_F(PrivateCommands, ZykFrameIsRefusedWithoutTouchingTheRegister) {
    auto drive = make(DriveMode::Qz);
    auto reply = drive->execute(zykCommand(0x0048));
    EXPECT_EQ(reply.scsiStatus, proto::SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(reply.senseKey(), proto::SENSE_KEY_ILLEGAL_REQUEST);
    EXPECT_EQ(readErrorRegister(*drive), 0u);
}

TEST_F(PrivateCommands, OtherModesRefuseQzFramesAndKeepDiskAccess) {
    for (DriveMode mode : {DriveMode::PlainDisk, DriveMode::Zyk}) {
        SCOPED_TRACE(modeName(mode));
        auto drive = make(mode);
        for (const auto& request :
             {qzCommand(proto::qzop::AUX_GET_FW_VERSION, ScsiRequest::In, 24), getErrorCode(),
              qzCommand(0x7777, ScsiRequest::None), zykCommand(0x0100)}) {
            auto reply = drive->execute(request);
            EXPECT_EQ(reply.result, ScsiReply::Ok);
            EXPECT_EQ(reply.scsiStatus, proto::SCSI_STATUS_CHECK_CONDITION);
            EXPECT_EQ(reply.senseKey(), proto::SENSE_KEY_ILLEGAL_REQUEST);
            EXPECT_EQ(reply.asc(), 0x20);
        }
        // Refused frames are not the drive's errors.
        EXPECT_EQ(drive->inspect().errorRegister, 0u);
        const auto data = pattern(1, 9);
        EXPECT_TRUE(drive->execute(write10(1, 5, data)).good());
        EXPECT_EQ(drive->execute(read10(1, 5, 1)).dataIn, data);
    }
}

TEST_F(PrivateCommands, PlainDiskLooksLikeAnotherVendorsDisk) {
    auto drive = make(DriveMode::PlainDisk);
    auto inq = drive->execute(inquiry(1));
    ASSERT_TRUE(inq.good());
    EXPECT_NE(text(inq.dataIn, proto::INQUIRY_VENDOR_OFFSET, 7), "Corvane");
    EXPECT_NE(text(inq.dataIn, proto::INQUIRY_PRODUCT_OFFSET, 9), "Qz Pellix");
    auto id = drive->execute(reportId());
    EXPECT_EQ(id.scsiStatus, proto::SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(id.senseKey(), proto::SENSE_KEY_ILLEGAL_REQUEST);
}

TEST_F(PrivateCommands, DetachAttachWithoutItsDataFailsWithBadRequest) {
    auto drive = make(DriveMode::Qz);
    auto request = detachAttach(0, 0, 0);
    request.dataOut.resize(8);
    auto reply = drive->execute(request);
    EXPECT_EQ(reply.scsiStatus, proto::SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(drive->busState(), BusState::Attached);
    EXPECT_EQ(readErrorRegister(*drive),
              proto::makeDeviceError(proto::qzop::AUX_DETACH_ATTACH, 0x0002));
}

}  // namespace
}  // namespace qzemu::test
