// The drive's answers to the standard SCSI commands, read at the offsets the
// host reads them.
#include <fstream>

#include "emu/EmuTestSupport.h"

namespace qzemu::test {
namespace {

class StandardCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        drive = VirtualDrive::create(dir.path() / "drive", smallConfig());
        consumeAttention(*drive);
    }

    ScratchDir dir;
    std::unique_ptr<VirtualDrive> drive;
};

TEST_F(StandardCommands, InquiryNamesTheDriveAndTheUnitType) {
    struct Case {
        std::uint8_t lun;
        std::uint8_t type;
    };
    for (const Case c : {Case{0, proto::INQUIRY_TYPE_CDROM}, Case{1, proto::INQUIRY_TYPE_DISK},
                         Case{255, proto::INQUIRY_TYPE_CDROM}, Case{2, 0x7F}}) {
        SCOPED_TRACE(static_cast<int>(c.lun));
        auto reply = drive->execute(inquiry(c.lun));
        ASSERT_TRUE(reply.good());
        ASSERT_EQ(reply.dataIn.size(), proto::INQUIRY_DATA_SIZE);
        EXPECT_EQ(reply.dataIn[0], c.type);
        EXPECT_EQ(text(reply.dataIn, proto::INQUIRY_VENDOR_OFFSET, 8), "Corvane ");
        EXPECT_EQ(text(reply.dataIn, proto::INQUIRY_PRODUCT_OFFSET, 16), "Qz Pellix Drive ");
        EXPECT_EQ(text(reply.dataIn, proto::INQUIRY_REVISION_OFFSET, 4), "6.52");
        EXPECT_GE(reply.dataIn[4] + 5, 36);  // additional length covers the standard fields
    }
}

TEST_F(StandardCommands, InquiryAnswerIsCutToTheAllocationLength) {
    auto request = inquiry();
    request.cdb[4] = 36;
    auto reply = drive->execute(request);
    ASSERT_TRUE(reply.good());
    EXPECT_EQ(reply.dataIn.size(), 36u);
}

TEST_F(StandardCommands, ReportIdPlacesEachTextWhereTheHostEndsIt) {
    auto reply = drive->execute(reportId());
    ASSERT_TRUE(reply.good());
    const auto& d = reply.dataIn;
    ASSERT_EQ(d.size(), proto::REPORT_ID_DATA_SIZE);
    // The host puts terminators at 13, 23 and 40; the texts must fit before them.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[4])), "Qz 4");
    EXPECT_EQ(d[proto::REPORT_ID_VENDOR_END], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[14])), "Pellix");
    EXPECT_EQ(d[proto::REPORT_ID_PRODUCT_END], 0);
    EXPECT_EQ(text(d, proto::REPORT_ID_SERIAL_OFFSET, 16), "QE00112233445566");
    EXPECT_EQ(d[proto::REPORT_ID_SERIAL_END], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[41])), "6.520");
    // The generation digit: the character after the one following "Qz".
    EXPECT_EQ(d[4 + 3] - '0', 4);

    auto wrongAction = drive->execute(reportId(0x06));
    EXPECT_EQ(wrongAction.scsiStatus, proto::SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(wrongAction.senseKey(), proto::SENSE_KEY_ILLEGAL_REQUEST);
}

TEST_F(StandardCommands, ReadCapacityGivesTheLastLbaOfEachLunsDomain) {
    struct Case {
        std::uint8_t lun;
        std::uint32_t lastLba;
    };
    for (const Case c : {Case{0, 4095}, Case{1, 20000 - 4096 - 1}}) {
        auto reply = drive->execute(readCapacity(c.lun));
        ASSERT_TRUE(reply.good());
        ASSERT_EQ(reply.dataIn.size(), 8u);
        EXPECT_EQ(proto::getBE32(&reply.dataIn[0]), c.lastLba);
        EXPECT_EQ(proto::getBE32(&reply.dataIn[4]), proto::SECTOR_SIZE);
    }
    auto missing = drive->execute(readCapacity(2));
    EXPECT_EQ(missing.senseKey(), proto::SENSE_KEY_ILLEGAL_REQUEST);
    EXPECT_EQ(missing.asc(), 0x25);
}

TEST(ModeSense, Page5GeometryFollowsTheDomainSize) {
    struct Case {
        std::uint32_t sectors;
        std::uint16_t cylinders;
    };
    const Case cases[] = {
        {1000000, 62},  // 1,000,000 / (255 * 63)
        {30000, 1},
        {16064, 0},            // smaller than one cylinder
        {0xFFFFFFFF, 0xFFFF},  // capped
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sectors);
        ScratchDir dir;
        DriveConfig config = smallConfig();
        config.flashSectors = c.sectors;
        config.layout = "public:all";
        auto drive = VirtualDrive::create(dir.path(), config);
        auto reply = drive->execute(modeSense5());
        ASSERT_TRUE(reply.good());
        ASSERT_EQ(reply.dataIn.size(), proto::MODE_SENSE10_DATA_SIZE);
        EXPECT_EQ(reply.dataIn[8] & 0x3F, proto::MODE_PAGE_FLEXIBLE_DISK);
        EXPECT_EQ(reply.dataIn[proto::MODE_SENSE10_HEADS_OFFSET], 255);
        EXPECT_EQ(reply.dataIn[proto::MODE_SENSE10_SECTORS_PER_TRACK_OFFSET], 63);
        EXPECT_EQ(proto::getBE16(&reply.dataIn[proto::MODE_SENSE10_CYLINDERS_OFFSET]), c.cylinders);
    }
}

