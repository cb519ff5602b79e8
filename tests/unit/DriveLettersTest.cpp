// Letters for volumes that arrived without one: the lowest free letter, a
// letter left by a volume that went away when no other is free, and
// nothing changed when every letter is taken.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "RuntimeTestSupport.h"
#include "port/DeviceInventory.h"
#include "utils/DriveLetters.h"

namespace nork {
namespace {

namespace fs = std::filesystem;
using nork::testing::freshTestDir;

class Units : public port::IInventoryBackend {
  public:
    std::string name() const override { return "test"; }
    void collect(std::vector<port::StorageUnitFacts>& out,
                 std::vector<port::HidInterfaceInfo>&) override {
        std::lock_guard<std::mutex> guard(mutex);
        out.insert(out.end(), units.begin(), units.end());
    }
    std::mutex mutex;
    std::vector<port::StorageUnitFacts> units;
};

// 24 mounted volumes, one more than the letters D..Z.
class DriveLetters : public ::testing::Test {
  protected:
    static constexpr int VOLUMES = 24;

    void SetUp() override {
        dir = freshTestDir();
        port::setDriveLetterDir((dir / "letters").string());
        port::clearInventoryBackends();
        units = std::make_shared<Units>();
        for (int i = 0; i < VOLUMES; ++i) {
            port::StorageUnitFacts f;
            f.serial = "QZLETTER" + std::to_string(100 + i);
            f.vendor = "Qz";
            f.product = "Drive";
            f.revision = "1.00";
            f.ioPath = "/dev/null";
            f.mountDir = (dir / "mnt" / std::to_string(i)).string();
            fs::create_directories(f.mountDir);
            units->units.push_back(f);
        }
        port::registerInventoryBackend(units);
        // Every letter goes; the last volume is left without one.
        const port::InventorySnapshot snap = port::snapshot();
        ASSERT_EQ(snap.units.size(), std::size_t{VOLUMES});
        ASSERT_EQ(snap.units[VOLUMES - 1].letter, 0);
        lastVolume = snap.units[VOLUMES - 1].volumePath;
    }
    void TearDown() override {
        port::resetInventoryBackends();
        port::setDriveLetterDir("");
    }

    // The volume behind a letter leaves: its directory goes.
    void leave(char16_t letter) {
        const std::string target = port::driveLetterTarget(letter);
        std::lock_guard<std::mutex> guard(units->mutex);
        for (auto it = units->units.begin(); it != units->units.end(); ++it) {
            if (it->mountDir == target) {
                fs::remove_all(target);
                units->units.erase(it);
                return;
            }
        }
        FAIL() << "no volume on " << static_cast<char>(letter);
    }

    std::set<std::string> table() const {
        std::set<std::string> links;
        for (const auto& e : fs::directory_iterator(dir / "letters")) {
            if (!e.is_symlink())
                continue;
            links.insert(e.path().filename().string() + "->" + fs::read_symlink(e.path()).string());
        }
        return links;
    }

    fs::path dir;
    std::shared_ptr<Units> units;
    std::u16string lastVolume;
};

TEST_F(DriveLetters, NoFreeLetterSetsTheFlagAndChangesNothing) {
    const std::set<std::string> before = table();
    std::u16string root;
    bool noFree = false;
    EXPECT_FALSE(assignDriveLetter(lastVolume, nullptr, ASSIGN_LETTER_ALWAYS, root, noFree));
    EXPECT_TRUE(noFree);
    EXPECT_TRUE(root.empty());
    EXPECT_EQ(table(), before);
}

TEST_F(DriveLetters, TheLowestFreeLetterGoesToTheVolume) {
    leave(u'M');
    leave(u'H');
    std::u16string root;
    std::u16string current;
    bool noFree = false;
    ASSERT_TRUE(assignDriveLetter(lastVolume, &current, ASSIGN_LETTER_ALWAYS, root, noFree));
    EXPECT_FALSE(noFree);
    EXPECT_EQ(root, u"H:\\");
    EXPECT_EQ(current, u"H:\\");
    EXPECT_EQ(port::driveLetterTarget(u'H'), (dir / "mnt" / std::to_string(VOLUMES - 1)).string());
    EXPECT_EQ(port::driveType(u"H:\\"), port::DRIVE_REMOVABLE);
}

TEST_F(DriveLetters, AnUnknownVolumeGetsNoLetter) {
    leave(u'K');
    std::u16string root;
    bool noFree = false;
    EXPECT_FALSE(assignDriveLetter(u"\\\\?\\STORAGE#Volume#none", nullptr, ASSIGN_LETTER_ALWAYS,
                                   root, noFree));
    EXPECT_FALSE(noFree);
}

}  // namespace
}  // namespace nork
