// The restore road end to end: a real qzemud with a drive whose launcher was
// removed (one public domain), the library started as a program starts it,
// a window listening for drives, and the configuration service doing what
// the restore worker does: list the domains, read the free capacity, add a
// CD domain of that size and wait for the drive to come back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Callbacks.h"
#include "DeviceManager.h"
#include "Domain.h"
#include "E2eSupport.h"
#include "FatCheckSupport.h"
#include "LogCapture.h"
#include "PlatformFactory.h"
#include "Registry.h"
#include "RuntimeTestSupport.h"
#include "SDK.h"
#include "TransparentReconnect.h"
#include "UFD.h"
#include "UFDImpl.h"
#include "WMListeningMgr.h"
#include "ZykEvent.h"
#include "fat/FatFormat.h"
#include "port/Messages.h"
#include "qz/ConfigService.h"
#include "qz/ConfigServiceImpl.h"
#include "qz/DriveProtocol.h"
#include "qz/UtilsImpl.h"

namespace qzemu::e2e {
namespace {

namespace port = nork::port;

std::u16string u16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// The configuration service of a process without administrator mode.
class NonAdminConfigService : public nork::qz::CConfigServiceImpl {
  public:
    NonAdminConfigService() : CConfigServiceImpl(1) {}
    std::unique_ptr<nork::CZykAPI> clone() const override {
        return std::make_unique<NonAdminConfigService>();
    }

  protected:
    bool privilege(int which) const override {
        return which != nork::CPlatformFactory::PRIV_F && CConfigServiceImpl::privilege(which);
    }
};

constexpr std::uint32_t FLASH_SECTORS = 40000;
constexpr std::uint32_t PUBLIC_SECTORS = 20000;

class ConfigServiceE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        runtime = fs::temp_directory_path() / ("qzc-" + uniqueSuffix());
        fs::create_directories(runtime);
        setEnv("XDG_RUNTIME_DIR", runtime.c_str());
        setEnv("QZ_HKCU_HIVE", (scratch.path() / "hkcu").c_str());
        setEnv("QZ_HKLM_HIVE", (scratch.path() / "hklm").c_str());
        setEnv("QZ_HKCR_HIVE", (scratch.path() / "hkcr").c_str());
        rig = std::make_unique<SocketRig>(scratch.path());
        ASSERT_TRUE(rig->ready());
        setEnv("QZ_EMU_SOCKET", rig->daemon().socket().c_str());
        nork::CRegistry registry;
        ASSERT_TRUE(registry.create(nork::CRegistry::ROOT_CURRENT_USER, u"SOFTWARE\\NORK\\SDK"));
        ASSERT_TRUE(registry.writeString(u"LogFilePath", u16(scratch.path().string())));
        registry.close();
        log = nork::testing::LogCapture::onProcessLog("config");
        std::uint32_t settings = 0;
        ASSERT_EQ(nork::SDK::init(settings, nork::LogConfig{0xFFFFFFFFu, nullptr}),
                  nork::STATUS_OK);
        started = true;
    }

    void TearDown() override {
        nork::CTransparentReconnectionsManager::instance().waitIdle(10s);
        if (window != port::HWND_NONE) {
            nork::CWMListeningMgr::instance().removeHWNDListener(window);
            port::destroyWindow(window);
        }
        if (started)
            nork::SDK::fini();
        std::error_code ec;
        fs::remove_all(runtime, ec);
    }

    template <class Pred>
    bool pumpUntil(Pred until, std::chrono::milliseconds ms) {
        const auto end = std::chrono::steady_clock::now() + ms;
        for (;;) {
            port::Msg msg;
            while (port::peekMessage(msg, true))
                port::dispatchMessage(msg);
            if (until())
                return true;
            if (std::chrono::steady_clock::now() > end)
                return false;
            port::waitThreadQueue(20ms);
        }
    }

    // An opted-out drive (one public domain), known to the library through
    // device polling as an application's window sees it.
    nork::CUFD optedOutDrive(const std::string& serial) {
        emu::DriveConfig c = smallDrive(serial);
        c.flashSectors = FLASH_SECTORS;
        c.layout = "public:" + std::to_string(PUBLIC_SECTORS);
        c.reattachDelayMs = 300;
        return knownDrive(c);
    }

