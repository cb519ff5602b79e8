// The HID transport against an in-memory drive behind the port's HID
// interface: report layouts and counts, the status phase and its failures,
// the reader's idle rule, and the per-drive mutex.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "DiskInterface.h"
#include "HIDCommand.h"
#include "HIDExec.h"
#include "HIDHandleMgr.h"
#include "HidReset.h"
#include "HidValidator.h"
#include "LogCapture.h"
#include "PrivateCommand.h"
#include "PrivateExec.h"
#include "RuntimeTestSupport.h"
#include "SCSICommand.h"
#include "port/HidDevice.h"
#include "port/NamedMutex.h"
#include "qz/DriveProtocol.h"
#include "qz/QzCommands.h"

namespace nork {
namespace {

using namespace std::chrono_literals;
namespace hid = proto::hid;
using Report = std::vector<std::uint8_t>;

constexpr char16_t SERIAL[] = u"FAKE01";
constexpr char PATH[] = "fakehid:FAKE01";
constexpr std::uint8_t STRING_ID_INDEX = 4;  // max(1, 2, 3) + 1

// A drive's HID interface in memory: answers command blocks the way the
// drive does (data reports, then a status report echoing the operation).
class FakeHidDrive final : public port::IDeviceBackend, public port::IHidBackend {
  public:
    enum class Mode { Normal, Silent, WrongEcho, FailStatus, FailWrites, FailDataWrites };

    Mode mode = Mode::Normal;
    // The drive's collection, as its report descriptor gives it.
    port::HidCaps caps{64, 63, 5, 69, {0xFF00, 0xFE00, 0xFD00}};
    bool capsReadable = true;

    const char* name() const override { return "fake-hid"; }
    bool claims(std::string_view path) const override { return path.rfind("fakehid:", 0) == 0; }
    port::PortError open(const std::string&, std::intptr_t& local) override {
        local = 1;
        return {};
    }
    void close(std::intptr_t) override {}
    port::PortError passThrough(std::intptr_t, port::ScsiPassThroughRequest&) override {
        return {port::PortErrc::NotSupported, 0};
    }
    port::PortError vendorDriverRequest(std::intptr_t, port::VendorDriverRequest&) override {
        return {port::PortErrc::NotSupported, 0};
    }

    port::PortError hidWrite(std::intptr_t, const std::uint8_t* r, std::size_t size) override {
        std::lock_guard lock(m_mutex);
        Report report(r, r + size);
        m_written.push_back(report);
        if (mode == Mode::FailWrites || (mode == Mode::FailDataWrites && m_dataLeft > 0))
            return {port::PortErrc::IoError, 5};
        if (m_dataLeft > 0) {
            // A data report of the command under way.
            m_dataOut.insert(m_dataOut.end(), report.begin() + 1, report.end());
            if (--m_dataLeft == 0)
                finishLocked();
            return {};
        }
        if (std::memcmp(r + 1 + hid::BLOCK_SIGNATURE, "TORM", 4) != 0)
            return {};
        if (m_inCommand)
            m_interleaved = true;
        m_inCommand = true;
        std::memcpy(m_block, r + 1, hid::BLOCK_SIZE);
        m_dataOut.clear();
        const std::uint32_t reports = proto::getLE32(m_block + hid::BLOCK_DATA_REPORTS);
        if (m_block[hid::BLOCK_DIRECTION] == 0 && reports > 0)
            m_dataLeft = reports;
        else
            finishLocked();
        return {};
    }

    port::PortError hidRead(std::intptr_t, std::uint8_t* buffer, std::size_t size, int timeoutMs,
                            std::size_t& got) override {
        std::unique_lock lock(m_mutex);
        ++m_readCalls;
        m_readTimeouts.push_back(timeoutMs);
        auto ready = [&] { return !m_input.empty(); };
        if (timeoutMs < 0)
            m_changed.wait(lock, ready);
        else if (!m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready))
            return {port::PortErrc::Timeout, 0};
        got = 0;
        while (!m_input.empty() && size - got >= hid::REPORT_SIZE) {
            std::memcpy(buffer + got, m_input.front().data(), hid::REPORT_SIZE);
            m_input.pop_front();
            got += hid::REPORT_SIZE;
        }
        return {};
    }

    port::PortError hidCaps(std::intptr_t, port::HidCaps& out) override {
        std::lock_guard lock(m_mutex);
        out = caps;
        return capsReadable ? port::PortError{} : port::PortError{port::PortErrc::IoError, 0};
    }
    port::PortError hidFlush(std::intptr_t) override { return {}; }

