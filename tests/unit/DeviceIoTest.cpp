#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "FakeScsiDevice.h"
#include "SCSICommand.h"
#include "SCSIExec.h"
#include "port/DeviceIo.h"
#include "port/Module.h"
#include "port/linux/SgIo.h"

namespace nork::port {
namespace {

namespace fs = std::filesystem;

// ---- SG_IO translation ----

ScsiPassThroughRequest directRequest(std::uint8_t dataIn, std::uint32_t length, void* buffer) {
    ScsiPassThroughRequest r;
    r.controlCode = IOCTL_SCSI_PASS_THROUGH_DIRECT;
    r.CdbLength = 10;
    r.DataIn = dataIn;
    r.DataTransferLength = length;
    r.DataBuffer = buffer;
    r.TimeOutValue = 10;
    return r;
}

TEST(SgIoTranslation, RequestFieldsBecomeHeaderFields) {
    std::uint8_t buffer[512];
    struct Case {
        const char* name;
        ScsiPassThroughRequest request;
        int direction;
        std::uint32_t length;
    };
    ScsiPassThroughRequest buffered;
    buffered.controlCode = IOCTL_SCSI_PASS_THROUGH;
    buffered.CdbLength = 6;
    buffered.DataIn = SCSI_IOCTL_DATA_IN;
    buffered.DataBufferOffset = 80;
    const Case cases[] = {
        {"read", directRequest(SCSI_IOCTL_DATA_IN, 512, buffer), sg::DXFER_FROM_DEV, 512},
        {"write", directRequest(SCSI_IOCTL_DATA_OUT, 512, buffer), sg::DXFER_TO_DEV, 512},
        {"unspecified", directRequest(SCSI_IOCTL_DATA_UNSPECIFIED, 8, buffer), sg::DXFER_FROM_DEV,
         8},
        {"direct without data", directRequest(SCSI_IOCTL_DATA_IN, 0, nullptr), sg::DXFER_NONE, 0},
        {"buffered", buffered, sg::DXFER_NONE, 0},
    };
    for (auto c : cases) {
        sg::SgIoFields f;
        ASSERT_FALSE(sg::buildSgIo(c.request, f)) << c.name;
        EXPECT_EQ(f.interfaceId, 'S') << c.name;
        EXPECT_EQ(f.dxferDirection, c.direction) << c.name;
        EXPECT_EQ(f.dxferLen, c.length) << c.name;
        EXPECT_EQ(f.dxferp, c.length ? c.request.DataBuffer : nullptr) << c.name;
        EXPECT_EQ(f.cmdLen, c.request.CdbLength) << c.name;
        EXPECT_EQ(f.cmdp, c.request.Cdb) << c.name;
        EXPECT_EQ(f.sbp, c.request.Sense) << c.name;
        EXPECT_EQ(f.mxSbLen, 32) << c.name;
    }
}

TEST(SgIoTranslation, TimeoutInMillisecondsWithZeroForTheDriverDefault) {
    for (std::uint32_t seconds : {0u, 1u, 10u, 50u}) {
        ScsiPassThroughRequest r = directRequest(SCSI_IOCTL_DATA_IN, 0, nullptr);
        r.TimeOutValue = seconds;
        sg::SgIoFields f;
        ASSERT_FALSE(sg::buildSgIo(r, f));
        EXPECT_EQ(f.timeoutMs, seconds * 1000);
    }
}

TEST(SgIoTranslation, MalformedRequestsAreRefused) {
    std::uint8_t buffer[8];
    ScsiPassThroughRequest unknownCode = directRequest(SCSI_IOCTL_DATA_IN, 8, buffer);
    unknownCode.controlCode = 0x2D1400;
    ScsiPassThroughRequest longCdb = directRequest(SCSI_IOCTL_DATA_IN, 8, buffer);
    longCdb.CdbLength = 17;
    ScsiPassThroughRequest bufferedWithData = directRequest(SCSI_IOCTL_DATA_IN, 8, buffer);
    bufferedWithData.controlCode = IOCTL_SCSI_PASS_THROUGH;
    ScsiPassThroughRequest noBuffer = directRequest(SCSI_IOCTL_DATA_IN, 8, nullptr);
    for (auto* r : {&unknownCode, &longCdb, &bufferedWithData, &noBuffer}) {
        sg::SgIoFields f;
        EXPECT_EQ(sg::buildSgIo(*r, f).code, PortErrc::InvalidArgument);
    }
}

TEST(SgIoTranslation, AnswerStatusAndTransportErrors) {
    struct Case {
        const char* name;
        sg::SgIoAnswer answer;
        PortErrc expected;
    };
    const Case cases[] = {
        {"good", {0, 0, 0, 0}, PortErrc::Ok},
        {"check condition with sense", {0x02, 0, 0x08, 18}, PortErrc::Ok},
        {"host timeout", {0, 0x03, 0, 0}, PortErrc::Timeout},
        {"no connect", {0, 0x01, 0, 0}, PortErrc::Disconnected},
        {"bad target", {0, 0x04, 0, 0}, PortErrc::Disconnected},
        {"host error", {0, 0x07, 0, 0}, PortErrc::IoError},
        {"driver timeout", {0, 0, 0x06, 0}, PortErrc::Timeout},
        {"driver error with sense", {0x02, 0, 0x0C, 18}, PortErrc::IoError},
    };
    for (const auto& c : cases) {
        ScsiPassThroughRequest r;
        std::memset(r.Sense, 0xEE, sizeof r.Sense);
        const PortError e = sg::applySgIoAnswer(c.answer, r);
        EXPECT_EQ(e.code, c.expected) << c.name;
        EXPECT_EQ(e.sysErrno, 0) << c.name;  // the transport's, not the system's
        EXPECT_EQ(r.ScsiStatus, c.answer.status) << c.name;
        EXPECT_EQ(r.hostStatus, c.answer.hostStatus) << c.name;
        EXPECT_EQ(r.driverStatus, c.answer.driverStatus) << c.name;
        // Bytes the device did not write are cleared.
        for (std::size_t i = c.answer.senseLength; i < sizeof r.Sense; ++i) {
            ASSERT_EQ(r.Sense[i], 0) << c.name << " byte " << i;
        }
        if (c.answer.senseLength > 0) {
            EXPECT_EQ(r.Sense[0], 0xEE) << c.name;
        }
    }
}

TEST(SgIoTranslation, TransferredLengthIsTheLengthLessTheResidue) {
    std::uint8_t buffer[512];
    struct Case {
        const char* name;
        std::uint8_t dataIn;
        std::uint32_t length;
        std::int32_t resid;
        std::uint32_t transferred;
    };
    const Case cases[] = {
        {"whole read", SCSI_IOCTL_DATA_IN, 512, 0, 512},
        {"short read", SCSI_IOCTL_DATA_IN, 512, 100, 412},
        {"nothing read", SCSI_IOCTL_DATA_IN, 512, 512, 0},
        {"residue above the length", SCSI_IOCTL_DATA_IN, 512, 4096, 0},
        {"negative residue", SCSI_IOCTL_DATA_IN, 512, -8, 512},
        {"short write", SCSI_IOCTL_DATA_OUT, 512, 12, 500},
        {"no data phase", SCSI_IOCTL_DATA_IN, 0, 0, 0},
    };
    for (const auto& c : cases) {
        ScsiPassThroughRequest r = directRequest(c.dataIn, c.length, c.length ? buffer : nullptr);
        sg::SgIoAnswer answer;
        answer.resid = c.resid;
        EXPECT_FALSE(sg::applySgIoAnswer(answer, r)) << c.name;
        EXPECT_EQ(r.DataTransferLength, c.transferred) << c.name;
    }
}

// Plays the kernel's side of SG_IO for sendSgIo.
struct FakeSgIo {
    static inline int calls = 0;
    static inline int failWith = 0;  // errno of a failing call, 0 = answer
    static inline sg::SgIoAnswer answer;
    static inline std::vector<std::uint8_t> sense;
    static inline sg::SgIoFields seen;

