// Transparent reconnection: counting a drive's departures and arrivals,
// registration rules, time-outs, the broadcast to other processes and the
// wait-only kinds the relay creates. The drive is a device object fed by
// hand with the events the arrival machinery would hand over.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "DeviceManager.h"
#include "DeviceNumber.h"
#include "DevicePoll.h"
#include "LogCapture.h"
#include "PlatformFactory.h"
#include "ReconnectTestSupport.h"
#include "RuntimeTestSupport.h"
#include "TransparentReconnect.h"
#include "UFDImpl.h"
#include "VendorTraits.h"
#include "WindowCloser.h"
#include "ZykEvent.h"
#include "port/OsIdentity.h"

namespace nork {
namespace {

using namespace std::chrono_literals;
using testing::RecordingCallback;
using testing::WindowThread;

constexpr const char16_t* kSerial = u"QZRECONNECT0001";

bool hasLine(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

int countLines(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(text) != std::string::npos;
    }));
}

// What the scripted kinds report to the test.
struct Probe {
    CSyncEvent started{true, false};
    std::atomic<int> execs{0};
};

// A kind whose trigger is scripted: the counting rules are its base's.
template <class Kind>
class Scripted : public Kind {
  public:
    Scripted(CUFDImpl& device, ReconnectArgs args, Probe& probe, bool ok)
        : Kind(device, std::move(args)), m_probe(probe), m_ok(ok) {}
    bool execImpl() override {
        ++m_probe.execs;
        m_probe.started.set();
        return m_ok;
    }

  private:
    Probe& m_probe;
    bool m_ok;
};

template <class Kind = CQzTransparentReconnectDetachAttach>
std::unique_ptr<CTransparentReconnect> scripted(CUFDImpl& device, Probe& probe, bool ok,
                                                CStatusCallback* callback, int timeoutSeconds,
                                                std::optional<std::uint32_t> options = {}) {
    ReconnectArgs args;
    args.timeoutSeconds = timeoutSeconds;
    args.commandFlag = true;
    args.disconnectOnFailure = true;
    args.callback = callback;
    args.options = options;
    return std::make_unique<Scripted<Kind>>(device, std::move(args), probe, ok);
}

// A volume event of the drive.
CDeviceParams volume(const std::u16string& serial, std::uint32_t mask, const char16_t* path) {
    CDeviceParams p;
    p.setSerialNumber(serial);
    p.setDriveMask(mask);
    p.setPath(CDeviceParams::PATH_DISK, path);
    p.setFlags(0x01);
    return p;
}

// The library window answers broadcast requests as the polling thread does:
// it records them and hands them to the relay, which in the starting
// process meets the registration already there.
class Reconnect : public ::testing::Test {
  protected:
    void SetUp() override {
        CWindowCloser::instance().setSettleDelay(0ms);
        window = std::make_unique<WindowThread>(
            u"sdk window",
            [this](port::HWND, std::uint32_t message, std::uintptr_t w,
                   std::intptr_t l) -> std::intptr_t {
                if (message != WM_SDK_BROADCAST_REQUEST)
                    return 0;
                ++requests;
                wParam = w;
                lParam = l;
                // The relay looks the drive up by its device number.
                if (static_cast<std::uint32_t>(l) == deviceNumberOf(kSerial))
                    relayAccepted = TransparentReconnectRegisterFactory::instance().create(
                        static_cast<int>(w & 0xFF), device, 60, static_cast<std::uint32_t>(w));
                return answer.load();
            });
        setSdkWindow(window->hwnd());
        device.setSerialNumber(kSerial);
        device.setDriveMask(0x30);  // E: and F:
        device.setPath(CDeviceParams::PATH_DISK, u"/dev/old");
    }
    void TearDown() override {
        EXPECT_TRUE(manager().waitIdle(20s));
        setSdkWindow(port::HWND_NONE);
    }

    static CTransparentReconnectionsManager& manager() {
        return CTransparentReconnectionsManager::instance();
    }

    CUFDImpl device;
    Probe probe;
    std::unique_ptr<WindowThread> window;
    std::atomic<int> requests{0};
    std::atomic<std::intptr_t> answer{1};
    std::atomic<std::uintptr_t> wParam{0};
    std::atomic<std::intptr_t> lParam{0};
    std::atomic<bool> relayAccepted{true};
};