    // A new drive, known to the library through device polling.
    nork::CUFD knownDrive(const emu::DriveConfig& c) {
        const std::string serial = c.serial;
        rig->create(c);
        if (window != port::HWND_NONE)
            return polled(serial);
        window = port::createWindow(u"config test",
                                    [this](port::HWND, std::uint32_t message, std::uintptr_t,
                                           std::intptr_t code) -> std::intptr_t {
                                        if (message == nork::WM_SDK_DEVICE_UPDATED)
                                            updates.push_back(code);
                                        return 0;
                                    });
        EXPECT_NE(window, port::HWND_NONE);
        nork::CWMListeningMgr::instance().addHWNDListener(window, nullptr);
        return polled(serial);
    }

    nork::CUFD polled(const std::string& serial) {
        nork::CUFD ufd;
        pumpUntil(
            [&] {
                ufd = nork::CZykSDK::instance().deviceManager().getCUFD(u16(serial));
                return ufd.isValid() && ufd.impl()->driveMask() != 0;
            },
            20s);
        return ufd;
    }

    // addDomain on a worker thread while this one pumps, as the restore
    // program runs it.
    nork::STATUS addOnWorker(const nork::qz::CConfigService& service, nork::CDomain& domain,
                             std::uint32_t options = 9) {
        std::atomic<bool> finished{false};
        nork::STATUS status = nork::STATUS_ERROR;
        std::thread worker([&] {
            status = service.addDomain(domain, options, nullptr);
            finished = true;
        });
        pumpUntil([&] { return finished.load(); }, 90s);
        worker.join();
        return status;
    }

    bool logged(const std::string& text) {
        for (const auto& line : log->lines()) {
            if (std::string(line.begin(), line.end()).find(text) != std::string::npos)
                return true;
        }
        return false;
    }

    // Sets a variable for this test; the old value comes back after it.
    void setEnv(const char* name, const std::string& value) {
        env.push_back(std::make_unique<nork::testing::ScopedEnv>(name, value));
    }

    std::vector<std::unique_ptr<nork::testing::ScopedEnv>> env;
    ScratchDir scratch;
    fs::path runtime;
    std::unique_ptr<SocketRig> rig;
    std::shared_ptr<nork::testing::LogCapture> log;
    bool started = false;
    port::HWND window = port::HWND_NONE;
    std::vector<std::intptr_t> updates;
};

TEST_F(ConfigServiceE2e, TheRestoreRequestBringsTheDriveBackWithItsCdDomain) {
    const std::string serial = "QECFGSVC0000001";
    nork::CUFD ufd = optedOutDrive(serial);
    ASSERT_TRUE(ufd.isValid());
    const nork::qz::CConfigService service(ufd);

    nork::CDomainList domains;
    ASSERT_EQ(service.getDomains(domains), nork::STATUS_OK);
    ASSERT_EQ(domains.count(), 1u);
    EXPECT_EQ(domains.at(0).type(), nork::DOMAIN_TYPE_PUBLIC);
    EXPECT_EQ(domains.at(0).mountPoint(), u"D:\\");

    std::uint64_t free = 0;
    ASSERT_EQ(service.getFreeCapacity(free), nork::STATUS_OK);
    EXPECT_EQ(free, std::uint64_t{FLASH_SECTORS - PUBLIC_SECTORS} * 512);

    nork::CDomain cd(nork::DOMAIN_TYPE_CD, free, 0);
    ASSERT_EQ(addOnWorker(service, cd), nork::STATUS_OK);
    // The free space, in whole CD units, at the LUN after the old domain.
    const std::uint32_t valid = (FLASH_SECTORS - PUBLIC_SECTORS) / 64 * 64;
    EXPECT_TRUE(logged("CConfigServiceImpl::addDomain --- type 3, LUN 1, " + std::to_string(valid) +
                       " sectors, fillsRest 0"));
    EXPECT_EQ(cd.index(), 1);
    EXPECT_EQ(cd.lun(), 1);
    EXPECT_EQ(cd.size(), std::uint64_t{valid} * 512);
    EXPECT_EQ(cd.mountPoint(), u"E:\\");

    const emu::DriveInfo info = rig->inspect(serial);
    ASSERT_EQ(info.domains.size(), 2u);
    EXPECT_EQ(info.domains[1].type, nork::DOMAIN_TYPE_CD);
    EXPECT_EQ(info.domains[1].lun, 1);
    EXPECT_EQ(info.lastDetachAttach[2], 1u);  // the command flag
    // Applications heard one update with the reconnection's code.
    pumpUntil([&] { return !updates.empty(); }, 5s);
    EXPECT_EQ(updates, std::vector<std::intptr_t>{
                           std::intptr_t{nork::CZykEvent::updateCode(nork::CZykEvent::TR_QZ)}});

    ASSERT_EQ(service.getDomains(domains), nork::STATUS_OK);
    ASSERT_EQ(domains.count(), 2u);
    EXPECT_EQ(domains.at(1).mountPoint(), u"E:\\");
}

