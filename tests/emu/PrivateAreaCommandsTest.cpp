// The drive's private area: what the public domain's LUN shows logged out
// and logged in, the password rules and their device errors, the trusted
// hosts, the volume directory that follows the LUN, and what survives a
// reopen or a trip off the bus.
#include <filesystem>
#include <fstream>

#include "EmuTestSupport.h"
#include "model/PrivateArea.h"
#include "model/StateFile.h"
#include "model/Volumes.h"

namespace qzemu::test {
namespace {

namespace op = proto::qzop;
namespace fs = std::filesystem;

// smallConfig: domain 1 is the public one, LUN 1, 15904 sectors.
constexpr std::uint8_t DOMAIN = 1;
constexpr std::uint8_t LUN = 1;
constexpr std::uint32_t DOMAIN_SECTORS = 20000 - 4096;
constexpr std::uint32_t PRIVATE_SECTORS = 4 * PA_GRANULE_SECTORS;
constexpr std::uint32_t PUBLIC_SECTORS = DOMAIN_SECTORS - PRIVATE_SECTORS;

constexpr std::uint8_t ASC_LBA_OUT_OF_RANGE = 0x21;
constexpr std::uint8_t SENSE_NOT_READY = 0x2;
constexpr std::uint8_t ASC_MEDIUM_NOT_PRESENT = 0x3A;

using Secret = std::vector<std::uint8_t>;
const Secret PASSWORD(16, 0x5A);
const Secret OTHER(16, 0x33);

ScsiRequest paCommand(std::uint16_t code, ScsiRequest::Dir dir, std::uint32_t inLength = 0,
                      std::vector<std::uint8_t> data = {}) {
    ScsiRequest r = qzCommand(code, dir, inLength, std::move(data));
    r.cdb[proto::PRIVATE_PARAMS_OFFSET] = DOMAIN;
    return r;
}
ScsiRequest configure(std::uint32_t sectors, const Secret& password) {
    std::vector<std::uint8_t> data(4);
    proto::putLE32(data.data(), sectors);
    data.insert(data.end(), password.begin(), password.end());
    return paCommand(op::PRA_CONFIGURE_PRIVATE_AREA, ScsiRequest::Out, 0, data);
}
ScsiRequest withSecrets(std::uint16_t code, std::initializer_list<Secret> parts) {
    std::vector<std::uint8_t> data;
    for (const Secret& part : parts)
        data.insert(data.end(), part.begin(), part.end());
    return paCommand(code, ScsiRequest::Out, 0, data);
}
ScsiRequest close() {
    return paCommand(op::PRA_CLOSE, ScsiRequest::None);
}

struct Parameters {
    std::uint32_t domain, area, loggedIn;
};
Parameters parameters(VirtualDrive& drive) {
    auto reply = drive.execute(paCommand(op::PRA_GET_AREA_PARAMETERS, ScsiRequest::In, 16));
    EXPECT_TRUE(reply.good());
    if (reply.dataIn.size() < 16)
        return {};
    const auto* d = reply.dataIn.data();
    return {proto::getLE32(d), proto::getLE32(d + 4), proto::getLE32(d + 8)};
}
std::uint32_t capacity(VirtualDrive& drive) {
    auto reply = drive.execute(readCapacity(LUN));
    EXPECT_TRUE(reply.good());
    return reply.dataIn.size() >= 4 ? proto::getBE32(reply.dataIn.data()) + 1 : 0;
}
std::uint32_t failureOf(VirtualDrive& drive, const ScsiRequest& request) {
    auto reply = drive.execute(request);
    EXPECT_FALSE(reply.good());
    return readErrorRegister(drive);
}

class PrivateAreaCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        drive = VirtualDrive::create(dir.path(), smallConfig());
        consumeAttention(*drive);
    }
    void reopen() {
        drive.reset();
        drive = VirtualDrive::open(dir.path());
        consumeAttention(*drive);
    }
    fs::path volume() const { return volumeDir(dir.path(), LUN); }

    ScratchDir dir;
    std::unique_ptr<VirtualDrive> drive;
};

