// Run-time faults: what the host sees for each kind.
#include "emu/EmuTestSupport.h"

namespace qzemu::test {
namespace {

class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        DriveConfig config = smallConfig();
        config.reattachDelay = 1h;  // tests that need a return set it
        drive = VirtualDrive::create(dir.path(), config);
        consumeAttention(*drive);
    }

    ScratchDir dir;
    std::unique_ptr<VirtualDrive> drive;
};

TEST_F(Faults, FailNextCommandsLeavesTheGivenCodeAndSparesTheErrorQueries) {
    drive->failNextCommands(2, 0x00230004);
    const auto data = pattern(1, 5);
    auto first = drive->execute(write10(1, 0, data));
    EXPECT_EQ(first.scsiStatus, proto::SCSI_STATUS_CHECK_CONDITION);
    // Asking why neither fails nor uses up the fault.
    EXPECT_EQ(drive->execute(requestSense(1)).dataIn[proto::SENSE_KEY_OFFSET],
              proto::SENSE_KEY_HARDWARE_ERROR);
    EXPECT_EQ(readErrorRegister(*drive), 0x00230004u);
    EXPECT_EQ(drive->execute(inquiry()).scsiStatus, proto::SCSI_STATUS_CHECK_CONDITION);
    // The failed write did not reach the flash; the third command works.
    auto back = drive->execute(read10(1, 0, 1));
    ASSERT_TRUE(back.good());
    EXPECT_EQ(back.dataIn, std::vector<std::uint8_t>(512, 0));
}

TEST_F(Faults, FailNextWithoutCodeKeepsTheRegister) {
    drive->failNextCommands(1);
    EXPECT_FALSE(drive->execute(testUnitReady()).good());
    EXPECT_EQ(readErrorRegister(*drive), 0u);
    EXPECT_TRUE(drive->execute(testUnitReady()).good());
}

TEST_F(Faults, DropOffTheBusDuringTheNextCommand) {
    drive->dropOffBusOnNextCommand();
    const auto data = pattern(1, 8);
    EXPECT_EQ(drive->execute(write10(1, 0, data)).result, ScsiReply::NoDevice);
    EXPECT_EQ(drive->busState(), BusState::Detached);
    EXPECT_FALSE(drive->inspect().plugged);  // stays away until plugged in
    EXPECT_EQ(drive->execute(inquiry()).result, ScsiReply::NoDevice);

    drive->attach();
    EXPECT_EQ(drive->execute(read10(1, 0, 1)).dataIn, std::vector<std::uint8_t>(512, 0));
}

TEST_F(Faults, NeverReattachKeepsTheDriveAwayAfterADetach) {
    drive->setNeverReattach(true);
    drive->setDelays(0ms, 0ms);
    ASSERT_TRUE(drive->execute(detachAttach(0, 0, 1)).good());
    EXPECT_EQ(drive->busState(), BusState::Detached);
    EXPECT_FALSE(drive->inspect().plugged);  // no return is scheduled
    // Plugging it in by hand still works.
    drive->attach();
    EXPECT_EQ(drive->busState(), BusState::Attached);
}

TEST_F(Faults, ReattachDelayFaultOverridesTheDrivesDelay) {
    ASSERT_TRUE(drive->execute(detachAttach(0, 0, 1)).good());
    ASSERT_EQ(drive->busState(), BusState::Detached);
    drive->setReattachDelayFault(1ms);
    EXPECT_TRUE(drive->waitForBusState(BusState::Attached, 10s));
}

TEST_F(Faults, TornWriteKeepsOnlyPartOfTheSectors) {
    const auto before = pattern(8, 0x10);
    const auto after = pattern(8, 0x90);
    ASSERT_TRUE(drive->execute(write10(1, 0, before)).good());

    drive->tearWrite(2, 3);
    ASSERT_TRUE(drive->execute(write10(1, 100, after)).good());  // the first is whole
    auto torn = drive->execute(write10(1, 0, after));
    EXPECT_EQ(torn.scsiStatus, proto::SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(torn.senseKey(), proto::SENSE_KEY_MEDIUM_ERROR);

    auto back = drive->execute(read10(1, 0, 8));
    ASSERT_TRUE(back.good());
    const std::size_t cut = 3 * 512;
    EXPECT_TRUE(std::equal(back.dataIn.begin(), back.dataIn.begin() + cut, after.begin()));
    EXPECT_TRUE(std::equal(back.dataIn.begin() + cut, back.dataIn.end(), before.begin() + cut));
    // The fault is used up.
    EXPECT_TRUE(drive->execute(write10(1, 0, after)).good());
}

TEST_F(Faults, TornWriteWithPowerCut) {
    const auto data = pattern(4, 0x33);
    drive->tearWrite(1, 1, true);
    EXPECT_EQ(drive->execute(write10(1, 0, data)).result, ScsiReply::NoDevice);
    EXPECT_EQ(drive->busState(), BusState::Detached);
    drive->attach();
    auto back = drive->execute(read10(1, 0, 4));
    EXPECT_TRUE(std::equal(back.dataIn.begin(), back.dataIn.begin() + 512, data.begin()));
    EXPECT_EQ(std::count(back.dataIn.begin() + 512, back.dataIn.end(), 0), 3 * 512);
}

TEST_F(Faults, ClearFaultsEndsEveryFault) {
    drive->failNextCommands(5, 1);
    drive->dropOffBusOnNextCommand();
    drive->tearWrite(1, 0);
    drive->setCommandDelay(1ms);
    drive->clearFaults();
    EXPECT_TRUE(drive->execute(write10(1, 0, pattern(1, 1))).good());
    EXPECT_EQ(drive->inspect().faults.commandDelay, 0ms);
}

}  // namespace
}  // namespace qzemu::test
