// Drive presence end to end: a real qzemud, the library started as a program
// starts it, and an application window of the message layer registered with
// the window-message listening manager. What the window receives is what an
// application sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Callbacks.h"
#include "DeviceHandle.h"
#include "DeviceManager.h"
#include "DeviceNumber.h"
#include "DevicePoll.h"
#include "Drives.h"
#include "E2eSupport.h"
#include "LogCapture.h"
#include "Registry.h"
#include "RuntimeTestSupport.h"
#include "SDK.h"
#include "TransparentReconnect.h"
#include "UFD.h"
#include "UFDImpl.h"
#include "WMListeningMgr.h"
#include "ZykEvent.h"
#include "port/Messages.h"
#include "port/Utf.h"

namespace qzemu::e2e {
namespace {

namespace port = nork::port;

std::u16string u16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

struct Posted {
    std::uint32_t message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
};

class PresenceE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        // The user's runtime directory (message names, broadcast sockets,
        // drive letters) and hives are the test's own; socket paths stay
        // short.
        runtime = fs::temp_directory_path() / ("qzp-" + uniqueSuffix());
        fs::create_directories(runtime);
        setEnv("XDG_RUNTIME_DIR", runtime.c_str());
        setEnv("QZ_HKCU_HIVE", (scratch.path() / "hkcu").c_str());
        setEnv("QZ_HKLM_HIVE", (scratch.path() / "hklm").c_str());
        setEnv("QZ_HKCR_HIVE", (scratch.path() / "hkcr").c_str());
        rig = std::make_unique<SocketRig>(scratch.path());
        ASSERT_TRUE(rig->ready());
        setEnv("QZ_EMU_SOCKET", rig->daemon().socket().c_str());
        // Every level is logged (the test reads the lines), the files into
        // the scratch directory.
        nork::CRegistry registry;
        ASSERT_TRUE(registry.create(nork::CRegistry::ROOT_CURRENT_USER, u"SOFTWARE\\NORK\\SDK"));
        ASSERT_TRUE(registry.writeString(u"LogFilePath", u16(scratch.path().string())));
        registry.close();
        log = nork::testing::LogCapture::onProcessLog("presence");
        std::uint32_t settings = 0;
        ASSERT_EQ(nork::SDK::init(settings, nork::LogConfig{0xFFFFFFFFu, nullptr}),
                  nork::STATUS_OK);
        started = true;
    }

    void TearDown() override {
        if (window != port::HWND_NONE) {
            nork::CWMListeningMgr::instance().removeHWNDListener(window);
            port::destroyWindow(window);
        }
        if (started)
            nork::SDK::fini();
        std::error_code ec;
        fs::remove_all(runtime, ec);
    }

    void listen() {
        window = port::createWindow(u"presence test",
                                    [this](port::HWND, std::uint32_t message, std::uintptr_t wParam,
                                           std::intptr_t lParam) -> std::intptr_t {
                                        if (message >= nork::WM_SDK_DEVICE_CONNECTED &&
                                            message <= nork::WM_SDK_DEVICE_EVENT_4 &&
                                            message != nork::WM_SDK_BROADCAST_REQUEST)
                                            posted.push_back({message, wParam, lParam});
                                        return 0;
                                    });
        ASSERT_NE(window, port::HWND_NONE);
        nork::CWMListeningMgr::instance().addHWNDListener(window, nullptr);
    }

    // Dispatches this thread's messages for `ms`, or until `until` holds.
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
    void pumpFor(std::chrono::milliseconds ms) {
        pumpUntil([] { return false; }, ms);
    }

    std::size_t count(std::uint32_t message) const {
        return static_cast<std::size_t>(
            std::count_if(posted.begin(), posted.end(),
                          [message](const Posted& p) { return p.message == message; }));
    }
    bool seen(std::uint32_t message) const { return count(message) > 0; }

