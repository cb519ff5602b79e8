// The drive's closest-valid-size rule and the layout limits, at the model.
#include "EmuTestSupport.h"

namespace qzemu::test {
namespace {

ScsiRequest calcSize(std::uint8_t type, std::uint32_t sectors, bool fillsRest) {
    ScsiRequest r = qzCommand(proto::qzop::CFG_CALC_CLOSEST_VALID_DOMAIN_SIZE, ScsiRequest::In, 4);
    r.cdb[3] = type;
    proto::putLE32(&r.cdb[4], sectors);
    r.cdb[8] = fillsRest ? 1 : 0;
    return r;
}

ScsiRequest addDomain(std::uint8_t type, std::uint32_t sectors) {
    std::vector<std::uint8_t> entry(8, 0);
    entry[0] = type;
    entry[1] = 255;
    proto::putLE32(&entry[4], sectors);
    return qzCommand(proto::qzop::CFG_DOMAIN_ADD, ScsiRequest::Out, 0, std::move(entry));
}

class ConfigCommands : public ::testing::Test {
  protected:
    // 20000 sectors; one public domain of 6000 leaves 14000 free.
    std::unique_ptr<VirtualDrive> make(std::chrono::milliseconds reattachDelay = 0ms) {
        DriveConfig config = smallConfig();
        config.layout = "public:6000";
        config.reattachDelay = reattachDelay;
        auto drive = VirtualDrive::create(dir.path() / "drive", config);
        consumeAttention(*drive);
        return drive;
    }
    ScratchDir dir;
};

TEST_F(ConfigCommands, ClosestValidSizeFollowsTheUnitsAndTheFreeSpace) {
    auto drive = make();
    struct Case {
        std::uint8_t type;
        std::uint32_t requested;
        bool fillsRest;
        std::uint32_t expected;
    } cases[] = {
        {2, 1, true, 2048},  // disk domains: whole 2048-sector units, rounded up
        {2, 2049, true, 4096},
        {2, 0, false, 12288},     // the rest: free space rounded down (14000 -> 12288)
        {2, 99999, true, 12288},  // never beyond what is free
        {3, 1, true, 64},         // CD domains: 64-sector units
        {3, 100, true, 128},
        {3, 0, false, 13952},  // 14000 rounded down to 64
        {1, 10, true, 2048},
    };
    for (const auto& c : cases) {
        auto reply = drive->execute(calcSize(c.type, c.requested, c.fillsRest));
        ASSERT_EQ(reply.scsiStatus, proto::SCSI_STATUS_GOOD);
        EXPECT_EQ(proto::getLE32(reply.dataIn.data()), c.expected)
            << int(c.type) << " " << c.requested << " " << c.fillsRest;
    }
    EXPECT_EQ(drive->execute(calcSize(7, 64, true)).scsiStatus, proto::SCSI_STATUS_CHECK_CONDITION);
}

TEST_F(ConfigCommands, AddStopsAtTheMostDomainsADriveHolds) {
    auto drive = make();
    for (int i = 1; i < 4; ++i) {
        ASSERT_EQ(drive->execute(addDomain(2, 64)).scsiStatus, proto::SCSI_STATUS_GOOD) << i;
        drive->attach();
        consumeAttention(*drive);
    }
    EXPECT_EQ(drive->inspect().domains.size(), 4u);
    EXPECT_EQ(drive->execute(addDomain(2, 64)).scsiStatus, proto::SCSI_STATUS_CHECK_CONDITION);
    auto error = drive->execute(getErrorCode());
    EXPECT_EQ(proto::getLE32(error.dataIn.data()), 0x00230008u);  // INVALID_DOMAIN_INDEX
}

// The host follows a change with AUX__Detach_Attach and waits for the cycle
// it starts: the command must find the drive still on the bus.
TEST_F(ConfigCommands, AChangeStaysOnTheBusForTheHostsDetachAttach) {
    auto drive = make(500ms);
    ASSERT_EQ(drive->execute(addDomain(3, 64)).scsiStatus, proto::SCSI_STATUS_GOOD);
    EXPECT_FALSE(drive->waitForBusState(BusState::Detached, 300ms));
    ASSERT_EQ(drive->execute(detachAttach(80, 40000, 1)).scsiStatus, proto::SCSI_STATUS_GOOD);
    // Well before the drive would have left on its own.
    EXPECT_TRUE(drive->waitForBusState(BusState::Detached, 1000ms));
    ASSERT_TRUE(drive->waitForBusState(BusState::Attached, 5s));
    EXPECT_EQ(drive->inspect().domains.size(), 2u);

    // A change nobody follows still takes the drive off the bus.
    consumeAttention(*drive);
    ASSERT_EQ(drive->execute(addDomain(3, 64)).scsiStatus, proto::SCSI_STATUS_GOOD);
    EXPECT_TRUE(drive->waitForBusState(BusState::Detached, 5s));
}

}  // namespace
}  // namespace qzemu::test
