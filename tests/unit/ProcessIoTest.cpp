// A child's I/O counters read after its end and before it is reaped, and
// this process's own.
#include "port/ProcessIo.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "port/ChildProcess.h"

namespace nork::port {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

fs::path scratchFile(const char* name) {
    const char* base = std::getenv("QZ_TEST_TMP");
    const fs::path dir = fs::path(base != nullptr ? base : fs::temp_directory_path().string());
    fs::create_directories(dir);
    return dir / (std::string(name) + "-" + std::to_string(std::rand()));
}

TEST(ProcessIo, AnEndedChildsCountsStayReadableUntilItIsReaped) {
    const fs::path out = scratchFile("process-io");
    std::int64_t pid = 0;
    ASSERT_FALSE(spawnProcess(
        "/bin/sh", {"sh", "-c", "head -c 100000 /dev/zero > \"$0\"; exit 4", out.string()}, pid));
    ASSERT_FALSE(waitProcessEnd(pid, 30s));
    ProcessIoCounters counters;
    ASSERT_FALSE(processIoCounters(pid, counters));
    // The shell's own writes are the child's, and head's are its grandchild's
    // (counted in by the shell's wait): at least the 100,000 bytes.
    EXPECT_GE(counters.writtenChars, 100000u);
    EXPECT_GE(counters.writeCalls, 1u);

    int code = -1;
    ASSERT_FALSE(waitProcess(pid, 10s, code));
    EXPECT_EQ(code, 4);
    EXPECT_EQ(processIoCounters(pid, counters).code, PortErrc::NotFound);
    EXPECT_EQ(waitProcessEnd(pid, 10ms).code, PortErrc::NotFound);
    fs::remove(out);
}

TEST(ProcessIo, ARunningChildIsWaitedForNoLongerThanAsked) {
    std::int64_t pid = 0;
    ASSERT_FALSE(spawnProcess("/bin/sleep", {"sleep", "30"}, pid));
    EXPECT_EQ(waitProcessEnd(pid, 20ms).code, PortErrc::Timeout);
    ASSERT_FALSE(signalProcess(pid, Signal::Kill));
    EXPECT_FALSE(waitProcessEnd(pid, 30s));
    int code = -1;
    ASSERT_FALSE(waitProcess(pid, 10s, code));
    EXPECT_EQ(code, 128 + 9);
}

TEST(ProcessIo, OwnWritesAreCounted) {
    ProcessIoCounters before, after;
    ASSERT_FALSE(processIoCounters(0, before));
    const fs::path out = scratchFile("own-io");
    {
        std::ofstream file(out, std::ios::binary);
        const std::vector<char> data(65536, 'x');
        file.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    ASSERT_FALSE(processIoCounters(0, after));
    EXPECT_GE(after.writtenChars - before.writtenChars, 65536u);
    fs::remove(out);
}

}  // namespace
}  // namespace nork::port
