// The device notifier: snapshot differences become WM_DEVICECHANGE sends to a
// window pumped on its own thread (removals first, nothing for the baseline
// or for a look that found nothing new), suspend detection, and a stop that
// never waits for the target window.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RuntimeTestSupport.h"
#include "port/DeviceNotifier.h"
#include "port/linux/Wakeups.h"

using namespace nork::port;
using namespace std::chrono_literals;

namespace {

struct Seen {
    std::uint32_t message = 0;
    std::uintptr_t wParam = 0;
    std::uint32_t deviceType = 0;
    std::uint32_t size = 0;
    InterfaceClass cls = InterfaceClass::Volume;
    std::u16string name;
};

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// A window on its own thread that records what its procedure receives. The
// thread pumps unless paused, and runs actions handed to it.
class Target {
  public:
    Target() {
        std::promise<HWND> created;
        auto future = created.get_future();
        m_thread = std::thread([this, &created] {
            created.set_value(createWindow(u"notifier-target",
                                           [this](HWND, std::uint32_t m, std::uintptr_t w,
                                                  std::intptr_t l) { return procedure(m, w, l); }));
            loop();
        });
        hwnd = future.get();
    }
    ~Target() {
        m_quit = true;
        m_thread.join();
    }

    // Returns once the thread saw it.
    void pause(bool paused) {
        m_paused = paused;
        const int turn = m_turns;
        waitFor([&] { return m_turns > turn + 1; });
    }
    // Runs on the target's thread at its next turn (pumping or not).
    void runOnThread(std::function<void()> action) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_action = std::move(action);
    }
    // Called inside the procedure for each message.
    void onMessage(std::function<void(std::uint32_t)> hook) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hook = std::move(hook);
    }
    std::vector<Seen> seen() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen;
    }

    HWND hwnd = HWND_NONE;

  private:
    std::intptr_t procedure(std::uint32_t m, std::uintptr_t w, std::intptr_t l) {
        if (m != WM_DEVICECHANGE && m != WM_POWERBROADCAST)
            return 0;
        Seen s;
        s.message = m;
        s.wParam = w;
        if (m == WM_DEVICECHANGE) {
            const auto* d = reinterpret_cast<const DeviceBroadcastInterface*>(l);
            s.deviceType = d->deviceType;
            s.size = d->size;
            s.cls = d->interfaceClass;
            s.name = d->name;
        }
        std::function<void(std::uint32_t)> hook;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_seen.push_back(s);
            hook = m_hook;
        }
        if (hook)
            hook(m);
        return 1;
    }

    void loop() {
        while (!m_quit) {
            ++m_turns;
            std::function<void()> action;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                action = std::move(m_action);
                m_action = nullptr;
            }
            if (action)
                action();
            if (m_paused) {
                std::this_thread::sleep_for(2ms);
                continue;
            }
            waitThreadQueue(10ms);
            Msg msg;
            while (peekMessage(msg, true))
                dispatchMessage(msg);
        }
    }

    std::mutex m_mutex;
    std::vector<Seen> m_seen;
    std::function<void()> m_action;
    std::function<void(std::uint32_t)> m_hook;
    std::atomic<bool> m_paused{false};
    std::atomic<bool> m_quit{false};
    std::atomic<int> m_turns{0};
    std::thread m_thread;
};

// The inventory the notifier sees, changed by the test.
class FakeInventory {
  public:
    std::function<InventorySnapshot()> source() {
        return [this] {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_looks;
            return m_snap;
        };
    }
    void set(InventorySnapshot snap) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_snap = std::move(snap);
    }
    int looks() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_looks;
    }

  private:
    std::mutex m_mutex;
    InventorySnapshot m_snap;
    int m_looks = 0;
};