TEST_F(Reconnect, TwoLetterDriveLeavesTwiceAndComesBackTwice) {
    auto log = testing::LogCapture::onProcessLog("ReconnectCount");
    RecordingCallback callback;
    const std::uint32_t before = tickCount();
    std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(manager().Register(scripted(device, probe, true, &callback, 10), kSerial, false));
    ASSERT_TRUE(probe.started.wait(5000));
    EXPECT_TRUE(manager().isRegistered(kSerial));

    // One departure is all this platform reports; what the drive showed is
    // forgotten then. The second departure is extra.
    EXPECT_TRUE(manager().DeviceDisconnected(kSerial, volume(kSerial, 0x10, u"/dev/old")));
    EXPECT_EQ(device.driveMask(), 0u);
    EXPECT_TRUE(device.storedPath(CDeviceParams::PATH_DISK).empty());
    EXPECT_TRUE(manager().DeviceDisconnected(kSerial, volume(kSerial, 0x20, u"/dev/old")));

    int event = 0;
    // An arrival created before the reconnection started does not count.
    CDeviceParams early = volume(kSerial, 0x40, u"/dev/early");
    EXPECT_TRUE(manager().DeviceConnected(early, event, before));
    EXPECT_EQ(event, 0);
    CDeviceParams g = volume(kSerial, 0x40, u"/dev/g");
    EXPECT_TRUE(manager().DeviceConnected(g, event, tickCount()));
    EXPECT_EQ(event, 0);
    CDeviceParams h = volume(kSerial, 0x80, u"/dev/h");
    h.setComposite(true);
    EXPECT_TRUE(manager().DeviceConnected(h, event, tickCount()));
    EXPECT_EQ(event, CZykEvent::TR_QZ_DETACH_ATTACH);

    ASSERT_TRUE(callback.waitCall());
    EXPECT_FALSE(callback.error);
    EXPECT_EQ(callback.status, STATUS_OK);
    EXPECT_EQ(device.driveMask(), 0xC0u);
    EXPECT_EQ(device.storedPath(CDeviceParams::PATH_DISK), u"/dev/h");
    EXPECT_TRUE(device.composite());
    EXPECT_EQ(device.fipsStatus(), CUFDImpl::FIPS_POST);
    // Done: the drive's events are reported again.
    EXPECT_FALSE(manager().isRegistered(kSerial));
    EXPECT_FALSE(manager().DeviceConnected(h, event, tickCount()));

    const auto lines = log->takeNarrow();
    EXPECT_TRUE(hasLine(lines, "CTransparentReconnect::status - device disconnected (1 out of 1)"));
    EXPECT_EQ(countLines(lines,
                         "CTransparentReconnect::status - igonring extra event caught by "
                         "the events mechanism"),
              2);
    EXPECT_TRUE(hasLine(lines, "CTransparentReconnect::signal - device reconnected (2 out of 2)"));
    EXPECT_TRUE(hasLine(lines, "CTransparentReconnectionsManager::go - calling onDone callback"));
    EXPECT_TRUE(hasLine(lines,
                        "CTransparentReconnectionsManager::go - transparentReconnect wait "
                        "returned with status Ok"));
    EXPECT_TRUE(hasLine(lines,
                        "CTransparentReconnectionsManager::Register - device "
                        "QZRECONNECT0001 is registered for transparent reconnection"));
    EXPECT_TRUE(hasLine(lines, "WindowCloser::closeWindow was call"));
}

TEST_F(Reconnect, SecondRegistrationIsRejectedWithoutTouchingTheFirst) {
    auto log = testing::LogCapture::onProcessLog("ReconnectDuplicate");
    RecordingCallback first;
    ASSERT_TRUE(manager().Register(scripted(device, probe, true, &first, 10), kSerial, false));
    ASSERT_TRUE(probe.started.wait(5000));

    Probe other;
    RecordingCallback second;
    EXPECT_FALSE(manager().Register(scripted(device, other, true, &second, 10), kSerial, false));
    EXPECT_FALSE(manager().Register(scripted(device, other, true, &second, 10), kSerial, true));
    EXPECT_TRUE(manager().isRegistered(kSerial));

    int event = 0;
    manager().DeviceDisconnected(kSerial, volume(kSerial, 0x30, u"/dev/old"));
    CDeviceParams back = volume(kSerial, 0x30, u"/dev/new");
    manager().DeviceConnected(back, event, tickCount());
    manager().DeviceConnected(back, event, tickCount());
    EXPECT_EQ(event, CZykEvent::TR_QZ_DETACH_ATTACH);
    ASSERT_TRUE(first.waitCall());
    EXPECT_EQ(first.status, STATUS_OK);
    EXPECT_EQ(second.calls, 0);
    EXPECT_EQ(other.execs.load(), 0);
    // The two refused here and the relay's own, for the first.
    EXPECT_EQ(countLines(log->takeNarrow(),
                         "registration rejected (transparent reconnection "
                         "request is registered for this device)"),
              3);
}