TEST_F(ConfigServiceE2e, WithoutAdministratorModeTheCallersDomainKeepsItsValues) {
    const std::string serial = "QECFGSVC0000002";
    nork::CUFD ufd = optedOutDrive(serial);
    ASSERT_TRUE(ufd.isValid());
    ufd.impl()->addService(NonAdminConfigService());
    const nork::qz::CConfigService service(ufd);

    std::uint64_t free = 0;
    ASSERT_EQ(service.getFreeCapacity(free), nork::STATUS_OK);
    nork::CDomain cd(nork::DOMAIN_TYPE_CD, free, 0);
    ASSERT_EQ(addOnWorker(service, cd), nork::STATUS_OK);
    EXPECT_EQ(cd.index(), nork::DOMAIN_NO_INDEX);
    EXPECT_EQ(cd.lun(), nork::DOMAIN_NO_LUN);
    EXPECT_EQ(cd.size(), free);
    EXPECT_TRUE(cd.mountPoint().empty());
    EXPECT_EQ(rig->inspect(serial).domains.size(), 2u);
}

// ---- The utilities service on the drive ----

std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The volume of a domain, copied out of the drive's image into a file of
// its own: from the first partition on when the domain has a partition
// table, else the whole domain.
fs::path volumeImage(const emu::DriveInfo& info, std::size_t domain, bool table,
                     const fs::path& out) {
    const emu::Domain& d = info.domains.at(domain);
    std::ifstream in(fs::path(info.stateDir) / "flash.img", std::ios::binary);
    std::vector<char> sectors(static_cast<std::size_t>(d.sizeSectors) * 512);
    in.seekg(static_cast<std::streamoff>(d.firstSector) * 512);
    in.read(sectors.data(), static_cast<std::streamsize>(sectors.size()));
    const std::uint32_t start =
        table ? le32(reinterpret_cast<const std::uint8_t*>(sectors.data()) + 0x1C6) : 0;
    std::ofstream(out, std::ios::binary)
        .write(
            sectors.data() + static_cast<std::size_t>(start) * 512,
            static_cast<std::streamsize>(sectors.size() - static_cast<std::size_t>(start) * 512));
    return out;
}

void expectCleanAndCarryingFiles(const fs::path& image, const fs::path& scratch) {
    EXPECT_EQ("", nork::testing::fsckProblems(image));
    nork::testing::fatRoundTrip(image, scratch, "volume");
    EXPECT_EQ("", nork::testing::fsckProblems(image));
}

std::shared_ptr<nork::qz::CUtilsImpl> utilitiesOf(const nork::CUFD& ufd) {
    return std::dynamic_pointer_cast<nork::qz::CUtilsImpl>(
        ufd.impl()->getService(nork::qz::CUtilsImpl::SERVICE_ID));
}

class Percentages : public nork::CProgressCallback {
  public:
    void onProgress(std::uint32_t percent) override { seen.push_back(percent); }
    std::vector<std::uint32_t> seen;
};

// The new public domain is added, reported and formatted: fsck.fat finds
// its file system clean and mtools writes files onto it and reads them back.
TEST_F(ConfigServiceE2e, APublicDomainAddedIsFormattedWithFat) {
    if (!nork::testing::fatToolsPresent())
        GTEST_SKIP() << "dosfstools or mtools missing";
    const std::string serial = "QECFGSVC0000003";
    nork::CUFD ufd = optedOutDrive(serial);
    ASSERT_TRUE(ufd.isValid());
    const nork::qz::CConfigService service(ufd);
    nork::CDomain pub(nork::DOMAIN_TYPE_PUBLIC, nork::DOMAIN_SIZE_REST, 0);
    ASSERT_EQ(addOnWorker(service, pub), nork::STATUS_OK);
    EXPECT_EQ(pub.index(), 1);
    EXPECT_EQ(pub.lun(), 1);
    EXPECT_TRUE(logged("Qz: CUtilsImpl::format(): Format succeeded"));
    const emu::DriveInfo info = rig->inspect(serial);
    ASSERT_EQ(info.domains.size(), 2u);
    expectCleanAndCarryingFiles(volumeImage(info, 1, true, scratch.path() / "added.img"),
                                scratch.path());

    // Formatted again (the drive now has a partition table to refresh
    // first): still the second domain's sectors, the first one untouched.
    auto utils = utilitiesOf(ufd);
    ASSERT_TRUE(utils);
    nork::CDomainAddress address(pub);
    nork::CFormatConfigFat fat;
    fat.setVolumeLabel("AGAIN");
    ASSERT_EQ(utils->format(address, fat, nullptr, false, false), nork::STATUS_OK);
    std::ifstream image(fs::path(info.stateDir) / "flash.img", std::ios::binary);
    std::vector<char> first(512);
    image.read(first.data(), 512);
    EXPECT_EQ(std::count(first.begin(), first.end(), 0), 512) << "the first domain was written";
    expectCleanAndCarryingFiles(
        volumeImage(rig->inspect(serial), 1, true, scratch.path() / "again.img"), scratch.path());
    EXPECT_EQ(0,
              nork::testing::runMtools("mlabel -s -i '" + (scratch.path() / "again.img").string() +
                                       "' :: | grep -q AGAIN"));
}

