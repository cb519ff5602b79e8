// A drive's state directory keeps every byte and field across close/reopen,
// and only its owner may read it.
#include <fstream>
#include <sstream>

#include "emu/EmuTestSupport.h"

namespace qzemu::test {
namespace {

TEST(Persistence, ReopenRestoresDataTableAndFields) {
    ScratchDir dir;
    DriveConfig config = smallConfig();
    config.identity.firmware = "6.6a";
    config.layout = "type1:100,cd:4096:locked,public:rest:wp,public:1000";
    config.flashSectors = 40000;
    config.reattachDelay = 250ms;
    const auto data2 = pattern(5, 0x42);
    DriveInfo before;
    {
        auto drive = VirtualDrive::create(dir.path(), config);
        ASSERT_TRUE(drive->execute(write10(2, 7, data2)).good());
        drive->execute(qzCommand(0x4242, ScsiRequest::None));  // leaves an error code
        drive->setMode(DriveMode::PlainDisk);
        drive->detach();
        before = drive->inspect();
    }
    auto drive = VirtualDrive::open(dir.path());
    DriveInfo after = drive->inspect();
    EXPECT_EQ(after.identity.serial, before.identity.serial);
    EXPECT_EQ(after.identity.firmware, "6.6a");
    EXPECT_EQ(after.identity.product, before.identity.product);
    EXPECT_EQ(after.identity.usbVendorId, before.identity.usbVendorId);
    EXPECT_EQ(after.identity.usbProductId, before.identity.usbProductId);
    EXPECT_EQ(after.mode, DriveMode::PlainDisk);
    EXPECT_EQ(after.flashSectors, 40000u);
    EXPECT_EQ(after.layout, before.layout);
    EXPECT_EQ(after.freeSectors, before.freeSectors);
    EXPECT_EQ(after.errorRegister, 0x42420001u);
    EXPECT_EQ(after.reattachDelay, 250ms);
    EXPECT_FALSE(after.plugged);
    EXPECT_EQ(after.bus, BusState::Detached);

    drive->attach();
    drive->setMode(DriveMode::Qz);
    EXPECT_EQ(drive->execute(read10(2, 7, 5)).dataIn, data2);
    EXPECT_EQ(readErrorRegister(*drive), 0x42420001u);
}

TEST(Persistence, PluggedDriveComesBackAsAfterPowerOn) {
    ScratchDir dir;
    const auto data = pattern(2, 0x77);
    {
        auto drive = VirtualDrive::create(dir.path(), smallConfig());
        consumeAttention(*drive);
        ASSERT_TRUE(drive->execute(write10(1, 0, data)).good());
        std::ofstream(drive->volumePath(1) / "f") << "x";
    }
    // The volume directories go with the drive object.
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "volumes"));
    auto drive = VirtualDrive::open(dir.path());
    EXPECT_EQ(drive->busState(), BusState::Attached);
    EXPECT_EQ(drive->execute(testUnitReady(1)).senseKey(), proto::SENSE_KEY_UNIT_ATTENTION);
    EXPECT_EQ(drive->execute(read10(1, 0, 2)).dataIn, data);
    EXPECT_TRUE(std::filesystem::exists(drive->volumePath(1) / "f"));
}