StorageUnit unit(const std::u16string& serial, int lun, bool mounted) {
    StorageUnit u;
    u.facts.lun = static_cast<std::uint8_t>(lun);
    u.facts.usbLocation = "bus/" + std::string(serial.begin(), serial.end());
    u.facts.location = u.facts.usbLocation + "/" + std::to_string(lun);
    u.usbDevicePath = u"usb#" + serial;
    if (mounted)
        u.volumePath = u"vol#" + serial + u"&" + static_cast<char16_t>(u'0' + lun);
    return u;
}

HidInterfaceInfo hid(const std::string& serial) {
    HidInterfaceInfo h;
    h.path = "hid:" + serial;
    h.location = "bus/" + serial + "/hid";
    return h;
}

// A change source the test feeds, as the emulator's event stream or udev
// would.
class FakeChangeSource final : public IChangeSource {
  public:
    int waitFd() const override { return m_wake.fd(); }
    std::vector<DeviceChange> drain() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_wake.clear();
        std::vector<DeviceChange> out;
        out.swap(m_changes);
        return out;
    }
    // Hands the notifier these changes in one batch.
    void feed(std::vector<DeviceChange> changes) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (auto& c : changes)
                m_changes.push_back(std::move(c));
        }
        m_wake.set();
    }

  private:
    std::mutex m_mutex;
    std::vector<DeviceChange> m_changes;
    WakeFd m_wake;
};

DeviceChange removed(const std::string& location) {
    return DeviceChange{DeviceChange::Kind::Removed, location};
}
const DeviceChange CHANGED{DeviceChange::Kind::Changed, {}};

class DeviceNotifierTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setMessagesRuntimeDir(nork::testing::freshTestDir().string());
        notifier.setSnapshotSource(inventory.source());
    }
    void TearDown() override {
        notifier.stop();
        setMessagesRuntimeDir("");
    }

    // Pokes and waits until the notifier took `count` more looks, so
    // whatever those looks found has been sent (or is being sent).
    void look(int count = 2) {
        const int target = inventory.looks() + count;
        for (int i = 0; i < count; ++i) {
            const int before = inventory.looks();
            notifier.poke();
            ASSERT_TRUE(waitFor([&] { return inventory.looks() > before; }));
        }
        ASSERT_GE(inventory.looks(), target);
    }

    FakeInventory inventory;
    DeviceNotifier notifier;
};

TEST_F(DeviceNotifierTest, DifferencesBecomeNotificationsRemovalsFirst) {
    InventorySnapshot before;
    before.units = {unit(u"A", 0, true), unit(u"A", 1, true)};
    before.hids = {hid("A")};
    inventory.set(before);
    Target target;
    ASSERT_TRUE(notifier.start(target.hwnd, {}));
    EXPECT_TRUE(notifier.running());
    EXPECT_FALSE(notifier.start(target.hwnd, {}));

    look();
    EXPECT_TRUE(target.seen().empty()) << "the baseline is not announced";

    InventorySnapshot after;
    after.units = {unit(u"B", 0, true), unit(u"C", 0, false)};
    after.hids = {hid("B")};
    inventory.set(after);
    notifier.poke();

    struct Expect {
        std::uintptr_t event;
        InterfaceClass cls;
        std::u16string name;
    };
    const std::vector<Expect> expect = {
        {DBT_DEVICEREMOVECOMPLETE, InterfaceClass::Volume, u"vol#A&0"},
        {DBT_DEVICEREMOVECOMPLETE, InterfaceClass::Volume, u"vol#A&1"},
        {DBT_DEVICEREMOVECOMPLETE, InterfaceClass::Hid, u"hid:A"},
        {DBT_DEVICEREMOVECOMPLETE, InterfaceClass::UsbDevice, u"usb#A"},
        {DBT_DEVICEARRIVAL, InterfaceClass::UsbDevice, u"usb#B"},
        {DBT_DEVICEARRIVAL, InterfaceClass::UsbDevice, u"usb#C"},
        {DBT_DEVICEARRIVAL, InterfaceClass::Hid, u"hid:B"},
        {DBT_DEVICEARRIVAL, InterfaceClass::Volume, u"vol#B&0"},
    };
    ASSERT_TRUE(waitFor([&] { return target.seen().size() >= expect.size(); }));
    std::vector<Seen> seen = target.seen();
    ASSERT_EQ(seen.size(), expect.size());
    for (std::size_t i = 0; i < expect.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].message, WM_DEVICECHANGE);
        EXPECT_EQ(seen[i].wParam, expect[i].event);
        EXPECT_EQ(seen[i].cls, expect[i].cls);
        EXPECT_EQ(seen[i].name, expect[i].name);
        EXPECT_EQ(seen[i].deviceType, DBT_DEVTYP_DEVICEINTERFACE);
        EXPECT_EQ(seen[i].size, 32u);
    }

    look();
    EXPECT_EQ(target.seen().size(), expect.size()) << "nothing changed since";
}