    static std::vector<std::u16string> roots(const nork::CUFD& ufd) {
        std::vector<std::u16string> out;
        char16_t buffer[64] = {};
        std::uint32_t length = 64;
        if (ufd.getPathStrings(buffer, length) != nork::STATUS_OK)
            return out;
        for (const char16_t* p = buffer; *p != u'\0'; p += std::u16string(p).size() + 1)
            out.emplace_back(p);
        return out;
    }

    // Plugged drive known to the library with both its letters.
    nork::CUFD connectedTwoLetterDrive(const std::string& serial) {
        rig->create(smallDrive(serial));
        listen();
        nork::CUFD ufd;
        pumpUntil(
            [&] {
                ufd = nork::CZykSDK::instance().deviceManager().getCUFD(u16(serial));
                return ufd.isValid() && roots(ufd).size() == 2;
            },
            20s);
        if (!ufd.isValid()) {
            for (const auto& line : log->lines())
                ADD_FAILURE() << std::string(line.begin(), line.end());
        }
        return ufd;
    }

    std::unique_ptr<nork::CQzTransparentReconnectDetachAttach> detachAttach(
        nork::CUFD& ufd, nork::CStatusCallback& callback, int timeoutSeconds) {
        nork::ReconnectArgs args;
        args.handle = std::make_unique<nork::CDeviceHandle>(ufd.impl());
        args.timeoutSeconds = timeoutSeconds;
        args.commandFlag = true;
        args.disconnectOnFailure = true;
        args.callback = &callback;
        return std::make_unique<nork::CQzTransparentReconnectDetachAttach>(*ufd.impl(),
                                                                           std::move(args));
    }

    // Waits for the synchronizer on another thread while this one pumps, as
    // an application's own thread keeps its window alive.
    nork::STATUS waitPumping(nork::CStatusCallbackSynchronizer& done,
                             std::chrono::milliseconds limit) {
        std::atomic<bool> finished{false};
        nork::STATUS status = nork::STATUS_ERROR;
        std::thread waiter([&] {
            status = done.wait();
            finished = true;
        });
        pumpUntil([&] { return finished.load(); }, limit);
        waiter.join();
        return status;
    }

