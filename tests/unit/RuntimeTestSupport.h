// Helpers shared by the runtime tests: a fresh scratch directory per test,
// whole-file reads, environment variables set for one test, and a way for a
// test that needs a single-threaded process to get one.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "port/ChildProcess.h"

namespace nork::testing {

inline std::filesystem::path testTmpRoot() {
    const char* base = std::getenv("QZ_TEST_TMP");
    return base != nullptr && *base != '\0'
               ? std::filesystem::path(base)
               : std::filesystem::temp_directory_path() / "qz-test-tmp";
}

// "Suite.Name" of the running test.
inline std::string currentTestName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

// An empty directory named after the running test, under $QZ_TEST_TMP.
inline std::filesystem::path freshTestDir() {
    std::string name = currentTestName();
    for (char& c : name) {
        if (c == '/')
            c = '_';
    }
    std::filesystem::path dir = testTmpRoot() / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// Sets (or, given null, removes) an environment variable and puts back what
// was there before when destroyed, so later tests of the same process see the
// environment they started with.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old;
        set(value);
    }
    ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
    ~ScopedEnv() { set(m_old ? m_old->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    void set(const char* value) {
        if (value != nullptr)
            ::setenv(m_name.c_str(), value, 1);
        else
            ::unsetenv(m_name.c_str());
    }

    std::string m_name;
    std::optional<std::string> m_old;
};

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Threads of this process now.
inline std::size_t threadsOfThisProcess() {
    std::error_code ec;
    std::size_t n = 0;
    for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end;
         it.increment(ec))
        ++n;
    return n;
}

// Some tests need a process of their own: one that is about to fork a copy of
// itself (sound only while the process has one thread), or one that checks
// what happens the first time something is done in a process. When such a
// test shares its process with others (a whole-binary run) and `needed` says
// the process is no longer fresh enough, the test runs again, alone, in a new
// process of this binary, and its outcome there is the outcome here. Returns
// true when it did so; the caller then returns:
//     if (nork::testing::rerunAloneIf(TSingleton<X>::existing() != nullptr)) return;
inline bool rerunAloneIf(bool needed,
                         std::chrono::milliseconds timeout = std::chrono::seconds(100)) {
    namespace proc = nork::port;
    constexpr const char* kAlone = "QZ_TEST_RUNS_ALONE";
    if (!needed || std::getenv(kAlone) != nullptr ||
        ::testing::UnitTest::GetInstance()->test_to_run_count() == 1)
        return false;
    const std::string name = currentTestName();
    std::string file = name;
    for (char& c : file) {
        if (c == '/')
            c = '_';
    }
    std::filesystem::create_directories(testTmpRoot());
    const std::string log = (testTmpRoot() / (file + ".alone.log")).string();
    const std::string self = proc::selfExecutablePath();
    std::int64_t pid = 0;
    nork::port::PortError started;
    {
        ScopedEnv alone(kAlone, "1");
        ScopedEnv noReport("GTEST_OUTPUT", nullptr);  // the report is this process's
        started = proc::spawnProcess(self, {self, "--gtest_filter=" + name}, pid, log, log);
    }
    if (started) {
        ADD_FAILURE() << "could not start " << self << " for " << name;
        return true;
    }
    int code = -1;
    if (proc::waitProcess(pid, timeout, code)) {
        proc::signalProcess(pid, proc::Signal::Kill);
        proc::waitProcess(pid, std::chrono::seconds(10), code);
        ADD_FAILURE() << name << " alone in a new process did not end in time:\n" << readFile(log);
        return true;
    }
    EXPECT_EQ(code, 0) << name << " alone in a new process failed:\n" << readFile(log);
    return true;
}

// For a test that forks a copy of this process (startChildProcess, death
// tests): earlier tests of a whole-binary run leave threads behind (pollers,
// message loops), and a child forked then can wait forever on a lock one of
// them held.
inline bool rerunAloneUnlessSingleThreaded() {
    return rerunAloneIf(threadsOfThisProcess() > 1);
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

}  // namespace nork::testing
