#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "FakeScsiDevice.h"
#include "LogCapture.h"
#include "SCSICommand.h"
#include "SCSIExec.h"
#include "port/OsIdentity.h"

namespace nork {
namespace {

using test::bytes;
using test::RecordingPassThrough;

class PassThroughExecTest : public ::testing::Test {
  protected:
    RecordingPassThrough device;
    CSCSIExecWin2k exec{device};
};

TEST_F(PassThroughExecTest, DataCommandsGoDirectWithTheCallersBuffer) {
    CSCSIReadCapacityCommand cmd;
    device.dataIn = bytes({0, 3, 0xFF, 0xFF, 0, 0, 2, 0});
    ASSERT_TRUE(exec(7, cmd));

    const auto& r = device.last();
    EXPECT_EQ(device.handles.back(), 7);
    EXPECT_EQ(r.controlCode, 0x4D014u);
    EXPECT_EQ(r.inputLength, 80u);
    EXPECT_EQ(r.outputLength, 80u);
    EXPECT_EQ(r.Length, 44);
    EXPECT_EQ(r.PathId, 0);
    EXPECT_EQ(r.TargetId, 1);
    EXPECT_EQ(r.Lun, 0);
    EXPECT_EQ(r.CdbLength, 10);
    EXPECT_EQ(r.SenseInfoLength, 32);
    EXPECT_EQ(r.DataIn, SCSI_DIR_IN);
    EXPECT_EQ(r.DataTransferLength, 8u);
    EXPECT_EQ(r.DataBuffer, cmd.data());
    EXPECT_EQ(r.SenseInfoOffset, 48u);
    EXPECT_EQ(r.TimeOutValue, 10u);
    EXPECT_EQ(device.lastCdb(), bytes({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(cmd.lastLba(), 0x0003FFFFu);
}

TEST_F(PassThroughExecTest, CommandsWithoutDataGoBuffered) {
    CSCSITestUnitReady cmd;
    ASSERT_TRUE(exec(3, cmd));
    const auto& r = device.last();
    EXPECT_EQ(r.controlCode, 0x4D004u);
    EXPECT_EQ(r.inputLength, 44u);
    EXPECT_EQ(r.outputLength, 80u);
    EXPECT_EQ(r.DataTransferLength, 0u);
    EXPECT_EQ(r.DataBufferOffset, 80u);
    EXPECT_EQ(r.DataBuffer, nullptr);
    EXPECT_EQ(r.SenseInfoOffset, 48u);
    EXPECT_EQ(r.TargetId, 1);
    EXPECT_EQ(r.CdbLength, 6);
}

TEST_F(PassThroughExecTest, SenseReturnsOnlyFromAFailedBufferedRequest) {
    for (std::size_t i = 0; i < sizeof device.sense; ++i) {
        device.sense[i] = static_cast<std::uint8_t>(0x70 + i);
    }
    device.scsiStatus = 0x02;  // CHECK CONDITION

    CSCSITestUnitReady tur;
    EXPECT_FALSE(exec(1, tur));
    EXPECT_EQ(std::memcmp(tur.sense(), device.sense, 32), 0);
    EXPECT_EQ(tur.sense()[2], 0x72);

    CSCSIReadCapacityCommand cap;
    EXPECT_FALSE(exec(1, cap));
    const std::uint8_t zeros[32] = {};
    EXPECT_EQ(std::memcmp(cap.sense(), zeros, 32), 0);

    // A good status leaves the sense alone even on the buffered path.
    device.scsiStatus = 0;
    CSCSITestUnitReady ok;
    EXPECT_TRUE(exec(1, ok));
    EXPECT_EQ(std::memcmp(ok.sense(), zeros, 32), 0);
}

TEST_F(PassThroughExecTest, FailedControlCallFailsTheCommand) {
    device.result = port::PortError{port::PortErrc::Disconnected, 19};
    CSCSIInquiryCommand cmd;
    EXPECT_FALSE(exec(1, cmd));
}

// The log tells a system error, a transport failure and the device's own
// answer apart, each with what identifies it.
// A device behind a transport that reports its own codes.
class TransportDevice : public RecordingPassThrough {
  public:
    port::PortError send(port::OsHandle handle, port::ScsiPassThroughRequest& request) override {
        const port::PortError e = RecordingPassThrough::send(handle, request);
        request.hostStatus = hostStatus;
        request.driverStatus = driverStatus;
        return e;
    }
    std::uint16_t hostStatus = 0;
    std::uint16_t driverStatus = 0;
};

TEST(PassThroughExecLog, FailureKindsLogDistinctLines) {
    static auto capture = testing::LogCapture::onProcessLog("PassThroughExecLog");
    TransportDevice device;
    CSCSIExecWin2k exec{device};
    struct Case {
        const char* name;
        port::PortError result;
        std::uint16_t hostStatus;
        std::uint16_t driverStatus;
        std::uint8_t scsiStatus;
        const char* expected;
    };
    const Case cases[] = {
        {"interrupted call",
         {port::PortErrc::IoError, 4},
         0,
         0,
         0,
         "system error 4 (i/o error), command 0x12 not completed"},
        {"host timeout",
         {port::PortErrc::Timeout, 0},
         0x03,
         0,
         0,
         "transport failure (timeout), host status 0x03, driver status 0x00, command 0x12"},
        {"driver error",
         {port::PortErrc::IoError, 0},
         0,
         0x0C,
         0x02,
         "transport failure (i/o error), host status 0x00, driver status 0x0C, command 0x12"},
        {"check condition",
         {},
         0,
         0x08,
         0x02,
         "SCSI status 0x02, sense key 0x5, ASC 0x24, ASCQ 0x01, command 0x12"},
    };
    const std::uint8_t sense[] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x01};
    std::memcpy(device.sense, sense, sizeof sense);
    for (const auto& c : cases) {
        capture->take();
        device.result = c.result;
        device.hostStatus = c.hostStatus;
        device.driverStatus = c.driverStatus;
        device.scsiStatus = c.scsiStatus;
        CSCSIInquiryCommand cmd;
        EXPECT_FALSE(exec(1, cmd)) << c.name;
        const auto lines = capture->takeNarrow();
        ASSERT_EQ(lines.size(), 1u) << c.name;
        EXPECT_NE(lines[0].find(c.expected), std::string::npos) << c.name << ": " << lines[0];
    }

    device.result = {};
    device.hostStatus = device.driverStatus = device.scsiStatus = 0;
    CSCSIInquiryCommand good;
    EXPECT_TRUE(exec(1, good));
    EXPECT_TRUE(capture->takeNarrow().empty());
}

TEST_F(PassThroughExecTest, TimeoutRoundsDownToSeconds) {
    struct Case {
        std::uint32_t ms;
        std::uint32_t seconds;
    };
    for (const Case c : {Case{0, 10}, Case{50000, 50}, Case{999, 0}, Case{1000, 1}, Case{40000, 40},
                         Case{1999, 1}}) {
        CSCSIInquiryCommand cmd;
        cmd.setTimeout(c.ms);
        exec(1, cmd);
        EXPECT_EQ(device.last().TimeOutValue, c.seconds) << c.ms;
    }
}

TEST_F(PassThroughExecTest, CdbIsCutAtSixteenBytes) {
    std::uint8_t cdb[20];
    for (int i = 0; i < 20; ++i)
        cdb[i] = static_cast<std::uint8_t>(i + 1);
    exec.execCdb(1, cdb, 20, nullptr, 0, nullptr, SCSI_DIR_NONE, 255, 0);
    EXPECT_EQ(device.last().CdbLength, 16);
    EXPECT_EQ(device.lastCdb(), std::vector<std::uint8_t>(cdb, cdb + 16));

    exec.execCdb(1, cdb, 12, nullptr, 0, nullptr, SCSI_DIR_NONE, 255, 0);
    EXPECT_EQ(device.last().CdbLength, 12);
}

// A command whose answer turns out unusable.
class RejectingCommand : public CSCSICommand {
  public:
    RejectingCommand() : CSCSICommand(4, 6, 0x12, SCSI_DIR_IN, 255, 0) {}
    bool postProcess() override {
        ++calls;
        return false;
    }
    int calls = 0;
};

TEST_F(PassThroughExecTest, PostProcessRunsOnlyAfterSuccessAndCanFail) {
    RejectingCommand cmd;
    EXPECT_FALSE(exec(1, cmd));
    EXPECT_EQ(cmd.calls, 1);

    device.scsiStatus = 2;
    EXPECT_FALSE(exec(1, cmd));
    EXPECT_EQ(cmd.calls, 1);
}

// ---- Device handles: open for one execution, close again ----

class HandleExecTest : public ::testing::Test {
  protected:
    void SetUp() override {
        backend = std::make_shared<test::FakeBackend>(device);
        port::deviceIo().registerBackend(backend);
        params.setPath(CDeviceParams::PATH_DISK, u"fake:disk0");
    }
    void TearDown() override { port::deviceIo().unregisterBackend(backend.get()); }

    RecordingPassThrough device;
    std::shared_ptr<test::FakeBackend> backend;
    CDeviceParams params;
    CSCSIExecWin2k exec;  // the process's device table
};

TEST_F(HandleExecTest, ClosedHandleIsOpenedAndClosedAroundTheExecution) {
    CDeviceHandle handle(&params);
    CSCSIInquiryCommand cmd;
    device.scsiStatus = 2;  // fails: the handle must be closed anyway
    EXPECT_FALSE(exec(handle, cmd));
    EXPECT_EQ(backend->opened, std::vector<std::string>{"fake:disk0"});
    EXPECT_EQ(backend->openCount, 0);
    EXPECT_FALSE(handle.isOpen());
}

TEST_F(HandleExecTest, OpenHandleIsUsedAndLeftOpen) {
    CDeviceHandle handle(&params);
    ASSERT_NE(handle.open(), port::INVALID_OS_HANDLE);
    CSCSIInquiryCommand cmd;
    EXPECT_TRUE(exec(handle, cmd));
    EXPECT_TRUE(handle.isOpen());
    EXPECT_EQ(backend->opened.size(), 1u);
    handle.close();
    EXPECT_EQ(backend->openCount, 0);
}

TEST_F(HandleExecTest, UnopenableHandleFailsWithoutIo) {
    backend->failOpen = true;
    CDeviceHandle handle(&params);
    CSCSIInquiryCommand cmd;
    EXPECT_FALSE(exec(handle, cmd));
    EXPECT_TRUE(device.requests.empty());

    CDeviceParams noPath;
    CDeviceHandle pathless(&noPath);
    EXPECT_FALSE(exec(pathless, cmd));
    EXPECT_TRUE(device.requests.empty());
}

TEST_F(HandleExecTest, CopyOfAnOpenHandleOpensItsOwn) {
    CDeviceHandle first(&params);
    first.open();
    {
        CDeviceHandle second(first);
        EXPECT_TRUE(second.isOpen());
        EXPECT_NE(second.handle(), first.handle());
        EXPECT_EQ(backend->openCount, 2);
    }
    EXPECT_EQ(backend->openCount, 1);
    CDeviceHandle closedCopy{CDeviceHandle(&params)};
    EXPECT_FALSE(closedCopy.isOpen());
}

// ---- Executors of the older platforms ----

TEST(WinMeExec, WithoutAspiLibraryEveryExecutionFails) {
    CSCSIExecWinMe exec;
    EXPECT_FALSE(exec.isAvailable());
    CSCSIInquiryCommand cmd;
    EXPECT_FALSE(exec(0x0102, cmd));
}

TEST(Win98Exec, DriverVersionMustBeAbove6_0_1873ForLuns) {
    struct Case {
        const char16_t* version;
        bool supported;
    };
    const Case cases[] = {
        {u"6.0.1874", true},  {u"6.0.1873.1", true},  {u"6.1.0", true},    {u"7", true},
        {u"6.0.1873", false}, {u"6.0.1873.0", false}, {u"6.0.999", false}, {u"5.9.9999", false},
        {u"", false},         {u"abc", false},        {u"6..1874", false}, {u"6.0.1874.", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CSCSIExecWin98::driverSupportsLun(c.version), c.supported);
    }
}

class Win98ExecTest : public ::testing::Test {
  protected:
    void SetUp() override {
        backend = std::make_shared<test::FakeBackend>(device);
        port::deviceIo().registerBackend(backend);
        handle = port::deviceIo().open(std::string_view("fake:vendor"));
    }
    void TearDown() override {
        port::deviceIo().close(handle);
        port::deviceIo().unregisterBackend(backend.get());
        port::resetOsIdentity();
    }
    RecordingPassThrough device;
    std::shared_ptr<test::FakeBackend> backend;
    port::OsHandle handle = -1;
};

TEST_F(Win98ExecTest, RequestCarriesTheCdbAndTheLunOnlyWhenGiven) {
    port::OsIdentity identity;
    identity.platformType = 2;
    identity.vendorDriverVersion = u"6.0.2000";
    port::setOsIdentity(identity);
    CSCSIExecWin98 exec;

    CSCSIInquiryCommand inquiry;
    EXPECT_TRUE(exec(handle, inquiry));
    ASSERT_EQ(backend->vendorRequests.size(), 1u);
    const auto& block = backend->vendorRequests[0];
    ASSERT_EQ(block.size(), 32u);
    EXPECT_EQ(std::vector<std::uint8_t>(block.begin(), block.begin() + 6),
              bytes({0x12, 0, 0, 0, 96, 0}));
    EXPECT_EQ(block[16], 6);  // CDB length
    EXPECT_EQ(block[17], SCSI_DIR_IN);

    CSCSICommand withLun(0, 6, 0x00, SCSI_DIR_IN, 2, 0);
    EXPECT_TRUE(exec(handle, withLun));
    ASSERT_EQ(backend->vendorRequests.size(), 2u);
    ASSERT_EQ(backend->vendorRequests[1].size(), 36u);
    EXPECT_EQ(backend->vendorRequests[1][32], 2);

    backend->vendorResult = port::PortError{port::PortErrc::IoError, 5};
    EXPECT_FALSE(exec(handle, inquiry));
}

TEST_F(Win98ExecTest, LunNeedsANewDriverAndTheVersionIsReadOnce) {
    port::OsIdentity identity;
    identity.platformType = 2;
    identity.vendorDriverVersion = u"6.0.1873";
    port::setOsIdentity(identity);
    CSCSIExecWin98 exec;

    CSCSICommand withLun(0, 6, 0x00, SCSI_DIR_IN, 1, 0);
    EXPECT_FALSE(exec(handle, withLun));
    EXPECT_TRUE(backend->vendorRequests.empty());

    // Cached: a newer driver appearing later does not change the answer.
    identity.vendorDriverVersion = u"6.0.1900";
    port::setOsIdentity(identity);
    EXPECT_FALSE(exec(handle, withLun));
    EXPECT_TRUE(backend->vendorRequests.empty());
}

}  // namespace
}  // namespace nork
