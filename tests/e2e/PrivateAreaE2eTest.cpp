// The private-area and trusted-host services against a real qzemud through
// the real executor: an area created on the public domain, files' sectors
// written into it through the LUN while logged in, gone at logout and back
// at the next login, the password changed (the old one refused with the
// drive's error code), the area made public with its content; the edge
// cases of the service; and no secret in the library's log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CookieImpl.h"
#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "DeviceSupport.h"
#include "DiskInterface.h"
#include "E2eSupport.h"
#include "HIDHandleMgr.h"
#include "LogCapture.h"
#include "PlatformFactory.h"
#include "RuntimeTestSupport.h"
#include "SCSIExec.h"
#include "StringConvertor.h"
#include "UFDImpl.h"
#include "qz/ConfigServiceImpl.h"
#include "qz/PrivateAreaImpl.h"
#include "qz/QzCommands.h"
#include "qz/SecureSession.h"
#include "qz/SecureSessionServiceImpl.h"
#include "qz/TrustedImpl.h"
#include "qz/UtilsImpl.h"

namespace qzemu::e2e {
namespace {

using nork::CDeviceHandle;
using nork::CDomainAddress;
using nork::STATUS;
using nork::STATUS_OK;
using nork::qz::CPrivateAreaConfig;
using nork::qz::CPrivateAreaImpl;
using nork::qz::CTrustedImpl;
using nork::qz::PasswordForm;

constexpr const char* SERIAL = "QE00PA0000000001";
// smallDrive: a CD domain, then the public domain 1 on LUN 1.
constexpr std::uint8_t DOMAIN = 1;
constexpr std::uint8_t LUN = 1;
constexpr std::uint64_t DOMAIN_BYTES = (20000ull - 4096) * 512;
constexpr std::uint64_t PRIVATE_BYTES = 8192ull * 512;

const char16_t* const PASSWORD = u"Secr\u00e9t-Pass 1";
const char16_t* const NEW_PASSWORD = u"an0ther-one";

// Counts what the services send through the secure path, sending it plainly.
class CountingExec : public nork::qz::CPrivateAreaExec {
  public:
    STATUS execute(nork::CQzPrivateCommand& command, CDeviceHandle& handle,
                   CDomainAddress& address) override {
        ++count;
        return plain.execute(command, handle, address);
    }
    int count = 0;
    nork::qz::CPlainPrivateAreaExec plain;
};

std::vector<std::uint8_t> pattern(std::uint8_t seed) {
    std::vector<std::uint8_t> data(512);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(seed + i * 13);
    return data;
}

std::string hex(const PasswordForm& form, const char* digitFormat) {
    std::string out;
    char two[3];
    for (std::uint8_t b : form) {
        std::snprintf(two, sizeof two, digitFormat, b);
        out += two;
    }
    return out;
}

class PrivateAreaE2e : public DaemonDriveTest {
  protected:
    void SetUp() override {
        DaemonDriveTest::SetUp();
        nork::CHIDHandleMgr::instance().setLockDirectory((scratch.path() / "locks").string());
        device = connect(SERIAL);
        ASSERT_NE(device, nullptr);
        area = std::dynamic_pointer_cast<CPrivateAreaImpl>(device->getService(12));
        trusted = std::dynamic_pointer_cast<CTrustedImpl>(device->getService(14));
        ASSERT_TRUE(area);
        ASSERT_TRUE(trusted);
        const std::string path = nork::port::emu::makeDevicePath(SERIAL, LUN);
        lun.setPath(nork::CDeviceParams::PATH_DISK, std::u16string(path.begin(), path.end()));
    }