TEST_F(StandardCommands, ModeSenseRefusesOtherPages) {
    auto request = modeSense5();
    request.cdb[2] = 0x08;
    auto reply = drive->execute(request);
    EXPECT_EQ(reply.senseKey(), proto::SENSE_KEY_ILLEGAL_REQUEST);
    EXPECT_EQ(reply.asc(), 0x24);
}

TEST_F(StandardCommands, EachLunAddressesItsOwnDomain) {
    const auto data = pattern(4, 0x11);
    ASSERT_TRUE(drive->execute(write10(1, 0, data)).good());
    auto back = drive->execute(read10(1, 0, 4));
    ASSERT_TRUE(back.good());
    EXPECT_EQ(back.dataIn, data);

    // LBA 0 of LUN 1 is sector 4096 of the flash; the CD domain is untouched.
    auto cd = drive->execute(read10(0, 0, 4));
    ASSERT_TRUE(cd.good());
    EXPECT_EQ(cd.dataIn, std::vector<std::uint8_t>(data.size(), 0));
    std::ifstream image(dir.path() / "drive" / "flash.img", std::ios::binary);
    image.seekg(4096 * 512);
    std::vector<std::uint8_t> raw(data.size());
    image.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
    EXPECT_EQ(raw, data);
}

TEST_F(StandardCommands, AccessBeyondTheDomainIsRefused) {
    const std::uint32_t size = 20000 - 4096;
    struct Case {
        std::uint32_t lba;
        std::uint16_t count;
        bool ok;
    };
    const Case cases[] = {
        {size - 1, 1, true},    {size - 1, 2, false}, {size, 1, false},
        {0xFFFFFFFF, 1, false}, {0, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.lba) + "+" + std::to_string(c.count));
        for (bool write : {false, true}) {
            auto reply = write ? drive->execute(write10(1, c.lba, pattern(c.count, 1)))
                               : drive->execute(read10(1, c.lba, c.count));
            if (c.ok) {
                EXPECT_TRUE(reply.good());
            } else {
                EXPECT_EQ(reply.scsiStatus, proto::SCSI_STATUS_CHECK_CONDITION);
                EXPECT_EQ(reply.senseKey(), proto::SENSE_KEY_ILLEGAL_REQUEST);
                EXPECT_EQ(reply.asc(), 0x21);
            }
        }
    }
    // The out-of-range sense waits for REQUEST SENSE, once.
    drive->execute(read10(1, size, 1));
    auto first = drive->execute(requestSense(1));
    ASSERT_TRUE(first.good());
    EXPECT_EQ(first.dataIn[proto::SENSE_KEY_OFFSET], proto::SENSE_KEY_ILLEGAL_REQUEST);
    EXPECT_EQ(first.dataIn[proto::SENSE_ASC_OFFSET], 0x21);
    auto second = drive->execute(requestSense(1));
    EXPECT_EQ(second.dataIn[proto::SENSE_KEY_OFFSET], proto::SENSE_KEY_NO_SENSE);
}

TEST(WriteProtection, CdAndWriteProtectedDomainsRefuseWrites) {
    ScratchDir dir;
    DriveConfig config = smallConfig();
    config.layout = "cd:100,public:100:wp,public:rest";
    auto drive = VirtualDrive::create(dir.path(), config);
    for (std::uint8_t lun : {0, 1}) {
        auto reply = drive->execute(write10(lun, 0, pattern(1, 3)));
        EXPECT_EQ(reply.senseKey(), proto::SENSE_KEY_DATA_PROTECT) << int(lun);
        EXPECT_EQ(reply.asc(), 0x27);
    }
    auto modeWp = drive->execute(modeSense5(1));
    EXPECT_EQ(modeWp.dataIn[3] & 0x80, 0x80);
    EXPECT_TRUE(drive->execute(write10(2, 0, pattern(1, 3))).good());
    auto modeRw = drive->execute(modeSense5(2));
    EXPECT_EQ(modeRw.dataIn[3] & 0x80, 0);
}

TEST_F(StandardCommands, UnknownCommandsAndShortWritesAreIllegal) {
    auto unknown = drive->execute(inRequest({0x1B, 0, 0, 0, 1, 0}, 0));  // START STOP UNIT
    EXPECT_EQ(unknown.senseKey(), proto::SENSE_KEY_ILLEGAL_REQUEST);
    EXPECT_EQ(unknown.asc(), 0x20);

    auto shortWrite = write10(1, 0, pattern(2, 1));
    shortWrite.dataOut.resize(512);
    auto reply = drive->execute(shortWrite);
    EXPECT_EQ(reply.senseKey(), proto::SENSE_KEY_ILLEGAL_REQUEST);
    EXPECT_EQ(drive->execute(read10(1, 0, 1)).dataIn, std::vector<std::uint8_t>(512, 0));
}

}  // namespace
}  // namespace qzemu::test
