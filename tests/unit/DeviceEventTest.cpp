#include "DeviceEvent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "InstallEventFinder.h"
#include "LogCapture.h"
#include "PlatformFactory.h"
#include "Registry.h"
#include "RuntimeTestSupport.h"
#include "port/OsIdentity.h"

namespace nork {
namespace {

using nork::testing::freshTestDir;
using nork::testing::LogCapture;
using nork::testing::ScopedEnv;

std::shared_ptr<LogCapture> processLog() {
    static auto capture = LogCapture::onProcessLog("DeviceEventTest");
    return capture;
}

// Whether a line carries exactly this message (after the record's prefix).
bool hasLine(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        std::string_view l(line);
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
            l.remove_suffix(1);
        return l.size() >= text.size() && l.substr(l.size() - text.size()) == text;
    });
}

std::atomic<std::uint32_t> g_tick{100000};
std::uint32_t fakeTick() {
    return g_tick.load();
}

port::OsIdentity identity(int type, bool volumeWritable = false) {
    port::OsIdentity id;
    id.platformType = type;
    id.systemVolumeWritable = volumeWritable;
    return id;
}

struct Fired {
    bool connected;
    std::u16string serial;
    std::uint32_t mask;
    STATUS state;
    std::uint32_t tick;
    std::uint8_t typeFlags;
};

class RecordingSink : public CDeviceEventSink {
  public:
    void DeviceConnected(CDeviceParams& params, std::uint32_t tick) override {
        fired.push_back({true, params.serialNumber(), params.driveMask(), params.deviceState(),
                         tick, params.deviceTypeFlags()});
    }
    void DeviceDisconnected(CDeviceParams& params) override {
        fired.push_back({false, params.serialNumber(), params.driveMask(), params.deviceState(), 0,
                         params.deviceTypeFlags()});
    }
    std::vector<Fired> fired;
};

// Every test gets its own hives (markers land there), a fixed clock and a
// validator that answers what the test says.
class DeviceEventTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto dir = freshTestDir();
        m_hkcu = (dir / "hkcu.reg").string();
        m_hklm = (dir / "hklm.reg").string();
        m_env.emplace_back(std::make_unique<ScopedEnv>("QZ_HKCU_HIVE", m_hkcu));
        m_env.emplace_back(std::make_unique<ScopedEnv>("QZ_HKLM_HIVE", m_hklm));
        m_env.emplace_back(
            std::make_unique<ScopedEnv>("QZ_HKCR_HIVE", (dir / "hkcr.reg").string()));
        g_tick = 100000;
        CDeviceEvent::setTickSource(&fakeTick);
        CDeviceEventConnectWin::setValidator([this](CDeviceParams& params) {
            ++validations;
            if (!validSerial.empty())
                params.setSerialNumber(validSerial);
            return validation;
        });
        processLog()->take();
    }
    void TearDown() override {
        CDeviceEventConnectWin::setValidator(nullptr);
        CDeviceEvent::setTickSource(nullptr);
        m_env.clear();
    }

    // A connect event of the platform for drive E: (or the given mask) of a
    // known drive.
    std::unique_ptr<CDeviceEvent> connect(const CPlatformFactory& factory, std::uint8_t flags = 1,
                                          std::uint32_t mask = 1u << 4) {
        std::unique_ptr<CDeviceEvent> e = factory.newConnectEvent();
        e->params().setDriveMask(mask);
        e->params().setDeviceTypeFlags(flags);
        e->params().setSerialNumber(u"SER0001");
        e->params().setVendorString(u"Corvane");
        e->params().setUsbIds(0x0A5C, 0x0001);
        return e;
    }

    int validation = CDeviceEventConnectWin::VALID;
    std::u16string validSerial;
    int validations = 0;
    std::string m_hkcu;
    std::string m_hklm;
    std::vector<std::unique_ptr<ScopedEnv>> m_env;
};

// ---- merging ----