    static PasswordForm form(const char16_t* password) {
        PasswordForm out{};
        EXPECT_EQ(CPrivateAreaImpl::passwordForm(password, out), STATUS_OK);
        return out;
    }
    STATUS create(std::uint64_t bytes, const char16_t* password) {
        CDeviceHandle handle(device);
        handle.open();
        CPrivateAreaConfig config;
        config.privateBytes = bytes;
        config.password = password;
        return area->configure(handle, address, config, nullptr, nullptr, false, false);
    }
    STATUS login(const char16_t* password) {
        CDeviceHandle handle(device);
        handle.open();
        const PasswordForm f = form(password);
        return area->login(handle, address, f.data(), nullptr);
    }
    STATUS logout() {
        CDeviceHandle handle(device);
        handle.open();
        return area->logout(handle, address);
    }
    bool loggedIn() {
        CDeviceHandle handle(device);
        handle.open();
        bool in = false;
        EXPECT_EQ(area->isLoggedIn(handle, address, in), STATUS_OK);
        return in;
    }
    std::uint32_t lastDeviceError() {
        auto utils = std::dynamic_pointer_cast<nork::qz::CUtilsImpl>(device->getService(20));
        std::uint32_t code = 0, size = 0;
        EXPECT_EQ(utils->getLastError(code, size, nullptr), STATUS_OK);
        return code;
    }
    // One sector of the public domain's LUN, as it shows now.
    STATUS writeSector(std::uint32_t lba, const std::vector<std::uint8_t>& data) {
        CDeviceHandle handle(&lun);
        handle.open();
        return disk.writeSectors(handle, data.data(), lba, 1);
    }
    std::vector<std::uint8_t> readSector(std::uint32_t lba) {
        CDeviceHandle handle(&lun);
        handle.open();
        std::vector<std::uint8_t> data(512);
        if (disk.readSectors(handle, data.data(), lba, 1) != STATUS_OK)
            data.clear();
        return data;
    }
    std::uint64_t commandCount() { return rig->inspect(SERIAL).commandCount; }