    bool claimsUsbPath(const std::string& path) const override { return claims(path); }
    port::PortError usbDeviceDescriptor(const std::string&,
                                        std::array<std::uint8_t, 18>& out) override {
        out = {18, 1};
        out[14] = 1;
        out[15] = 2;
        out[16] = 3;
        return {};
    }
    port::PortError usbStringDescriptorRaw(const std::string&, std::uint8_t index, std::uint16_t,
                                           std::vector<std::uint8_t>& out) override {
        std::lock_guard lock(m_mutex);
        m_stringReads.push_back(index);
        const std::u16string text = index == 3                 ? u"FAKE01"
                                    : index == STRING_ID_INDEX ? u"Qz 4 Fake"
                                                               : u"x";
        out = {static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
        for (char16_t c : text) {
            out.push_back(static_cast<std::uint8_t>(c));
            out.push_back(static_cast<std::uint8_t>(c >> 8));
        }
        return {};
    }

    // What the host did.
    std::vector<Report> written() {
        std::lock_guard lock(m_mutex);
        return m_written;
    }
    std::vector<std::uint8_t> dataOut() {
        std::lock_guard lock(m_mutex);
        return m_dataOut;
    }
    std::size_t unreadInput() {
        std::lock_guard lock(m_mutex);
        return m_input.size();
    }
    int sentInput() {
        std::lock_guard lock(m_mutex);
        return m_sent;
    }
    // HID resets: reads at string-id index + 2.
    int resets() {
        std::lock_guard lock(m_mutex);
        return static_cast<int>(
            std::count(m_stringReads.begin(), m_stringReads.end(), STRING_ID_INDEX + 2));
    }
    std::vector<int> readTimeouts() {
        std::lock_guard lock(m_mutex);
        return m_readTimeouts;
    }
    bool interleaved() {
        std::lock_guard lock(m_mutex);
        return m_interleaved;
    }
    void forget() {
        std::lock_guard lock(m_mutex);
        m_written.clear();
        m_stringReads.clear();
        m_readTimeouts.clear();
        m_sent = 0;
    }

  private:
    void queueLocked(Report r) {
        m_input.push_back(std::move(r));
        ++m_sent;
        m_changed.notify_all();
    }

    // The command is complete: answer it.
    void finishLocked() {
        const std::uint16_t op = proto::getLE16(m_block + hid::BLOCK_OPCODE);
        const std::uint32_t size = proto::getLE32(m_block + hid::BLOCK_DATA_SIZE);
        const std::uint32_t reports = proto::getLE32(m_block + hid::BLOCK_DATA_REPORTS);
        // The next command may begin once this one is answered.
        m_inCommand = false;
        if (mode == Mode::Silent)
            return;
        if (m_block[hid::BLOCK_DIRECTION] == 1) {
            for (std::uint32_t i = 0; i < reports; ++i) {
                Report r(hid::REPORT_SIZE, 0);
                for (std::uint32_t b = 0; b < hid::PAYLOAD_SIZE && i * 62 + b < size; ++b)
                    r[1 + b] = static_cast<std::uint8_t>((i * 62 + b) & 0xFF);
                queueLocked(std::move(r));
            }
        }
        if (op == proto::qzop::AUX_DETACH_ATTACH || op == proto::qzop::SD_QUERY_SERVICE)
            return;  // the drive leaves the bus / sends no status
        Report status(hid::REPORT_SIZE, 0);
        proto::putLE16(&status[hid::STATUS_OPCODE],
                       mode == Mode::WrongEcho ? static_cast<std::uint16_t>(op + 1) : op);
        proto::putLE16(&status[hid::STATUS_WORD], mode == Mode::FailStatus ? 1 : 0);
        queueLocked(std::move(status));
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Report> m_written;
    std::deque<Report> m_input;
    std::uint8_t m_block[hid::BLOCK_SIZE] = {};
    std::uint32_t m_dataLeft = 0;
    std::vector<std::uint8_t> m_dataOut;
    std::vector<std::uint8_t> m_stringReads;
    std::vector<int> m_readTimeouts;
    int m_readCalls = 0;
    int m_sent = 0;
    bool m_inCommand = false;
    bool m_interleaved = false;
};

class HidCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = nork::testing::freshTestDir();
        log = nork::testing::LogCapture::onProcessLog("HidCommandTest");
        CHIDHandleMgr::instance().setLockDirectory(dir.string());
        drive = std::make_shared<FakeHidDrive>();
        port::registerHidBackend(drive, drive);
        params.setSerialNumber(SERIAL);
        params.setPath(CDeviceParams::PATH_HID, u"fakehid:FAKE01");
        // The first use of a drive resets its HID interface; start after it.
        CHIDHandleMgr::instance().getHandle(handle);
        drive->forget();
        log->take();
    }
    void TearDown() override { CHIDHandleMgr::instance().closeAll(); }

