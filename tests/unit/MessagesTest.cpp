// The message layer: queues, sent messages, timers, registered names and the
// broadcast between processes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Callbacks.h"
#include "RuntimeTestSupport.h"
#include "port/Messages.h"
#include "port/System.h"

using namespace nork::port;
using namespace std::chrono_literals;

namespace {

// Records what reaches a window procedure.
struct Recorder {
    std::mutex mutex;
    std::vector<Msg> seen;
    std::vector<std::thread::id> threads;

    WindowProc proc(std::intptr_t answer = 0) {
        return [this, answer](HWND h, std::uint32_t m, std::uintptr_t w, std::intptr_t l) {
            std::lock_guard<std::mutex> lock(mutex);
            seen.push_back(Msg{h, m, w, l});
            threads.push_back(std::this_thread::get_id());
            return answer;
        };
    }
    std::vector<Msg> messages() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }
};

class MessagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = nork::testing::freshTestDir();
        setMessagesRuntimeDir(m_dir.string());
        // Every test runs on the same thread: start with its queue empty of
        // what earlier tests left there (a quit request, a broadcast).
        Msg left;
        while (peekMessage(left, true)) {
        }
    }
    void TearDown() override { setMessagesRuntimeDir(""); }

    int socketCount() const {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator(m_dir))
            if (e.path().extension() == ".sock")
                ++n;
        return n;
    }

    std::filesystem::path m_dir;
};

TEST_F(MessagesTest, PostedMessagesComeInOrderAndQuitEndsTheLoop) {
    Recorder rec;
    const HWND w = createWindow(u"main", rec.proc());
    ASSERT_NE(w, HWND_NONE);
    ASSERT_TRUE(postMessage(w, WM_USER + 1, 1, -1));
    ASSERT_TRUE(postMessage(HWND_NONE, WM_USER + 2, 2, 0));  // to the thread itself
    ASSERT_TRUE(postMessage(w, WM_USER + 3, 3, 0));
    postQuitMessage(7);
    // The quit request comes after what was posted before it, though it was
    // requested last only by chance: a later post still precedes it.
    ASSERT_TRUE(postMessage(w, WM_USER + 4, 4, 0));

    Msg m;
    ASSERT_TRUE(peekMessage(m, false));  // a look leaves it there
    EXPECT_EQ(m.message, WM_USER + 1u);

    std::vector<std::uint32_t> order;
    while (getMessage(m)) {
        order.push_back(m.message);
        dispatchMessage(m);
    }
    EXPECT_EQ(m.message, WM_QUIT);
    EXPECT_EQ(m.wParam, 7u);
    EXPECT_EQ(order,
              (std::vector<std::uint32_t>{WM_USER + 1, WM_USER + 2, WM_USER + 3, WM_USER + 4}));
    // The thread message has no window, so only three reached the procedure.
    const auto seen = rec.messages();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].lParam, -1);
    EXPECT_FALSE(peekMessage(m, true));
}

TEST_F(MessagesTest, DestroyedWindowRefusesMessages) {
    Recorder rec;
    const HWND w = createWindow(u"gone", rec.proc(5));
    ASSERT_TRUE(postMessage(w, WM_USER, 0, 0));
    ASSERT_TRUE(destroyWindow(w));

    Msg m;
    EXPECT_FALSE(peekMessage(m, true)) << "its queued messages go with it";
    EXPECT_FALSE(isWindow(w));
    EXPECT_FALSE(postMessage(w, WM_USER, 0, 0));
    EXPECT_EQ(sendMessage(w, WM_USER, 0, 0), 0);
    std::intptr_t r = 99;
    EXPECT_FALSE(sendMessageTimeout(w, WM_USER, 0, 0, 10ms, &r));
    EXPECT_FALSE(setTimer(w, 1, 10));
    EXPECT_FALSE(destroyWindow(w));
    EXPECT_EQ(dispatchMessage(Msg{w, WM_USER, 0, 0}), 0);
    EXPECT_TRUE(rec.messages().empty());
    EXPECT_EQ(createWindow(u"no procedure", WindowProc{}), HWND_NONE);
}

TEST_F(MessagesTest, FindWindowByTitleSeesThisProcessWindows) {
    Recorder rec;
    const HWND a = createWindow(u"Restore", rec.proc());
    const HWND b = createWindow(u"Restore", rec.proc());
    const HWND c = createWindow(u"Other", rec.proc());
    EXPECT_EQ(findWindowByTitle(u"Restore"), a);
    EXPECT_EQ(findWindowByTitle(u"Other"), c);
    EXPECT_EQ(findWindowByTitle(u"restore"), HWND_NONE);
    destroyWindow(a);
    EXPECT_EQ(findWindowByTitle(u"Restore"), b);
}