// Logged out the LUN ends where the area begins; logged in it is the area,
// LBA 0 being its first sector; what was written on either side stays there.
TEST_F(PrivateAreaCommands, TheLunShowsThePublicPartOrTheAreaByLogin) {
    ASSERT_TRUE(drive->execute(configure(PRIVATE_SECTORS, PASSWORD)).good());
    const Parameters p = parameters(*drive);
    EXPECT_EQ(p.domain, DOMAIN_SECTORS);
    EXPECT_EQ(p.area, PRIVATE_SECTORS);
    EXPECT_EQ(p.loggedIn, 0u);
    EXPECT_EQ(capacity(*drive), PUBLIC_SECTORS);
    EXPECT_EQ(drive->execute(read10(LUN, PUBLIC_SECTORS, 1)).asc(), ASC_LBA_OUT_OF_RANGE);
    ASSERT_TRUE(drive->execute(write10(LUN, 0, pattern(1, 1))).good());

    ASSERT_TRUE(drive->execute(withSecrets(op::PRA_OPEN, {PASSWORD})).good());
    consumeAttention(*drive);
    EXPECT_EQ(parameters(*drive).loggedIn, 1u);
    EXPECT_EQ(capacity(*drive), PRIVATE_SECTORS);
    ASSERT_TRUE(drive->execute(write10(LUN, 0, pattern(1, 2))).good());
    EXPECT_EQ(drive->execute(read10(LUN, 0, 1)).dataIn, pattern(1, 2));

    ASSERT_TRUE(drive->execute(close()).good());
    consumeAttention(*drive);
    EXPECT_EQ(capacity(*drive), PUBLIC_SECTORS);
    EXPECT_EQ(drive->execute(read10(LUN, 0, 1)).dataIn, pattern(1, 1));
}

// The drive's own refusals, with the reasons of its error-code table.
TEST_F(PrivateAreaCommands, RefusalsCarryTheDriveErrorCodes) {
    struct Case {
        const char* what;
        ScsiRequest request;
        std::uint32_t code;
    };
    // Without an area first.
    const Case none[] = {
        {"open", withSecrets(op::PRA_OPEN, {PASSWORD}), 0x00A40001},
        {"close", close(), 0x00A50001},
        {"change", withSecrets(op::PRA_CHANGE_PASSWORD, {PASSWORD, OTHER}), 0x00A60001},
        {"public", withSecrets(op::PRA_MAKE_SECUREDISK_PUBLIC, {PASSWORD}), 0x00A70001},
        {"bad size", configure(PA_GRANULE_SECTORS + 1, PASSWORD), 0x00A20001},
        {"no host id", paCommand(op::TH_GET_TRUSTED_HOST_ID, ScsiRequest::In, 64), 0x00C10001},
    };
    for (const Case& c : none) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(failureOf(*drive, c.request), c.code);
    }
    ASSERT_TRUE(drive->execute(configure(PRIVATE_SECTORS, PASSWORD)).good());
    const Secret pcId(16, 0x42);
    const Case wrong[] = {
        {"open", withSecrets(op::PRA_OPEN, {OTHER}), 0x00A40002},
        {"change", withSecrets(op::PRA_CHANGE_PASSWORD, {OTHER, PASSWORD}), 0x00A60002},
        {"public", withSecrets(op::PRA_MAKE_SECUREDISK_PUBLIC, {OTHER}), 0x00A70002},
        {"smaller than the domain", withSecrets(op::PRA_MAKE_SECUREDISK_PUBLIC, {PASSWORD}),
         0x00A70008},
        {"trust", withSecrets(op::TH_CREATE_TRUSTED_HOST_ID, {pcId, OTHER}), 0x00C00001},
        {"unknown host", withSecrets(op::TH_OPEN_PRIVATE_AREA, {pcId, Secret(64, 1)}), 0x00C20001},
    };
    for (const Case& c : wrong) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(failureOf(*drive, c.request), c.code);
    }
    EXPECT_EQ(parameters(*drive).loggedIn, 0u);
}

TEST_F(PrivateAreaCommands, SizesAreRoundedToTheGranuleOrTheWholeDomain) {
    struct Case {
        std::uint32_t asked, valid;
    } cases[] = {{1, PA_GRANULE_SECTORS},
                 {PA_GRANULE_SECTORS + 100, PA_GRANULE_SECTORS},
                 {PA_GRANULE_SECTORS + PA_GRANULE_SECTORS / 2, 2 * PA_GRANULE_SECTORS},
                 {DOMAIN_SECTORS - 10, DOMAIN_SECTORS},
                 {DOMAIN_SECTORS + 5000, DOMAIN_SECTORS}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.asked);
        ScsiRequest r = paCommand(op::PRA_CALC_CLOSEST_VALID_SIZE, ScsiRequest::In, 4);
        proto::putLE32(&r.cdb[proto::PRIVATE_PARAMS_OFFSET + 1], c.asked);
        r.cdb[proto::PRIVATE_PARAMS_OFFSET + 5] = 1;
        auto reply = drive->execute(r);
        ASSERT_TRUE(reply.good());
        EXPECT_EQ(proto::getLE32(reply.dataIn.data()), c.valid);
    }
    auto bounds =
        drive->execute(qzCommand(op::PRA_GET_CONFIGURATION_BOUNDARIES, ScsiRequest::In, 4));
    ASSERT_TRUE(bounds.good());
    EXPECT_EQ(proto::getLE32(bounds.dataIn.data()), PA_GRANULE_SECTORS);
}