    bool run(CPrivateCommand& command) { return CPrivateExecHID().execute(handle, command); }

    bool logged(const std::string& text) {
        for (const auto& line : log->takeNarrow()) {
            if (line.find(text) != std::string::npos)
                return true;
        }
        return false;
    }

    std::filesystem::path dir;
    std::shared_ptr<nork::testing::LogCapture> log;
    std::shared_ptr<FakeHidDrive> drive;
    CDeviceParams params;
    CDeviceHandle handle{&params};
};

TEST_F(HidCommandTest, CommandBlockLayout) {
    CQzPrivateCommand command(130, 0x0123, SCSI_DIR_IN);
    const std::uint8_t p[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    command.setParams(p, 9);
    CHIDCommand hidCommand(command, hid::PAYLOAD_SIZE);
    const std::uint8_t expected[25] = {0x23, 0x01, 130, 0, 0, 0, 3, 0, 0, 0, 'T', 'O', 'R',
                                       'M',  1,    0,   1, 2, 3, 4, 5, 6, 7, 8,   9};
    EXPECT_EQ(0, std::memcmp(hidCommand.block(), expected, 25));

    // A Zyk command's 7 parameter bytes leave the last two zero; no data, no reports.
    CZykPrivateCommand zyk(0, 0x0048, SCSI_DIR_NONE);
    zyk.setParams(p, 7);
    CHIDCommand zykCommand(zyk, hid::PAYLOAD_SIZE);
    EXPECT_EQ(zykCommand.dataReports(), 0u);
    EXPECT_EQ(zykCommand.block()[hid::BLOCK_DIRECTION], 0);
    EXPECT_EQ(zykCommand.block()[hid::BLOCK_PARAMS + 6], 7);
    EXPECT_EQ(zykCommand.block()[hid::BLOCK_PARAMS + 7], 0);
}

TEST_F(HidCommandTest, ReportCountsFollowTheDataPhase) {
    const struct {
        const char* what;
        std::uint32_t size;
        std::uint8_t dir;
        std::size_t written;  // reports the host wrote
        int input;            // reports the drive sent (all consumed)
    } cases[] = {
        {"130 bytes in", 130, SCSI_DIR_IN, 1, 4},
        {"62 bytes in", 62, SCSI_DIR_IN, 1, 2},
        {"no data", 0, SCSI_DIR_NONE, 1, 1},
        {"130 bytes out", 130, SCSI_DIR_OUT, 4, 1},
    };
    for (const auto& c : cases) {
        drive->forget();
        CQzPrivateCommand command(c.size, 0x0103, c.dir);
        if (c.dir == SCSI_DIR_OUT) {
            for (std::uint32_t i = 0; i < c.size; ++i)
                command.dataBuffer()[i] = static_cast<std::uint8_t>(0xA0 ^ i);
        }
        EXPECT_TRUE(run(command)) << c.what;
        EXPECT_EQ(drive->written().size(), c.written) << c.what;
        EXPECT_EQ(drive->sentInput(), c.input) << c.what;
        EXPECT_EQ(drive->unreadInput(), 0u) << c.what;
        if (c.dir == SCSI_DIR_IN) {
            for (std::uint32_t i = 0; i < c.size; ++i)
                ASSERT_EQ(command.dataBuffer()[i], i & 0xFF) << c.what << " byte " << i;
        }
        if (c.dir == SCSI_DIR_OUT) {
            // Slices in order, the last one zero padded.
            const auto out = drive->dataOut();
            ASSERT_EQ(out.size(), 3u * 62);
            for (std::uint32_t i = 0; i < 3 * 62; ++i)
                ASSERT_EQ(out[i], i < c.size ? (0xA0 ^ i) & 0xFF : 0) << "byte " << i;
        }
    }
}

TEST_F(HidCommandTest, FlagsSkipTheStatusPhase) {
    // A service query sent without a status phase: its data, no status read.
    qz::CQz_SD_QueryService_Cmd query(3, 62, false, true);
    EXPECT_TRUE(run(query));
    EXPECT_EQ(drive->sentInput(), 1);
    EXPECT_EQ(drive->unreadInput(), 0u);

    // Detach/attach: the drive leaves without a status; failed data writes
    // are ignored.
    drive->forget();
    drive->mode = FakeHidDrive::Mode::FailDataWrites;
    qz::CQzAUXDetachAttachCmd detach(80, 40000, 1);
    EXPECT_TRUE(run(detach));
    EXPECT_EQ(drive->written().size(), 2u);
    EXPECT_EQ(drive->resets(), 0);
}

TEST_F(HidCommandTest, FailuresResetTheHidInterface) {
    const struct {
        FakeHidDrive::Mode mode;
        const char* log;
        int resets;
    } cases[] = {
        {FakeHidDrive::Mode::WrongEcho,
         "CHIDExec::operator() - error on the hid protocol, status private command with word conv "
         "260 without word conv 260,  zyk opcode 259",
         1},
        {FakeHidDrive::Mode::FailWrites,
         "CHIDExec::operator() - write hid command failed goto reset", 1},
        {FakeHidDrive::Mode::FailDataWrites,
         "CHIDExec::operator() -  write hid data failed goto reset", 1},
        // A refusal by the drive is an answer, not a protocol error.
        {FakeHidDrive::Mode::FailStatus, "", 0},
    };
    for (const auto& c : cases) {
        drive->forget();
        log->take();
        drive->mode = c.mode;
        CQzPrivateCommand command(10, 0x0103, SCSI_DIR_OUT);
        EXPECT_FALSE(run(command)) << c.log;
        EXPECT_EQ(drive->resets(), c.resets) << c.log;
        const auto lines = log->takeNarrow();
        auto has = [&](const std::string& text) {
            return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
                return l.find(text) != std::string::npos;
            });
        };
        if (*c.log != '\0') {
            EXPECT_TRUE(has(c.log)) << c.log;
        }
        EXPECT_EQ(has("Qz HID reset 1"), c.resets == 1) << c.log;
    }
}

