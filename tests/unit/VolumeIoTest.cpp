// The volume backend on fakes: a letter resolves through the letter table
// and the inventory to its unit, the unit's own path opens as the inner
// handle (pass-through and other control codes go there), the three volume
// codes go to the driver's session, and closing ends both.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "RuntimeTestSupport.h"
#include "port/DeviceInventory.h"
#include "port/VolumeIo.h"

namespace nork::port {
namespace {

namespace fs = std::filesystem;
using nork::testing::freshTestDir;

class OneUnit : public IInventoryBackend {
  public:
    explicit OneUnit(StorageUnitFacts unit) : m_unit(std::move(unit)) {}
    std::string name() const override { return "one"; }
    void collect(std::vector<StorageUnitFacts>& units, std::vector<HidInterfaceInfo>&) override {
        units.push_back(m_unit);
    }

  private:
    StorageUnitFacts m_unit;
};

// Serves "fake:" paths and records what reaches it.
class FakeDevices : public IDeviceBackend {
  public:
    const char* name() const override { return "fake"; }
    bool claims(std::string_view path) const override { return path.substr(0, 5) == "fake:"; }
    PortError open(const std::string& path, std::intptr_t& local) override {
        opened.push_back(path);
        local = ++open_;
        return PortError::ok();
    }
    void close(std::intptr_t) override { --open_; }
    PortError passThrough(std::intptr_t, ScsiPassThroughRequest&) override {
        ++passThroughs;
        return PortError::ok();
    }
    PortError vendorDriverRequest(std::intptr_t, VendorDriverRequest&) override {
        return PortError{PortErrc::NotSupported, 0};
    }
    PortError control(std::intptr_t, DeviceControlRequest& request) override {
        controls.push_back(request.controlCode);
        return PortError::ok();
    }

    std::vector<std::string> opened;
    std::vector<std::uint32_t> controls;
    int passThroughs = 0;
    std::intptr_t open_ = 0;
};

struct Journal {
    std::vector<std::string> calls;
};

class FakeSession : public IVolumeSession {
  public:
    explicit FakeSession(Journal& j) : m_j(j) {}
    ~FakeSession() override { m_j.calls.push_back("end"); }
    PortError lock() override { return note("lock"); }
    PortError dismount() override { return note("dismount"); }
    PortError unlock() override { return note("unlock"); }

  private:
    PortError note(const char* what) {
        m_j.calls.push_back(what);
        return PortError::ok();
    }
    Journal& m_j;
};

class FakeDriver : public IVolumeDriver {
  public:
    const char* name() const override { return "fake"; }
    bool serves(const StorageUnitFacts& unit) const override {
        return unit.ioPath.substr(0, 5) == "fake:";
    }
    PortError openSession(const StorageUnitFacts&, std::unique_ptr<IVolumeSession>& out) override {
        out = std::make_unique<FakeSession>(journal);
        return PortError::ok();
    }
    PortError query(const StorageUnitFacts&, VolumeState&) override { return PortError::ok(); }
    PortError remount(const StorageUnitFacts&) override { return PortError::ok(); }
    Journal journal;
};

class VolumeBackend : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = freshTestDir();
        setDriveLetterDir((dir / "letters").string());
        clearInventoryBackends();
        StorageUnitFacts unit;
        unit.serial = "QZVOLIO01";
        unit.ioPath = "fake:unit";
        unit.mountDir = (dir / "mnt").string();
        fs::create_directories(unit.mountDir);
        registerInventoryBackend(std::make_shared<OneUnit>(unit));
        ASSERT_EQ(snapshot().units.at(0).letter, u'D');
        devices = std::make_shared<FakeDevices>();
        io.registerBackend(devices);
        io.registerBackend(makeVolumeDeviceBackend(io));
        driver = std::make_shared<FakeDriver>();
        registerVolumeDriver(driver);
    }
    void TearDown() override {
        unregisterVolumeDriver(driver.get());
        resetInventoryBackends();
        setDriveLetterDir("");
    }

    fs::path dir;
    DeviceIo io;
    std::shared_ptr<FakeDevices> devices;
    std::shared_ptr<FakeDriver> driver;
};

TEST_F(VolumeBackend, PathsItClaims) {
    struct Case {
        const char* path;
        char16_t letter;
    };
    for (const Case& c : {Case{"\\\\.\\E:", u'E'}, Case{"\\\\.\\e:", u'E'}, Case{"\\\\.\\Z:", u'Z'},
                          Case{"\\\\.\\E:\\", 0}, Case{"\\\\?\\E:", 0}, Case{"\\\\.\\1:", 0},
                          Case{"E:", 0}, Case{"", 0}}) {
        EXPECT_EQ(volumePathLetter(c.path), c.letter) << c.path;
    }
}

TEST_F(VolumeBackend, RequestsGoToTheSessionOrTheUnit) {
    const OsHandle h = io.open(std::string_view("\\\\.\\d:"));
    ASSERT_NE(h, INVALID_OS_HANDLE);
    EXPECT_EQ(devices->opened, std::vector<std::string>{"fake:unit"});

    for (std::uint32_t code : {FSCTL_LOCK_VOLUME, FSCTL_DISMOUNT_VOLUME, FSCTL_UNLOCK_VOLUME,
                               IOCTL_DISK_GET_DRIVE_GEOMETRY}) {
        DeviceControlRequest request;
        request.controlCode = code;
        EXPECT_FALSE(io.control(h, request)) << code;
    }
    EXPECT_EQ(driver->journal.calls, (std::vector<std::string>{"lock", "dismount", "unlock"}));
    EXPECT_EQ(devices->controls, std::vector<std::uint32_t>{IOCTL_DISK_GET_DRIVE_GEOMETRY});
    ScsiPassThroughRequest request;
    EXPECT_FALSE(io.send(h, request));
    EXPECT_EQ(devices->passThroughs, 1);

    EXPECT_FALSE(io.close(h));
    EXPECT_EQ(driver->journal.calls.back(), "end");
    EXPECT_EQ(devices->open_, 0);
    EXPECT_EQ(io.openHandleCount(), 0u);
}

TEST_F(VolumeBackend, LettersWithoutAServedUnitDoNotOpen) {
    PortError error;
    EXPECT_EQ(io.open(std::string_view("\\\\.\\Q:"), &error), INVALID_OS_HANDLE);
    EXPECT_EQ(error.code, PortErrc::NotFound);
    // The volume went away: its letter dangles.
    fs::remove(dir / "mnt");
    EXPECT_EQ(io.open(std::string_view("\\\\.\\D:"), &error), INVALID_OS_HANDLE);
    EXPECT_EQ(error.code, PortErrc::NotFound);
    fs::create_directories(dir / "mnt");
    unregisterVolumeDriver(driver.get());
    EXPECT_EQ(io.open(std::string_view("\\\\.\\D:"), &error), INVALID_OS_HANDLE);
    EXPECT_EQ(error.code, PortErrc::NotSupported);
    EXPECT_TRUE(devices->opened.empty());
}

}  // namespace
}  // namespace nork::port