// A drive that leaves and is back before any look: the inventory never shows
// it gone, yet its departure (told by the change source) and its return are
// both announced, in order, and nothing else moves. A drive whose location
// merely starts with the same letters is not taken along.
TEST_F(DeviceNotifierTest, ADepartureBetweenTwoLooksIsAnnouncedWithTheReturn) {
    InventorySnapshot snap;
    snap.units = {unit(u"A", 0, true), unit(u"A", 1, true), unit(u"AB", 0, true)};
    snap.hids = {hid("A")};
    inventory.set(snap);
    auto source = std::make_shared<FakeChangeSource>();
    notifier.setExtraChangeSource(source);
    Target target;
    ASSERT_TRUE(notifier.start(target.hwnd, {}));

    source->feed({removed("bus/A"), CHANGED});
    struct Expect {
        std::uintptr_t event;
        std::u16string name;
    };
    const std::vector<Expect> expect = {
        {DBT_DEVICEREMOVECOMPLETE, u"vol#A&0"}, {DBT_DEVICEREMOVECOMPLETE, u"vol#A&1"},
        {DBT_DEVICEREMOVECOMPLETE, u"hid:A"},   {DBT_DEVICEREMOVECOMPLETE, u"usb#A"},
        {DBT_DEVICEARRIVAL, u"usb#A"},          {DBT_DEVICEARRIVAL, u"hid:A"},
        {DBT_DEVICEARRIVAL, u"vol#A&0"},        {DBT_DEVICEARRIVAL, u"vol#A&1"},
    };
    ASSERT_TRUE(waitFor([&] { return target.seen().size() >= expect.size(); }));
    look();
    const std::vector<Seen> seen = target.seen();
    ASSERT_EQ(seen.size(), expect.size());
    for (std::size_t i = 0; i < expect.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].wParam, expect[i].event);
        EXPECT_EQ(seen[i].name, expect[i].name);
    }
}

// Two quick round trips told in one batch are two departures and two
// returns: what arrived is looked at before the next departure applies. A
// departure of something the notifier does not know changes nothing.
TEST_F(DeviceNotifierTest, EveryRoundTripOfABatchIsAnnounced) {
    InventorySnapshot snap;
    snap.units = {unit(u"A", 0, true)};
    inventory.set(snap);
    auto source = std::make_shared<FakeChangeSource>();
    notifier.setExtraChangeSource(source);
    Target target;
    ASSERT_TRUE(notifier.start(target.hwnd, {true, false, false}));

    source->feed({removed("bus/Z"), removed("bus/A"), CHANGED, removed("bus/A"), CHANGED});
    ASSERT_TRUE(waitFor([&] { return target.seen().size() >= 4; }));
    look();
    const std::vector<Seen> seen = target.seen();
    ASSERT_EQ(seen.size(), 4u);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].wParam, i % 2 == 0 ? DBT_DEVICEREMOVECOMPLETE : DBT_DEVICEARRIVAL);
        EXPECT_EQ(seen[i].name, u"vol#A&0");
    }
}