// drive.state holds the drive's RSA private exponent and password digests.
TEST(Persistence, StateIsTheOwnersOnly) {
    namespace fs = std::filesystem;
    constexpr auto OTHERS = fs::perms::group_all | fs::perms::others_all;
    const char* const FILES[] = {"drive.state", "flash.img", "hidden.img"};
    auto expectOwnerOnly = [&](const fs::path& dir, const char* when) {
        SCOPED_TRACE(when);
        EXPECT_EQ(fs::status(dir).permissions() & fs::perms::all, fs::perms::owner_all);
        for (const char* name : FILES) {
            EXPECT_EQ(fs::status(dir / name).permissions() & fs::perms::all,
                      fs::perms::owner_read | fs::perms::owner_write)
                << name;
        }
    };
    auto widen = [&](const fs::path& dir) {
        fs::permissions(dir, OTHERS, fs::perm_options::add);
        for (const char* name : FILES)
            fs::permissions(dir / name, OTHERS, fs::perm_options::add);
    };

    ScratchDir scratch;
    // A directory that exists already, open to all, as a user may have made it.
    const fs::path dir = scratch.path() / "drive";
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::all);
    {
        auto drive = VirtualDrive::create(dir, smallConfig());
        expectOwnerOnly(dir, "created");
        // Every rewrite replaces the file with one of the same rights, and
        // a leftover of an interrupted one lends it nothing.
        widen(dir);
        std::ofstream(dir / "drive.state.new") << "stale";
        fs::permissions(dir / "drive.state.new", fs::perms::all);
        drive->detach();
        EXPECT_EQ(fs::status(dir).permissions() & OTHERS, fs::perms::none);
        EXPECT_EQ(fs::status(dir / "drive.state").permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_FALSE(fs::exists(dir / "drive.state.new"));
    }
    // Files made with wider rights (by an older version, or copied) are
    // narrowed when the drive opens.
    widen(dir);
    auto drive = VirtualDrive::open(dir);
    expectOwnerOnly(dir, "reopened");
}

TEST(Persistence, CreateRefusesADirectoryThatHoldsADrive) {
    ScratchDir dir;
    { VirtualDrive::create(dir.path(), smallConfig()); }
    EXPECT_THROW(VirtualDrive::create(dir.path(), smallConfig()), std::runtime_error);
}

TEST(Persistence, BadConfigurationsAreRefused) {
    ScratchDir dir;
    auto withIdentity = [](auto change) {
        DriveConfig c = smallConfig();
        change(c);
        return c;
    };
    const DriveConfig bad[] = {
        withIdentity([](DriveConfig& c) { c.identity.serial = "01234567890123456"; }),
        withIdentity([](DriveConfig& c) { c.identity.vendor = "Corvane\n"; }),
        withIdentity([](DriveConfig& c) { c.identity.firmware = std::string(24, '1'); }),
        withIdentity([](DriveConfig& c) { c.flashSectors = 0; }),
        withIdentity([](DriveConfig& c) { c.layout = "public:30000"; }),
    };
    int i = 0;
    for (const auto& config : bad) {
        EXPECT_THROW(VirtualDrive::create(dir.path() / std::to_string(i), config),
                     std::invalid_argument)
            << i;
        ++i;
    }
    // The serial is generated when none is given.
    DriveConfig noSerial = smallConfig();
    noSerial.identity.serial.clear();
    auto drive = VirtualDrive::create(dir.path() / "gen", noSerial);
    EXPECT_EQ(drive->serial().size(), 16u);
}

// Replaces the line starting with key in the state file (or appends line).
void editState(const std::filesystem::path& dir, const std::string& key, const std::string& line) {
    std::ifstream in(dir / "drive.state");
    std::stringstream out;
    std::string current;
    bool replaced = false;
    while (std::getline(in, current)) {
        if (!replaced && current.rfind(key, 0) == 0) {
            out << line << '\n';
            replaced = true;
        } else {
            out << current << '\n';
        }
    }
    if (!replaced)
        out << line << '\n';
    in.close();
    std::ofstream(dir / "drive.state", std::ios::trunc) << out.str();
}

TEST(Persistence, DamagedStateIsRefusedOnOpen) {
    struct Case {
        const char* key;
        const char* line;
    };
    const Case cases[] = {
        {"unknown", "colour blue"},
        {"flash-sectors", "flash-sectors twelve"},
        {"flash-sectors", "flash-sectors 30000"},  // image of another size
        {"domain", "domain 2 0x0000 99999"},       // beyond the flash
        {"mode", "mode tape"},
        {"serial", "serial 01234567890123456789"},
        {"serial", "vendor again"},  // repeated key, serial missing
        {"format", "format 9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ScratchDir dir;
        { VirtualDrive::create(dir.path(), smallConfig()); }
        editState(dir.path(), c.key, c.line);
        EXPECT_THROW(VirtualDrive::open(dir.path()), std::runtime_error);
    }
}

}  // namespace
}  // namespace qzemu::test