TEST_F(Reconnect, TimeOutAndTriggerFailureEndWithOnError300) {
    struct Case {
        const char16_t* serial;
        bool triggerOk;
        const char* statusLine;
    };
    const Case cases[] = {
        {u"QZTIMEOUT000001", true,
         "transparentReconnect wait returned with status Device is not connected"},
        {u"QZTRIGGER000001", false,
         "transparentReconnect wait returned with status Communication failure"},
    };
    auto log = testing::LogCapture::onProcessLog("ReconnectFailures");
    static const CVendorDeviceTraitsANY traits;
    for (const Case& c : cases) {
        // A drive the device manager knows: on failure it is taken as gone.
        CDeviceParams params = volume(c.serial, 0x10, u"/dev/x");
        params.setDeviceState(STATUS_OK);
        params.setTraits(const_cast<CVendorDeviceTraitsANY*>(&traits));
        CDeviceManager& devices = CZykSDK::instance().deviceManager();
        ASSERT_EQ(devices.deviceConnected(params), CDeviceManager::CONNECT_NEW_OR_CHANGED);
        CUFDImpl& known = *devices.getCUFD(c.serial).impl();

        RecordingCallback callback;
        Probe p;
        log->take();
        EXPECT_FALSE(
            manager().Register(scripted(known, p, c.triggerOk, &callback, 1), c.serial, true));
        EXPECT_EQ(callback.calls, 1);
        EXPECT_TRUE(callback.error);
        EXPECT_EQ(callback.status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(callback.message, u"Device didn't reconnect after detaching");
        EXPECT_FALSE(manager().isRegistered(c.serial));
        EXPECT_FALSE(devices.getCUFD(c.serial).isValid());
        const auto lines = log->takeNarrow();
        EXPECT_TRUE(hasLine(lines, c.statusLine));
        EXPECT_TRUE(
            hasLine(lines, "CTransparentReconnectionsManager::go - calling onError callback"));
    }
}

TEST_F(Reconnect, BroadcastFailureWithdrawsTheRegistrationAndTellsTheCaller) {
    auto log = testing::LogCapture::onProcessLog("ReconnectBroadcast");
    for (const bool windowAnswersZero : {false, true}) {
        if (windowAnswersZero) {
            setSdkWindow(window->hwnd());
            answer = 0;
        } else {
            setSdkWindow(port::HWND_NONE);
        }
        // Waiting on the callback must end: the failure reaches it.
        CStatusCallbackSynchronizer synchronizer;
        ASSERT_TRUE(
            manager().Register(scripted(device, probe, true, &synchronizer, 60), kSerial, false));
        EXPECT_EQ(synchronizer.wait(), STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_TRUE(manager().waitIdle(5s));
        EXPECT_FALSE(manager().isRegistered(kSerial));

        RecordingCallback callback;
        EXPECT_FALSE(
            manager().Register(scripted(device, probe, true, &callback, 60), kSerial, true));
        EXPECT_TRUE(callback.error);
        EXPECT_FALSE(manager().isRegistered(kSerial));
        EXPECT_EQ(probe.execs.load(), 0);
        EXPECT_EQ(countLines(log->takeNarrow(),
                             "CTransparentReconnectionsManager::Register - Failed to Notify the "
                             "transparent reconnect to other processes."),
                  2);
    }
}

TEST_F(Reconnect, BroadcastCarriesTypeOptionsAndDeviceNumber) {
    auto log = testing::LogCapture::onProcessLog("ReconnectRequest");
    RecordingCallback callback;
    // Type 10 keeps option byte 1 (expected domains) and passes byte 2 and 3.
    EXPECT_FALSE(manager().Register(
        scripted<CQzTransparentReconnect>(device, probe, true, &callback, 1, 0x11220300u), kSerial,
        true));
    EXPECT_EQ(requests.load(), 1);
    EXPECT_EQ(wParam.load(), 0x1122030Au);
    EXPECT_EQ(static_cast<std::uint32_t>(lParam.load()), deviceNumberOf(kSerial));
    // The relay in the starting process met the running registration.
    EXPECT_FALSE(relayAccepted.load());
    EXPECT_TRUE(hasLine(log->takeNarrow(), "registration rejected"));
    EXPECT_EQ(callback.calls, 1);  // the time-out
}

TEST_F(Reconnect, RelayCreatesTheWaitOnlyKindOfEachType) {
    struct Case {
        int type;
        std::uint32_t options;
        int connections;  // needed to complete a two-letter drive's cycle
    };
    // This platform counts one departure; arrivals per letter, per the
    // option word (type 10) or once.
    const Case cases[] = {{9, 0x09, 2},  {10, 0x030A, 3}, {11, 0x0B, 2},     {13, 0x0D, 2},
                          {14, 0x0E, 1}, {15, 0x0F, 2},   {16, 0x010010, 2}, {17, 0x11, 1}};
    TransparentReconnectRegisterFactory& factory = TransparentReconnectRegisterFactory::instance();
    std::vector<std::unique_ptr<CUFDImpl>> devices;
    for (const Case& c : cases) {
        const std::u16string serial = u"QZWAITONLY0" + std::u16string(1, u'A' + c.type);
        devices.push_back(std::make_unique<CUFDImpl>());
        CUFDImpl& d = *devices.back();
        d.setSerialNumber(serial);
        d.setDriveMask(0x30);
        ASSERT_TRUE(factory.create(c.type, d, 5, c.options)) << c.type;
        EXPECT_TRUE(manager().isRegistered(serial));
        EXPECT_FALSE(factory.create(c.type, d, 5, c.options)) << c.type;

        EXPECT_TRUE(manager().DeviceDisconnected(serial, volume(serial, 0x30, u"/dev/a")));
        int event = 0;
        int connections = 0;
        while (event == 0 && connections < 4) {
            CDeviceParams back = volume(serial, 0x10u << connections, u"/dev/b");
            // Wait-only objects started nothing: any arrival counts.
            EXPECT_TRUE(manager().DeviceConnected(back, event, 0));
            ++connections;
        }
        EXPECT_EQ(event, c.type);
        EXPECT_EQ(connections, c.connections) << c.type;
    }
    for (const int unknown : {0, 3, 8, 18})
        EXPECT_FALSE(factory.create(unknown, *devices.front(), 5, 0)) << unknown;
    EXPECT_TRUE(manager().waitIdle(10s));
    for (const auto& d : devices)
        EXPECT_FALSE(manager().isRegistered(d->serialNumber()));
}

// A family whose LUN count the test sets.
class LunTraits : public CVendorDeviceTraitsANY {
  public:
    STATUS getLunsNum(CDeviceParams&, std::uint32_t& count) const override {
        if (luns < 0)
            return STATUS_COMMUNICATION_FAILURE;
        count = static_cast<std::uint32_t>(luns);
        return STATUS_OK;
    }
    int luns = 2;
};

TEST(ReconnectNonAdmin, CompletesWithTheHidInterfaceAfterItsLuns) {
    auto log = testing::LogCapture::onProcessLog("ReconnectNonAdmin");
    for (const int luns : {2, -1}) {
        LunTraits traits;
        traits.luns = luns;
        CUFDImpl device;
        device.setSerialNumber(u"QZNONADMIN00001");
        device.setDriveMask(0x10);
        device.setTraits(&traits);
        ReconnectArgs args;
        args.timeoutSeconds = 1;
        CQzTransparentReconnectNonAdmin r(device, std::move(args));

        CDeviceParams gone = volume(device.serialNumber(), 0x10, u"/dev/a");
        EXPECT_FALSE(r.status(CTransparentReconnect::EVENT_DISCONNECTED, gone, 0));
        // Volumes alone never complete it, and bring no disk path.
        for (std::uint32_t mask : {0x40u, 0x80u}) {
            CDeviceParams v = volume(device.serialNumber(), mask, u"/dev/v");
            EXPECT_FALSE(r.status(CTransparentReconnect::EVENT_CONNECTED, v, 1));
        }
        EXPECT_TRUE(device.storedPath(CDeviceParams::PATH_DISK).empty());

        CDeviceParams hid;
        hid.setSerialNumber(device.serialNumber());
        hid.setFlags(0x04);
        hid.setComposite(true);
        hid.setPath(CDeviceParams::PATH_DISK, u"hid:qz");
        hid.setPath(CDeviceParams::PATH_HID, u"hid:qz");
        log->take();
        const bool done = r.status(CTransparentReconnect::EVENT_CONNECTED, hid, 1);
        const auto lines = log->takeNarrow();
        if (luns > 0) {
            EXPECT_TRUE(done);
            EXPECT_EQ(r.expectedReconnections(), 3);
            EXPECT_EQ(device.storedPath(CDeviceParams::PATH_DISK), u"hid:qz");
            EXPECT_EQ(device.storedPath(CDeviceParams::PATH_HID), u"hid:qz");
            EXPECT_TRUE(device.hidPrivateCommandsEnabled());
            EXPECT_TRUE(device.composite());
            EXPECT_EQ(device.driveMask(), 0xC0u);
            EXPECT_EQ(r.wait(), STATUS_OK);
        } else {
            EXPECT_FALSE(done);
            EXPECT_TRUE(hasLine(lines,
                                "CQzTransparentReconnectNonAdmin::signal - Failed to get "
                                "luns number from device after HID connect event"));
            EXPECT_EQ(r.wait(), STATUS_DEVICE_NOT_CONNECTED);
        }
    }
}

// The per-platform counts need a platform other than the default, fixed
// before the process's platform object exists; the object stays for the
// process, so these tests run alone in a process of their own.
bool usePlatform(int type, bool rawAccess) {
    if (TSingleton<CPlatformFactory>::existing() != nullptr)
        return CPlatformFactory::instance().platformType() == type;
    port::OsIdentity identity;
    identity.platformType = type;
    identity.systemVolumeWritable = rawAccess;
    port::setOsIdentity(identity);
    return CPlatformFactory::instance().platformType() == type;
}

struct Counts {
    int disconnections;
    int reconnections;
};

template <class Kind>
Counts countsOf(CUFDImpl& device) {
    ReconnectArgs args;
    Kind r(device, std::move(args));
    return {r.expectedDisconnections(), r.expectedReconnections()};
}

TEST(ReconnectCounts, OldPlatformCountsEveryLetter) {
    if (testing::rerunAloneIf(true))
        return;
    if (!usePlatform(CPlatformType::WIN98SE, true))
        GTEST_SKIP() << "needs a process of its own";
    CUFDImpl device;
    device.setSerialNumber(u"S");
    device.setDriveMask(0x70);  // three letters
    Counts c = countsOf<CTransparentReconnectDetachAttach>(device);
    EXPECT_EQ(c.disconnections, 3);
    EXPECT_EQ(c.reconnections, 3);
    c = countsOf<CTransparentReconnectCDEject>(device);
    EXPECT_EQ(c.disconnections, 2);
    EXPECT_EQ(c.reconnections, 1);
    // A drive seen through its HID interface leaves once.
    device.setFlags(0x04);
    c = countsOf<CTransparentReconnectDetachAttach>(device);
    EXPECT_EQ(c.disconnections, 1);
    EXPECT_EQ(c.reconnections, 3);
}

TEST(ReconnectCounts, UncountedPlatformExpectsOneOfEach) {
    if (testing::rerunAloneIf(true))
        return;
    if (!usePlatform(CPlatformType::WIN2K, true))
        GTEST_SKIP() << "needs a process of its own";
    CUFDImpl device;
    device.setSerialNumber(u"S");
    device.setDriveMask(0x70);
    for (const Counts c : {countsOf<CTransparentReconnectDetachAttach>(device),
                           countsOf<CTransparentReconnectCDEject>(device)}) {
        EXPECT_EQ(c.disconnections, 1);
        EXPECT_EQ(c.reconnections, 1);
    }
}

}  // namespace
}  // namespace nork