TEST_F(DeviceEventTest, SameDriveRulesOfConnectAndDisconnectEvents) {
    struct Side {
        int kind;
        const char16_t* path;
        std::uint32_t mask;
        bool mark;
        std::uint8_t flags;
    };
    struct Case {
        const char* name;
        Side queued;
        Side incoming;
        bool same;
    };
    using E = CDeviceEvent;
    const std::uint32_t e = 1u << 4;
    const Case cases[] = {
        {"same path",
         {E::KIND_CONNECT, u"P", 0, false, 1},
         {E::KIND_CONNECT, u"P", 0, false, 1},
         true},
        {"same path, other mark",
         {E::KIND_CONNECT, u"P", 0, false, 1},
         {E::KIND_CONNECT, u"P", 0, true, 1},
         false},
        {"volume path and letter",
         {E::KIND_CONNECT, u"P", e, false, 1},
         {E::KIND_CONNECT, u"", e, false, 1},
         true},
        {"same letter, other mark",
         {E::KIND_CONNECT, u"", e, true, 1},
         {E::KIND_CONNECT, u"", e, false, 1},
         false},
        {"different letters",
         {E::KIND_CONNECT, u"", e, false, 1},
         {E::KIND_CONNECT, u"", e << 1, false, 1},
         false},
        {"no path, no letters",
         {E::KIND_CONNECT, u"", 0, false, 1},
         {E::KIND_CONNECT, u"", 0, false, 1},
         false},
        {"different paths",
         {E::KIND_CONNECT, u"P", 0, false, 1},
         {E::KIND_CONNECT, u"Q", 0, false, 1},
         false},
        {"HID ignores the mark",
         {E::KIND_CONNECT, u"H", 0, true, 4},
         {E::KIND_CONNECT, u"H", 0, false, 4},
         true},
        {"disconnect: path, other mark",
         {E::KIND_DISCONNECT, u"P", 0, false, 1},
         {E::KIND_DISCONNECT, u"P", 0, true, 1},
         true},
        {"disconnect: letter, other mark",
         {E::KIND_DISCONNECT, u"", e, true, 1},
         {E::KIND_DISCONNECT, u"", e, false, 1},
         true},
        {"disconnect: different letters",
         {E::KIND_DISCONNECT, u"", e, false, 1},
         {E::KIND_DISCONNECT, u"", e << 1, false, 1},
         false},
        {"removal and arrival stay apart",
         {E::KIND_DISCONNECT, u"", e, false, 1},
         {E::KIND_CONNECT, u"", e, false, 1},
         false},
        {"arrival and removal stay apart",
         {E::KIND_CONNECT, u"P", e, false, 1},
         {E::KIND_DISCONNECT, u"P", e, false, 1},
         false},
    };
    CPlatformFactory factory(identity(11), 0);
    auto make = [&](const Side& s) {
        std::unique_ptr<CDeviceEvent> ev = s.kind == CDeviceEvent::KIND_CONNECT
                                               ? factory.newConnectEvent()
                                               : factory.newDisconnectEvent();
        ev->setInterfacePath(s.path);
        ev->params().setDriveMask(s.mask);
        ev->setCreatedAfterReconnectStart(s.mark);
        ev->params().setDeviceTypeFlags(s.flags);
        return ev;
    };
    for (const Case& c : cases) {
        auto queued = make(c.queued);
        auto incoming = make(c.incoming);
        EXPECT_EQ(queued->isSame(*incoming), c.same) << c.name;

        CDeviceEventList list;
        list.RegisterEvent(*queued);
        list.RegisterEvent(*incoming);
        EXPECT_EQ(list.size(), c.same ? 1u : 2u) << c.name;
    }
}

TEST_F(DeviceEventTest, ADriveReportedByVolumeAndByLetterBecomesOneEvent) {
    CPlatformFactory factory(identity(11), 0);
    validSerial = u"SER0001";
    auto byVolume = connect(factory, CDeviceParams::TYPE_REMOVABLE);
    byVolume->setInterfacePath(u"\\\\?\\STORAGE#RemovableMedia#7&1&0&RM#{53f5630d}");
    auto byLetter = connect(factory, CDeviceParams::TYPE_CDROM);

    CDeviceEventList list;
    list.RegisterEvent(*byVolume);
    list.RegisterEvent(*byLetter);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_TRUE(
        hasLine(processLog()->takeNarrow(), "CDevicePollImpl::RegisterEvent - event registered"));

    RecordingSink sink;
    list.Process(sink);
    ASSERT_EQ(sink.fired.size(), 1u);
    EXPECT_TRUE(sink.fired[0].connected);
    // The flags of both reports reach the device manager.
    EXPECT_EQ(sink.fired[0].typeFlags, 3);
    EXPECT_EQ(list.size(), 0u);
    // The caller's events are its own: registering copied them.
    EXPECT_EQ(byVolume->typeFlags(), 1);
}

