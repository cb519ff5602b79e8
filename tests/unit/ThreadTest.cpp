// Events, the cycling worker thread, method functors and runOnNewThread.
#include "Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace nork {
namespace {

// Bounds every wait of a test so a fault shows as a failure, not a hang.
constexpr std::uint32_t LONG_MS = 10000;

TEST(SyncEvent, ManualAndAutoReset) {
    struct Case {
        bool manual, initial;
        bool firstWait, secondWait;  // two zero-time waits in a row
    };
    const Case cases[] = {
        {true, true, true, true},
        {true, false, false, false},
        {false, true, true, false},  // the first wait consumes the signal
        {false, false, false, false},
    };
    for (const auto& c : cases) {
        CSyncEvent e(c.manual, c.initial);
        EXPECT_EQ(e.wait(0), c.firstWait) << c.manual << c.initial;
        EXPECT_EQ(e.wait(0), c.secondWait) << c.manual << c.initial;
        e.set();
        EXPECT_TRUE(e.wait(0));
        EXPECT_EQ(e.wait(0), c.manual);
        e.reset();
        EXPECT_FALSE(e.wait(0));
    }
}

TEST(SyncEvent, SetFromAnotherThreadReleasesWaiters) {
    CSyncEvent manual(true, false);
    std::atomic<int> released{0};
    std::thread a([&] { released += manual.wait(LONG_MS) ? 1 : 0; });
    std::thread b([&] { released += manual.wait(LONG_MS) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    manual.set();
    a.join();
    b.join();
    EXPECT_EQ(released.load(), 2);

    // Auto reset: one set releases exactly one waiter.
    CSyncEvent autoReset(false, false);
    std::atomic<int> autoReleased{0};
    std::thread c([&] { autoReleased += autoReset.wait(300) ? 1 : 0; });
    std::thread d([&] { autoReleased += autoReset.wait(300) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    autoReset.set();
    c.join();
    d.join();
    EXPECT_EQ(autoReleased.load(), 1);
}

// Counts its cycles and lets a test hold it inside a cycle.
class CountingThread : public CThread {
  public:
    ~CountingThread() override { stop(); }
    std::atomic<int> starts{0}, stops{0}, cycles{0};
    std::atomic<bool> startSeenActive{true};
    std::atomic<int> requestStopAt{-1};
    std::atomic<int> stopSelfAt{-1};
    std::atomic<int> throwAt{-1};
    CSyncEvent cycleDone{false, false};
    // While gated, each cycle announces itself and waits for the gate.
    std::atomic<bool> gated{false};
    CSyncEvent inCycle{false, false};
    CSyncEvent gate{false, false};

  protected:
    void onStart() override {
        startSeenActive = isRunning();
        ++starts;
    }
    void onStop() override { ++stops; }
    void run() override {
        const int n = ++cycles;
        if (gated) {
            inCycle.set();
            gate.wait();
        }
        if (n == requestStopAt)
            requestStop();
        if (n == stopSelfAt)
            stop();  // must not wait for itself
        if (n == throwAt)
            throw std::runtime_error("cycle fault");
        cycleDone.set();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 2000 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return condition();
}

TEST(Thread, StartCyclesStopAndRestart) {
    CountingThread t;
    EXPECT_FALSE(t.isRunning());
    t.stop();  // not running: returns at once
    EXPECT_EQ(t.stops.load(), 0);

    ASSERT_TRUE(t.start());
    EXPECT_EQ(t.starts.load(), 1);  // onStart ran before start returned
    EXPECT_FALSE(t.startSeenActive.load());
    EXPECT_TRUE(t.isRunning());
    EXPECT_FALSE(t.start());  // already running
    ASSERT_TRUE(t.cycleDone.wait(LONG_MS));
    ASSERT_TRUE(t.cycleDone.wait(LONG_MS));

    t.stop();
    EXPECT_FALSE(t.isRunning());
    EXPECT_EQ(t.stops.load(), 1);
    const int cycles = t.cycles.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(t.cycles.load(), cycles);

    ASSERT_TRUE(t.start());
    ASSERT_TRUE(t.cycleDone.wait(LONG_MS));
    t.stop();
    EXPECT_EQ(t.starts.load(), 2);
    EXPECT_EQ(t.stops.load(), 2);
}

TEST(Thread, PauseHoldsAfterTheCycleAndResumeContinues) {
    CountingThread t;
    t.gated = true;
    ASSERT_TRUE(t.start());
    ASSERT_TRUE(t.inCycle.wait(LONG_MS));
    t.pause();  // while the first cycle is in flight
    t.gated = false;
    t.gate.set();
    ASSERT_TRUE(t.cycleDone.wait(LONG_MS));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int held = t.cycles.load();
    EXPECT_EQ(held, 1);
    EXPECT_TRUE(t.isRunning());

    t.resume();
    EXPECT_TRUE(eventually([&] { return t.cycles.load() > held + 1; }));

    // A paused thread still stops.
    t.pause();
    t.stop();
    EXPECT_FALSE(t.isRunning());
    EXPECT_EQ(t.stops.load(), 1);
}

TEST(Thread, EndingFromInsideTheThread) {
    struct Case {
        const char* name;
        std::atomic<int> CountingThread::*trigger;
        int expectedStops;
    };
    const Case cases[] = {
        {"requestStop", &CountingThread::requestStopAt, 1},
        {"stop from the worker", &CountingThread::stopSelfAt, 1},
        {"exception in a cycle", &CountingThread::throwAt, 0},
    };
    for (const auto& c : cases) {
        CountingThread t;
        t.*c.trigger = 3;
        ASSERT_TRUE(t.start()) << c.name;
        EXPECT_TRUE(eventually([&] { return !t.isRunning(); })) << c.name;
        EXPECT_EQ(t.cycles.load(), 3) << c.name;
        EXPECT_EQ(t.stops.load(), c.expectedStops) << c.name;
        t.stop();  // returns at once

        // Startable again.
        t.*c.trigger = -1;
        ASSERT_TRUE(t.start()) << c.name;
        ASSERT_TRUE(t.cycleDone.wait(LONG_MS)) << c.name;
        t.stop();
        EXPECT_FALSE(t.isRunning()) << c.name;
    }
}

struct Target {
    std::string log;
    void one(int a) { log = std::to_string(a); }
    void two(int a, const std::u16string& s) {
        log = std::to_string(a) + ":" + std::string(s.begin(), s.end());
    }
    void three(int a, int b, int c) { log = std::to_string(a + b + c); }
    void four(int a, int b, int c, int d) { log = std::to_string(a * b * c * d); }
    void five(char a, char b, char c, char d, char e) { log = {a, b, c, d, e}; }
    void six(int a, int b, int c, int d, int e, const std::string& f) {
        log = std::to_string(a + b + c + d + e) + f;
    }
};

TEST(MethodFunctors, CallWithOneToSixArguments) {
    Target t;
    std::u16string text = u"wide";
    MethodFunctor1<Target, void (Target::*)(int), int> f1(&t, &Target::one, 7);
    MethodFunctor2<Target, void (Target::*)(int, const std::u16string&), int, std::u16string> f2(
        &t, &Target::two, 1, text);
    MethodFunctor3<Target, void (Target::*)(int, int, int), int, int, int> f3(&t, &Target::three, 1,
                                                                              2, 3);
    auto f4 = makeMethodFunctor(&t, &Target::four, 1, 2, 3, 4);
    auto f5 = makeMethodFunctor(&t, &Target::five, 'a', 'b', 'c', 'd', 'e');
    auto f6 = makeMethodFunctor(&t, &Target::six, 1, 2, 3, 4, 5, std::string("!"));
    text = u"changed";  // held by value

    struct Case {
        CFunctionCallWrapper* functor;
        const char* expected;
    };
    const Case cases[] = {{&f1, "7"},       {&f2, "1:wide"},     {&f3, "6"},
                          {f4.get(), "24"}, {f5.get(), "abcde"}, {f6.get(), "15!"}};
    for (const auto& c : cases) {
        t.log.clear();
        c.functor->call();
        EXPECT_EQ(t.log, c.expected);
    }
}

TEST(MethodFunctors, NothingWithoutObjectOrMethod) {
    Target t;
    MethodFunctor1<Target, void (Target::*)(int), int> noObject(nullptr, &Target::one, 1);
    MethodFunctor1<Target, void (Target::*)(int), int> noMethod(&t, nullptr, 1);
    EXPECT_NO_THROW(noObject.call());
    EXPECT_NO_THROW(noMethod.call());
    EXPECT_TRUE(t.log.empty());
}

// Reports its call and its destruction. The promises are shared so the
// detached thread never touches one the test has already dropped.
struct ProbeSignals {
    std::promise<std::thread::id> called;
    std::promise<void> destroyed;
};
class Probe : public CFunctionCallWrapper {
  public:
    Probe(bool throws, std::shared_ptr<ProbeSignals> signals)
        : m_throws(throws), m_signals(std::move(signals)) {}
    ~Probe() override { m_signals->destroyed.set_value(); }
    void call() override {
        m_signals->called.set_value(std::this_thread::get_id());
        if (m_throws)
            throw std::runtime_error("call fault");
    }

  private:
    bool m_throws;
    std::shared_ptr<ProbeSignals> m_signals;
};

TEST(RunOnNewThread, CallsThenDestroysTheFunctorEvenWhenTheCallThrows) {
    CThreadHandle previous = 0;
    for (bool throws : {false, true}) {
        auto signals = std::make_shared<ProbeSignals>();
        auto calledF = signals->called.get_future();
        auto destroyedF = signals->destroyed.get_future();
        const CThreadHandle h = runOnNewThread(std::make_unique<Probe>(throws, signals));
        EXPECT_NE(h, 0u);
        EXPECT_NE(h, previous);
        previous = h;
        ASSERT_EQ(calledF.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_NE(calledF.get(), std::this_thread::get_id());
        EXPECT_EQ(destroyedF.wait_for(std::chrono::seconds(10)), std::future_status::ready)
            << "throws " << throws;
    }
    EXPECT_EQ(runOnNewThread(nullptr), 0u);
}

}  // namespace
}  // namespace nork