// With the lock (options 0) the drive's mounted volume is dismounted for
// the change; the drive comes back with both volumes up and the new one
// formatted.
TEST_F(ConfigServiceE2e, ALockedAddDismountsTheVolumesAndTheDriveComesBackWithThemUp) {
    if (!nork::testing::fatToolsPresent())
        GTEST_SKIP() << "dosfstools or mtools missing";
    const std::string serial = "QECFGSVC0000009";
    nork::CUFD ufd = optedOutDrive(serial);
    ASSERT_TRUE(ufd.isValid());
    const nork::qz::CConfigService service(ufd);
    nork::CDomain pub(nork::DOMAIN_TYPE_PUBLIC, nork::DOMAIN_SIZE_REST, 0);
    ASSERT_EQ(addOnWorker(service, pub, 0), nork::STATUS_OK);
    EXPECT_TRUE(logged("CDiskUtilsImpl::umountVolume --- volume: \\\\.\\"));
    EXPECT_TRUE(logged("Qz: CUtilsImpl::format(): Format succeeded"));
    const emu::DriveInfo info = rig->inspect(serial);
    ASSERT_EQ(info.domains.size(), 2u);
    for (int lun = 0; lun < 2; ++lun) {
        EXPECT_TRUE(
            fs::is_directory(fs::path(info.stateDir) / "volumes" / ("lun" + std::to_string(lun))))
            << "volume of LUN " << lun << " is not up";
    }
    expectCleanAndCarryingFiles(volumeImage(info, 1, true, scratch.path() / "locked.img"),
                                scratch.path());
}

// Format through the utilities service on domains FAT12/16 and FAT32 sizes
// allow: the type read back from the partition table, a clean volume, and
// the emulated volume's files gone with the old file system.
TEST_F(ConfigServiceE2e, TheUtilitiesServiceFormatsAndReadsTheTypeBack) {
    if (!nork::testing::fatToolsPresent())
        GTEST_SKIP() << "dosfstools or mtools missing";
    struct Case {
        std::uint32_t sectors;
        std::int32_t fsType;
        int expected;
    };
    const Case cases[] = {{20000, 0, 1}, {140000, 2, 2}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sectors << " sectors, fsType " << c.fsType);
        const std::string serial = "QEUTILFMT000000" + std::to_string(n++);
        emu::DriveConfig config = smallDrive(serial);
        config.flashSectors = c.sectors;
        config.layout = "public:" + std::to_string(c.sectors);
        nork::CUFD ufd = knownDrive(config);
        ASSERT_TRUE(ufd.isValid());
        auto utils = utilitiesOf(ufd);
        ASSERT_TRUE(utils);
        const fs::path volume = fs::path(rig->inspect(serial).stateDir) / "volumes" / "lun0";
        ASSERT_TRUE(fs::is_directory(volume));
        std::ofstream(volume / "old.txt") << "from the old file system";

        // Every drive of the test has its own letter.
        nork::CDomainList domains;
        ASSERT_EQ(nork::qz::CConfigService(ufd).getDomains(domains), nork::STATUS_OK);
        nork::CDomainAddress address(domains.at(0));
        nork::CFormatConfigFat fat;
        fat.fsType = c.fsType;
        fat.setVolumeLabel("QZUTILS");
        Percentages progress;
        ASSERT_EQ(utils->format(address, fat, &progress, false, false), nork::STATUS_OK);
        EXPECT_FALSE(progress.seen.empty());
        EXPECT_TRUE(std::is_sorted(progress.seen.begin(), progress.seen.end()));
        EXPECT_TRUE(fs::is_empty(volume));

        int type = 0;
        EXPECT_EQ(utils->getFSType(address, type, 0), nork::STATUS_OK);
        EXPECT_EQ(type, c.expected);
        EXPECT_EQ(utils->getFSType(address, type, 1), nork::STATUS_WRONG_PARAMETERS);
        EXPECT_TRUE(logged("Qz: CUtilsImpl::getFSType(): illegal partition number"));

        expectCleanAndCarryingFiles(
            volumeImage(rig->inspect(serial), 0, true, scratch.path() / (serial + ".img")),
            scratch.path());
    }
}

