// The cookie store against a real qzemud through the real executor: values
// set and read back through the registered service and the public handle,
// and two processes filling one drive at the same time under the drive's
// named lock. The second process is this test binary again, running the
// helper test below with its parameters in the environment.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "CookieImpl.h"
#include "DeviceHandle.h"
#include "DeviceManager.h"
#include "DeviceParams.h"
#include "DeviceSupport.h"
#include "E2eSupport.h"
#include "HATestSupport.h"
#include "HIDHandleMgr.h"
#include "UFD.h"
#include "UFDImpl.h"
#include "VendorIdentifier.h"
#include "model/HiddenArea.h"
#include "port/ChildProcess.h"
#include "qz/Cookie.h"

namespace qzemu::e2e {
namespace {

using nork::STATUS_OK;

constexpr int COOKIES_PER_PROCESS = 200;
constexpr const char* ENV_SOCKET = "QZ_COOKIE_HELPER_SOCKET";
constexpr const char* ENV_SERIAL = "QZ_COOKIE_HELPER_SERIAL";
constexpr const char* ENV_LOCKS = "QZ_COOKIE_HELPER_LOCKS";

nork::CCookieImpl* cookiesOf(nork::CUFDImpl* device) {
    return device ? dynamic_cast<nork::CCookieImpl*>(device->getService(8).get()) : nullptr;
}

// Sets the process's cookies: section `who`, keys "k0".."k199", value
// base + i. Fails the test at the first refusal.
void setMany(nork::CCookieImpl& cookies, const std::string& who, int base) {
    for (int i = 0; i < COOKIES_PER_PROCESS; ++i) {
        const std::string key = "k" + std::to_string(i);
        ASSERT_EQ(cookies.setInt(who.c_str(), key.c_str(), base + i), STATUS_OK) << key;
    }
}

class CookieE2e : public DaemonDriveTest {
  protected:
    void SetUp() override {
        DaemonDriveTest::SetUp();
        nork::CHIDHandleMgr::instance().setLockDirectory((scratch.path() / "locks").string());
    }

    nork::CUFDImpl* connect(const std::string& serial) {
        return DaemonDriveTest::connect(serial, "3:1,4:1,8:2");
    }
};

TEST_F(CookieE2e, ValuesAreSetAndReadThroughTheDrive) {
    const std::string serial = "QE00C00C00000001";
    nork::CUFDImpl* device = connect(serial);
    nork::CCookieImpl* cookies = cookiesOf(device);
    ASSERT_NE(cookies, nullptr);

    ASSERT_EQ(cookies->setInt("Jx App", "OptedOut", 1), STATUS_OK);
    ASSERT_EQ(cookies->setString("SDK_PA_API_HINT_SECTION", "SDK_PA_API_HINT_ENTRY", "a hint"),
              STATUS_OK);
    const std::vector<std::uint8_t> blob(1200, 0xA5);  // across pages
    ASSERT_EQ(cookies->setBinary("Blob", "b", blob.data(), 1200), STATUS_OK);

    const nork::qz::CCookie handle{nork::CUFD(device)};
    std::int32_t value = 0;
    EXPECT_EQ(handle.getInt(u"Jx App", u"OptedOut", value), STATUS_OK);
    EXPECT_EQ(value, 1);
    char text[32];
    std::uint32_t size = sizeof text;
    EXPECT_EQ(cookies->getString("SDK_PA_API_HINT_SECTION", "SDK_PA_API_HINT_ENTRY", text, size),
              STATUS_OK);
    EXPECT_STREQ(text, "a hint");
    std::vector<std::uint8_t> out(1200);
    size = 1200;
    EXPECT_EQ(cookies->getBinary("Blob", "b", out.data(), size), STATUS_OK);
    EXPECT_EQ(out, blob);

    EXPECT_EQ(cookies->removeCookie("Jx App", "OptedOut"), STATUS_OK);
    EXPECT_EQ(handle.getInt(u"Jx App", u"OptedOut", value), nork::STATUS_DATA_NOT_FOUND);
    const auto area = nork::test::checkHAArea(pagesOf(serial));
    EXPECT_TRUE(area.ok()) << area.error;

    // A drive that left the bus: no answer, not a missing cookie.
    rig->unplug(serial);
    EXPECT_EQ(handle.getInt(u"Blob", u"b", value), nork::STATUS_COMMUNICATION_FAILURE);
}

TEST_F(CookieE2e, TwoProcessesFillOneDriveAtTheSameTime) {
    const std::string serial = "QE00C00C00000002";
    nork::CUFDImpl* device = connect(serial);
    nork::CCookieImpl* cookies = cookiesOf(device);
    ASSERT_NE(cookies, nullptr);
    std::uint64_t free = 0;
    ASSERT_EQ(cookies->getFreeSpace(free), STATUS_OK);  // formats the blank area first

    ::setenv(ENV_SOCKET, rig->daemon().socket().c_str(), 1);
    ::setenv(ENV_SERIAL, serial.c_str(), 1);
    ::setenv(ENV_LOCKS, (scratch.path() / "locks").string().c_str(), 1);
    std::int64_t pid = 0;
    const std::string self = nork::port::selfExecutablePath();
    ASSERT_FALSE(nork::port::spawnProcess(
        self, {self, "--gtest_filter=CookieE2eHelper.SetsItsCookies"}, pid,
        (scratch.path() / "helper.out").string(), (scratch.path() / "helper.err").string()));
    ::unsetenv(ENV_SOCKET);

    setMany(*cookies, "parent", 1000);
    int code = -1;
    ASSERT_FALSE(nork::port::waitProcess(pid, std::chrono::seconds(120), code));
    std::ifstream log(scratch.path() / "helper.out");
    std::stringstream helperText;
    helperText << log.rdbuf();
    ASSERT_EQ(code, 0) << helperText.str();
    ASSERT_NE(helperText.str().find("[  PASSED  ] 1 test"), std::string::npos) << helperText.str();

    for (const auto& [who, base] : {std::pair{"parent", 1000}, std::pair{"child", 5000}}) {
        for (int i = 0; i < COOKIES_PER_PROCESS; ++i) {
            const std::string key = "k" + std::to_string(i);
            std::int32_t value = 0;
            ASSERT_EQ(cookies->getInt(who, key.c_str(), value), STATUS_OK) << who << " " << key;
            EXPECT_EQ(value, base + i);
        }
    }
    const auto area = nork::test::checkHAArea(pagesOf(serial));
    ASSERT_TRUE(area.ok()) << area.error;
    int stored = 0;
    for (const auto& c : area.chunks)
        stored += c.type == 2;
    EXPECT_EQ(stored, 2 * COOKIES_PER_PROCESS);
}

// The other process of the test above; skipped when run on its own.
TEST(CookieE2eHelper, SetsItsCookies) {
    const char* socket = std::getenv(ENV_SOCKET);
    if (socket == nullptr)
        GTEST_SKIP() << "runs only as the helper process";
    nork::CHIDHandleMgr::instance().setLockDirectory(std::getenv(ENV_LOCKS));
    auto backend = emu::makeEmulatorDeviceBackend(socket);
    nork::port::deviceIo().registerBackend(backend);
    {
        nork::CDeviceManager manager;
        nork::CCookieImpl* cookies =
            cookiesOf(connectEmulatedDrive(manager, std::getenv(ENV_SERIAL)));
        ASSERT_NE(cookies, nullptr);
        setMany(*cookies, "child", 5000);
    }
    nork::port::deviceIo().unregisterBackend(backend.get());
}

}  // namespace
}  // namespace qzemu::e2e