TEST_F(MessagesTest, SendOnOwnerThreadIsADirectCall) {
    Recorder rec;
    const HWND w = createWindow(u"self", rec.proc(42));
    EXPECT_EQ(sendMessage(w, WM_USER, 1, 2), 42);
    std::intptr_t r = 0;
    EXPECT_TRUE(sendMessageTimeout(w, WM_USER, 1, 2, 0ms, &r));
    EXPECT_EQ(r, 42);
    EXPECT_EQ(rec.messages().size(), 2u);
}

// The owner thread keeps peeking (nothing is ever posted); messages sent to
// its window are handled there and the senders get the answer.
TEST_F(MessagesTest, SendAcrossThreadsIsHandledOnTheOwnerWhileItPeeks) {
    Recorder rec;
    std::promise<HWND> created;
    std::atomic<bool> stop{false};
    std::thread owner([&] {
        created.set_value(createWindow(u"owner", rec.proc(17)));
        Msg m;
        while (!stop)
            if (!peekMessage(m, true))
                std::this_thread::sleep_for(1ms);
    });
    const HWND w = created.get_future().get();

    EXPECT_EQ(sendMessage(w, WM_USER + 5, 3, 4), 17);
    std::intptr_t r = 0;
    EXPECT_TRUE(sendMessageTimeout(w, WM_USER + 6, 0, 0, 5s, &r));
    EXPECT_EQ(r, 17);
    stop = true;
    const std::thread::id ownerId = owner.get_id();
    owner.join();

    const auto seen = rec.messages();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].message, WM_USER + 5u);
    EXPECT_EQ(seen[0].wParam, 3u);
    EXPECT_EQ(rec.threads[0], ownerId);
    EXPECT_EQ(rec.threads[1], ownerId);
}

// Two threads sending to each other at once: each delivers the other's
// message while it waits, so neither hangs.
TEST_F(MessagesTest, ThreadsSendingToEachOtherDoNotDeadlock) {
    std::promise<HWND> createdB;
    std::promise<HWND> createdA;
    auto hwndA = createdA.get_future().share();
    std::intptr_t answerOfA = 0;
    std::atomic<bool> bDone{false};
    std::thread b([&] {
        const HWND wb = createWindow(u"b", [](HWND, std::uint32_t, std::uintptr_t, std::intptr_t) {
            return std::intptr_t{2};
        });
        createdB.set_value(wb);
        answerOfA = sendMessage(hwndA.get(), WM_USER, 0, 0);
        destroyWindow(wb);
        bDone = true;
    });
    const HWND wa = createWindow(
        u"a", [](HWND, std::uint32_t, std::uintptr_t, std::intptr_t) { return std::intptr_t{1}; });
    const HWND wb = createdB.get_future().get();
    createdA.set_value(wa);
    EXPECT_EQ(sendMessage(wb, WM_USER, 0, 0), 2);
    // B's send to us may still be on its way: keep answering until B is done.
    Msg m;
    while (!bDone)
        if (!peekMessage(m, true))
            std::this_thread::sleep_for(1ms);
    b.join();
    EXPECT_EQ(answerOfA, 1);
}

TEST_F(MessagesTest, SendTimesOutOnAThreadThatDoesNotPumpAndNeverHangsOnOneThatEnds) {
    Recorder rec;
    std::promise<HWND> created;
    std::promise<void> pumpNow;
    std::thread owner([&] {
        created.set_value(createWindow(u"busy", rec.proc(3)));
        pumpNow.get_future().wait();
        Msg m;
        peekMessage(m, true);  // delivers the late message; its answer is dropped
    });
    const HWND w = created.get_future().get();
    std::intptr_t r = 55;
    EXPECT_FALSE(sendMessageTimeout(w, WM_USER + 1, 0, 0, 30ms, &r));
    EXPECT_EQ(r, 55);
    pumpNow.set_value();
    owner.join();
    EXPECT_EQ(rec.messages().size(), 1u);

    // The thread has ended and took its window along.
    EXPECT_FALSE(isWindow(w));
    EXPECT_EQ(sendMessage(w, WM_USER, 0, 0), 0);

    // A sender already waiting when the owner ends without pumping is
    // released with 0.
    std::promise<HWND> created2;
    std::promise<void> leave;
    std::thread quitter([&] {
        created2.set_value(createWindow(u"leaving", rec.proc(9)));
        leave.get_future().wait();
    });
    const HWND w2 = created2.get_future().get();
    auto sent = std::async(std::launch::async, [&] { return sendMessage(w2, WM_USER, 0, 0); });
    std::this_thread::sleep_for(20ms);  // most often the send is waiting by now
    leave.set_value();
    quitter.join();
    EXPECT_EQ(sent.get(), 0);
}