// An arrival reported while its drive was already leaving knows no device
// path; the drive's next report of the same letter is merged into it and
// must give it one, or the event could never validate and the drive would
// stay unannounced until the event expired.
TEST_F(DeviceEventTest, AMergedReportGivesItsDevicePathToAnEventWithout) {
    CPlatformFactory factory(identity(12), 0);
    int opened = 0;
    CDeviceEventConnectWin::setValidator([&opened](CDeviceParams& params) {
        if (params.storedPath(CDeviceParams::PATH_DISK).empty())
            return CDeviceEventConnectWin::CANT_TELL;
        ++opened;
        return CDeviceEventConnectWin::VALID;
    });
    CDeviceEventList list;
    list.RegisterEvent(*connect(factory));
    RecordingSink sink;
    list.Process(sink);
    EXPECT_TRUE(sink.fired.empty());

    auto again = connect(factory);
    again->params().setPath(CDeviceParams::PATH_DISK, u"qzemu:SER0001/0");
    list.RegisterEvent(*again);
    ASSERT_EQ(list.size(), 1u);
    list.Process(sink);
    ASSERT_EQ(sink.fired.size(), 1u);
    EXPECT_EQ(opened, 1);
}

// A drive leaves and comes back while its first arrival still waits to
// validate: the new arrival stays behind the departure, so the manager
// hears arrival, departure, arrival, and the drive ends connected.
TEST_F(DeviceEventTest, AnArrivalAfterADepartureNeverFoldsIntoAnEarlierArrival) {
    CPlatformFactory factory(identity(12), 0);
    validation = CDeviceEventConnectWin::CANT_TELL;
    CDeviceEventList list;
    list.RegisterEvent(*connect(factory));
    RecordingSink sink;
    list.Process(sink);
    ASSERT_TRUE(sink.fired.empty());

    auto removal = factory.newDisconnectEvent();
    removal->params().setSerialNumber(u"SER0001");
    removal->params().setDriveMask(1u << 4);
    list.RegisterEvent(*removal);
    list.RegisterEvent(*connect(factory));
    EXPECT_EQ(list.size(), 3u);

    validation = CDeviceEventConnectWin::VALID;
    list.Process(sink);
    ASSERT_EQ(sink.fired.size(), 3u);
    EXPECT_TRUE(sink.fired[0].connected);
    EXPECT_FALSE(sink.fired[1].connected);
    EXPECT_TRUE(sink.fired[2].connected);
}

TEST_F(DeviceEventTest, MergeSwallowsTheFirstRepeatThenCountsAndDoublesTheUnits) {
    CPlatformFactory factory(identity(8), 0);
    auto direct = connect(factory);
    auto* win = dynamic_cast<CDeviceEventConnectWin*>(direct.get());
    ASSERT_NE(win, nullptr);
    const std::uint32_t created = dynamic_cast<CDeviceEventConnect&>(*direct).lastMergeTick();
    g_tick += 10;
    win->merge(*connect(factory));
    EXPECT_EQ(win->mergeCount(), 0);  // the usual second report of one arrival
    EXPECT_EQ(win->lastMergeTick(), created);
    win->merge(*connect(factory));
    EXPECT_EQ(win->mergeCount(), 1);
    EXPECT_EQ(win->lastMergeTick(), created + 10);
    EXPECT_EQ(win->baseUnits(), 8);
    win->merge(*connect(factory));
    EXPECT_EQ(win->mergeCount(), 2);
    EXPECT_EQ(win->baseUnits(), 16);
    win->merge(*connect(factory));
    EXPECT_EQ(win->baseUnits(), 16);
}

