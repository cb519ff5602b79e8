#include "Singleton.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include "Log.h"
#include "LogHandler.h"
#include "LogOutputStream.h"
#include "RuntimeTestSupport.h"
#include "WideStream.h"

namespace nork {
namespace {

template <int Id>
struct Announcer {
    ~Announcer() { std::fprintf(stderr, "destroyed %d\n", Id); }
};

struct LogsWhenDestroyed {
    ~LogsWhenDestroyed() { NORK_LOG(LOG_ERROR, "last words of %s", u"a singleton"); }
};

// Sends the process-wide handler's lines to stderr; never destroyed, so it is
// still there when the handler writes its last lines at exit.
void logToStderr() {
    static auto* wide = new CUtf8WideStream(std::cerr);
    CLogHandler::instance().setLineFormat("log: %M");
    CLogHandler::instance().registerOutput("stderr", std::make_shared<CLogOutputStream>(wide),
                                           LOG_ALL_LEVELS);
}

void afterTheHandlerIsGone() {
    NORK_LOG(LOG_ERROR, "too late");
    std::fprintf(stderr, "handler %s\n",
                 CLogHandler::Singleton::existing() == nullptr ? "stays gone" : "came back");
}

[[noreturn]] void createSingletonsAndExit() {
    std::atexit(&afterTheHandlerIsGone);  // runs after every tracker
    logToStderr();
    TSingleton<Announcer<5>, CThreadMutex, 5>::instance();
    TSimpleSingleton<Announcer<1>, 1>::instance();
    TSingleton<LogsWhenDestroyed>::instance();
    TSingleton<Announcer<2>, CNullMutex, 2>::instance();
    TSingleton<Announcer<0>, CThreadMutex, 0>::instance();
    std::exit(0);
}

// Lower longevity goes first; of equal longevities the later-created; the log
// handler (0xFFFFFFFF) last, so destructors can still log; a line after it is
// dropped without bringing the handler back.
TEST(SingletonDeathTest, DestroyedAtExitByLongevityLogHandlerLast) {
    // At exit the child destroys every singleton of the process, not only its own.
    if (nork::testing::rerunAloneIf(true))
        return;
    EXPECT_EXIT(createSingletonsAndExit(), ::testing::ExitedWithCode(0),
                "destroyed 0\n(.|\n)*log: last words of a singleton\n(.|\n)*destroyed 1\n"
                "(.|\n)*destroyed 2\n(.|\n)*destroyed 5\n(.|\n)*handler stays gone");
}

struct Counted {
    Counted() { ++constructions; }
    static inline std::atomic<int> constructions{0};
};

TEST(Singleton, ConcurrentFirstUseCreatesOneInstance) {
    std::atomic<bool> go{false};
    std::vector<Counted*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] {
            while (!go.load())
                std::this_thread::yield();
            seen[i] = &TSingleton<Counted>::instance();
        });
    }
    go = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(Counted::constructions.load(), 1);
    for (auto* p : seen)
        EXPECT_EQ(p, seen[0]);
    EXPECT_EQ(TSingleton<Counted>::existing(), seen[0]);
}

}  // namespace
}  // namespace nork