TEST_F(HidCommandTest, SilentDeviceFailsAfterTheTimeoutAndTheReaderGivesUp) {
    drive->mode = FakeHidDrive::Mode::Silent;
    CQzPrivateCommand command(0, 0x0102, SCSI_DIR_NONE, SCSI_LUN_HANDLE, 300);
    EXPECT_FALSE(run(command));
    EXPECT_TRUE(logged("CHIDExec::operator() - read hid status failed goto reset"));
    EXPECT_EQ(drive->resets(), 1);

    // The reader keeps waiting on its own until its third idle wait.
    CHIDExecWinTask& task =
        CHIDExecWin::instance().task(CHIDHandleMgr::instance().getHandle(handle).handle());
    for (int i = 0; i < 100 && task.busy(); ++i)
        std::this_thread::sleep_for(50ms);
    ASSERT_FALSE(task.busy());
    EXPECT_TRUE(task.lastJobIdled());
    const std::vector<int> waits = drive->readTimeouts();
    EXPECT_EQ(waits, (std::vector<int>{500, 500, 500}));
}

TEST_F(HidCommandTest, SilentDeviceWithoutTimeoutFailsWhenTheReaderGivesUp) {
    drive->mode = FakeHidDrive::Mode::Silent;
    CQzPrivateCommand command(130, 0x0103, SCSI_DIR_IN);  // data reads have no limit
    EXPECT_FALSE(run(command));
    EXPECT_TRUE(logged("CHIDExecWin::readReport - data->size() <= 1"));
    EXPECT_EQ(drive->readTimeouts().size(), 3u);
}

TEST_F(HidCommandTest, CommandsFromThreadsNeverInterleave) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            CDeviceHandle mine(&params);
            for (int i = 0; i < 10; ++i) {
                CQzPrivateCommand command(130, 0x0103, SCSI_DIR_OUT);
                if (!CPrivateExecHID().execute(mine, command))
                    ++failures;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_FALSE(drive->interleaved());
}

