// The utilities service where the platform decides: the pulse that older
// systems do without, and the handle that is locked only where volumes can
// be locked. A recording drive tells what reached it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DeviceHandle.h"
#include "PlatformFactory.h"
#include "UFDImpl.h"
#include "VendorTraits.h"
#include "port/DeviceIo.h"
#include "qz/DriveProtocol.h"
#include "qz/UtilsImpl.h"

namespace nork::qz {
namespace {

// Answers every command with success and records opens, private commands
// (with their first parameter byte) and volume control requests. Paths
// "utl:..." are its.
class RecordingDrive : public port::IDeviceBackend {
  public:
    const char* name() const override { return "recording"; }
    bool claims(std::string_view path) const override { return path.substr(0, 4) == "utl:"; }
    port::PortError open(const std::string&, std::intptr_t& local) override {
        ++opens;
        local = 1;
        return port::PortError::ok();
    }
    void close(std::intptr_t) override {}
    port::PortError vendorDriverRequest(std::intptr_t, port::VendorDriverRequest&) override {
        return port::PortError{port::PortErrc::NotSupported, 0};
    }
    port::PortError control(std::intptr_t, port::DeviceControlRequest&) override {
        ++controls;
        return port::PortError::ok();
    }
    port::PortError passThrough(std::intptr_t, port::ScsiPassThroughRequest& r) override {
        if (r.Cdb[0] == proto::PRIVATE_OPCODE) {
            ops.push_back(proto::getLE16(r.Cdb + 1));
            firstParams.push_back(r.Cdb[proto::PRIVATE_PARAMS_OFFSET]);
        }
        r.ScsiStatus = proto::SCSI_STATUS_GOOD;
        return port::PortError::ok();
    }

    void reset() {
        opens = 0;
        controls = 0;
        ops.clear();
        firstParams.clear();
    }

    int opens = 0;
    int controls = 0;
    std::vector<std::uint16_t> ops;
    std::vector<std::uint8_t> firstParams;
};

// A utilities service on the platform type and privilege O the test sets.
class TestUtils : public CUtilsImpl {
  public:
    TestUtils(int type, bool rawAccess) : CUtilsImpl(1), m_type(type), m_raw(rawAccess) {}

  protected:
    bool privilege(int which) const override {
        return which == CPlatformFactory::PRIV_O ? m_raw : CUtilsImpl::privilege(which);
    }
    int platformType() const override { return m_type; }

  private:
    int m_type;
    bool m_raw;
};

class UtilsService : public ::testing::Test {
  protected:
    void SetUp() override {
        port::deviceIo().registerBackend(drive);
        device.setTraits(&traits);
        device.setSerialNumber(u"UTLTEST0001");
        device.setPath(CDeviceParams::PATH_DISK, u"utl:drive");
        // Letters E and F are the drive's.
        device.setDriveMask((1u << 4) | (1u << 5));
    }
    void TearDown() override { port::deviceIo().unregisterBackend(drive.get()); }

    std::shared_ptr<RecordingDrive> drive = std::make_shared<RecordingDrive>();
    CVendorDeviceTraitsQz traits;
    CUFDImpl device;
};

// The pulse by address: nothing on the Windows 98 SE platform (type 3),
// elsewhere the command with the domain index on a handle of its own.
TEST_F(UtilsService, PulseByAddressSkipsTheDriveOnlyOnPlatformType3) {
    struct Case {
        int type;
        bool touched;
    } cases[] = {{3, false}, {4, true}, {10, true}, {12, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "platform type " << c.type);
        drive->reset();
        TestUtils utils(c.type, false);
        utils.attach(&device);
        CDomainAddress address(1, u"F:\\");
        EXPECT_EQ(utils.pulse(address), STATUS_OK);
        EXPECT_EQ(drive->opens > 0, c.touched);
        if (c.touched) {
            ASSERT_EQ(drive->ops,
                      std::vector<std::uint16_t>{proto::qzop::AUX_READY_NOT_READY_PULSE});
            EXPECT_EQ(drive->firstParams[0], 1);
        } else {
            EXPECT_TRUE(drive->ops.empty());
        }
    }
}

// With the lock flag the volumes are locked only with privilege O on a
// platform above type 4; otherwise a plain device handle comes back open
// and no lock request reaches any volume. The drive has one volume here (no
// unit shows its letter, so with privilege O the device's own path serves).
TEST_F(UtilsService, LockFlagWithoutLockablePlatformGivesAPlainHandle) {
    device.setDriveMask(1u << 4);
    struct Case {
        int type;
        bool raw;
    } cases[] = {{4, true}, {10, false}, {12, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "platform type " << c.type << ", O " << c.raw);
        drive->reset();
        TestUtils utils(c.type, c.raw);
        utils.attach(&device);
        CDomainAddress address(0, u"E:\\");
        std::unique_ptr<CDeviceHandle> handle;
        ASSERT_EQ(utils.getLockedHandle(address, handle, true, false), STATUS_OK);
        ASSERT_TRUE(handle);
        EXPECT_TRUE(handle->isOpen());
        EXPECT_EQ(handle->volumeLetter(), 0);
        EXPECT_EQ(drive->controls, 0);
    }
}

// A drive with several volumes whose letter no unit shows now: the device's
// own path may be another LUN's, so no handle comes back rather than one a
// format would write through onto the wrong domain.
TEST_F(UtilsService, AnUnseenLetterOfASeveralVolumeDriveOpensNothing) {
    TestUtils utils(4, true);
    utils.attach(&device);
    CDomainAddress address(1, u"F:\\");
    std::unique_ptr<CDeviceHandle> handle;
    EXPECT_EQ(utils.getLockedHandle(address, handle, true, false), STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(drive->opens, 0);
}

}  // namespace
}  // namespace nork::qz