    std::size_t logged(const std::string& text) {
        std::size_t n = 0;
        for (const auto& line : log->lines()) {
            if (std::string(line.begin(), line.end()).find(text) != std::string::npos)
                ++n;
        }
        return n;
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
    std::vector<Posted> posted;
};

TEST_F(PresenceE2e, PlugPostsConnectWithTheDeviceAndItsRootsAndUnplugPostsDisconnect) {
    emu::DriveConfig config = smallDrive("QEPRES000000001");
    config.attached = false;
    const std::string serial = rig->create(config);
    listen();
    pumpFor(500ms);
    EXPECT_TRUE(posted.empty());

    rig->plug(serial);
    ASSERT_TRUE(pumpUntil([&] { return seen(nork::WM_SDK_DEVICE_UPDATED); }, 20s));
    // The first volume connects the drive; the second one, of a drive
    // already connected, is an update without a code.
    ASSERT_EQ(posted.size(), 2u);
    const Posted connected = posted.front();
    EXPECT_EQ(connected.message, nork::WM_SDK_DEVICE_CONNECTED);
    EXPECT_EQ(posted.back().wParam, connected.wParam);
    EXPECT_EQ(posted.back().lParam, 0);
    const nork::CUFD ufd =
        nork::CWMListeningMgr::instance().getCUFD(static_cast<std::uint32_t>(connected.wParam));
    ASSERT_TRUE(ufd.isValid());
    EXPECT_EQ(std::u16string(ufd.impl()->serialNumber()), u16(serial));
    EXPECT_EQ(roots(ufd), (std::vector<std::u16string>{u"D:\\", u"E:\\"}));

    posted.clear();
    rig->unplug(serial);
    ASSERT_TRUE(pumpUntil([&] { return seen(nork::WM_SDK_DEVICE_DISCONNECTED); }, 20s));
    pumpFor(1500ms);
    ASSERT_EQ(posted.size(), 1u);                        // one drive left, one message
    EXPECT_EQ(posted.front().wParam, connected.wParam);  // the same device, the same id
}

TEST_F(PresenceE2e, ADriveArrivingBetweenTheSubscriptionAndTheStartUpScanIsReportedOnce) {
    // The drive is plugged while the poller starts, between its two steps:
    // neither the scan nor the notifier's baseline may be the only one to
    // know of it.
    emu::DriveConfig config = smallDrive("QEPRES000000020");
    config.attached = false;
    const std::string serial = rig->create(config);
    std::atomic<bool> plugged{false};
    nork::CDevicePollWinHID::setStartupGapHook([&] {
        if (!plugged.exchange(true))
            rig->plug(serial);
    });
    listen();
    const bool connected = pumpUntil(
        [&] {
            const nork::CUFD ufd = nork::CZykSDK::instance().deviceManager().getCUFD(u16(serial));
            return seen(nork::WM_SDK_DEVICE_CONNECTED) && ufd.isValid() && roots(ufd).size() == 2;
        },
        10s);
    nork::CDevicePollWinHID::setStartupGapHook({});
    ASSERT_TRUE(plugged.load());
    ASSERT_TRUE(connected) << "the drive plugged during the poller's start-up was never reported";
    // Reported by both the scan and the notifier, it is still one drive.
    pumpFor(1500ms);
    EXPECT_EQ(count(nork::WM_SDK_DEVICE_CONNECTED), 1u);
    EXPECT_EQ(count(nork::WM_SDK_DEVICE_DISCONNECTED), 0u);
}

TEST_F(PresenceE2e, ALateListenerHearsOfEveryConnectedDriveWithItsOwnId) {
    // The SDK numbers the drives it meets from 1 for the life of the process.
    if (nork::testing::rerunAloneIf(true))
        return;
    emu::DriveConfig a = smallDrive("QEPRES000000002");
    emu::DriveConfig b = smallDrive("QEPRES000000003");
    a.layout = b.layout = "public:rest";
    rig->create(a);
    rig->create(b);
    // Another window starts polling; the drives become known first.
    port::HWND first = port::createWindow(
        u"first", [](port::HWND, std::uint32_t, std::uintptr_t, std::intptr_t) -> std::intptr_t {
            return 0;
        });
    nork::CWMListeningMgr::instance().addHWNDListener(first, nullptr);
    ASSERT_TRUE(pumpUntil(
        [] { return nork::CZykSDK::instance().deviceManager().connectedCount() == 2; }, 20s));

    listen();
    ASSERT_TRUE(pumpUntil([&] { return count(nork::WM_SDK_DEVICE_CONNECTED) == 2; }, 10s));
    std::vector<std::uintptr_t> ids = {posted[0].wParam, posted[1].wParam};
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::uintptr_t>{1, 2}));
    nork::CWMListeningMgr::instance().removeHWNDListener(first);
    port::destroyWindow(first);
}

// The drive's time off the bus: long enough to be seen gone by any look,
// and none at all (it is back before the library could look: only the
// departure told by the emulator's event stream shows it left).
class PresenceReattachE2e : public PresenceE2e, public ::testing::WithParamInterface<int> {};