// The password is kept in the form the host sent (never anything else), the
// area and the trusted hosts survive a reopen; a login does not, nor a trip
// off the bus.
TEST_F(PrivateAreaCommands, AreaAndTrustPersistLoginsDoNot) {
    ASSERT_TRUE(drive->execute(configure(PRIVATE_SECTORS, PASSWORD)).good());
    const Secret pcId(16, 0x42);
    ASSERT_TRUE(
        drive->execute(withSecrets(op::TH_CREATE_TRUSTED_HOST_ID, {pcId, PASSWORD})).good());
    auto id = drive->execute(paCommand(op::TH_GET_TRUSTED_HOST_ID, ScsiRequest::In, 64));
    ASSERT_TRUE(id.good());
    ASSERT_EQ(id.dataIn.size(), 64u);
    ASSERT_TRUE(drive->execute(withSecrets(op::PRA_OPEN, {PASSWORD})).good());

    std::ifstream state(dir.path() / STATE_FILE_NAME);
    const std::string content((std::istreambuf_iterator<char>(state)), {});
    EXPECT_NE(content.find("private-area 1 8192 5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a"),
              std::string::npos);

    reopen();
    EXPECT_EQ(parameters(*drive).area, PRIVATE_SECTORS);
    EXPECT_EQ(parameters(*drive).loggedIn, 0u);
    ASSERT_TRUE(drive->execute(withSecrets(op::TH_OPEN_PRIVATE_AREA, {pcId, id.dataIn})).good());
    EXPECT_EQ(parameters(*drive).loggedIn, 1u);

    drive->detach();
    drive->attach();
    ASSERT_TRUE(drive->waitForBusState(BusState::Attached, 5s));
    EXPECT_EQ(parameters(*drive).loggedIn, 0u);
}

// The volume directory shows the files of the part the LUN shows.
TEST_F(PrivateAreaCommands, TheVolumeDirectoryFollowsTheLogin) {
    ASSERT_TRUE(drive->execute(configure(PRIVATE_SECTORS, PASSWORD)).good());
    std::ofstream(volume() / "public.txt") << "out";
    ASSERT_TRUE(drive->execute(withSecrets(op::PRA_OPEN, {PASSWORD})).good());
    EXPECT_FALSE(fs::exists(volume() / "public.txt"));
    std::ofstream(volume() / "secret.txt") << "in";
    ASSERT_TRUE(drive->execute(close()).good());
    EXPECT_TRUE(fs::exists(volume() / "public.txt"));
    EXPECT_FALSE(fs::exists(volume() / "secret.txt"));
    ASSERT_TRUE(drive->execute(withSecrets(op::PRA_OPEN, {PASSWORD})).good());
    EXPECT_TRUE(fs::exists(volume() / "secret.txt"));
}

// An area that takes the whole domain: no sectors until a login (the unit
// stays ready, so the host keeps the drive); made public
// it keeps its sectors and files, and the password no longer matters.
TEST_F(PrivateAreaCommands, AWholeDomainAreaHasNoSectorsUntilLoginAndStaysWhenMadePublic) {
    ASSERT_TRUE(drive->execute(configure(DOMAIN_SECTORS, PASSWORD)).good());
    consumeAttention(*drive);
    auto ready = drive->execute(readCapacity(LUN));
    EXPECT_EQ(ready.senseKey(), SENSE_NOT_READY);
    EXPECT_EQ(ready.asc(), ASC_MEDIUM_NOT_PRESENT);

    ASSERT_TRUE(drive->execute(withSecrets(op::PRA_OPEN, {PASSWORD})).good());
    consumeAttention(*drive);
    ASSERT_TRUE(drive->execute(write10(LUN, 0, pattern(2, 9))).good());
    std::ofstream(volume() / "kept.txt") << "kept";
    ASSERT_TRUE(drive->execute(withSecrets(op::PRA_MAKE_SECUREDISK_PUBLIC, {PASSWORD})).good());
    consumeAttention(*drive);
    EXPECT_EQ(parameters(*drive).area, 0u);
    EXPECT_EQ(capacity(*drive), DOMAIN_SECTORS);
    EXPECT_EQ(drive->execute(read10(LUN, 0, 2)).dataIn, pattern(2, 9));
    EXPECT_TRUE(fs::exists(volume() / "kept.txt"));
}

}  // namespace
}  // namespace qzemu::test
