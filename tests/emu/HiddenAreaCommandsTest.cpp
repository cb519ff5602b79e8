// The drive's hidden area: the six page commands, page passwords and their
// device errors, the hidden-area service's descriptor, persistence and the
// tear-page fault.
#include <filesystem>
#include <fstream>

#include "EmuTestSupport.h"
#include "model/HiddenArea.h"
#include "model/StateFile.h"

namespace qzemu::test {
namespace {

namespace op = proto::qzop;
constexpr std::uint32_t PAGE = 512;

const PagePassword WRITE_PW = {'T', 'Z', '4', 'K', 'W', 'L', 'M'};
const PagePassword READ_PW = {'T', 'Z', '4', 'K', 'R', 'L', 'M'};
const PagePassword OTHER_PW = {'o', 't', 'h', 'e', 'r', '!', '!'};

ScsiRequest pageCommand(std::uint16_t code, std::uint16_t page, ScsiRequest::Dir dir,
                        std::vector<std::uint8_t> data = {}) {
    ScsiRequest r = qzCommand(code, dir, dir == ScsiRequest::In ? PAGE : 0, std::move(data));
    proto::putLE16(&r.cdb[proto::PRIVATE_PARAMS_OFFSET], page);
    return r;
}
void putPassword(ScsiRequest& r, const PagePassword& password) {
    std::copy(password.begin(), password.end(), r.cdb.begin() + proto::PRIVATE_PARAMS_OFFSET + 2);
}
ScsiRequest writePage(std::uint16_t page, const std::vector<std::uint8_t>& data) {
    return pageCommand(op::HA_WRITE_PAGE, page, ScsiRequest::Out, data);
}
ScsiRequest readPage(std::uint16_t page, std::uint32_t mode = 0) {
    ScsiRequest r = pageCommand(op::HA_READ_PAGE, page, ScsiRequest::In);
    proto::putLE32(&r.cdb[proto::PRIVATE_PARAMS_OFFSET + 2], mode);
    return r;
}
ScsiRequest writeProtected(std::uint16_t page, const std::vector<std::uint8_t>& data,
                           const PagePassword& password) {
    ScsiRequest r = pageCommand(op::HA_WRITE_PROTECTED_PAGE, page, ScsiRequest::Out, data);
    putPassword(r, password);
    return r;
}
ScsiRequest readProtected(std::uint16_t page, const PagePassword& password) {
    ScsiRequest r = pageCommand(op::HA_READ_PROTECTED_PAGE, page, ScsiRequest::In);
    putPassword(r, password);
    return r;
}
ScsiRequest setPassword(bool write, std::uint16_t page, const PagePassword& password) {
    ScsiRequest r = pageCommand(write ? op::HA_SET_WRITE_PASSWORD : op::HA_SET_READ_PASSWORD, page,
                                ScsiRequest::None);
    putPassword(r, password);
    return r;
}

std::vector<std::uint8_t> filled(std::uint8_t seed) {
    return pattern(1, seed);
}

class HiddenArea : public ::testing::Test {
  protected:
    void SetUp() override { make(smallConfig()); }
    void make(const DriveConfig& config) {
        drive.reset();
        std::filesystem::remove_all(dir.path() / "drive");
        drive = VirtualDrive::create(dir.path() / "drive", config);
    }
    void reopen() {
        drive.reset();
        drive = VirtualDrive::open(dir.path() / "drive");
    }
    // Runs a command; its device error code (0 when it succeeded).
    std::uint32_t run(const ScsiRequest& r, std::vector<std::uint8_t>* in = nullptr) {
        auto reply = drive->execute(r);
        if (in)
            *in = reply.dataIn;
        if (reply.good())
            return 0;
        return readErrorRegister(*drive);
    }
    ScratchDir dir;
    std::unique_ptr<VirtualDrive> drive;
};

TEST_F(HiddenArea, PagesAreWrittenAndReadBackAcrossReopening) {
    std::vector<std::uint8_t> in;
    ASSERT_EQ(run(readPage(249), &in), 0u);
    EXPECT_EQ(in, std::vector<std::uint8_t>(PAGE, 0));  // a new area is blank
    ASSERT_EQ(run(writePage(0, filled(1))), 0u);
    ASSERT_EQ(run(writePage(249, filled(2))), 0u);
    // A page without passwords takes the protected commands as well.
    ASSERT_EQ(run(writeProtected(7, filled(3), OTHER_PW)), 0u);
    reopen();
    for (auto [page, seed] : {std::pair<int, int>{0, 1}, {249, 2}, {7, 3}}) {
        ASSERT_EQ(run(readPage(static_cast<std::uint16_t>(page), 3), &in), 0u);
        EXPECT_EQ(in, filled(static_cast<std::uint8_t>(seed))) << page;
    }
    ASSERT_EQ(run(readProtected(0, OTHER_PW), &in), 0u);
    EXPECT_EQ(in, filled(1));
}

TEST_F(HiddenArea, PageNumbersBeyondTheAreaAndShortDataAreRefused) {
    struct Case {
        const char* name;
        ScsiRequest request;
        std::uint32_t code;
    } cases[] = {
        {"write", writePage(250, filled(1)), 0x00600001},
        {"read", readPage(250), 0x00610001},
        {"protected write", writeProtected(250, filled(1), WRITE_PW), 0x00620001},
        {"protected read", readProtected(0xFFFF, READ_PW), 0x00630001},
        {"set write password", setPassword(true, 250, WRITE_PW), 0x00640001},
        {"set read password", setPassword(false, 250, READ_PW), 0x00650001},
        {"short page", writePage(1, std::vector<std::uint8_t>(511)), 0x00600002},
    };
    for (auto& c : cases)
        EXPECT_EQ(run(c.request), c.code) << c.name;
}

TEST_F(HiddenArea, PasswordsGuardTheirPage) {
    ASSERT_EQ(run(writePage(0, filled(1))), 0u);
    ASSERT_EQ(run(setPassword(true, 0, WRITE_PW)), 0u);
    ASSERT_EQ(run(setPassword(false, 0, READ_PW)), 0u);
    struct Case {
        const char* name;
        ScsiRequest request;
        std::uint32_t code;
    } cases[] = {
        {"plain write", writePage(0, filled(9)), 0x00600002},  // PAGE_WRITE_PSSWD_PROTECTED
        {"plain read", readPage(0, 3), 0x00610004},            // PAGE_READ_PSSWD_PROTECTED
        {"wrong write password", writeProtected(0, filled(9), READ_PW),
         0x00620002},                                                     // INCORRECT_PSWD
        {"wrong read password", readProtected(0, WRITE_PW), 0x00630002},  // INCORRECT_PSWD
        {"another write password", setPassword(true, 0, OTHER_PW), 0x00640002},
        {"another read password", setPassword(false, 0, OTHER_PW), 0x00650002},
        {"the same write password again", setPassword(true, 0, WRITE_PW), 0},
        {"a page without passwords", readPage(1), 0},
    };
    for (auto& c : cases)
        EXPECT_EQ(run(c.request), c.code) << c.name;
    // Nothing reached the page; the right passwords do, after reopening too.
    reopen();
    std::vector<std::uint8_t> in;
    ASSERT_EQ(run(readProtected(0, READ_PW), &in), 0u);
    EXPECT_EQ(in, filled(1));
    ASSERT_EQ(run(writeProtected(0, filled(4), WRITE_PW)), 0u);
    ASSERT_EQ(run(readProtected(0, READ_PW), &in), 0u);
    EXPECT_EQ(in, filled(4));
}

TEST_F(HiddenArea, AReadPasswordOfZerosMeansNone) {
    ASSERT_EQ(run(setPassword(false, 3, PagePassword{})), 0u);
    EXPECT_EQ(run(readPage(3)), 0u);
}

TEST_F(HiddenArea, TheServiceDescriptorCarriesThePageCountAndTheServiceVersion) {
    for (auto [pages, version] : {std::pair<std::uint32_t, int>{250, 2}, {40, 3}, {65534, 1}}) {
        DriveConfig config = smallConfig();
        config.hiddenPages = pages;
        config.services = "3:1,8:" + std::to_string(version);
        make(config);
        ScsiRequest q = qzCommand(op::SD_QUERY_SERVICE, ScsiRequest::In, 9);
        proto::putLE16(&q.cdb[3], 8);
        proto::putLE32(&q.cdb[5], 9);
        std::vector<std::uint8_t> d;
        ASSERT_EQ(run(q, &d), 0u);
        ASSERT_EQ(d.size(), 9u);
        EXPECT_EQ(proto::getLE16(&d[2]), version);
        EXPECT_EQ(proto::getLE16(&d[4]), 9);
        EXPECT_EQ(proto::getLE16(&d[6]), pages + 1);
        EXPECT_EQ(drive->inspect().hiddenPages, pages);
        EXPECT_EQ(run(readPage(static_cast<std::uint16_t>(pages - 1))), 0u);
        EXPECT_EQ(run(readPage(static_cast<std::uint16_t>(pages))), 0x00610001u);
    }
    DriveConfig bad = smallConfig();
    for (std::uint32_t pages : {0u, 1u, 65535u}) {
        bad.hiddenPages = pages;
        EXPECT_THROW(VirtualDrive::create(dir.path() / ("bad" + std::to_string(pages)), bad),
                     std::invalid_argument);
    }
}

TEST_F(HiddenArea, ADriveFromBeforeTheHiddenAreaOpensWithABlankOne) {
    ASSERT_EQ(run(writePage(5, filled(5))), 0u);
    drive.reset();
    const auto stateDir = dir.path() / "drive";
    std::filesystem::remove(stateDir / HIDDEN_FILE_NAME);
    // Its state file had no hidden-area lines either.
    std::ifstream in(stateDir / STATE_FILE_NAME);
    std::string all, line;
    while (std::getline(in, line)) {
        if (line.rfind("hidden-pages", 0) != 0)
            all += line + "\n";
    }
    in.close();
    std::ofstream(stateDir / STATE_FILE_NAME, std::ios::trunc) << all;
    drive = VirtualDrive::open(stateDir);
    EXPECT_EQ(drive->inspect().hiddenPages, DEFAULT_HIDDEN_PAGES);
    std::vector<std::uint8_t> page;
    ASSERT_EQ(run(readPage(5), &page), 0u);
    EXPECT_EQ(page, std::vector<std::uint8_t>(PAGE, 0));
}

TEST_F(HiddenArea, ATornPageWriteKeepsPartOldPartNewOrNothing) {
    struct Case {
        const char* name;
        std::uint32_t keep;
        bool lost;
        bool protectedWrite;
    } cases[] = {
        {"torn at 100", 100, false, false},
        {"torn at 0", 0, false, false},
        {"lost", 0, true, false},
        {"protected write torn at 300", 300, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(run(writePage(2, filled(1))), 0u);
        ASSERT_EQ(run(writePage(4, filled(1))), 0u);
        drive->tearPageWrite(2, c.keep, c.lost);
        EXPECT_EQ(drive->inspect().faults.tearPageIn, 2u);
        ASSERT_EQ(run(writePage(4, filled(2))), 0u);  // the first write is not torn
        const std::uint32_t code = run(c.protectedWrite ? writeProtected(2, filled(3), WRITE_PW)
                                                        : writePage(2, filled(3)));
        EXPECT_EQ(code, c.protectedWrite ? 0x00620008u : 0x00600004u);  // page state unknown
        std::vector<std::uint8_t> expected = filled(1);
        if (!c.lost)
            std::copy_n(filled(3).begin(), c.keep, expected.begin());
        std::vector<std::uint8_t> page;
        ASSERT_EQ(run(readPage(2), &page), 0u);
        EXPECT_EQ(page, expected);
        EXPECT_EQ(drive->inspect().faults.tearPageIn, 0u);
        ASSERT_EQ(run(writePage(2, filled(5))), 0u);  // the fault is spent
    }
}

}  // namespace
}  // namespace qzemu::test