TEST_F(HidCommandTest, MutexNamesPerDrive) {
    CHIDHandleMgr& mgr = CHIDHandleMgr::instance();
    ASSERT_NE(mgr.getHidMutex(u"S1"), nullptr);
    EXPECT_EQ(mgr.getHidMutex(u"S1")->name(), "ZYK_SDK_HID_MUTEX_S1");
    EXPECT_EQ(mgr.getCompositeSwitchMutex(u"S1")->name(), "QZ_SDK_COMPOSITE_SWITCH_MUTEX_S1");
    EXPECT_EQ(mgr.getHidMutex(u"S1"), mgr.getHidMutex(u"S1"));
    EXPECT_EQ(mgr.getMutexOf(nullptr)->name(), "___ZYK_MUTEX_DEFAULT_NAME");
    log->take();
    EXPECT_EQ(mgr.getHidMutex(nullptr)->name(), "___ZYK_MUTEX_DEFAULT_NAME");
    EXPECT_TRUE(logged("szSerialNumber"));
}

TEST_F(HidCommandTest, ValidatorChecksTheCollection) {
    const struct {
        const char* what;
        void (*change)(FakeHidDrive&);
        int answer;
    } cases[] = {
        {"the drive's collection", [](FakeHidDrive&) {}, 0},
        {"capabilities unreadable", [](FakeHidDrive& d) { d.capsReadable = false; }, 1},
        {"two value caps", [](FakeHidDrive& d) { d.caps.inputValueUsagePages.pop_back(); }, 1},
        {"four value caps (three asked for)",
         [](FakeHidDrive& d) { d.caps.inputValueUsagePages.push_back(0xFC00); }, 0},
        {"input indices", [](FakeHidDrive& d) { d.caps.inputDataIndices = 4; }, 1},
        {"output indices", [](FakeHidDrive& d) { d.caps.outputDataIndices = 70; }, 1},
        {"pages out of order",
         [](FakeHidDrive& d) {
             std::swap(d.caps.inputValueUsagePages[1], d.caps.inputValueUsagePages[2]);
         },
         1},
    };
    for (const auto& c : cases) {
        FakeHidDrive fresh;
        drive->caps = fresh.caps;
        drive->capsReadable = true;
        c.change(*drive);
        CDeviceHandle& hid = CHIDHandleMgr::instance().getHandle(handle);
        log->take();
        EXPECT_EQ(validateHid(hid, params), c.answer) << c.what;
        EXPECT_TRUE(logged(c.answer == 0 ? "Validate HID Success" : "Validate HID Fail")) << c.what;
    }
    CDeviceHandle closed(&params);
    EXPECT_EQ(validateHid(closed, params), 2);
}

