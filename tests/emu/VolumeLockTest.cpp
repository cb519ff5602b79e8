// The volume lock of a LUN in the drive model: one owner at a time, a
// dismount and an unlock only by the owner (or with no lock held), locks of
// an owner released at once, and a LUN the drive does not show.
#include <gtest/gtest.h>

#include <filesystem>

#include "EmuTestSupport.h"
#include "model/VirtualDrive.h"

namespace qzemu::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uint64_t OWNER = 1;
constexpr std::uint64_t OTHER = 2;

TEST(VolumeLock, OnlyTheOwnerDismountsAndUnlocks) {
    ScratchDir dir;
    auto drive = VirtualDrive::create(dir.path(), smallConfig());
    ASSERT_TRUE(drive->waitForBusState(BusState::Attached, 10s));
    const fs::path volume = drive->volumePath(1);
    ASSERT_TRUE(fs::is_directory(volume));

    EXPECT_EQ(drive->lockVolume(1, OWNER), VolumeResult::Done);
    EXPECT_EQ(drive->lockVolume(1, OWNER), VolumeResult::Locked);
    EXPECT_EQ(drive->lockVolume(1, OTHER), VolumeResult::Locked);
    EXPECT_EQ(drive->dismountVolume(1, OTHER), VolumeResult::Locked);
    EXPECT_EQ(drive->unlockVolume(1, OTHER), VolumeResult::Locked);
    EXPECT_TRUE(fs::is_directory(volume));

    EXPECT_EQ(drive->dismountVolume(1, OWNER), VolumeResult::Done);
    EXPECT_FALSE(fs::exists(volume));
    VolumeStatus status;
    ASSERT_EQ(drive->volumeStatus(1, status), VolumeResult::Done);
    EXPECT_EQ(status.lockOwner, OWNER);
    EXPECT_FALSE(status.mounted);

    EXPECT_EQ(drive->releaseVolumeLock(1, OTHER), VolumeResult::Locked);
    // The owner's connection goes while it holds the lock (its process
    // died): the lock ends and the volume it took down comes back.
    drive->releaseVolumeLocks(OWNER);
    ASSERT_EQ(drive->volumeStatus(1, status), VolumeResult::Done);
    EXPECT_EQ(status.lockOwner, 0u);
    EXPECT_TRUE(status.mounted);
    EXPECT_TRUE(fs::is_directory(volume));
    // A dismount without a lock leaves it down; anyone may bring an
    // unlocked volume back.
    EXPECT_EQ(drive->dismountVolume(1, OTHER), VolumeResult::Done);
    EXPECT_FALSE(fs::exists(volume));
    EXPECT_EQ(drive->unlockVolume(1, OTHER), VolumeResult::Done);
    EXPECT_TRUE(fs::is_directory(volume));
    // A release leaves the volume as it is.
    EXPECT_EQ(drive->lockVolume(1, OTHER), VolumeResult::Done);
    EXPECT_EQ(drive->dismountVolume(1, OTHER), VolumeResult::Done);
    EXPECT_EQ(drive->releaseVolumeLock(1, OTHER), VolumeResult::Done);
    ASSERT_EQ(drive->volumeStatus(1, status), VolumeResult::Done);
    EXPECT_EQ(status.lockOwner, 0u);
    EXPECT_FALSE(status.mounted);
    // LUN 0 was never touched.
    EXPECT_TRUE(fs::is_directory(drive->volumePath(0)));
}

TEST(VolumeLock, NoVolumeWithoutTheLunOrOffTheBus) {
    ScratchDir dir;
    auto drive = VirtualDrive::create(dir.path(), smallConfig());
    ASSERT_TRUE(drive->waitForBusState(BusState::Attached, 10s));
    EXPECT_EQ(drive->lockVolume(2, OWNER), VolumeResult::NoVolume);
    drive->detach();
    EXPECT_EQ(drive->lockVolume(1, OWNER), VolumeResult::NoVolume);
    EXPECT_EQ(drive->dismountVolume(1, OWNER), VolumeResult::NoVolume);
    VolumeStatus status;
    EXPECT_EQ(drive->volumeStatus(1, status), VolumeResult::NoVolume);
}

}  // namespace
}  // namespace qzemu::test
