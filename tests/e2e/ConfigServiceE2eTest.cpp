// The restore road end to end: a real qzemud with a drive whose launcher was
// removed (one public domain), the library started as a program starts it,
// a window listening for drives, and the configuration service doing what
// the restore worker does: list the domains, read the free capacity, add a
// CD domain of that size and wait for the drive to come back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DeviceManager.h"
#include "Domain.h"
#include "E2eSupport.h"
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
#include "port/Messages.h"
#include "qz/ConfigService.h"
#include "qz/ConfigServiceImpl.h"

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
        rig->create(c);
        window = port::createWindow(u"config test",
                                    [this](port::HWND, std::uint32_t message, std::uintptr_t,
                                           std::intptr_t code) -> std::intptr_t {
                                        if (message == nork::WM_SDK_DEVICE_UPDATED)
                                            updates.push_back(code);
                                        return 0;
                                    });
        EXPECT_NE(window, port::HWND_NONE);
        nork::CWMListeningMgr::instance().addHWNDListener(window, nullptr);
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
    nork::STATUS addOnWorker(const nork::qz::CConfigService& service, nork::CDomain& domain) {
        std::atomic<bool> finished{false};
        nork::STATUS status = nork::STATUS_ERROR;
        std::thread worker([&] {
            status = service.addDomain(domain, 9, nullptr);
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

// The new public domain is added and reported, but the library has no
// formatter behind the utilities service: the format step fails.
TEST_F(ConfigServiceE2e, APublicDomainToFormatIsAddedAndTheMissingFormatterReported) {
    const std::string serial = "QECFGSVC0000003";
    nork::CUFD ufd = optedOutDrive(serial);
    ASSERT_TRUE(ufd.isValid());
    const nork::qz::CConfigService service(ufd);
    nork::CDomain pub(nork::DOMAIN_TYPE_PUBLIC, nork::DOMAIN_SIZE_REST, 0);
    EXPECT_EQ(addOnWorker(service, pub), nork::STATUS_ERROR);
    EXPECT_EQ(pub.index(), 1);
    EXPECT_EQ(pub.lun(), 1);
    EXPECT_EQ(rig->inspect(serial).domains.size(), 2u);
}

}  // namespace
}  // namespace qzemu::e2e