TEST_F(MessagesTest, TimersFireUntilKilled) {
    Recorder rec;
    const HWND w = createWindow(u"timer", rec.proc());
    ASSERT_TRUE(setTimer(w, 77, 10));
    Msg m;
    for (int fired = 0; fired < 3;) {
        ASSERT_TRUE(getMessage(m));
        EXPECT_EQ(m.hwnd, w);
        EXPECT_EQ(m.message, WM_TIMER);
        EXPECT_EQ(m.wParam, 77u);
        dispatchMessage(m);
        ++fired;
    }
    EXPECT_EQ(rec.messages().size(), 3u);
    ASSERT_TRUE(killTimer(w, 77));
    EXPECT_FALSE(killTimer(w, 77));
    std::this_thread::sleep_for(40ms);
    EXPECT_FALSE(peekMessage(m, true)) << "a killed timer leaves nothing behind";

    // Destroying the window stops its timers too.
    ASSERT_TRUE(setTimer(w, 1, 10));
    destroyWindow(w);
    std::this_thread::sleep_for(40ms);
    EXPECT_FALSE(peekMessage(m, true));
}

TEST_F(MessagesTest, QueueDescriptorIsReadableExactlyWhileThereIsWork) {
    Recorder rec;
    const HWND w = createWindow(u"fd", rec.proc());
    ASSERT_GE(threadQueueFd(), 0);
    EXPECT_FALSE(waitThreadQueue(0ms));

    std::thread poster([w] {
        std::this_thread::sleep_for(10ms);
        postMessage(w, WM_USER, 0, 0);
    });
    EXPECT_TRUE(waitThreadQueue(5s));
    poster.join();
    Msg m;
    ASSERT_TRUE(peekMessage(m, true));
    EXPECT_FALSE(waitThreadQueue(0ms)) << "drained";

    ASSERT_TRUE(setTimer(w, 2, 10));
    EXPECT_TRUE(waitThreadQueue(5s)) << "a due timer is work";
    killTimer(w, 2);
    EXPECT_FALSE(waitThreadQueue(0ms)) << "a killed timer's pending tick is withdrawn";

    postQuitMessage(0);
    EXPECT_TRUE(waitThreadQueue(0ms));
}

// Another thread wakes this one's wait by a post to its queue handle; an
// empty handle and one of a thread that ended take nothing.
TEST_F(MessagesTest, AThreadMessageReachesTheQueueOfItsHandle) {
    const ThreadQueueHandle self = currentThreadQueue();
    std::thread poster([self] { EXPECT_TRUE(postThreadMessage(self, WM_USER + 7, 1, 2)); });
    EXPECT_TRUE(waitThreadQueue(30s));
    poster.join();
    Msg m;
    ASSERT_TRUE(peekMessage(m, true));
    EXPECT_EQ(m.hwnd, HWND_NONE);
    EXPECT_EQ(m.message, WM_USER + 7u);
    EXPECT_EQ(m.wParam, 1u);
    EXPECT_EQ(m.lParam, 2);

    EXPECT_FALSE(postThreadMessage(ThreadQueueHandle{}, WM_USER, 0, 0));
    ThreadQueueHandle ended;
    std::thread([&ended] { ended = currentThreadQueue(); }).join();
    EXPECT_FALSE(postThreadMessage(ended, WM_USER, 0, 0));
}

TEST_F(MessagesTest, RegisteredNamesGiveOneNumberPerNameAcrossProcesses) {
    if (nork::testing::rerunAloneUnlessSingleThreaded())
        return;
    // A second process registers first; its numbers must be ours.
    std::int64_t pid = 0;
    ASSERT_FALSE(startChildProcess(
        [] {
            const std::uint32_t a = registerWindowMessage(u"SDK_SenderName_1");
            const std::uint32_t b = registerWindowMessage(u"SDK_SenderName_2");
            return a == REGISTERED_MESSAGE_FIRST && b == a + 1 ? 0 : 1;
        },
        false, pid));
    int code = -1;
    ASSERT_FALSE(waitChildProcess(pid, code));
    ASSERT_EQ(code, 0);

    const std::uint32_t two = registerWindowMessage(u"SDK_SenderName_2");
    EXPECT_EQ(two, REGISTERED_MESSAGE_FIRST + 1);
    EXPECT_EQ(registerWindowMessage(u"sdk_sendername_1"), REGISTERED_MESSAGE_FIRST)
        << "names compare without case";
    const std::uint32_t three = registerWindowMessage(u"SDK_SenderName_3");
    EXPECT_EQ(three, REGISTERED_MESSAGE_FIRST + 2);
    EXPECT_EQ(registerWindowMessage(u"SDK_SenderName_3"), three);

    struct Bad {
        const char* what;
        std::u16string name;
    };
    for (const Bad& bad : {Bad{"empty", u""}, Bad{"line break", u"a\nb"},
                           Bad{"unpaired surrogate", std::u16string(1, char16_t(0xD800))}})
        EXPECT_EQ(registerWindowMessage(bad.name), 0u) << bad.what;
}