// A volume that found no drive letter is queued with mask 0; when a freed
// letter reaches it before the event fired, the event fires with it.
TEST_F(DeviceEventTest, AVolumeQueuedWithoutALetterFiresWithTheLetterItGotSince) {
    CPlatformFactory factory(identity(12), 0);
    validation = CDeviceEventConnectWin::CANT_TELL;
    const std::u16string volume =
        u"\\\\?\\STORAGE#Volume#_??_USBSTOR#Disk&Ven_Q#SER0001&1#{53f5630d}";
    CDeviceEventList list;
    auto letterless = connect(factory, CDeviceParams::TYPE_REMOVABLE, 0);
    letterless->setInterfacePath(volume);
    list.RegisterEvent(*letterless);
    RecordingSink sink;
    list.Process(sink);
    EXPECT_TRUE(sink.fired.empty());

    auto lettered = connect(factory, CDeviceParams::TYPE_REMOVABLE, 1u << 7);
    lettered->setInterfacePath(volume);
    list.RegisterEvent(*lettered);
    ASSERT_EQ(list.size(), 1u);
    validation = CDeviceEventConnectWin::VALID;
    list.Process(sink);
    ASSERT_EQ(sink.fired.size(), 1u);
    EXPECT_EQ(sink.fired[0].mask, 1u << 7);
}

// One volume is reported once per interface and may name a letter each time
// (a letter is reassigned while the arrival waits): the queued event keeps
// the letter it has, so the volume reaches the device manager with one root.
TEST_F(DeviceEventTest, AMergedReportNeverAddsASecondLetterToAQueuedEvent) {
    const std::uint32_t e = 1u << 4;
    const std::uint32_t f = 1u << 5;
    struct Case {
        const char* name;
        int kind;
        std::uint32_t queued;
        std::uint32_t incoming;
        std::uint32_t fired;
    } cases[] = {
        {"arrival E, then F", CDeviceEvent::KIND_CONNECT, e, f, e},
        {"arrival E, then none", CDeviceEvent::KIND_CONNECT, e, 0, e},
        {"arrival E, then E", CDeviceEvent::KIND_CONNECT, e, e, e},
        {"removal E, then F", CDeviceEvent::KIND_DISCONNECT, e, f, e},
    };
    CPlatformFactory factory(identity(12), 0);
    const std::u16string volume =
        u"\\\\?\\STORAGE#Volume#_??_USBSTOR#Disk&Ven_Q#SER0001&1#{53f5630d}";
    for (const Case& c : cases) {
        auto make = [&](std::uint32_t mask) {
            std::unique_ptr<CDeviceEvent> ev = c.kind == CDeviceEvent::KIND_CONNECT
                                                   ? connect(factory, 1, mask)
                                                   : factory.newDisconnectEvent();
            ev->params().setDriveMask(mask);
            ev->setInterfacePath(volume);
            return ev;
        };
        CDeviceEventList list;
        list.RegisterEvent(*make(c.queued));
        list.RegisterEvent(*make(c.incoming));
        ASSERT_EQ(list.size(), 1u) << c.name;
        RecordingSink sink;
        list.Process(sink);
        ASSERT_EQ(sink.fired.size(), 1u) << c.name;
        EXPECT_EQ(sink.fired[0].mask, c.fired) << c.name;
    }
}

// ---- processing ----

