#include "port/ChildProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace nork::port {
namespace {

using namespace std::chrono_literals;

TEST(PortChildProcess, RunCapturesOutputAndExitStatus) {
    const std::string script = "echo out; echo err >&2; exit 3";
    struct Case {
        bool stderrToo;
        const char* output;
    };
    for (const Case& c : {Case{false, "out\n"}, Case{true, "out\nerr\n"}}) {
        std::string output;
        int code = -1;
        ASSERT_FALSE(runProcess("/bin/sh", {"sh", "-c", script}, output, code, c.stderrToo));
        EXPECT_EQ(output, c.output);
        EXPECT_EQ(code, 3);
    }
}

TEST(PortChildProcess, AMissingProgramFailsToStart) {
    std::int64_t pid = 0;
    EXPECT_EQ(spawnProcess("/nonexistent/qz-program", {"qz-program"}, pid).code,
              PortErrc::NotFound);
    std::string output;
    int code = -1;
    EXPECT_EQ(runProcess("/nonexistent/qz-program", {"qz-program"}, output, code).code,
              PortErrc::NotFound);
}

TEST(PortChildProcess, SpawnedChildWritesToItsFilesAndCanBeKilled) {
    const auto dir = std::filesystem::temp_directory_path();
    const auto out =
        dir /
        ("qz-child-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".log");
    std::filesystem::remove(out);
    std::int64_t pid = 0;
    ASSERT_FALSE(spawnProcess("/bin/sh", {"sh", "-c", "echo one; echo two >&2; exec sleep 30"}, pid,
                              out.string(), out.string()));
    int code = -1;
    EXPECT_EQ(waitProcess(pid, 50ms, code).code, PortErrc::Timeout);
    ASSERT_FALSE(signalProcess(pid, Signal::Kill));
    ASSERT_FALSE(waitProcess(pid, 10s, code));
    EXPECT_EQ(code, 128 + SIGKILL);
    std::ifstream in(out);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "one\ntwo\n");
    std::filesystem::remove(out);
    // Gone and reaped: nothing left to signal or wait for.
    EXPECT_EQ(waitProcess(pid, 0ms, code).code, PortErrc::NotFound);
}

TEST(PortChildProcess, ChildrenDoNotInheritAnIgnoredSigpipe) {
    // Servers ignore SIGPIPE; the programs they start must not.
    auto previous = std::signal(SIGPIPE, SIG_IGN);
    std::string output;
    int code = -1;
    const PortError e =
        runProcess("/bin/sh", {"sh", "-c", "grep SigIgn /proc/self/status"}, output, code);
    std::signal(SIGPIPE, previous);
    ASSERT_FALSE(e);
    ASSERT_EQ(output.rfind("SigIgn:", 0), 0u) << output;
    const unsigned long long ignored = std::stoull(output.substr(7), nullptr, 16);
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << output;
}

}  // namespace
}  // namespace nork::port