    static void reset() {
        calls = 0;
        failWith = 0;
        answer = {};
        sense.clear();
        seen = {};
    }
    static int call(int, const sg::SgIoFields& fields, sg::SgIoAnswer& out) {
        ++calls;
        seen = fields;
        if (failWith != 0) {
            errno = failWith;
            return -1;
        }
        std::copy(sense.begin(), sense.end(), fields.sbp);
        out = answer;
        return 0;
    }
};

TEST(SgIoSend, FailedCallsAreSystemErrorsAndAreNotRepeated) {
    struct Case {
        int err;
        PortErrc expected;
    };
    // EINTR above all: the command may have reached the drive already.
    for (const Case c : {Case{EINTR, PortErrc::IoError}, Case{ENODEV, PortErrc::Disconnected},
                         Case{EACCES, PortErrc::AccessDenied}, Case{EIO, PortErrc::IoError}}) {
        FakeSgIo::reset();
        FakeSgIo::failWith = c.err;
        std::uint8_t buffer[64];
        ScsiPassThroughRequest r = directRequest(SCSI_IOCTL_DATA_OUT, sizeof buffer, buffer);
        const PortError e = sg::sendSgIo(3, r, &FakeSgIo::call);
        EXPECT_EQ(FakeSgIo::calls, 1) << c.err;
        EXPECT_EQ(e.code, c.expected) << c.err;
        EXPECT_EQ(e.sysErrno, c.err);
        EXPECT_EQ(r.hostStatus, 0) << c.err;
        EXPECT_EQ(r.DataTransferLength, 0u) << c.err;
    }
}

TEST(SgIoSend, CheckConditionKeepsTheSenseAndTheTransferredLength) {
    FakeSgIo::reset();
    FakeSgIo::sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
    FakeSgIo::answer.status = 0x02;
    FakeSgIo::answer.driverStatus = 0x08;  // only "sense present"
    FakeSgIo::answer.senseLength = 14;
    FakeSgIo::answer.resid = 500;
    std::uint8_t buffer[512];
    ScsiPassThroughRequest r = directRequest(SCSI_IOCTL_DATA_IN, sizeof buffer, buffer);
    std::memset(r.Sense, 0xEE, sizeof r.Sense);

    EXPECT_FALSE(sg::sendSgIo(3, r, &FakeSgIo::call));
    EXPECT_EQ(FakeSgIo::calls, 1);
    EXPECT_EQ(FakeSgIo::seen.sbp, r.Sense);
    EXPECT_EQ(FakeSgIo::seen.dxferLen, 512u);
    EXPECT_EQ(r.ScsiStatus, 0x02);
    EXPECT_EQ(std::vector<std::uint8_t>(r.Sense, r.Sense + 14), FakeSgIo::sense);
    EXPECT_EQ(r.Sense[14], 0);
    EXPECT_EQ(r.DataTransferLength, 12u);
}

TEST(SgIoSend, MalformedRequestNeverReachesTheDevice) {
    FakeSgIo::reset();
    ScsiPassThroughRequest r = directRequest(SCSI_IOCTL_DATA_IN, 16, nullptr);
    EXPECT_EQ(sg::sendSgIo(3, r, &FakeSgIo::call).code, PortErrc::InvalidArgument);
    EXPECT_EQ(FakeSgIo::calls, 0);
}

// ---- The handle table ----

class DeviceTableTest : public ::testing::Test {
  protected:
    test::RecordingPassThrough firstDevice, secondDevice;
    std::shared_ptr<test::FakeBackend> first = std::make_shared<test::FakeBackend>(firstDevice);
    std::shared_ptr<test::FakeBackend> second = std::make_shared<test::FakeBackend>(secondDevice);
    DeviceIo table;
};

TEST_F(DeviceTableTest, NewestClaimingBackendServesThePath) {
    table.registerBackend(first);
    table.registerBackend(second);
    PortError error;
    OsHandle h = table.open(std::u16string_view(u"fake:one"), &error);
    ASSERT_NE(h, INVALID_OS_HANDLE);
    EXPECT_FALSE(error);
    EXPECT_TRUE(first->opened.empty());
    EXPECT_EQ(second->opened, std::vector<std::string>{"fake:one"});

    ScsiPassThroughRequest r;
    EXPECT_FALSE(table.send(h, r));
    EXPECT_EQ(secondDevice.requests.size(), 1u);

    // Unregistering stops new opens but keeps the open handle working.
    ASSERT_TRUE(table.unregisterBackend(second.get()));
    EXPECT_FALSE(table.send(h, r));
    EXPECT_EQ(secondDevice.requests.size(), 2u);
    OsHandle h2 = table.open(std::string_view("fake:two"));
    ASSERT_NE(h2, INVALID_OS_HANDLE);
    EXPECT_NE(h2, h);
    EXPECT_EQ(first->opened, std::vector<std::string>{"fake:two"});
    EXPECT_EQ(table.openHandleCount(), 2u);

    EXPECT_FALSE(table.close(h));
    EXPECT_EQ(table.close(h).code, PortErrc::NotFound);
    EXPECT_EQ(table.send(h, r).code, PortErrc::NotFound);
    EXPECT_FALSE(table.close(h2));
    EXPECT_EQ(table.openHandleCount(), 0u);
    EXPECT_EQ(first->openCount + second->openCount, 0);
}

TEST_F(DeviceTableTest, OpenFailures) {
    table.registerBackend(first);
    PortError error;
    EXPECT_EQ(table.open(std::string_view("/dev/sg0"), &error), INVALID_OS_HANDLE);
    EXPECT_EQ(error.code, PortErrc::NotFound);
    EXPECT_EQ(table.open(std::string_view(""), &error), INVALID_OS_HANDLE);
    EXPECT_EQ(error.code, PortErrc::InvalidArgument);
    first->failOpen = true;
    EXPECT_EQ(table.open(std::string_view("fake:x"), &error), INVALID_OS_HANDLE);
    EXPECT_EQ(error.code, PortErrc::NotFound);
    EXPECT_EQ(table.openHandleCount(), 0u);
    EXPECT_EQ(table.close(INVALID_OS_HANDLE).code, PortErrc::NotFound);
}

TEST(DevicePathText, Utf16ToUtf8) {
    EXPECT_EQ(devicePathToUtf8(u"/dev/sg1"), "/dev/sg1");
    EXPECT_EQ(devicePathToUtf8(u"\u00e9\u20ac\U0001F600"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(devicePathToUtf8(lone),
              "a\xEF\xBF\xBD"
              "b");
}

// ---- Linux backend over a temporary tree ----

class LinuxBackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* base = std::getenv("QZ_TEST_TMP");
        root =
            fs::path(base != nullptr ? base : fs::temp_directory_path().string()) /
            ("linux-backend-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
        std::ofstream(root / "sg9") << "not a device";
        table.registerBackend(makeLinuxDeviceBackend(root.string()));
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path root;
    DeviceIo table;
};

TEST_F(LinuxBackendTest, ClaimsOnlyPathsBelowItsRoot) {
    auto backend = makeLinuxDeviceBackend("/dev/");
    EXPECT_TRUE(backend->claims("/dev/sg1"));
    EXPECT_TRUE(backend->claims("/dev/sdb"));
    EXPECT_FALSE(backend->claims("/dev"));
    EXPECT_FALSE(backend->claims("/dev/"));
    EXPECT_FALSE(backend->claims("/devices/sg1"));
    EXPECT_FALSE(backend->claims("fake:sg1"));
}

TEST_F(LinuxBackendTest, NonDeviceFilesOpenButTakeNoCommands) {
    PortError error;
    OsHandle h = table.open((root / "sg9").string(), &error);
    ASSERT_NE(h, INVALID_OS_HANDLE) << portErrcName(error.code);

    std::uint8_t data[96];
    ScsiPassThroughRequest r = directRequest(SCSI_IOCTL_DATA_IN, sizeof data, data);
    r.Cdb[0] = 0x12;
    r.CdbLength = 6;
    PortError sent = table.send(h, r);
    EXPECT_EQ(sent.code, PortErrc::NotSupported);
    EXPECT_NE(sent.sysErrno, 0);

    VendorDriverRequest vendor;
    EXPECT_EQ(table.vendorDriverRequest(h, vendor).code, PortErrc::NotSupported);
    EXPECT_FALSE(table.close(h));
}

TEST_F(LinuxBackendTest, MissingNodeIsNotFound) {
    PortError error;
    EXPECT_EQ(table.open((root / "sg0").string(), &error), INVALID_OS_HANDLE);
    EXPECT_EQ(error.code, PortErrc::NotFound);
    EXPECT_NE(error.sysErrno, 0);
}

// INQUIRY through SG_IO on a real node, when this machine has one we may
// open.
TEST(LinuxBackendHardware, InquiryOnARealDevice) {
    std::vector<std::string> candidates;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/dev", ec)) {
        const std::string name = entry.path().filename().string();
        if ((name.rfind("sg", 0) == 0 && name.size() > 2) ||
            (name.rfind("sd", 0) == 0 && name.size() == 3)) {
            candidates.push_back(entry.path().string());
        }
    }
    for (const auto& path : candidates) {
        OsHandle h = deviceIo().open(std::string_view(path));
        if (h == INVALID_OS_HANDLE)
            continue;
        CSCSIExecWin2k exec;
        CSCSIInquiryCommand inquiry;
        const bool ok = exec(h, inquiry);
        deviceIo().close(h);
        ASSERT_TRUE(ok) << path;
        EXPECT_LE(inquiry.deviceType(), 0x1F) << path;
        EXPECT_EQ(inquiry.vendor().size(), 8u) << path;
        return;
    }
    GTEST_SKIP() << "no SCSI device node that this process may open";
}

// ---- Module loader ----

TEST(ModuleLoader, MissingLibraryFailsAndPresentOneResolves) {
    Module aspi;
    EXPECT_EQ(aspi.load("wnaspi32.dll").code, PortErrc::NotFound);
    EXPECT_FALSE(aspi.isLoaded());
    EXPECT_FALSE(aspi.lastErrorText().empty());
    EXPECT_EQ(aspi.symbol("SendASPI32Command"), nullptr);

    Module libc;
    ASSERT_FALSE(libc.load("libc.so.6")) << libc.lastErrorText();
    EXPECT_NE(libc.symbol("strlen"), nullptr);
    EXPECT_EQ(libc.symbol("no_such_symbol_in_libc"), nullptr);
    Module moved = std::move(libc);
    EXPECT_FALSE(libc.isLoaded());
    EXPECT_TRUE(moved.isLoaded());
    moved.unload();
    EXPECT_FALSE(moved.isLoaded());
}

}  // namespace
}  // namespace nork::port