// A writer that died in the middle of a line leaves a fragment; it still
// takes a number, and the next name starts on a line of its own.
TEST_F(MessagesTest, NamesFileWithACutLineStaysConsistent) {
    nork::testing::writeFile(m_dir / "names", "First\nCutSho");
    EXPECT_EQ(registerWindowMessage(u"First"), REGISTERED_MESSAGE_FIRST);
    EXPECT_EQ(registerWindowMessage(u"Next"), REGISTERED_MESSAGE_FIRST + 2);
    EXPECT_EQ(nork::testing::readFile(m_dir / "names"), "First\nCutSho\nNext\n");
}

TEST_F(MessagesTest, BroadcastReachesWindowsOfTwoProcesses) {
    if (nork::testing::rerunAloneUnlessSingleThreaded())
        return;
    // The child starts before this process has threads of the layer.
    std::int64_t pid = 0;
    ASSERT_FALSE(startChildProcess(
        [] {
            const std::uint32_t msg = registerWindowMessage(u"SDK_SenderName_9");
            const HWND w = createWindow(u"child", [](HWND, std::uint32_t, std::uintptr_t,
                                                     std::intptr_t) { return std::intptr_t{0}; });
            setTimer(w, 1, 10000);  // gives up rather than hang the test
            Msg m;
            while (getMessage(m)) {
                if (m.message == WM_TIMER)
                    return 3;
                if (m.message == 0x0219)  // a system message with a pointer
                    return 5;
                if (m.message == msg)
                    return m.wParam == 12 && m.lParam == -34 ? 0 : 2;
            }
            return 4;
        },
        true, pid));

    const std::uint32_t msg = registerWindowMessage(u"SDK_SenderName_9");
    ASSERT_NE(msg, 0u);
    Recorder rec;
    const HWND mine = createWindow(u"parent", rec.proc());
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (socketCount() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(socketCount(), 2);

    // A system message stays in this process (sent before, so it would
    // reach the child first); the registered one crosses.
    EXPECT_FALSE(broadcastMessage(0x0219, 0x8000, 0x1234));
    EXPECT_FALSE(broadcastMessage(msg, 12, -34));
    // Windows left by earlier tests of this process get it too.
    bool reachedMine = false;
    Msg m;
    while (peekMessage(m, true))
        reachedMine = reachedMine || (m.hwnd == mine && m.message == msg);
    EXPECT_TRUE(reachedMine);

    int code = -1;
    ASSERT_FALSE(waitChildProcess(pid, code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(socketCount(), 1) << "the child removed its socket on exit";
}

TEST_F(MessagesTest, SocketOfADeadProcessIsRemovedAndDoesNotBlock) {
    if (nork::testing::rerunAloneUnlessSingleThreaded())
        return;
    std::int64_t pid = 0;
    ASSERT_FALSE(startChildProcess(
        [] {
            createWindow(u"dies", [](HWND, std::uint32_t, std::uintptr_t, std::intptr_t) {
                return std::intptr_t{0};
            });
            return 0;  // leaves through _exit: no clean-up
        },
        false, pid));
    int code = -1;
    ASSERT_FALSE(waitChildProcess(pid, code));
    ASSERT_EQ(socketCount(), 1);

    Recorder rec;
    createWindow(u"alive", rec.proc());
    EXPECT_FALSE(broadcastMessage(WM_USER + 9, 0, 0));
    EXPECT_EQ(socketCount(), 1) << "only ours is left";
    EXPECT_FALSE(std::filesystem::exists(m_dir / (std::to_string(pid) + ".sock")));
    Msg m;
    ASSERT_TRUE(peekMessage(m, true));
    EXPECT_EQ(m.message, WM_USER + 9u);
    while (peekMessage(m, true)) {  // windows of earlier tests of this process
    }
}

// A thread blocked in the synchronizer's wait still handles messages sent to
// its windows, so the thread that will signal it can first send to it.
TEST_F(MessagesTest, SynchronizerWaitKeepsTheQueueMoving) {
    nork::CStatusCallbackSynchronizer sync;
    Recorder rec;
    std::promise<HWND> created;
    std::intptr_t answer = 0;
    std::thread waiter([&] {
        created.set_value(createWindow(u"waiting", rec.proc(8)));
        EXPECT_EQ(sync.wait(), nork::STATUS_OK);
    });
    const HWND w = created.get_future().get();
    answer = sendMessage(w, WM_USER + 3, 0, 0);
    sync.onDone(nork::STATUS_OK);
    waiter.join();
    EXPECT_EQ(answer, 8);
    ASSERT_EQ(rec.messages().size(), 1u);
    EXPECT_EQ(rec.messages()[0].message, WM_USER + 3u);
}

}  // namespace