TEST_P(PresenceReattachE2e, QzDetachAttachOfATwoLetterDriveIsOneUpdateWithCode7) {
    const std::string serial = "QEPRES000000004";
    nork::CUFD ufd = connectedTwoLetterDrive(serial);
    ASSERT_TRUE(ufd.isValid());
    rig->fault(
        {serial, emu::FaultKind::ReattachDelay, 0, static_cast<std::uint32_t>(GetParam()), true});
    pumpFor(500ms);
    // Connected before the window listened: one replayed connect.
    ASSERT_EQ(count(nork::WM_SDK_DEVICE_CONNECTED), 1u);
    posted.clear();
    log->take();

    nork::CStatusCallbackSynchronizer done;
    ASSERT_TRUE(nork::CTransparentReconnectionsManager::instance().Register(
        detachAttach(ufd, done, 30), u16(serial), false));
    EXPECT_EQ(waitPumping(done, 40s), nork::STATUS_OK);
    pumpFor(1500ms);  // anything late would show now

    ASSERT_EQ(count(nork::WM_SDK_DEVICE_UPDATED), 1u);
    EXPECT_EQ(posted.front().lParam, 7);
    EXPECT_FALSE(seen(nork::WM_SDK_DEVICE_CONNECTED));
    EXPECT_FALSE(seen(nork::WM_SDK_DEVICE_DISCONNECTED));
    // Both volumes left and both came back, all taken by the reconnection.
    EXPECT_EQ(logged("volume interface removal"), 2u);
    EXPECT_EQ(logged("volume interface arrival"), 2u);
    EXPECT_EQ(logged("CTransparentReconnect::signal - device reconnected (2 out of 2)"), 1u);
    EXPECT_EQ(logged("CTransparentReconnect::status - device disconnected (1 out of"), 1u);
    // The starter heard its own broadcast and did not wait a second time.
    EXPECT_EQ(logged("registration rejected"), 1u);
    EXPECT_EQ(roots(ufd), (std::vector<std::u16string>{u"D:\\", u"E:\\"}));
    EXPECT_FALSE(nork::CTransparentReconnectionsManager::instance().isRegistered(u16(serial)));
}

INSTANTIATE_TEST_SUITE_P(Delays, PresenceReattachE2e, ::testing::Values(300, 0),
                         [](const auto& p) { return "ms" + std::to_string(p.param); });

TEST_F(PresenceE2e, ADriveThatNeverReturnsEndsInError300AndNoApplicationMessage) {
    const std::string serial = "QEPRES000000005";
    nork::CUFD ufd = connectedTwoLetterDrive(serial);
    ASSERT_TRUE(ufd.isValid());
    pumpFor(500ms);
    posted.clear();
    emu::FaultRequest never;
    never.serial = serial;
    never.kind = emu::FaultKind::NeverReattach;
    never.flag = true;
    rig->fault(never);

    nork::CStatusCallbackSynchronizer done;
    ASSERT_TRUE(nork::CTransparentReconnectionsManager::instance().Register(
        detachAttach(ufd, done, 3), u16(serial), false));
    EXPECT_EQ(waitPumping(done, 20s), nork::STATUS_DEVICE_NOT_CONNECTED);
    pumpFor(1000ms);
    EXPECT_TRUE(posted.empty());
    EXPECT_EQ(logged("calling onError callback"), 1u);
    // The device manager forgot the drive: its return would be a new
    // connection.
    EXPECT_FALSE(nork::CZykSDK::instance().deviceManager().getCUFD(u16(serial)).isValid());
}

TEST_F(PresenceE2e, RelayedNotificationsReachOnlyTheDriveWithThatDeviceNumber) {
    const std::string serial = "QEPRES000000007";
    emu::DriveConfig config = smallDrive(serial);
    config.layout = "public:rest";
    rig->create(config);
    listen();
    ASSERT_TRUE(pumpUntil([&] { return seen(nork::WM_SDK_DEVICE_CONNECTED); }, 20s));
    posted.clear();

    const std::uint32_t event4 = port::registerWindowMessage(u"SDK_SenderName_4");
    const std::uint32_t reconnect = port::registerWindowMessage(u"SDK_SenderName_11");
    ASSERT_NE(event4, 0u);
    const std::uint32_t other = nork::deviceNumberOf(u"SOMEONE-ELSE");
    ASSERT_FALSE(port::broadcastMessage(event4, other, 4));
    ASSERT_FALSE(port::broadcastMessage(reconnect, other, 11));
    pumpFor(1000ms);
    EXPECT_TRUE(posted.empty());
    EXPECT_EQ(logged("Get transparent reconnect notify message"), 0u);

    ASSERT_FALSE(port::broadcastMessage(event4, nork::deviceNumberOf(u16(serial)), 4));
    ASSERT_TRUE(pumpUntil([&] { return seen(nork::WM_SDK_DEVICE_EVENT_4); }, 5s));
    EXPECT_EQ(posted.size(), 1u);
}