TEST_F(DeviceEventTest, ReadyEventsFireWithTheirStateWordAndLeaveTheQueue) {
    CPlatformFactory factory(identity(12), 0);
    validSerial = u"SER0001";
    CDeviceEventList list;

    auto arrival = connect(factory, 1, 1u << 4);
    arrival->params().setDeviceState(STATUS_DEVICE_NOT_CONNECTED);
    const std::uint32_t created = dynamic_cast<CDeviceEventConnect&>(*arrival).creationTick();
    g_tick += 500;
    auto removal = factory.newDisconnectEvent();
    removal->params().setSerialNumber(u"OTHER");
    removal->params().setDriveMask(1u << 5);
    removal->params().setDeviceState(STATUS_OK);
    list.RegisterEvent(*arrival);
    list.RegisterEvent(*removal);
    processLog()->take();

    RecordingSink sink;
    list.Process(sink);
    ASSERT_EQ(sink.fired.size(), 2u);
    EXPECT_TRUE(sink.fired[0].connected);
    EXPECT_EQ(sink.fired[0].state, STATUS_OK);
    EXPECT_EQ(sink.fired[0].tick, created);  // the arrival's time, not the firing's
    EXPECT_FALSE(sink.fired[1].connected);
    EXPECT_EQ(sink.fired[1].state, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(list.size(), 0u);

    const auto lines = processLog()->takeNarrow();
    const std::vector<std::string> expected = {
        "CDevicePoll::Process --- device ready, type 1",
        "CDevicePollImpl::Process - event removed, 1 events left",
        "CDevicePollImpl::Process - reached the end of the event list",
    };
    for (const auto& line : expected)
        EXPECT_TRUE(hasLine(lines, line)) << line;
}

TEST_F(DeviceEventTest, AnEventThatStaysCantTellExpiresAfter250TriesWithoutFiring) {
    CPlatformFactory factory(identity(11), 0);
    validation = CDeviceEventConnectWin::CANT_TELL;
    CDeviceEventList list;
    list.RegisterEvent(*connect(factory));
    RecordingSink sink;

    for (int i = 0; i < CDeviceEvent::MAX_TRIES - 1; ++i)
        list.Process(sink);
    EXPECT_EQ(list.size(), 1u);
    EXPECT_TRUE(
        hasLine(processLog()->takeNarrow(), "CDeviceEventConnectWin::TestReady - E CANT_TELL"));

    list.Process(sink);
    EXPECT_EQ(list.size(), 0u);
    EXPECT_TRUE(sink.fired.empty());
    EXPECT_EQ(validations, CDeviceEvent::MAX_TRIES);
    EXPECT_TRUE(hasLine(processLog()->takeNarrow(),
                        "CDeviceEvent::IsValid -  number of tries is over MAX TRIES, invalid event "
                        "type 1"));
}

TEST_F(DeviceEventTest, AnInvalidDriveIsDroppedAtItsFirstTest) {
    CPlatformFactory factory(identity(10), 0);
    validation = CDeviceEventConnectWin::INVALID;
    CDeviceEventList list;
    list.RegisterEvent(*connect(factory, 1, (1u << 4) | (1u << 6)));
    RecordingSink sink;
    list.Process(sink);
    EXPECT_EQ(list.size(), 0u);
    EXPECT_TRUE(sink.fired.empty());
    const auto lines = processLog()->takeNarrow();
    EXPECT_TRUE(hasLine(lines, "CDeviceEventConnectWin::TestReady - EG invalid device"));
    EXPECT_TRUE(hasLine(lines,
                        "CDeviceEvent::IsValid -  number of tries is over MAX TRIES, invalid event "
                        "type 1"));
}

// A valid drive without marker is reported once nothing is being installed
// (always, here) and leaves its marker under the root its privileges pick.
TEST_F(DeviceEventTest, ValidDriveWritesItsMarkerUnderTheRootOfItsPrivileges) {
    struct Case {
        int type;
        bool volumeWritable;
        int root;
        const char16_t* key;
    };
    const Case cases[] = {
        {11, false, CRegistry::ROOT_CURRENT_USER, u"Software\\a5c\\SER0001\\1\\2"},
        {12, false, CRegistry::ROOT_LOCAL_MACHINE, u"SOFTWARE\\a5c\\SER0001\\1\\2"},
    };
    for (const Case& c : cases) {
        CPlatformFactory factory(identity(c.type, c.volumeWritable), 0);
        auto event = connect(factory, CDeviceParams::TYPE_CDROM);
        processLog()->take();
        EXPECT_TRUE(event->TestReady()) << c.type;
        CRegistry registry;
        EXPECT_TRUE(registry.exists(c.root, c.key)) << c.type;
        const auto lines = processLog()->takeNarrow();
        EXPECT_TRUE(hasLine(lines, "^^^^^^^^^^NoMorePendingInstallation  in drive E, "));
        EXPECT_TRUE(hasLine(lines,
                            "CDeviceEventConnectWin::TestReady - writing device SER0001 info into "
                            "the registry, event type: 2, event PID: 1, 0 events received"));

        // Once valid, the next test asks the marker only.
        const int before = validations;
        EXPECT_TRUE(event->TestReady());
        EXPECT_EQ(validations, before);
        EXPECT_TRUE(processLog()->takeNarrow().empty());
        EXPECT_TRUE(deleteMarkerKey(event->params(), CDeviceParams::TYPE_CDROM,
                                    factory.privilege(CPlatformFactory::PRIV_O),
                                    port::SettingsHive::processDefault()));
        EXPECT_FALSE(registry.exists(c.root, c.key));
    }
}

// ---- the 2000 form ----

TEST_F(DeviceEventTest, Win2kWaitTimeByTypeAndReconnectMark) {
    struct Case {
        std::uint8_t flags;
        bool afterReconnect;
        bool ibm;
        std::uint32_t wait;
        int merges;
    };
    const Case cases[] = {
        {1, false, false, 8 * 1850, 4}, {2, false, false, 8 * 1750, 2},
        {4, false, false, 8 * 1500, 2}, {1, true, false, 12 * 1850, 4},
        {2, true, true, 28 * 1750, 2},  {4, false, true, 8 * 1500, 2},
        {3, false, false, 8, 4},  // no factor for a mixed report
    };
    const auto dir = freshTestDir();
    port::SettingsHive ibmHive((dir / "cr.reg").string(), (dir / "cu.reg").string(),
                               (dir / "lm.reg").string());
    ASSERT_TRUE(ibmHive.createKey(port::HiveRoot::LocalMachine, u"SOFTWARE\\IBM\\TPHOTKEY").ok());
    CPlatformFactory plain(identity(8), 0);
    CPlatformFactory ibm(identity(8), 0, ibmHive);
    ASSERT_TRUE(ibm.isIBMLaptop());
    for (const Case& c : cases) {
        auto event = connect(c.ibm ? ibm : plain, c.flags);
        event->setCreatedAfterReconnectStart(c.afterReconnect);
        auto& win2k = dynamic_cast<CDeviceEventConnectWin2k&>(*event);
        EXPECT_EQ(win2k.waitTime(), c.wait) << int(c.flags) << c.afterReconnect << c.ibm;
        EXPECT_EQ(win2k.neededMerges(), c.merges) << int(c.flags);
    }
}

TEST_F(DeviceEventTest, Win2kReadyByCounterByTimeOrByMarker) {
    CPlatformFactory factory(identity(7), 0);

    {
        SCOPED_TRACE("counter");
        auto event = connect(factory, CDeviceParams::TYPE_CDROM);
        auto& win2k = dynamic_cast<CDeviceEventConnectWin2k&>(*event);
        win2k.merge(*connect(factory));  // swallowed
        win2k.merge(*connect(factory));
        EXPECT_FALSE(win2k.TestReady());
        EXPECT_EQ(validations, 0);  // nothing to validate yet
        win2k.merge(*connect(factory));
        processLog()->take();
        EXPECT_TRUE(win2k.TestReady());
        const auto lines = processLog()->takeNarrow();
        EXPECT_TRUE(hasLine(lines, "CDeviceEventConnectWin::TestReady - E ready due to counter"));
        EXPECT_TRUE(hasLine(lines,
                            "CDeviceEventConnectWin::TestReady - writing device info into the "
                            "registry, event type: 2, event PID: 1, 2 events received"));
        EXPECT_TRUE(markerKeyExists(event->params(), false, port::SettingsHive::processDefault()));
    }
    {
        SCOPED_TRACE("marker");
        auto event = connect(factory, CDeviceParams::TYPE_CDROM);
        processLog()->take();
        EXPECT_TRUE(event->TestReady());
        const auto lines = processLog()->takeNarrow();
        EXPECT_TRUE(hasLine(lines, "CDeviceEventConnectWin::TestReady - E, ready due to registry"));
        EXPECT_FALSE(hasLine(lines,
                             "CDeviceEventConnectWin::TestReady - writing device info into the "
                             "registry, event type: 2, event PID: 1, 0 events received"));
    }
    {
        SCOPED_TRACE("time");
        auto event = connect(factory, CDeviceParams::TYPE_REMOVABLE);
        g_tick += 8 * 1850 - 1;
        EXPECT_FALSE(event->TestReady());
        g_tick += 1;
        validation = CDeviceEventConnectWin::CANT_TELL;
        EXPECT_FALSE(event->TestReady());  // waited enough, but the drive cannot say yet
        EXPECT_EQ(event->tries(), 0);
        validation = CDeviceEventConnectWin::VALID;
        EXPECT_TRUE(event->TestReady());
    }
    {
        SCOPED_TRACE("invalid");
        auto event = connect(factory, CDeviceParams::TYPE_REMOVABLE);
        g_tick += 20000;
        validation = CDeviceEventConnectWin::INVALID;
        EXPECT_FALSE(event->TestReady());
        EXPECT_EQ(event->tries(), CDeviceEvent::MAX_TRIES);
    }
}

TEST_F(DeviceEventTest, Win2kElapsedTimeSurvivesTheTickWrap) {
    CPlatformFactory factory(identity(9), 0);
    g_tick = 0xFFFFFF00u;
    auto event = connect(factory, CDeviceParams::TYPE_HID);
    g_tick = 0x100;  // 512 ms later across the wrap: far from 12 s
    EXPECT_FALSE(event->TestReady());
}

// ---- factory ----

TEST_F(DeviceEventTest, FactoryHandsOutTheEventFormOfEachPlatformType) {
    for (int type = 0; type <= 13; ++type) {
        CPlatformFactory factory(identity(type), 0);
        std::unique_ptr<CDeviceEvent> c = factory.newConnectEvent();
        std::unique_ptr<CDeviceEvent> d = factory.newDisconnectEvent();
        ASSERT_NE(d, nullptr);
        EXPECT_NE(dynamic_cast<CDeviceEventDisconnectWin*>(d.get()), nullptr) << type;
        EXPECT_EQ(d->kind(), CDeviceEvent::KIND_DISCONNECT);
        if (type == 2 || type == 3 || (type >= 10 && type <= 12)) {
            auto* win = dynamic_cast<CDeviceEventConnectWin*>(c.get());
            ASSERT_NE(win, nullptr) << type;
            EXPECT_EQ(dynamic_cast<CDeviceEventConnectWin2k*>(c.get()), nullptr) << type;
            EXPECT_EQ(dynamic_cast<CDeviceEventConnectWinMe*>(c.get()), nullptr) << type;
            EXPECT_EQ(win->baseUnits(), type <= 3 ? 0 : 8) << type;
        } else if (type == 4) {
            EXPECT_NE(dynamic_cast<CDeviceEventConnectWinMe*>(c.get()), nullptr);
        } else if (type >= 6 && type <= 9) {
            auto* win2k = dynamic_cast<CDeviceEventConnectWin2k*>(c.get());
            ASSERT_NE(win2k, nullptr) << type;
            EXPECT_EQ(win2k->baseUnits(), 8);
        } else {
            processLog()->take();
            EXPECT_EQ(c, nullptr) << type;
            continue;
        }
        EXPECT_EQ(c->kind(), CDeviceEvent::KIND_CONNECT);
        // A clone is the same form with the same state.
        c->params().setDriveMask(0x10);
        auto copy = c->clone();
        EXPECT_EQ(typeid(*copy), typeid(*c)) << type;
        EXPECT_EQ(copy->params().driveMask(), 0x10u);
    }
}

TEST_F(DeviceEventTest, UnknownPlatformTypesGetNoConnectEventAndAnAssertion) {
    CPlatformFactory factory(identity(5), 0);
    processLog()->take();
    EXPECT_EQ(factory.newConnectEvent(), nullptr);
    const auto lines = processLog()->takeNarrow();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("zyk_assert --- [!\"OS not supported\"]"), std::string::npos)
        << lines[0];
}