TEST_F(HidCommandTest, PrivateAreaDiskInterface) {
    params.setPrivateAreaLun(2);
    // Without raw device access the disk path is the HID path; say so here.
    params.setPath(CDeviceParams::PATH_DISK, u"fakehid:FAKE01");
    CPrivateExecHID exec;
    CDiskInterfacePAHid disk(exec);
    std::vector<std::uint8_t> data(2 * 512, 0x5A);
    EXPECT_EQ(disk.writeSectors(handle, data.data(), 0x01020304, 2), STATUS_OK);
    // One command per sector: block, then 9 data reports of 62 bytes.
    const auto written = drive->written();
    ASSERT_EQ(written.size(), 2u * (1 + 9));
    for (std::size_t i = 0; i < 2; ++i) {
        const std::uint8_t* block = written[i * 10].data() + 1;
        EXPECT_EQ(proto::getLE16(block + hid::BLOCK_OPCODE), proto::qzop::WRITE_SECTOR_HID);
        EXPECT_EQ(block[hid::BLOCK_PARAMS], 2);
        EXPECT_EQ(proto::getLE32(block + hid::BLOCK_PARAMS + 1), 0x01020304u + i);
    }

    drive->mode = FakeHidDrive::Mode::FailStatus;
    drive->forget();
    EXPECT_EQ(disk.writeSectors(handle, data.data(), 0, 2), STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(drive->written().size(), 10u);  // stopped after the first sector
    EXPECT_EQ(disk.getCapacityKB(handle), 0u);

    // The fake answers byte i = i, so the size field (bytes 4..7) is 0x07060504 sectors.
    drive->mode = FakeHidDrive::Mode::Normal;
    EXPECT_EQ(disk.getCapacityKB(handle), 0x07060504u / 2);
    EXPECT_EQ(disk.getSectorCount(handle), 0x07060504u / 2 * 2);
    std::uint8_t spt = 0, heads = 0;
    std::uint16_t cylinders = 1;
    EXPECT_EQ(disk.getGeometry(handle, spt, cylinders, heads), STATUS_OK);
    EXPECT_EQ(spt, 63);
    EXPECT_EQ(heads, 6);
    EXPECT_EQ(cylinders, 0);
}

TEST(HidResetTest, StringIdCapability) {
    const struct {
        const char16_t* text;
        bool capable;
    } cases[] = {
        {u"Qz 4 Pellix", true}, {u"Qz 2", true},  {u"Qz 6x", true}, {u"Qz 1", false},
        {u"Qz 8", false},       {u"Qz x", false}, {u"QZ 4", false}, {u"Qz", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(qzStringIdHasHidSequences(c.text), c.capable)
            << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text));
}

TEST(HidDescriptorTest, CapabilitiesOfTheDrivesCollection) {
    // Three input values on pages FF00 (3 usages), FE00, FD00; output 64 + 5
    // usages; a constant input pad counts nothing.
    const std::uint8_t desc[] = {
        0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x06,
        0x00, 0xFF, 0x19, 0x20, 0x29, 0x22, 0x95, 0x14, 0x81, 0x02,        // FF00 x3, 20
                                                                           // bytes
        0x06, 0x00, 0xFE, 0x09, 0x01, 0x95, 0x15, 0x81, 0x02,              // FE00, 21 bytes
        0x06, 0x00, 0xFD, 0x09, 0x01, 0x95, 0x15, 0x81, 0x02,              // FD00, 21 bytes
        0x95, 0x01, 0x81, 0x01,                                            // constant pad
        0x06, 0x00, 0xFF, 0x19, 0x01, 0x29, 0x40, 0x95, 0x39, 0x91, 0x02,  // 64 usages
        0x19, 0x41, 0x29, 0x45, 0x95, 0x05, 0x91, 0x02,                    // 5 usages
        0xC0};
    port::HidCaps caps;
    ASSERT_TRUE(port::parseHidReportDescriptor(desc, sizeof desc, caps));
    EXPECT_EQ(caps.inputDataIndices, 5);
    EXPECT_EQ(caps.outputDataIndices, 69);
    EXPECT_EQ(caps.inputValueUsagePages, (std::vector<std::uint16_t>{0xFF00, 0xFE00, 0xFD00}));
    EXPECT_EQ(caps.inputReportLength, 64);  // 63 bytes + id
    EXPECT_EQ(caps.outputReportLength, 63);

    // Cut inside an item, a usage maximum without minimum.
    EXPECT_FALSE(port::parseHidReportDescriptor(desc, 2, caps));
    const std::uint8_t noMin[] = {0x29, 0x05, 0x81, 0x02};
    EXPECT_FALSE(port::parseHidReportDescriptor(noMin, sizeof noMin, caps));
}

// Sizes whose products or sums pass 32 bits, or lengths past the 16-bit
// capabilities, are refused rather than wrapped into small plausible ones.
TEST(HidDescriptorTest, OversizedReportsAreRefused) {
    const struct {
        const char* what;
        std::vector<std::uint8_t> desc;
        bool ok;
        std::uint16_t outputLength;
    } cases[] = {
        // 0x10000-bit fields x 0x10000: 2^32 bits, which wrapped to 0.
        {"product past 32 bits",
         {0x77, 0x00, 0x00, 0x01, 0x00, 0x97, 0x00, 0x00, 0x01, 0x00, 0x91, 0x02},
         false,
         0},
        // Two items of 2^31 bits each, which summed to 0.
        {"halves of 2^32 bits",
         {0x77, 0x00, 0x00, 0x00, 0x80, 0x95, 0x01, 0x91, 0x02, 0x91, 0x02},
         false,
         0},
        // 65534 bytes + the id byte still fit; one byte more does not.
        {"largest report", {0x75, 0x08, 0x96, 0xFE, 0xFF, 0x91, 0x02}, true, 0xFFFF},
        {"one byte too long", {0x75, 0x08, 0x96, 0xFF, 0xFF, 0x91, 0x02}, false, 0},
        // Usage range 0..0xFFFF twice: 131072 data indices.
        {"index count past 16 bits",
         {0x75, 0x01, 0x95, 0x01, 0x19, 0x00, 0x2A, 0xFF, 0xFF, 0x91, 0x02, 0x19, 0x00, 0x2A, 0xFF,
          0xFF, 0x91, 0x02},
         false,
         0},
    };
    for (const auto& c : cases) {
        port::HidCaps caps;
        EXPECT_EQ(port::parseHidReportDescriptor(c.desc.data(), c.desc.size(), caps), c.ok)
            << c.what;
        if (c.ok) {
            EXPECT_EQ(caps.outputReportLength, c.outputLength) << c.what;
        }
    }
}

}  // namespace
}  // namespace nork
