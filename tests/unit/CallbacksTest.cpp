// Callback proxies, the progress range mapping and the synchronizer that
// turns an asynchronous completion into a blocking wait.
#include "Callbacks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "MessagePump.h"

namespace nork {
namespace {

struct RecordingStatus : CStatusCallback {
    bool throws = false;
    std::vector<STATUS> done;
    std::vector<std::pair<STATUS, std::u16string>> errors;
    void onDone(STATUS status) override {
        done.push_back(status);
        if (throws)
            throw std::runtime_error("caller fault");
    }
    void onError(STATUS status, const std::u16string& message) override {
        errors.emplace_back(status, message);
        if (throws)
            throw 42;
    }
};

struct RecordingProgress : CProgressCallback {
    bool throws = false;
    std::vector<std::uint32_t> seen;
    void onProgress(std::uint32_t percent) override {
        seen.push_back(percent);
        if (throws)
            throw std::runtime_error("caller fault");
    }
};

TEST(SafeProxies, ForwardAndSwallowWhatTheTargetThrows) {
    for (bool throws : {false, true}) {
        RecordingStatus status;
        status.throws = throws;
        CStatusCallbackSafeProxy statusProxy(&status);
        EXPECT_NO_THROW(statusProxy.onDone(STATUS_OK));
        EXPECT_NO_THROW(statusProxy.onError(STATUS_ERROR, u"text"));
        EXPECT_EQ(status.done, std::vector<STATUS>{STATUS_OK});
        ASSERT_EQ(status.errors.size(), 1u);
        EXPECT_EQ(status.errors[0].first, STATUS_ERROR);
        EXPECT_EQ(status.errors[0].second, u"text");

        RecordingProgress progress;
        progress.throws = throws;
        CProgressCallbackSafeProxy progressProxy(&progress);
        EXPECT_NO_THROW(progressProxy.onProgress(37));
        EXPECT_EQ(progress.seen, std::vector<std::uint32_t>{37});
    }
    CStatusCallbackSafeProxy noStatus(nullptr);
    CProgressCallbackSafeProxy noProgress(nullptr);
    EXPECT_NO_THROW(noStatus.onDone(STATUS_OK));
    EXPECT_NO_THROW(noStatus.onError(STATUS_OK, u""));
    EXPECT_NO_THROW(noProgress.onProgress(1));
}

TEST(ScopeProxy, MapsOntoTheRangeAndNeverReportsAbove100) {
    struct Case {
        std::int32_t start, end;
        std::vector<std::uint32_t> in, out;
    };
    const Case cases[] = {
        {40, 60, {0, 50, 100}, {40, 50, 60}},
        {0, 100, {0, 1, 33, 99, 100}, {0, 1, 33, 99, 100}},
        {0, 30, {10, 50}, {3, 15}},  // truncated
        {90, 150, {0, 10, 50, 100}, {90, 96, 100, 100}},
        {-5, 5, {0, 100}, {100, 5}},  // negative counts as huge (compared unsigned)
        {60, 40, {0}, {60}},
    };
    for (const auto& c : cases) {
        RecordingProgress target;
        CProgressCallbackScopeProxy proxy(&target, c.start, c.end);
        for (std::uint32_t p : c.in)
            proxy.onProgress(p);
        EXPECT_EQ(target.seen, c.out) << c.start << ".." << c.end;
    }
}

TEST(ScopeProxy, CurrentResetsAfterCompletionAndNothingWithoutATarget) {
    RecordingProgress target;
    CProgressCallbackScopeProxy proxy(&target, 40, 60);
    EXPECT_EQ(proxy.current(), 0);
    proxy.onProgress(50);
    EXPECT_EQ(proxy.current(), 50);
    proxy.onProgress(100);
    EXPECT_EQ(proxy.current(), 0);

    CProgressCallbackScopeProxy idle(nullptr, 40, 60);
    idle.onProgress(50);
    EXPECT_EQ(idle.current(), 0);
}

// A pump that a test controls: counts its calls and can run a completion on
// the waiting thread, as a delivered message would.
std::atomic<int> g_pumpCalls{0};
std::atomic<CStatusCallbackSynchronizer*> g_completeFromPump{nullptr};
bool countingPump() {
    ++g_pumpCalls;
    if (auto* s = g_completeFromPump.exchange(nullptr))
        s->onDone(STATUS_DEVICE_NOT_READY);
    return true;  // "a message was taken": the wait does not sleep
}

class Synchronizer : public ::testing::Test {
  protected:
    void SetUp() override {
        static auto capture = nork::testing::LogCapture::onProcessLog("Synchronizer.capture");
        m_capture = capture;
        m_capture->take();
    }
    void TearDown() override { setThreadMessagePump(nullptr); }
    std::shared_ptr<nork::testing::LogCapture> m_capture;
};

TEST_F(Synchronizer, SignalBeforeTheWaitReturnsAtOnceAndIsConsumed) {
    CStatusCallbackSynchronizer sync;
    sync.onDone(STATUS_OK_ALREADY_IN_STATE);
    EXPECT_EQ(sync.wait(), STATUS_OK_ALREADY_IN_STATE);

    // Reused for a second operation: the wait must not return the first
    // one's result before the second completes.
    std::atomic<bool> completed{false};
    std::thread op([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        completed = true;
        sync.onError(STATUS_COMMUNICATION_FAILURE, u"lost");
    });
    EXPECT_EQ(sync.wait(), STATUS_COMMUNICATION_FAILURE);
    EXPECT_TRUE(completed.load());
    op.join();

    const auto lines = m_capture->takeNarrow();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("CStatusCallbackSynchronizer::onDone --- signal"), std::string::npos);
    const std::u16string text = statusToString(STATUS_COMMUNICATION_FAILURE);
    EXPECT_NE(lines[1].find("CStatusCallbackSynchronizer::onError --- signal, status: " +
                            std::string(text.begin(), text.end())),
              std::string::npos);
}

TEST_F(Synchronizer, CompletedFromAnotherThreadWhileWaiting) {
    for (STATUS expected : {STATUS_OK, STATUS_ERROR, STATUS_DEVICE_NOT_READY}) {
        CStatusCallbackSynchronizer sync;
        std::promise<void> waiting;
        std::thread op([&] {
            waiting.get_future().wait();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            sync.onDone(expected);
        });
        waiting.set_value();
        EXPECT_EQ(sync.wait(), expected);
        op.join();
    }
}

TEST_F(Synchronizer, WaitKeepsTheThreadsMessagesMoving) {
    setThreadMessagePump(&countingPump);
    CStatusCallbackSynchronizer sync;
    g_pumpCalls = 0;
    g_completeFromPump = &sync;
    // The completion arrives as a message on the waiting thread itself.
    EXPECT_EQ(sync.wait(), STATUS_DEVICE_NOT_READY);
    EXPECT_GE(g_pumpCalls.load(), 1);
}

// A completion landing just as the wait starts must never be lost (the wait
// would then spin forever), and the completing thread must be done with the
// synchronizer once the wait returns: the waiter destroys it at once. The
// pump keeps the loop from sleeping so many rounds run quickly.
TEST_F(Synchronizer, CompletionRacingTheWaitIsNotLostAndNotTouchedAfter) {
    setThreadMessagePump(&countingPump);
    for (int round = 0; round < 300; ++round) {
        const STATUS expected = round % 2 == 0 ? STATUS_OK : STATUS_ERROR;
        std::thread op;
        {
            CStatusCallbackSynchronizer sync;
            op = std::thread([&sync, expected] { sync.onDone(expected); });
            EXPECT_EQ(sync.wait(), expected) << round;
        }
        op.join();
    }
}

TEST(CallOnDoneAsync, DeliversOnAnotherThread) {
    struct ThreadRecorder : CStatusCallback {
        std::promise<std::pair<STATUS, std::thread::id>> seen;
        void onDone(STATUS status) override {
            seen.set_value({status, std::this_thread::get_id()});
        }
        void onError(STATUS, const std::u16string&) override {}
    };
    // Outlives the detached thread that may still be leaving set_value.
    static ThreadRecorder recorder;
    auto result = recorder.seen.get_future();
    EXPECT_NE(callOnDoneAsync(&recorder, STATUS_BUFFER_TOO_SMALL), 0u);
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto [status, thread] = result.get();
    EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_NE(thread, std::this_thread::get_id());

    CStatusCallbackSynchronizer sync;
    callOnDoneAsync(&sync, STATUS_OK_ALREADY_IN_STATE);
    EXPECT_EQ(sync.wait(), STATUS_OK_ALREADY_IN_STATE);

    // Without a callback the thread has nothing to call.
    EXPECT_NE(callOnDoneAsync(nullptr, STATUS_OK), 0u);
}

}  // namespace
}  // namespace nork