// ---- marker keys ----

TEST_F(DeviceEventTest, MarkerKeyPathsAndRefusals) {
    CDeviceParams params;
    params.setSerialNumber(u"0123ABC");
    params.setVendorString(u"Corvane");
    params.setUsbIds(0x0A5C, 0x00F0);
    EXPECT_EQ(markerKeyPath(params, 1), u"a5c\\0123ABC\\f0\\1");
    params.setUsbIds(0xABCD, 0);
    EXPECT_EQ(markerKeyPath(params, 4), u"abcd\\0123ABC\\0\\4");

    port::SettingsHive& hive = port::SettingsHive::processDefault();
    params.setDeviceTypeFlags(1);
    ASSERT_TRUE(writeMarkerKey(params, false, hive));
    EXPECT_TRUE(markerKeyExists(params, false, hive));
    EXPECT_FALSE(markerKeyExists(params, true, hive));  // the other root
    params.setDeviceTypeFlags(2);
    EXPECT_FALSE(markerKeyExists(params, false, hive));  // the flags are part of the key
    EXPECT_FALSE(deleteMarkerKey(params, 2, false, hive));
    EXPECT_TRUE(deleteMarkerKey(params, 1, false, hive));
    params.setDeviceTypeFlags(1);
    EXPECT_FALSE(markerKeyExists(params, false, hive));

    // No serial or no vendor: no marker at all.
    for (int missing = 0; missing < 2; ++missing) {
        CDeviceParams anonymous = params;
        if (missing == 0)
            anonymous.setSerialNumber(u"");
        else
            anonymous.setVendorString(u"");
        processLog()->take();
        EXPECT_FALSE(writeMarkerKey(anonymous, false, hive));
        EXPECT_FALSE(markerKeyExists(anonymous, false, hive));
        const auto lines = processLog()->takeNarrow();
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines[0].find("[params.vendorString() && params.serialNumber()]"),
                  std::string::npos);
    }
}