// Write protection on, the drive back through its reconnection, writes
// refused; off again, writes accepted.
TEST_F(ConfigServiceE2e, WriteProtectionSwitchesThroughTheDrivesReconnection) {
    const std::string serial = "QECFGSVC0000004";
    nork::CUFD ufd = optedOutDrive(serial);
    ASSERT_TRUE(ufd.isValid());
    auto utils = utilitiesOf(ufd);
    ASSERT_TRUE(utils);
    nork::CDomainAddress address(0, u"D:\\");
    bool on = true;
    ASSERT_EQ(utils->getWriteProtection(address, on), nork::STATUS_OK);
    EXPECT_FALSE(on);

    const auto switchTo = [&](bool protect) {
        std::atomic<bool> finished{false};
        nork::STATUS status = nork::STATUS_ERROR;
        std::thread worker([&] {
            status = utils->configureWriteProtection(address, protect, false);
            finished = true;
        });
        pumpUntil([&] { return finished.load(); }, 90s);
        worker.join();
        return status;
    };
    nork::CFormatConfigFat fat;
    fat.setVolumeLabel("QZWP");
    for (const bool protect : {true, false}) {
        SCOPED_TRACE(protect ? "on" : "off");
        ASSERT_EQ(switchTo(protect), nork::STATUS_OK);
        EXPECT_EQ(rig->inspect(serial).domains.at(0).flags & nork::DOMAIN_FLAG_WRITE_PROTECTED,
                  protect ? nork::DOMAIN_FLAG_WRITE_PROTECTED : 0);
        ASSERT_EQ(utils->getWriteProtection(address, on), nork::STATUS_OK);
        EXPECT_EQ(on, protect);
        const nork::STATUS formatted = utils->format(address, fat, nullptr, false, false);
        if (protect)
            EXPECT_NE(formatted, nork::STATUS_OK);
        else
            EXPECT_EQ(formatted, nork::STATUS_OK);
    }
}

// A pulse of the domain is answered; a pulse of a domain the drive does not
// have fails, and the drive's error text names the pulse. The text needs
// its length plus a terminator: one character less is too small.
TEST_F(ConfigServiceE2e, PulseAndTheDrivesErrorText) {
    const std::string serial = "QECFGSVC0000005";
    nork::CUFD ufd = optedOutDrive(serial);
    ASSERT_TRUE(ufd.isValid());
    auto utils = utilitiesOf(ufd);
    ASSERT_TRUE(utils);
    nork::CDomainAddress address(0, u"D:\\");
    EXPECT_EQ(utils->pulse(address), nork::STATUS_OK);
    EXPECT_TRUE(logged("Qz: CUtilsImpl::pulse(): pulse succeeded"));
    // The drive re-presented the medium: not ready once, then ready.
    EXPECT_TRUE(logged("The device is not ready yet - test#1"));

    nork::CDomainAddress missing(7, u"");
    std::u16string expected;
    const std::uint32_t code =
        (std::uint32_t{nork::proto::qzop::AUX_READY_NOT_READY_PULSE} << 16) | 0x0002;
    utils->describeCommand(code, expected);
    utils->describeError(code, expected);
    EXPECT_NE(expected.find(u"AUX__Ready_Not_Ready_Pulse"), std::u16string::npos);

    EXPECT_EQ(utils->pulse(missing), nork::STATUS_COMMUNICATION_FAILURE);
    std::vector<char16_t> buffer(expected.size() + 1, u'x');
    auto length = static_cast<std::uint32_t>(expected.size());
    EXPECT_EQ(utils->getErrorText(buffer.data(), length), nork::STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, expected.size() + 1);

    // Reading the error clears it: fail once more.
    EXPECT_EQ(utils->pulse(missing), nork::STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(utils->getErrorText(buffer.data(), length), nork::STATUS_OK);
    EXPECT_EQ(std::u16string(buffer.data()), expected);
}

}  // namespace
}  // namespace qzemu::e2e