    nork::CUFDImpl* device = nullptr;
    std::shared_ptr<CPrivateAreaImpl> area;
    std::shared_ptr<CTrustedImpl> trusted;
    CDomainAddress address{DOMAIN, u""};
    nork::CDeviceParams lun;
    nork::CSCSIExecWin2k scsi;
    nork::CDiskInterfaceSCSI disk{scsi};
};

TEST_F(PrivateAreaE2e, AreaLivesThroughLoginLogoutPasswordChangeAndMakePublic) {
    auto log = nork::testing::LogCapture::onProcessLog("PrivateAreaE2e");
    ASSERT_EQ(writeSector(0, pattern(1)), STATUS_OK);
    ASSERT_EQ(create(PRIVATE_BYTES, PASSWORD), STATUS_OK);
    std::uint64_t privateBytes = 0, publicBytes = 0;
    ASSERT_EQ(area->getAreaSizes(address, privateBytes, publicBytes), STATUS_OK);
    EXPECT_EQ(privateBytes, PRIVATE_BYTES);
    EXPECT_EQ(publicBytes, DOMAIN_BYTES - PRIVATE_BYTES);
    // The configuration service no longer lets the domain change.
    auto config = std::dynamic_pointer_cast<nork::qz::CConfigServiceImpl>(device->getService(4));
    nork::CDomainList domains;
    ASSERT_EQ(config->getDomains(domains), STATUS_OK);
    nork::CDomain publicDomain = domains.at(DOMAIN);
    CDeviceHandle handle(device);
    handle.open();
    STATUS why = STATUS_OK;
    EXPECT_FALSE(config->isConfigurable(handle, publicDomain, why));
    EXPECT_EQ(why, nork::STATUS_CONFIGURATION_NOT_ALLOWED);
    EXPECT_EQ(publicDomain.status(), nork::STATUS_PRIVATE_AREA_EXISTS);

    // Written while logged in: unreachable logged out, back at the login.
    ASSERT_EQ(login(PASSWORD), STATUS_OK);
    EXPECT_TRUE(loggedIn());
    ASSERT_EQ(writeSector(0, pattern(2)), STATUS_OK);
    ASSERT_EQ(writeSector(7, pattern(3)), STATUS_OK);
    ASSERT_EQ(logout(), STATUS_OK);
    EXPECT_FALSE(loggedIn());
    EXPECT_EQ(readSector(0), pattern(1));
    EXPECT_TRUE(
        readSector(static_cast<std::uint32_t>((DOMAIN_BYTES - PRIVATE_BYTES) / 512)).empty());
    ASSERT_EQ(login(PASSWORD), STATUS_OK);
    EXPECT_EQ(readSector(0), pattern(2));
    EXPECT_EQ(readSector(7), pattern(3));

    // A new password: the old one is refused by the drive.
    ASSERT_EQ(area->changePassword(address, PASSWORD, NEW_PASSWORD, u"the other one"), STATUS_OK);
    ASSERT_EQ(logout(), STATUS_OK);
    EXPECT_EQ(login(PASSWORD), nork::STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(lastDeviceError(), 0x00A40002u);
    EXPECT_EQ(login(NEW_PASSWORD), STATUS_OK);
    std::u16string hint;
    ASSERT_EQ(area->getHint(address, hint), STATUS_OK);
    EXPECT_EQ(hint, u"the other one");

    // Public only when the area fills the domain; then its content stays.
    EXPECT_EQ(area->makePublic(address, NEW_PASSWORD, false), nork::STATUS_CONFIGURATION_ERROR);
    {
        CDeviceHandle h(device);
        h.open();
        ASSERT_EQ(area->removeForced(h, address, true, false), STATUS_OK);
    }
    EXPECT_FALSE(loggedIn());
    ASSERT_EQ(create(DOMAIN_BYTES, PASSWORD), STATUS_OK);
    ASSERT_EQ(login(PASSWORD), STATUS_OK);
    ASSERT_EQ(writeSector(3, pattern(4)), STATUS_OK);
    ASSERT_EQ(area->makePublic(address, PASSWORD, false), STATUS_OK);
    bool configured = true;
    ASSERT_EQ(area->isConfigured(handle, address, configured), STATUS_OK);
    EXPECT_FALSE(configured);
    EXPECT_EQ(readSector(3), pattern(4));
    EXPECT_EQ(area->getHint(address, hint), nork::STATUS_DATA_NOT_FOUND);

    // Nothing secret in the log: neither password, nor their MD5 forms in
    // hex or raw.
    const auto lines = log->lines();
    ASSERT_FALSE(lines.empty());
    std::vector<std::u16string> secrets;
    for (const char16_t* password : {PASSWORD, NEW_PASSWORD}) {
        secrets.emplace_back(password);
        const PasswordForm f = form(password);
        for (const char* digits : {"%02x", "%02X"}) {
            const std::string h = hex(f, digits);
            secrets.emplace_back(h.begin(), h.end());
        }
        secrets.emplace_back(f.begin(), f.end());
    }
    for (const auto& line : lines) {
        for (const auto& secret : secrets)
            EXPECT_EQ(line.find(secret), std::u16string::npos);
    }
}

// Inside a private-area secure session the secrets travel encrypted (the
// drive expects them so and would refuse them plain); neither the passwords
// nor the session key reach the log.
TEST_F(PrivateAreaE2e, SecretsTravelInTheSecureSessionAndStayOutOfTheLog) {
    // The area's 20-byte configuration is no whole number of cipher blocks:
    // it is made before the session opens.
    ASSERT_EQ(create(PRIVATE_BYTES, PASSWORD), STATUS_OK);
    // One session per user at a time (a lock in the runtime directory):
    // this test's own, so tests running beside it keep theirs.
    const fs::path runtime = scratch.path() / "run";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    nork::testing::ScopedEnv ownRuntime("XDG_RUNTIME_DIR", runtime.string());
    auto log = nork::testing::LogCapture::onProcessLog("PrivateAreaE2e");
    auto sessions =
        std::dynamic_pointer_cast<nork::qz::CSecureSessionServiceImpl>(device->getService(10));
    ASSERT_TRUE(sessions);
    ASSERT_EQ(sessions->open(nork::qz::CSecureSessionServiceImpl::SESSION_PRIVATE_AREA, address),
              STATUS_OK);
    const std::uint8_t* key = sessions->session().sessionKey();
    ASSERT_NE(key, nullptr);
    const std::vector<std::uint8_t> sessionKey(key, key + 64);

    ASSERT_EQ(login(PASSWORD), STATUS_OK);
    EXPECT_TRUE(loggedIn());
    ASSERT_EQ(area->changePassword(address, PASSWORD, NEW_PASSWORD, u""), STATUS_OK);
    ASSERT_EQ(logout(), STATUS_OK);
    EXPECT_EQ(login(PASSWORD), nork::STATUS_COMMUNICATION_FAILURE);
    ASSERT_EQ(login(NEW_PASSWORD), STATUS_OK);
    ASSERT_EQ(sessions->terminate(), STATUS_OK);

    std::vector<std::u16string> secrets;
    for (const char16_t* password : {PASSWORD, NEW_PASSWORD}) {
        secrets.emplace_back(password);
        const PasswordForm f = form(password);
        secrets.emplace_back(f.begin(), f.end());
        PasswordForm upper = f;
        const std::string h = hex(upper, "%02x");
        secrets.emplace_back(h.begin(), h.end());
        const std::string H = hex(upper, "%02X");
        secrets.emplace_back(H.begin(), H.end());
    }
    // The session key: raw, and its first 16 bytes (the AES key) in hex.
    secrets.emplace_back(sessionKey.begin(), sessionKey.end());
    PasswordForm aesKey{};
    std::copy_n(sessionKey.begin(), aesKey.size(), aesKey.begin());
    for (const char* digits : {"%02x", "%02X"}) {
        const std::string h = hex(aesKey, digits);
        secrets.emplace_back(h.begin(), h.end());
    }
    const auto lines = log->lines();
    ASSERT_FALSE(lines.empty());
    for (const auto& line : lines) {
        for (const auto& secret : secrets)
            EXPECT_EQ(line.find(secret), std::u16string::npos);
    }
}

// With the policy "secrets only in a session" no secret reaches the
// executor unless a private-area session of the domain's LUN is open: not
// without a session, not after a drive's proof failed, not in a CD-owner
// session. In the domain's session every secret verb works, the configure
// command (20 bytes, no whole cipher blocks) plainly beside it.
TEST_F(PrivateAreaE2e, SecretsOnlyInTheDomainsSessionUnderTheSessionOnlyPolicy) {
    const fs::path runtime = scratch.path() / "run";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    nork::testing::ScopedEnv ownRuntime("XDG_RUNTIME_DIR", runtime.string());
    using Sessions = nork::qz::CSecureSessionServiceImpl;
    auto sessions = std::dynamic_pointer_cast<Sessions>(device->getService(10));
    ASSERT_TRUE(sessions);

    ASSERT_EQ(create(PRIVATE_BYTES, PASSWORD), STATUS_OK);
    std::uint8_t source[CTrustedImpl::PC_ID_SOURCE_SIZE];
    for (std::size_t i = 0; i < sizeof source; ++i)
        source[i] = static_cast<std::uint8_t>(0x31 + 7 * i);
    std::uint8_t hostId[CTrustedImpl::HOST_ID_SIZE] = {};
    ASSERT_EQ(trusted->createDeviceId(address, PASSWORD, source, hostId), STATUS_OK);
    // The trusted login takes its handle by the domain's drive letter.
    device->setDriveMask(1u << 5);
    CDomainAddress lettered(DOMAIN, u"F:\\");

    area->setSecretPolicy(CPrivateAreaImpl::SecretPolicy::OnlyInSession);
    trusted->setSecretPolicy(CPrivateAreaImpl::SecretPolicy::OnlyInSession);
    CountingExec exec;
    area->setExec(&exec);
    trusted->setExec(&exec);
    struct Verb {
        const char* name;
        std::function<STATUS()> run;
    };
    const Verb verbs[] = {
        {"configure", [&] { return create(PRIVATE_BYTES / 2, NEW_PASSWORD); }},
        {"login", [&] { return login(PASSWORD); }},
        {"changePassword",
         [&] { return area->changePassword(address, PASSWORD, NEW_PASSWORD, u""); }},
        {"createDeviceId",
         [&] {
             std::uint8_t id[CTrustedImpl::HOST_ID_SIZE];
             return trusted->createDeviceId(address, PASSWORD, source, id);
         }},
        {"trustedLogin", [&] { return trusted->trustedLogin(lettered, source, hostId, false); }},
    };
    emu::FaultRequest fault;
    fault.serial = SERIAL;
    fault.kind = emu::FaultKind::WrongSessionProof;
    CDomainAddress cd(0, u"");
    const char* const states[] = {"no session", "the proof failed", "a CD-owner session"};
    for (const char* state : states) {
        SCOPED_TRACE(state);
        if (state == states[1]) {
            fault.flag = true;
            rig->fault(fault);
            EXPECT_EQ(sessions->open(Sessions::SESSION_PRIVATE_AREA, address),
                      nork::STATUS_SECURE_SESSION_FAILED);
            fault.flag = false;
            rig->fault(fault);
        }
        if (state == states[2]) {
            ASSERT_EQ(sessions->open(Sessions::SESSION_CD_OWNERS, cd), STATUS_OK);
        }
        for (const Verb& verb : verbs) {
            SCOPED_TRACE(verb.name);
            EXPECT_EQ(verb.run(), nork::STATUS_SS_NOT_INITIALIZED);
        }
        EXPECT_EQ(exec.count, 0);
        EXPECT_FALSE(loggedIn());
        ASSERT_EQ(sessions->terminate(), STATUS_OK);
    }
    std::uint64_t privateBytes = 0, publicBytes = 0;
    ASSERT_EQ(area->getAreaSizes(address, privateBytes, publicBytes), STATUS_OK);
    EXPECT_EQ(privateBytes, PRIVATE_BYTES);

    // In the domain's session, through the real executor.
    area->setExec(nullptr);
    trusted->setExec(nullptr);
    ASSERT_EQ(sessions->open(Sessions::SESSION_PRIVATE_AREA, address), STATUS_OK);
    EXPECT_EQ(trusted->trustedLogin(lettered, source, hostId, false), STATUS_OK);
    EXPECT_TRUE(loggedIn());
    ASSERT_EQ(logout(), STATUS_OK);
    EXPECT_EQ(area->changePassword(address, PASSWORD, NEW_PASSWORD, u""), STATUS_OK);
    EXPECT_EQ(login(PASSWORD), nork::STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(login(NEW_PASSWORD), STATUS_OK);
    ASSERT_EQ(logout(), STATUS_OK);
    ASSERT_EQ(create(DOMAIN_BYTES, PASSWORD), STATUS_OK);
    ASSERT_EQ(area->getAreaSizes(address, privateBytes, publicBytes), STATUS_OK);
    EXPECT_EQ(privateBytes, DOMAIN_BYTES);
    EXPECT_EQ(login(PASSWORD), STATUS_OK);
    EXPECT_EQ(area->makePublic(address, PASSWORD, false), STATUS_OK);
    ASSERT_EQ(sessions->terminate(), STATUS_OK);
    ASSERT_EQ(area->getAreaSizes(address, privateBytes, publicBytes), STATUS_OK);
    EXPECT_EQ(privateBytes, 0u);
}

// configure refuses an area larger than its domain before it changes
// anything (the size goes out as 32-bit sectors, so a larger one would
// wrap into a small area).
TEST_F(PrivateAreaE2e, AnAreaLargerThanItsDomainIsRefusedBeforeAnythingChanges) {
    const std::uint64_t sectors4G = 1ull << 32;
    for (const std::uint64_t bytes : {DOMAIN_BYTES + 512, (sectors4G + 2048) * 512}) {
        SCOPED_TRACE(bytes);
        CDeviceHandle handle(device);
        handle.open();
        EXPECT_EQ(area->checkPrivateSize(handle, address, bytes), nork::STATUS_WRONG_PARAMETERS);
        EXPECT_EQ(create(bytes, PASSWORD), nork::STATUS_WRONG_PARAMETERS);
        bool configured = true;
        ASSERT_EQ(area->isConfigured(handle, address, configured), STATUS_OK);
        EXPECT_FALSE(configured);
    }
    CDeviceHandle handle(device);
    handle.open();
    EXPECT_EQ(area->checkPrivateSize(handle, address, DOMAIN_BYTES), STATUS_OK);
}

// The edge cases: a login when logged in sends nothing; a hint of 32
// characters is taken and one of 33 refused before any command; the hint of
// domain 1 is under "SDK_PA_API_HINT_ENTRY_1"; makePublic without an area
// answers 0 and removes nothing.
TEST_F(PrivateAreaE2e, EdgeCases) {
    CountingExec exec;
    area->setExec(&exec);
    CDeviceHandle handle(device);
    handle.open();

    ASSERT_EQ(area->setHint(address, u"kept", false), STATUS_OK);
    EXPECT_EQ(area->makePublic(address, PASSWORD, false), STATUS_OK);
    EXPECT_EQ(exec.count, 0);
    std::u16string hint;
    ASSERT_EQ(area->getHint(address, hint), STATUS_OK);
    EXPECT_EQ(hint, u"kept");

    ASSERT_EQ(create(PRIVATE_BYTES, PASSWORD), STATUS_OK);
    ASSERT_EQ(login(PASSWORD), STATUS_OK);
    const int sent = exec.count;
    const PasswordForm f = form(PASSWORD);
    EXPECT_EQ(area->login(handle, address, f.data(), &exec), STATUS_OK);
    EXPECT_EQ(exec.count, sent);

    const std::u16string hint32(32, u'h');
    const std::u16string hint33(33, u'h');
    const std::uint64_t before = commandCount();
    EXPECT_EQ(area->changePassword(address, PASSWORD, PASSWORD, hint33.c_str()),
              nork::STATUS_WRONG_PARAMETERS);
    EXPECT_EQ(commandCount(), before);
    ASSERT_EQ(area->changePassword(address, PASSWORD, PASSWORD, hint32.c_str()), STATUS_OK);

    EXPECT_EQ(CPrivateAreaImpl::hintKey(1), "SDK_PA_API_HINT_ENTRY_1");
    auto cookies = std::dynamic_pointer_cast<nork::CCookieImpl>(device->getService(8));
    char stored[64] = {};
    std::uint32_t size = sizeof stored;
    ASSERT_EQ(
        cookies->getString("SDK_PA_API_HINT_SECTION", "SDK_PA_API_HINT_ENTRY_1", stored, size),
        STATUS_OK);
    EXPECT_EQ(std::string(stored), std::string(32, 'h'));
    area->setExec(nullptr);
}

// A command built without its secret is reported and never sent.
TEST_F(PrivateAreaE2e, ACommandWithoutItsSecretIsNotSent) {
    auto log = nork::testing::LogCapture::onProcessLog("PrivateAreaE2e");
    ASSERT_EQ(create(PRIVATE_BYTES, PASSWORD), STATUS_OK);
    CDeviceHandle handle(device);
    handle.open();
    const std::uint64_t before = commandCount();
    EXPECT_EQ(area->login(handle, address, nullptr, nullptr), nork::STATUS_WRONG_PARAMETERS);
    // The two parameter queries went out, the open did not.
    EXPECT_EQ(commandCount(), before + 2);
    EXPECT_FALSE(loggedIn());
    const auto lines = log->takeNarrow();
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [](const std::string& l) {
                               return l.find("pPassword != NULL") != std::string::npos;
                           }),
              lines.end());
}

// The utilities service's wait for readiness takes a domain that is all
// private area and logged out as ready (it never shows a medium until a
// login), and says so.
TEST_F(PrivateAreaE2e, WaitForReadyTakesALoggedOutWholeDomainAreaAsReady) {
    auto utils = std::dynamic_pointer_cast<nork::qz::CUtilsImpl>(device->getService(20));
    ASSERT_TRUE(utils);
    ASSERT_EQ(create(DOMAIN_BYTES, PASSWORD), STATUS_OK);
    auto log = nork::testing::LogCapture::onProcessLog("PrivateAreaE2e");
    CDeviceHandle handle(device);
    handle.open();
    EXPECT_TRUE(utils->waitForReady(address, handle));
    const auto lines = log->takeNarrow();
    // Without raw access there is nothing to wait for, and nothing is asked.
    const bool privilegeO =
        nork::CPlatformFactory::instance().privilege(nork::CPlatformFactory::PRIV_O);
    EXPECT_EQ(std::any_of(lines.begin(), lines.end(),
                          [](const std::string& l) {
                              return l.find(
                                         "SECURE flag is on, device is not logged in. "
                                         "Assuming ready.") != std::string::npos;
                          }),
              privilegeO);
    ASSERT_EQ(login(PASSWORD), STATUS_OK);
    EXPECT_TRUE(utils->waitForReady(address, handle));
    if (privilegeO) {
        const auto after = log->takeNarrow();
        EXPECT_TRUE(std::none_of(after.begin(), after.end(), [](const std::string& l) {
            return l.find("Assuming ready") != std::string::npos;
        }));
    }
}

// A trusted computer opens the area with its host id; another id does not.
TEST_F(PrivateAreaE2e, TrustedHostOpensTheAreaWithItsId) {
    ASSERT_EQ(create(PRIVATE_BYTES, PASSWORD), STATUS_OK);
    std::uint8_t source[CTrustedImpl::PC_ID_SOURCE_SIZE];
    for (std::size_t i = 0; i < sizeof source; ++i)
        source[i] = static_cast<std::uint8_t>(0x91 + 5 * i);
    std::uint8_t hostId[CTrustedImpl::HOST_ID_SIZE] = {};
    EXPECT_EQ(trusted->createDeviceId(address, NEW_PASSWORD, source, hostId),
              nork::STATUS_COMMUNICATION_FAILURE);
    ASSERT_EQ(trusted->createDeviceId(address, PASSWORD, source, hostId), STATUS_OK);
    EXPECT_FALSE(loggedIn());

    std::uint8_t wrong[CTrustedImpl::HOST_ID_SIZE];
    std::copy(std::begin(hostId), std::end(hostId), std::begin(wrong));
    wrong[5] ^= 1;
    // The login takes its handle the way a format does: by the domain's
    // drive letter where the process may open volumes.
    device->setDriveMask(1u << 5);
    address = CDomainAddress(DOMAIN, u"F:\\");
    EXPECT_EQ(trusted->trustedLogin(address, source, wrong, false),
              nork::STATUS_COMMUNICATION_FAILURE);
    EXPECT_FALSE(loggedIn());
    ASSERT_EQ(trusted->trustedLogin(address, source, hostId, false), STATUS_OK);
    EXPECT_TRUE(loggedIn());
    EXPECT_EQ(trusted->trustedLogin(address, nullptr, hostId, false),
              nork::STATUS_WRONG_PARAMETERS);
}

// Each PC-id byte carries 7 source bits in its upper bits.
TEST(TrustedPcId, SevenSourceBitsPerByte) {
    CTrustedImpl service(1);
    struct Case {
        std::uint8_t fill;
        std::size_t oneAt;  // a single 0x80 at this source byte when fill is 0
        std::size_t expectedAt;
        std::uint8_t expected;
    } cases[] = {
        {0xFF, 0, 0, 0xFE},  // every byte 0xFE
        {0x00, 0, 0, 0x80},  // source bit 7 of byte 0 -> bit 7 of id byte 0
        {0x00, 1, 1, 0x40},  // bit 7 of byte 1 -> id byte 1, after byte 0's bit 0
        {0x00, 7, 8, 0x80},  // byte 7 starts id byte 8 (7 x 8 = 8 x 7 bits)
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.oneAt);
        std::uint8_t source[15];
        std::fill(std::begin(source), std::end(source), c.fill);
        if (c.fill == 0)
            source[c.oneAt] = 0x80;
        std::uint8_t id[16] = {};
        ASSERT_EQ(service.getPcId(source, id), STATUS_OK);
        EXPECT_EQ(id[c.expectedAt], c.expected);
        if (c.fill == 0xFF)
            EXPECT_TRUE(std::all_of(std::begin(id), std::end(id),
                                    [](std::uint8_t b) { return b == 0xFE; }));
        else
            EXPECT_EQ(std::count(std::begin(id), std::end(id), 0), 15);
    }
    std::uint8_t id[16];
    EXPECT_EQ(service.getPcId(nullptr, id), nork::STATUS_WRONG_PARAMETERS);
}

}  // namespace
}  // namespace qzemu::e2e