TEST_F(DeviceEventTest, TypeFlagsShareTheFlagsByteAndReset) {
    CDeviceParams params;
    params.setFlags(0x80);
    params.setDeviceTypeFlags(0xFF);
    EXPECT_EQ(params.deviceTypeFlags(), 7);
    EXPECT_EQ(params.flags(), 0x87);
    params.reset();
    EXPECT_EQ(params.deviceTypeFlags(), 0);
    EXPECT_EQ(params.flags(), 0x80);
}

// ---- installation watcher ----

TEST(InstallEventFinder, PendingInstallationsStartTheWatcherUntilTheyEnd) {
    std::mutex mutex;
    std::deque<int> answers = {1, 1, 1, 0};
    std::vector<std::uint32_t> waits;
    CInstallEventFinder finder([&](std::uint32_t ms) {
        std::lock_guard<std::mutex> guard(mutex);
        waits.push_back(ms);
        if (answers.empty())
            return CInstallEventWaiter::NONE_PENDING;
        const int a = answers.front();
        answers.pop_front();
        return a;
    });
    EXPECT_TRUE(finder.query());
    for (int i = 0; i < 500 && finder.watcherRunning(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_FALSE(finder.watcherRunning());
    EXPECT_FALSE(finder.query());  // a fresh 1 ms wait says nothing is pending
    std::lock_guard<std::mutex> guard(mutex);
    EXPECT_EQ(waits, (std::vector<std::uint32_t>{1, 500, 500, 500, 1}));
}

TEST(InstallEventFinder, AWaiterThatCannotTellMeansNothingPending) {
    int calls = 0;
    CInstallEventFinder finder([&](std::uint32_t) {
        ++calls;
        return CInstallEventWaiter::CANNOT_TELL;
    });
    EXPECT_FALSE(finder.query());
    EXPECT_FALSE(finder.watcherRunning());
    EXPECT_EQ(calls, 1);
    // The system's waiter has no configuration manager to ask here.
    CInstallEventWaiter system;
    EXPECT_EQ(system.Wait(1), CInstallEventWaiter::CANNOT_TELL);
}

}  // namespace
}  // namespace nork