// Plug and unplug faster than drives settle, while listeners come and go on
// another thread: the event loop ends with the drive connected under its one
// id (the sanitizer build checks the threads).
TEST_F(PresenceE2e, RapidPlugUnplugCyclesSettleOnTheDriveConnected) {
    // The SDK numbers the drives it meets from 1 for the life of the process.
    if (nork::testing::rerunAloneIf(true))
        return;
    const std::string serial = "QEPRES000000008";
    emu::DriveConfig config = smallDrive(serial);
    config.layout = "public:rest";
    config.reattachDelayMs = 10;
    rig->create(config);
    listen();
    ASSERT_TRUE(pumpUntil([&] { return seen(nork::WM_SDK_DEVICE_CONNECTED); }, 20s));

    std::atomic<bool> churning{true};
    std::thread churn([&] {
        // A window of this thread that never pumps: posts just queue up.
        const port::HWND mute = port::createWindow(
            u"mute", [](port::HWND, std::uint32_t, std::uintptr_t, std::intptr_t) -> std::intptr_t {
                return 0;
            });
        while (churning) {
            nork::CWMListeningMgr::instance().addHWNDListener(mute, nullptr);
            nork::CWMListeningMgr::instance().getCUFD(1);
            std::this_thread::sleep_for(7ms);
            nork::CWMListeningMgr::instance().removeHWNDListener(mute);
        }
        port::destroyWindow(mute);
    });
    std::mt19937 random(7);
    for (int cycle = 0; cycle < 15; ++cycle) {
        rig->unplug(serial);
        pumpFor(std::chrono::milliseconds(random() % 120));
        rig->plug(serial);
        pumpFor(std::chrono::milliseconds(random() % 120));
    }
    churning = false;
    churn.join();

    // Settled: connected with its letter and nothing queued. A drive known
    // but disconnected, between the notifier's last notifications, is not
    // settled yet: an arrival that never comes shows as the time-out.
    nork::CDeviceManager& manager = nork::CZykSDK::instance().deviceManager();
    const bool settled = pumpUntil(
        [&] {
            const nork::CUFD ufd = manager.getCUFD(u16(serial));
            nork::CDevicePollImpl* impl = nork::CDevicePoll::instance().implementation();
            return ufd.isValid() && manager.connectedCount() == 1 && roots(ufd).size() == 1 &&
                   impl != nullptr && impl->queuedEvents() == 0;
        },
        60s);
    EXPECT_TRUE(settled);
    for (const Posted& p : posted)
        EXPECT_EQ(p.wParam, 1u);
    if (HasFailure()) {
        for (const auto& line : log->lines())
            std::cerr << std::string(line.begin(), line.end()) << "\n";
    }
}

// Short watches, as `qzctl watch --count 1` runs them, with many drives
// plugged: each window listener is removed as soon as the first replayed
// connect reached it, while the polling thread still replays the other
// drives to it. Nothing may reach a listener whose destruction began.
TEST_F(PresenceE2e, ShortWatchesWithTwelveDrivesPluggedEndWhileTheirReplayRuns) {
    constexpr std::size_t DRIVES = 12;
    for (std::size_t n = 0; n < DRIVES; ++n) {
        emu::DriveConfig config = smallDrive("QEPRESWATCH" + std::to_string(1000 + n));
        config.layout = "public:rest";
        rig->create(config);
    }
    listen();
    ASSERT_TRUE(pumpUntil(
        [] { return nork::CZykSDK::instance().deviceManager().connectedCount() == DRIVES; }, 60s));

    for (int watch = 0; watch < 20; ++watch) {
        std::size_t heard = 0;
        const port::HWND watcher =
            port::createWindow(u"short watch",
                               [&heard](port::HWND, std::uint32_t message, std::uintptr_t wParam,
                                        std::intptr_t) -> std::intptr_t {
                                   // Ids count every device object of the process, so earlier
                                   // tests of a whole-binary run push them past DRIVES.
                                   if (message == nork::WM_SDK_DEVICE_CONNECTED &&
                                       nork::CWMListeningMgr::instance()
                                           .getCUFD(static_cast<std::uint32_t>(wParam))
                                           .isValid())
                                       ++heard;
                                   return 0;
                               });
        ASSERT_NE(watcher, port::HWND_NONE);
        nork::CWMListeningMgr::instance().addHWNDListener(watcher, nullptr);
        EXPECT_TRUE(pumpUntil([&] { return heard > 0; }, 10s)) << "watch " << watch;
        EXPECT_TRUE(nork::CWMListeningMgr::instance().removeHWNDListener(watcher));
        port::destroyWindow(watcher);
    }
    EXPECT_EQ(nork::CWMListeningMgr::instance().listenerCount(), 1u);
}

