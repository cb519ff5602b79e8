// Named mutexes: threads of one process, processes of one user, and a holder
// that died with the mutex.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "RuntimeTestSupport.h"
#include "port/NamedMutex.h"
#include "port/System.h"

namespace nork::port {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::unique_ptr<NamedMutex> makeMutex(const std::string& name, const fs::path& dir) {
    std::unique_ptr<NamedMutex> m;
    EXPECT_FALSE(NamedMutex::create(name, m, dir.string()));
    return m;
}

// Waits until a file appears (the child's "I hold it" signal).
bool waitForFile(const fs::path& path) {
    for (int i = 0; i < 500; ++i) {
        if (fs::exists(path))
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

TEST(NamedMutexTest, NamesBecomeSafeFileNames) {
    const struct {
        std::string name;
        std::string file;
    } cases[] = {
        {"ZYK_SDK_HID_MUTEX_QE01", "ZYK_SDK_HID_MUTEX_QE01.lock"},
        {"a/b\\c", "a%2Fb%5Cc.lock"},
        {"..", "%2E..lock"},
        {"x y", "x%20y.lock"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(namedMutexFileName(c.name), c.file) << c.name;
}

TEST(NamedMutexTest, EmptyNameAndUnusableDirectoryAreRefused) {
    const fs::path dir = nork::testing::freshTestDir();
    std::unique_ptr<NamedMutex> m;
    EXPECT_EQ(NamedMutex::create("", m, dir.string()).code, PortErrc::InvalidArgument);
    nork::testing::writeFile(dir / "file", "x");
    EXPECT_TRUE(NamedMutex::create("n", m, (dir / "file" / "sub").string()));
    EXPECT_EQ(m, nullptr);
}

TEST(NamedMutexTest, ThreadsOfOneProcessNeverOverlap) {
    const fs::path dir = nork::testing::freshTestDir();
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            // Each thread its own object: objects of one name share the lock.
            auto m = makeMutex("shared", dir);
            for (int i = 0; i < 50; ++i) {
                ASSERT_FALSE(m->lock());
                if (inside.fetch_add(1) != 0)
                    overlapped = true;
                std::this_thread::yield();
                inside.fetch_sub(1);
                m->unlock();
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(overlapped);
}

TEST(NamedMutexTest, AnotherProcessWaitsForTheHolder) {
    if (nork::testing::rerunAloneUnlessSingleThreaded())
        return;
    const fs::path dir = nork::testing::freshTestDir();
    const fs::path held = dir / "held";
    const fs::path released = dir / "released";
    auto m = makeMutex("drive", dir);

    std::int64_t pid = 0;
    ASSERT_FALSE(startChildProcess(
        [&] {
            std::unique_ptr<NamedMutex> mine;
            if (NamedMutex::create("drive", mine, dir.string()) || mine->lock())
                return 1;
            nork::testing::writeFile(held, "1");
            std::this_thread::sleep_for(300ms);
            nork::testing::writeFile(released, "1");
            mine->unlock();
            return 0;
        },
        false, pid));
    ASSERT_TRUE(waitForFile(held));
    EXPECT_EQ(m->tryLock().code, PortErrc::Busy);
    ASSERT_FALSE(m->lock());
    // We only got it after the child let go.
    EXPECT_TRUE(fs::exists(released));
    m->unlock();
    int code = -1;
    ASSERT_FALSE(waitChildProcess(pid, code));
    EXPECT_EQ(code, 0);
}

TEST(NamedMutexTest, ForkedChildDoesNotInheritOwnership) {
    if (nork::testing::rerunAloneUnlessSingleThreaded())
        return;
    const fs::path dir = nork::testing::freshTestDir();
    auto m = makeMutex("drive", dir);
    ASSERT_FALSE(m->lock());
    std::int64_t pid = 0;
    // The child uses the very object its parent locked (copied by fork).
    ASSERT_FALSE(
        startChildProcess([&] { return m->tryLock().code == PortErrc::Busy ? 0 : 1; }, false, pid));
    int code = -1;
    ASSERT_FALSE(waitChildProcess(pid, code));
    EXPECT_EQ(code, 0);
    m->unlock();
}

TEST(NamedMutexTest, HolderKilledWhileHoldingDoesNotBlockTheNext) {
    if (nork::testing::rerunAloneUnlessSingleThreaded())
        return;
    const fs::path dir = nork::testing::freshTestDir();
    std::int64_t pid = 0;
    ASSERT_FALSE(startChildProcess(
        [&] {
            std::unique_ptr<NamedMutex> mine;
            if (NamedMutex::create("drive", mine, dir.string()) || mine->lock())
                return 1;
            std::raise(SIGKILL);
            return 2;
        },
        false, pid));
    int code = -1;
    ASSERT_FALSE(waitChildProcess(pid, code));
    EXPECT_EQ(code, 128 + SIGKILL);

    auto m = makeMutex("drive", dir);
    EXPECT_FALSE(m->tryLock());
    m->unlock();
}

}  // namespace
}  // namespace nork::port
