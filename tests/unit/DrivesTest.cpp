// The public drive listing and root mapping: drives grouped from their LUNs
// and HID interfaces, roots beside directories, and listing leaves the
// drive-letter table as it found it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Drives.h"
#include "RuntimeTestSupport.h"
#include "port/DeviceInventory.h"

namespace nork {
namespace {

namespace fs = std::filesystem;

class ListedBackend : public port::IInventoryBackend {
  public:
    std::string name() const override { return "listed"; }
    void collect(std::vector<port::StorageUnitFacts>& outUnits,
                 std::vector<port::HidInterfaceInfo>& outHids) override {
        outUnits = units;
        outHids = hids;
    }
    std::vector<port::StorageUnitFacts> units;
    std::vector<port::HidInterfaceInfo> hids;
};

port::StorageUnitFacts unit(const std::string& serial, std::uint8_t lun, bool cdrom,
                            const std::string& mountDir) {
    port::StorageUnitFacts f;
    f.serial = serial;
    f.vendor = "Qz";
    f.product = "Drive";
    f.revision = "1.00";
    f.vendorId = 0x3C2A;
    f.productId = 0x0106;
    f.lun = lun;
    f.cdrom = cdrom;
    f.ioPath = "qzemu:" + serial + "/" + std::to_string(lun);
    f.mountDir = mountDir;
    return f;
}

class DrivesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = testing::freshTestDir();
        letters = dir / "letters";
        port::setDriveLetterDir(letters.string());
        port::clearInventoryBackends();
        backend = std::make_shared<ListedBackend>();
        port::registerInventoryBackend(backend);
    }
    void TearDown() override {
        port::resetInventoryBackends();
        port::setDriveLetterDir("");
    }
    std::string volume(const std::string& name) {
        const fs::path p = dir / "mnt" / name;
        fs::create_directories(p);
        return p.string();
    }
    std::vector<std::string> letterNames() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(letters, ec))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir;
    fs::path letters;
    std::shared_ptr<ListedBackend> backend;
};

TEST_F(DrivesTest, ListingGroupsUnitsAndAssignsNoLetter) {
    const std::string cd = volume("cd");
    const std::string data = volume("data");
    backend->units = {unit("A1", 0, true, cd), unit("A1", 1, false, data),
                      unit("B2", 0, false, "")};
    backend->hids = {{"qzemu-hid:A1", 0x3C2A, 0x0106, "A1", "", "", ""},
                     {"/dev/hidraw9", 0x1111, 0x2222, "H3", "", "", ""}};

    std::vector<SystemDrive> drives;
    ASSERT_EQ(listDrives(drives), STATUS_OK);
    EXPECT_TRUE(letterNames().empty()) << "listing wrote the letter table";
    ASSERT_EQ(drives.size(), 3u);
    EXPECT_EQ(drives[0].serial, "A1");
    EXPECT_TRUE(drives[0].hid);
    ASSERT_EQ(drives[0].units.size(), 2u);
    EXPECT_TRUE(drives[0].units[0].cdrom);
    EXPECT_EQ(drives[0].units[0].directory, cd);
    EXPECT_EQ(drives[0].units[0].root, u"");  // no letter yet
    EXPECT_EQ(drives[0].units[1].devicePath, "qzemu:A1/1");
    EXPECT_EQ(drives[1].serial, "B2");
    EXPECT_FALSE(drives[1].hid);
    EXPECT_EQ(drives[1].units[0].directory, "");
    EXPECT_EQ(drives[2].serial, "H3");
    EXPECT_TRUE(drives[2].units.empty());
    EXPECT_EQ(drives[2].vendorId, 0x1111);

    // Letters given by device work show up; listing still adds none.
    ASSERT_EQ(port::assignDriveLetter(data), u'D');
    const std::vector<std::string> before = letterNames();
    ASSERT_EQ(listDrives(drives), STATUS_OK);
    EXPECT_EQ(letterNames(), before);
    EXPECT_EQ(drives[0].units[0].root, u"");
    EXPECT_EQ(drives[0].units[1].root, u"D:\\");
}

TEST_F(DrivesTest, RootsMapToPresentDirectories) {
    const std::string data = volume("data");
    ASSERT_EQ(port::assignDriveLetter(data), u'D');
    struct Case {
        std::u16string root;
        STATUS status;
        std::string directory;
    };
    const Case cases[] = {
        {u"D:\\", STATUS_OK, data},
        {u"d:", STATUS_OK, data},
        {u"D", STATUS_OK, data},
        {u"D:/", STATUS_OK, data},
        {u"E:\\", STATUS_DATA_NOT_FOUND, ""},
        {u"", STATUS_WRONG_PARAMETERS, ""},
        {u"D:\\x", STATUS_WRONG_PARAMETERS, ""},
        {u"1:\\", STATUS_WRONG_PARAMETERS, ""},
        {u"DD", STATUS_WRONG_PARAMETERS, ""},
    };
    for (const Case& c : cases) {
        std::string directory = "stale";
        EXPECT_EQ(rootDirectory(c.root, directory), c.status);
        EXPECT_EQ(directory, c.directory);
    }
    // A volume that went away keeps its letter but has no directory now.
    fs::remove(data);
    std::string directory;
    EXPECT_EQ(rootDirectory(u"D:\\", directory), STATUS_DATA_NOT_FOUND);
}

}  // namespace
}  // namespace nork