// More volumes than the letters D..Z: thirteen two-volume drives plugged
// after the library started. Every drive is reported; a volume left without
// a letter gives its drive no root, and a letter freed by a departure
// reaches the drive that takes it as an update.
TEST_F(PresenceE2e, DrivesBeyondTheLastLetterAreReportedWithoutRootsAndHearOfFreedLetters) {
    constexpr std::size_t DRIVES = 13;  // 26 volumes for 23 letters
    std::vector<std::string> serials;
    for (std::size_t n = 0; n < DRIVES; ++n) {
        emu::DriveConfig config = smallDrive("QEPRESMANY" + std::to_string(1000 + n));
        config.attached = false;
        serials.push_back(rig->create(config));
    }
    listen();
    for (const std::string& serial : serials)
        rig->plug(serial);

    nork::CDeviceManager& manager = nork::CZykSDK::instance().deviceManager();
    // The roots the system shows for each drive, as listDrives reads them.
    auto systemRoots = [](const std::string& serial) {
        std::vector<nork::SystemDrive> drives;
        std::vector<std::u16string> out;
        if (nork::listDrives(drives) != nork::STATUS_OK)
            return out;
        for (const nork::SystemDrive& d : drives) {
            for (const nork::SystemDriveUnit& u : d.units) {
                if (d.serial == serial && !u.root.empty())
                    out.push_back(u.root);
            }
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    // Every drive connected with exactly the roots the system gave it.
    auto settled = [&](const std::vector<std::string>& present) {
        for (const std::string& serial : present) {
            const nork::CUFD ufd = manager.getCUFD(u16(serial));
            if (!ufd.isValid() || roots(ufd) != systemRoots(serial))
                return false;
        }
        return manager.connectedCount() == present.size();
    };
    const bool allSettled = pumpUntil(
        [&] { return settled(serials) && count(nork::WM_SDK_DEVICE_CONNECTED) >= DRIVES; }, 90s);
    if (!allSettled) {
        for (const auto& line : log->lines())
            ADD_FAILURE() << std::string(line.begin(), line.end());
    }
    ASSERT_TRUE(allSettled);

    std::vector<std::string> connected;
    for (const Posted& p : posted) {
        const nork::CUFD ufd =
            nork::CWMListeningMgr::instance().getCUFD(static_cast<std::uint32_t>(p.wParam));
        if (p.message == nork::WM_SDK_DEVICE_CONNECTED && ufd.isValid())
            connected.push_back(port::utf::toUtf8(std::u16string(ufd.impl()->serialNumber())));
    }
    std::sort(connected.begin(), connected.end());
    EXPECT_EQ(connected, serials);  // one connect for every drive
    // The drives keep the roots the system gave them: 23 in all, the
    // volumes without a letter none (checked by settled()).
    std::size_t lettered = 0;
    std::string leaving;  // a drive with both its letters
    for (const std::string& serial : serials) {
        const std::size_t n = roots(manager.getCUFD(u16(serial))).size();
        lettered += n;
        if (n == 2 && leaving.empty())
            leaving = serial;
    }
    EXPECT_EQ(lettered, 23u);
    EXPECT_EQ(logged("no drive letter left for"), 3u);
    ASSERT_FALSE(leaving.empty());

    // A lettered drive leaves: its two letters dangle and go to two of the
    // three volumes without one.
    std::vector<std::string> staying = serials;
    staying.erase(std::find(staying.begin(), staying.end(), leaving));
    std::vector<std::size_t> before;
    for (const std::string& serial : staying)
        before.push_back(roots(manager.getCUFD(u16(serial))).size());
    posted.clear();
    rig->unplug(leaving);
    ASSERT_TRUE(pumpUntil(
        [&] {
            std::size_t n = 0;
            for (const std::string& serial : staying)
                n += roots(manager.getCUFD(u16(serial))).size();
            return n == 23u && settled(staying);
        },
        30s));
    std::size_t gained = 0;
    for (std::size_t i = 0; i < staying.size(); ++i) {
        const nork::CUFD ufd = manager.getCUFD(u16(staying[i]));
        const std::size_t now = roots(ufd).size();
        if (now == before[i])
            continue;
        gained += now - before[i];
        const std::uint32_t id = nork::CWMListeningMgr::instance().getCUFDId(ufd);
        EXPECT_TRUE(std::any_of(posted.begin(), posted.end(),
                                [id](const Posted& p) {
                                    return p.message == nork::WM_SDK_DEVICE_UPDATED &&
                                           p.wParam == id;
                                }))
            << staying[i] << " got a letter without an update";
    }
    EXPECT_EQ(gained, 2u);
}

// The other processes: one that died (its broadcast socket stays behind) and
// one that watches. The watcher waits for the same cycle and reports no
// disconnection.
TEST_F(PresenceE2e, AnotherProcessWaitsForTheSameCycleAndADeadOneBlocksNothing) {
    // What the watcher hears depends on the drives this process met before.
    if (nork::testing::rerunAloneIf(true))
        return;
    const std::string serial = "QEPRES000000006";
    nork::CUFD ufd = connectedTwoLetterDrive(serial);
    ASSERT_TRUE(ufd.isValid());

    auto watch = [&](const std::string& name, std::int64_t& pid) {
        const fs::path out = scratch.path() / (name + ".out");
        const fs::path err = scratch.path() / (name + ".err");
        ASSERT_FALSE(nork::port::spawnProcess(
            QZCTL_PATH, {QZCTL_PATH, "--json", "watch", "--count", "2", "--timeout", "60"}, pid,
            out.string(), err.string()));
        const auto end = std::chrono::steady_clock::now() + 20s;
        for (;;) {
            std::ifstream in(out);
            std::stringstream text;
            text << in.rdbuf();
            // Ready once it reported the drive already there.
            if (text.str().find("\"connected\"") != std::string::npos)
                return;
            ASSERT_LT(std::chrono::steady_clock::now(), end) << "watcher did not start";
            pumpFor(50ms);
        }
    };
    std::int64_t dead = 0;
    watch("dead", dead);
    nork::port::signalProcess(dead, nork::port::Signal::Kill);
    int code = 0;
    nork::port::waitProcess(dead, 10s, code);
    std::int64_t watcher = 0;
    watch("watcher", watcher);

    nork::CStatusCallbackSynchronizer done;
    ASSERT_TRUE(nork::CTransparentReconnectionsManager::instance().Register(
        detachAttach(ufd, done, 30), u16(serial), false));
    EXPECT_EQ(waitPumping(done, 40s), nork::STATUS_OK);

    ASSERT_FALSE(nork::port::waitProcess(watcher, 30s, code));
    EXPECT_EQ(code, 0);
    std::ifstream in(scratch.path() / "watcher.out");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\"event\":\"connected\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("\"event\":\"updated\""), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("\"code\":7"), std::string::npos) << lines[1];
}

}  // namespace
}  // namespace qzemu::e2e