TEST_F(DeviceNotifierTest, FilterLeavesClassesOut) {
    Target target;
    ASSERT_TRUE(notifier.start(target.hwnd, {true, false, false}));
    InventorySnapshot snap;
    snap.units = {unit(u"A", 0, true)};
    snap.hids = {hid("A")};
    inventory.set(snap);
    look();
    ASSERT_TRUE(waitFor([&] { return !target.seen().empty(); }));
    look();
    const std::vector<Seen> seen = target.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].cls, InterfaceClass::Volume);
    EXPECT_EQ(seen[0].name, u"vol#A&0");
}

TEST_F(DeviceNotifierTest, ResumeFromSuspendIsAnnounced) {
    std::atomic<std::int64_t> sleptMs{50000};
    notifier.setSuspendClock([&] { return std::chrono::milliseconds(sleptMs.load()); });
    Target target;
    ASSERT_TRUE(notifier.start(target.hwnd, {}));
    look();
    sleptMs += 1500;  // clock noise, not a sleep
    look();
    EXPECT_TRUE(target.seen().empty());

    sleptMs += 30000;
    look();
    ASSERT_TRUE(waitFor([&] { return !target.seen().empty(); }));
    look();
    const std::vector<Seen> seen = target.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, WM_POWERBROADCAST);
    EXPECT_EQ(seen[0].wParam, PBT_APMRESUMESUSPEND);
}

// stop() while a notification waits for a target that does not take it: from
// another thread, from the target's own thread, and from the target's
// procedure while it handles one. It never waits for the send (10 s).
TEST_F(DeviceNotifierTest, StopNeverWaitsForTheTarget) {
    enum class Who { OtherThread, TargetThread, TargetProcedure };
    for (Who who : {Who::OtherThread, Who::TargetThread, Who::TargetProcedure}) {
        SCOPED_TRACE(static_cast<int>(who));
        DeviceNotifier n;
        FakeInventory inv;
        n.setSnapshotSource(inv.source());
        Target target;
        ASSERT_TRUE(n.start(target.hwnd, {}));

        std::atomic<bool> stopped{false};
        std::chrono::steady_clock::duration took{};
        const auto timedStop = [&] {
            const auto t0 = std::chrono::steady_clock::now();
            n.stop();
            took = std::chrono::steady_clock::now() - t0;
            stopped = true;
        };
        if (who == Who::TargetProcedure)
            target.onMessage([&](std::uint32_t) {
                if (!stopped)
                    timedStop();
            });
        else
            target.pause(true);

        InventorySnapshot snap;
        snap.units = {unit(u"A", 0, true), unit(u"B", 0, true)};
        inv.set(snap);
        const int before = inv.looks();
        n.poke();
        ASSERT_TRUE(waitFor([&] { return inv.looks() > before; }));
        std::this_thread::sleep_for(50ms);  // into the send

        if (who == Who::OtherThread)
            timedStop();
        else if (who == Who::TargetThread)
            target.runOnThread(timedStop);
        ASSERT_TRUE(waitFor([&] { return stopped.load(); }, 3s));
        EXPECT_LT(took, 1s);
        EXPECT_FALSE(n.running());

        // The notification under way may still arrive; nothing after it.
        target.pause(false);
        std::this_thread::sleep_for(100ms);
        EXPECT_LE(target.seen().size(), 1u);
        target.onMessage(nullptr);
    }
}

TEST_F(DeviceNotifierTest, RestartTakesANewBaseline) {
    Target target;
    ASSERT_TRUE(notifier.start(target.hwnd, {}));
    notifier.stop();
    EXPECT_FALSE(notifier.running());
    notifier.stop();  // harmless

    InventorySnapshot snap;
    snap.units = {unit(u"A", 0, true)};
    inventory.set(snap);
    ASSERT_TRUE(notifier.start(target.hwnd, {}));
    look();
    EXPECT_TRUE(target.seen().empty());
    inventory.set({});
    look();
    ASSERT_TRUE(waitFor([&] { return target.seen().size() == 2; }));
    EXPECT_EQ(target.seen()[0].wParam, DBT_DEVICEREMOVECOMPLETE);
}

}  // namespace
