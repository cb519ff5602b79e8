// The drive's service descriptors, read the way the host reads them.
#include "EmuTestSupport.h"
#include "model/ServiceList.h"

namespace qzemu::test {
namespace {

ScsiRequest query(std::uint16_t id, std::uint32_t n, bool longForm) {
    ScsiRequest r = qzCommand(proto::qzop::SD_QUERY_SERVICE, ScsiRequest::In, n);
    proto::putLE16(&r.cdb[3], id);
    proto::putLE32(&r.cdb[5], n);
    r.cdb[9] = longForm ? 1 : 0;
    return r;
}

class ServiceCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        drive = VirtualDrive::create(dir.path() / "drive", smallConfig());
        consumeAttention(*drive);
    }
    std::vector<std::uint8_t> ask(std::uint16_t id, std::uint32_t n, bool longForm) {
        auto reply = drive->execute(query(id, n, longForm));
        EXPECT_EQ(reply.scsiStatus, proto::SCSI_STATUS_GOOD) << id;
        return reply.dataIn;
    }
    ScratchDir dir;
    std::unique_ptr<VirtualDrive> drive;
};

TEST_F(ServiceCommands, DiscoveryListsEveryServiceAfterItsOwnRecord) {
    auto head = ask(3, 10, true);
    ASSERT_EQ(head.size(), 10u);
    const std::uint32_t total = proto::getLE32(&head[6]);
    ASSERT_GT(total, 39u);
    auto all = ask(3, total, true);

    std::vector<std::pair<int, int>> seen;
    for (std::size_t at = 0; at < total;) {
        const std::uint16_t id = proto::getLE16(&all[at]);
        if (id == 0)
            break;
        seen.emplace_back(id, proto::getLE16(&all[at + 2]));
        at += proto::getLE16(&all[at + 4]);
    }
    const std::vector<std::pair<int, int>> expected = {{3, 1},  {4, 1},  {6, 1},  {8, 2}, {10, 1},
                                                       {12, 1}, {14, 1}, {19, 2}, {20, 1}};
    EXPECT_EQ(seen, expected);

    // The device information record: capacity in sectors at 35, the serial
    // number at the start of the identifier bytes.
    auto info = ask(3, 39, false);
    EXPECT_EQ(proto::getLE16(&info[4]), 39);
    EXPECT_EQ(proto::getLE32(&info[35]), 20000u);
    EXPECT_EQ(std::string(info.begin() + 15, info.begin() + 31), "QE00112233445566");
}

TEST_F(ServiceCommands, RootSpecificFieldsOfConfigurationAndHiddenArea) {
    auto config = ask(4, 11, false);
    EXPECT_EQ(proto::getLE16(&config[4]), 11);  // 6-byte header, 5 bytes of fields
    EXPECT_EQ(config[6], 5);                    // four domains at most, plus one
    EXPECT_EQ(std::vector<std::uint8_t>(config.begin() + 7, config.end()),
              (std::vector<std::uint8_t>{3, 1, 2, 3}));

    auto ha = ask(8, 9, false);
    EXPECT_EQ(proto::getLE16(&ha[2]), 2);    // version
    EXPECT_EQ(proto::getLE16(&ha[6]), 251);  // pages plus one

    // A service the drive does not have: ILLEGAL_SERVICE_TYPE.
    EXPECT_EQ(drive->execute(query(7, 10, false)).scsiStatus, proto::SCSI_STATUS_CHECK_CONDITION);
    auto error = drive->execute(getErrorCode());
    EXPECT_EQ(proto::getLE32(error.dataIn.data()), 0x00000001u);
}

}  // namespace
}  // namespace qzemu::test

namespace qzemu::test {
namespace {

TEST(ServiceListText, ParsesChecksAndRoundTrips) {
    EXPECT_EQ(serviceListText(parseServiceList("")), "3:1,4:1,6:1,8:2,10:1,12:1,14:1,19:2,20:1");
    EXPECT_EQ(serviceListText(parseServiceList("3:1,0x8:3")), "3:1,8:3");
    for (const char* bad : {"3", "3:1,3:2", "0:1", "3:x", "3:70000", "3:1,,4:1"}) {
        EXPECT_THROW(parseServiceList(bad), std::invalid_argument) << bad;
    }
}

TEST(ServiceListText, ADriveKeepsItsOwnListAcrossReopening) {
    ScratchDir dir;
    DriveConfig config = smallConfig();
    config.services = "3:1,4:1,8:3";
    {
        auto drive = VirtualDrive::create(dir.path() / "d", config);
        EXPECT_EQ(drive->inspect().services, "3:1,4:1,8:3");
    }
    auto drive = VirtualDrive::open(dir.path() / "d");
    consumeAttention(*drive);
    EXPECT_EQ(drive->inspect().services, "3:1,4:1,8:3");
    // A service left out is refused; the listed versions are the drive's.
    auto reply = drive->execute(query(6, 10, false));
    EXPECT_EQ(reply.scsiStatus, proto::SCSI_STATUS_CHECK_CONDITION);
    reply = drive->execute(query(8, 9, false));
    ASSERT_EQ(reply.scsiStatus, proto::SCSI_STATUS_GOOD);
    EXPECT_EQ(proto::getLE16(&reply.dataIn[2]), 3);
}

}  // namespace
}  // namespace qzemu::test
